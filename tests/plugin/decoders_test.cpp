// Decoding each reply into the record: field lists, conversions and texts.
#include <gtest/gtest.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "DeviceFixture.h"
#include "protocol/PayloadFields.h"
#include "support/ParamNames.h"

namespace
{

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

using Decoders = DeviceFixture;

// One field text read as an integer, a byte and a tenths field.
struct ConversionCase {
    const char* name;
    const char* text;
    std::int32_t integer;
    std::uint8_t byte;
    float tenths;
};

// clang-format off
const ConversionCase kConversions[] = {
    {"Zero", "0", 0, 0, 0.0F},
    {"Empty", "", 0, 0, 0.0F},
    {"Plain", "220", 220, 220, 22.0F},
    {"TenthsHalf", "2305", 2305, 0x01, 230.5F},
    {"Negative", "-15", -15, 241, -1.5F},
    {"MinusOne", "-1", -1, 255, -0.1F},
    {"ByteWraps", "300", 300, 44, 30.0F},
    {"ByteAll", "511", 511, 255, 51.1F},
    {"ByteWrapsToOne", "257", 257, 1, 25.7F},
    {"DecimalPointStops", "12.7", 12, 12, 1.2F},
    {"TrailingLetters", "12abc", 12, 12, 1.2F},
    {"ExponentStops", "1e3", 1, 1, 0.1F},
    {"LeadingBlank", " 42", 42, 42, 4.2F},
    {"LeadingTabAndSign", "\t-7", -7, 249, -0.7F},
    {"PlusSign", "+5", 5, 5, 0.5F},
    {"SignOnly", "-", 0, 0, 0.0F},
    {"PlusOnly", "+", 0, 0, 0.0F},
    {"BlankOnly", " ", 0, 0, 0.0F},
    {"Letters", "abc", 0, 0, 0.0F},
    {"SignThenBlank", "- 5", 0, 0, 0.0F},
    {"LeadingZeros", "00000000000000000042", 42, 42, 4.2F},
    {"Int32Max", "2147483647", kMax, 255, 214748368.0F},
    {"Int32MaxPlusOne", "2147483648", kMax, 255, 214748368.0F},
    {"ElevenNines", "99999999999", kMax, 255, 214748368.0F},
    {"TwentyDigits", "12345678901234567890", kMax, 255, 214748368.0F},
    {"Int32Min", "-2147483648", kMin, 0, -214748368.0F},
    {"Int32MinMinusOne", "-2147483649", kMin, 0, -214748368.0F},
    {"NegativeElevenNines", "-99999999999", kMin, 0, -214748368.0F},
};
// clang-format on

class Conversion : public Decoders, public ::testing::WithParamInterface<ConversionCase>
{
};

// "RAT" field 0 is an integer, field 1 a tenths field, field 6 a byte field.
TEST_P(Conversion, FieldTextConvertsAsIntegerByteAndTenths)
{
    const ConversionCase& c = GetParam();
    const std::string t = c.text;
    ASSERT_EQ(FeedInState(3, t + ";" + t + ";0;0;0;0;" + t), 1);
    EXPECT_EQ(At<std::int32_t>(36), c.integer);
    EXPECT_EQ(At<float>(40), c.tenths);
    EXPECT_EQ(At<std::uint8_t>(60), c.byte);
}

INSTANTIATE_TEST_SUITE_P(Edges, Conversion, ::testing::ValuesIn(kConversions), RowName());

TEST(PayloadFields, SplitKeepsEmptyFields)
{
    const struct {
        const char* payload;
        std::vector<std::string> fields;
    } cases[] = {
        {"", {""}}, {";", {"", ""}}, {"1;;2", {"1", "", "2"}}, {";1;", {"", "1", ""}}, {"a", {"a"}},
    };
    for (const auto& c : cases) {
        FieldList fields;
        const std::string payload = c.payload;
        SplitFields(payload.data(), payload.size(), fields);
        std::vector<std::string> got;
        for (const PayloadField& f : fields) {
            got.emplace_back(f.begin(), f.end());
        }
        EXPECT_EQ(got, c.fields) << '"' << c.payload << '"';
    }
}

// The field list is exactly the one boost::algorithm::split gives with
// is_any_of(";") and token compression off: every payload over the letters
// "a", " " and ";" up to 8 bytes long, and some longer ones.
TEST(PayloadFields, SplitGivesTheListOfBoostSplit)
{
    std::vector<std::string> payloads = {std::string(200, ';'), "1;2;3;" + std::string(300, 'x'),
                                         std::string("a\0;b", 4)};
    const char alphabet[] = {'a', ' ', ';'};
    for (std::size_t length = 0; length <= 8; ++length) {
        std::size_t combinations = 1;
        for (std::size_t i = 0; i < length; ++i) {
            combinations *= 3;
        }
        for (std::size_t n = 0; n < combinations; ++n) {
            std::string payload;
            for (std::size_t i = 0, rest = n; i < length; ++i, rest /= 3) {
                payload += alphabet[rest % 3];
            }
            payloads.push_back(payload);
        }
    }
    for (const std::string& payload : payloads) {
        FieldList ours;
        SplitFields(payload.data(), payload.size(), ours);
        std::vector<std::string> expected;
        boost::algorithm::split(expected, payload, boost::algorithm::is_any_of(";"),
                                boost::algorithm::token_compress_off);
        ASSERT_EQ(ours.size(), expected.size()) << '"' << payload << '"';
        for (std::size_t i = 0; i < ours.size(); ++i) {
            ASSERT_EQ(std::string(ours[i].begin(), ours[i].end()), expected[i])
                << '"' << payload << "\" field " << i;
        }
    }
}

// Every field of a reply, given a distinct value, lands in its own field.
struct GroupCase {
    const char* name;
    int state;
    ReplyGroup group;
    const char* next_frame;
};

class FieldPlacement : public Decoders, public ::testing::WithParamInterface<GroupCase>
{
};

TEST_P(FieldPlacement, FieldNGoesToTheNthFieldOfTheReply)
{
    const GroupCase& c = GetParam();
    const ReplyFields fields = FieldsOf(c.group);
    std::string payload;
    for (std::size_t i = 0; i < fields.count; ++i) {
        payload += (i == 0 ? "" : ";") + std::to_string(101 + 7 * i);
    }
    ASSERT_EQ(FeedInState(c.state, payload), 1);
    for (std::size_t i = 0; i < fields.count; ++i) {
        const RecordField& f = fields.first[i];
        const std::int32_t v = static_cast<std::int32_t>(101 + 7 * i);
        switch (f.type) {
        case FieldType::Int32:
            EXPECT_EQ(At<std::int32_t>(f.offset), v) << f.name;
            break;
        case FieldType::Float32:
            EXPECT_EQ(At<float>(f.offset), static_cast<float>(v * 0.1)) << f.name;
            break;
        case FieldType::Int8:
            EXPECT_EQ(At<std::uint8_t>(f.offset), static_cast<std::uint8_t>(v)) << f.name;
            break;
        default:
            ADD_FAILURE() << f.name;
        }
    }
    EXPECT_EQ(log().Frames(), std::vector<std::string>{c.next_frame});
}

// clang-format off
const GroupCase kGroups[] = {
    {"RAT", 3, ReplyGroup::RAT, "~00P003STB"},
    {"STB", 5, ReplyGroup::STB, "~00P003STI"},
    {"STI", 6, ReplyGroup::STI, "~00P003STO"},
    {"STO", 7, ReplyGroup::STO, "~00P003STP"},
    {"STP", 8, ReplyGroup::STP, "~00P003STA"},
    {"STA", 9, ReplyGroup::STA, "~00P003VER"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Replies, FieldPlacement, ::testing::ValuesIn(kGroups), RowName());

// A reply with fewer fields resets the fields it lacks; one with more
// ignores the rest.
class FieldCount : public Decoders, public ::testing::WithParamInterface<GroupCase>
{
};

TEST_P(FieldCount, ShortAndLongFieldLists)
{
    const GroupCase& c = GetParam();
    const ReplyFields fields = FieldsOf(c.group);
    const std::uint8_t absent = c.group == ReplyGroup::STA ? 255 : 0;
    std::string full;
    for (std::size_t i = 0; i < fields.count + 4; ++i) {
        full += (i == 0 ? "" : ";") + std::string("9");
    }
    // Everything set, then a reply with only two fields.
    ASSERT_EQ(FeedInState(c.state, full), 1);
    const std::vector<std::uint8_t> before = RecordBytes();
    ASSERT_EQ(FeedInState(c.state, "3;3"), 1);
    const std::vector<std::uint8_t> after = RecordBytes();
    for (std::size_t i = 2; i < fields.count; ++i) {
        const RecordField& f = fields.first[i];
        for (std::size_t b = 0; b < f.width; ++b) {
            EXPECT_EQ(after[f.offset + b], f.width == 1 ? absent : 0) << f.name;
        }
    }
    // Nothing outside the reply's own fields moved.
    const std::size_t first = fields.first[0].offset;
    const std::size_t end =
        fields.first[fields.count - 1].offset + fields.first[fields.count - 1].width;
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + first, after.begin()));
    EXPECT_TRUE(std::equal(before.begin() + end, before.end(), after.begin() + end));
}

INSTANTIATE_TEST_SUITE_P(Replies, FieldCount, ::testing::ValuesIn(kGroups), RowName());

TEST_F(Decoders, EmptyRatingsReplyZeroesAllRatingsAndPollGoesOn)
{
    FeedInState(3, HealthyPayloads()[2]);
    log().Clear();
    EXPECT_EQ(FeedInState(3, ""), 1);
    for (std::size_t off = 36; off < 114; ++off) {
        EXPECT_EQ(At<std::uint8_t>(off), 0) << off;
    }
    EXPECT_EQ(log().Frames(), std::vector<std::string>{"~00P003STB"});
    EXPECT_EQ(dev().CommandState(), 5);
}

TEST_F(Decoders, RatingsKeepFieldsZeroToTwentyOnly)
{
    std::string payload;
    for (int i = 0; i < 25; ++i) {
        payload += (i == 0 ? "" : ";") + std::to_string(i * 10);
    }
    FeedInState(3, payload);
    EXPECT_EQ(Val(rec().RatValue15), 15.0F);
    EXPECT_EQ(Val(rec().RatValue20), 20.0F);
    EXPECT_EQ(At<std::uint8_t>(114), 0); // the battery group starts after field 20
}

TEST_F(Decoders, BatteryReplyExample)
{
    EXPECT_EQ(FeedInState(5, "0;0;0;0;120;100;2712;0;25;0"), 1);
    EXPECT_EQ(Val(rec().EstMinRmn), 120);
    EXPECT_EQ(Val(rec().EstChrgRmn), 100);
    EXPECT_EQ(Val(rec().BattryVlt), 271.2F);
    EXPECT_EQ(Val(rec().BattryCrrent), 0.0F);
    EXPECT_EQ(Val(rec().BattryTmp), 25);
    EXPECT_EQ(dev().CommandState(), 6);
    EXPECT_EQ(log().Frames(), std::vector<std::string>{"~00P003STI"});
}

struct FlagCase {
    const char* name;
    const char* payload;
    std::vector<std::uint8_t> flags; // all nineteen
};

std::vector<std::uint8_t> Flags(std::initializer_list<std::uint8_t> head)
{
    std::vector<std::uint8_t> flags(head);
    flags.resize(19, 255);
    return flags;
}

class StatusFlags : public Decoders, public ::testing::WithParamInterface<FlagCase>
{
};

TEST_P(StatusFlags, AbsentFlagsAre255)
{
    ASSERT_EQ(FeedInState(9, GetParam().payload), 1);
    std::vector<std::uint8_t> flags;
    for (std::size_t off = 293; off < 312; ++off) {
        flags.push_back(At<std::uint8_t>(off));
    }
    EXPECT_EQ(flags, GetParam().flags);
}

// clang-format off
const FlagCase kFlagCases[] = {
    {"EmptyPayload", "", Flags({0})},
    {"OneEmptyOne", "1;;1", Flags({1, 0, 1})},
    {"Reads255", "255", Flags({255})},
    {"ReadsMinusOne", "-1", Flags({255})},
    {"Reads511", "511", Flags({255})},
    {"Reads257", "257", Flags({1})},
    {"FifteenFlags", "0;1;0;1;0;1;0;1;0;1;0;1;0;1;0", Flags({0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0})},
    {"NineteenFlags", "1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;2;3;4;5", Flags({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 3, 4, 5})},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Sta, StatusFlags, ::testing::ValuesIn(kFlagCases), RowName());

TEST_F(Decoders, InputReplyNeverTouchesTheReservedBytesBehindIt)
{
    DeltanhntCmdsRply_t cached{};
    std::memset(cached.Reserved194, 0xAB, sizeof cached.Reserved194);
    LoadRecord(cached);
    FeedInState(6, "1;2;3;4;5;6;7;8;9;10;11;12;13;14;15");
    for (std::size_t off = 194; off < 198; ++off) {
        EXPECT_EQ(At<std::uint8_t>(off), 0xAB) << off;
    }
    EXPECT_EQ(Val(rec().InptCrrent3), 1.2F);
}

TEST_F(Decoders, OutputReplyWithThreeFieldsZeroesTheLines)
{
    FeedInState(7, HealthyPayloads()[5]);
    log().Clear();
    EXPECT_EQ(FeedInState(7, "2;600;3"), 1);
    EXPECT_EQ(Val(rec().OutptSrc), 2);
    EXPECT_EQ(Val(rec().OutptFrq), 60.0F);
    EXPECT_EQ(Val(rec().OutptLines), 3);
    for (std::size_t off = 204; off < 252; ++off) {
        EXPECT_EQ(At<std::uint8_t>(off), 0) << off;
    }
    EXPECT_EQ(log().Frames(), std::vector<std::string>{"~00P003STP"});
}

TEST_F(Decoders, ReplyOutOfTurnIsDecodedByTheCurrentState)
{
    // A manufacturer text arriving while the battery reply is awaited.
    EXPECT_EQ(FeedInState(5, "DELTA;7"), 1);
    EXPECT_EQ(Val(rec().StbByte0), 0);
    EXPECT_EQ(Val(rec().StbByte1), 7);
    EXPECT_EQ(log().Frames(), std::vector<std::string>{"~00P003STI"});
}

// ---- texts ----------------------------------------------------------------

struct TextCase {
    const char* name;
    std::string payload;
    std::string stored; // all 16 bytes
};

const TextCase kTexts[] = {
    {"Five", "DELTA", std::string("DELTA") + std::string(11, '\0')},
    {"Sixteen", "DELTA UPS NH 20K", "DELTA UPS NH 20K"},
    {"Twenty", "DELTA UPS NH 20K PLUS", "DELTA UPS NH 20K"},
    {"SeparatorsKept", "DELTA;NH;1", std::string("DELTA;NH;1") + std::string(6, '\0')},
    {"StopsAtZeroByte", std::string("DELTA\0XYZ", 9), std::string("DELTA") + std::string(11, '\0')},
};

class Texts : public Decoders, public ::testing::WithParamInterface<TextCase>
{
};

TEST_P(Texts, ManufacturerModelAndVersion)
{
    const TextCase& c = GetParam();
    EXPECT_EQ(FeedInState(1, c.payload), 1);
    EXPECT_EQ(std::string(rec().UpsMnu, 16), c.stored);
    EXPECT_EQ(FeedInState(2, c.payload), 1);
    EXPECT_EQ(std::string(rec().UpsMod, 16), c.stored);
    EXPECT_EQ(FeedInState(13, c.payload), 0);
    EXPECT_EQ(std::string(rec().UpsVer, 16), c.stored);
    EXPECT_EQ(log().Frames(), (std::vector<std::string>{"~00P003MOD", "~00P003RAT"}));
}

INSTANTIATE_TEST_SUITE_P(Copy, Texts, ::testing::ValuesIn(kTexts), RowName());

TEST_F(Decoders, ShortVersionTextIsZeroFilled)
{
    LoadRecord([] {
        DeltanhntCmdsRply_t r{};
        std::memset(r.UpsVer, 'z', sizeof r.UpsVer);
        return r;
    }());
    FeedInState(13, "1.2");
    EXPECT_EQ(std::string(rec().UpsVer, 16), std::string("1.2") + std::string(13, '\0'));
}

struct ManufacturerCase {
    const char* name;
    std::string payload;
    bool accepted;
};

const ManufacturerCase kManufacturers[] = {
    {"Exact", "DELTA", true},          {"Longer", "DELTA ELECTRONICS INC", true},
    {"WithFields", "DELTA;1;2", true}, {"FourLetters", "DELT", false},
    {"LowerCase", "delta", false},     {"MixedCase", "Delta", false},
    {"LeadingBlank", " DELTA", false}, {"Empty", "", false},
    {"Other", "ACME UPS", false},      {"ZeroInside", std::string("DEL\0TA", 6), false},
};

class Manufacturer : public Decoders, public ::testing::WithParamInterface<ManufacturerCase>
{
};

TEST_P(Manufacturer, OnlyADeltaUpsIsPolledFurther)
{
    const ManufacturerCase& c = GetParam();
    dev().RefreshStatus();
    log().Clear();
    const int result = Feed(Reply(c.payload));
    if (c.accepted) {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(log().Lines(), std::vector<std::string>{"SendData ~00P003MOD state=2"});
    } else {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(log().Lines(), std::vector<std::string>{"Reset"});
        EXPECT_EQ(dev().CommandState(), 1);
    }
    // The text is kept either way.
    EXPECT_EQ(std::string(rec().UpsMnu, strnlen(rec().UpsMnu, 16)),
              std::string(c.payload.substr(0, 16).c_str()));
}

INSTANTIATE_TEST_SUITE_P(Check, Manufacturer, ::testing::ValuesIn(kManufacturers), RowName());

} // namespace

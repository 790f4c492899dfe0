// Decoding each reply into the record: field lists, conversions and texts.
#include <gtest/gtest.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <array>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "DeviceFixture.h"
#include "protocol/PayloadFields.h"
#include "support/ParamNames.h"

namespace
{

using Decoders = DeviceFixture;

// Field text at the edges of the numeric conversions, with the record bytes
// each must store written out literally (little-endian), so that the PC and
// the MIPS target are held to the same bytes.
struct ConversionCase {
    const char* name;
    const char* text;
    std::array<std::uint8_t, 4> integer; // int32
    std::uint8_t byte;
    std::array<std::uint8_t, 4> tenths; // float32
};

// clang-format off
const ConversionCase kConversions[] = {
    // name                   text                     integer (int32 LE)        byte  tenths (float LE)
    {"Empty",                 "",                      {0x00, 0x00, 0x00, 0x00}, 0x00, {0x00, 0x00, 0x00, 0x00}},
    {"Zero",                  "0",                     {0x00, 0x00, 0x00, 0x00}, 0x00, {0x00, 0x00, 0x00, 0x00}},
    {"Seven",                 "7",                     {0x07, 0x00, 0x00, 0x00}, 0x07, {0x33, 0x33, 0x33, 0x3F}}, // 0.7
    {"MinusSeven",            "-7",                    {0xF9, 0xFF, 0xFF, 0xFF}, 0xF9, {0x33, 0x33, 0x33, 0xBF}}, // -0.7
    {"PlusSeven",             "+7",                    {0x07, 0x00, 0x00, 0x00}, 0x07, {0x33, 0x33, 0x33, 0x3F}},
    {"SignOnly",              "-",                     {0x00, 0x00, 0x00, 0x00}, 0x00, {0x00, 0x00, 0x00, 0x00}},
    {"PlusOnly",              "+",                     {0x00, 0x00, 0x00, 0x00}, 0x00, {0x00, 0x00, 0x00, 0x00}},
    {"MinusZero",             "-0",                    {0x00, 0x00, 0x00, 0x00}, 0x00, {0x00, 0x00, 0x00, 0x00}}, // +0.0
    {"BlankOnly",             " ",                     {0x00, 0x00, 0x00, 0x00}, 0x00, {0x00, 0x00, 0x00, 0x00}},
    {"ThreeBlanksLed",        "   42",                 {0x2A, 0x00, 0x00, 0x00}, 0x2A, {0x66, 0x66, 0x86, 0x40}}, // 4.2
    {"TabThenMinus",          "\t-3",                  {0xFD, 0xFF, 0xFF, 0xFF}, 0xFD, {0x9A, 0x99, 0x99, 0xBE}}, // -0.3
    {"OtherWhiteSpaceLed",    "\v\f\r\n5",             {0x05, 0x00, 0x00, 0x00}, 0x05, {0x00, 0x00, 0x00, 0x3F}}, // 0.5
    {"TrailingBlank",         "42 ",                   {0x2A, 0x00, 0x00, 0x00}, 0x2A, {0x66, 0x66, 0x86, 0x40}},
    {"BlankInside",           "4 2",                   {0x04, 0x00, 0x00, 0x00}, 0x04, {0xCD, 0xCC, 0xCC, 0x3E}}, // 0.4
    {"TrailingLetters",       "12abc",                 {0x0C, 0x00, 0x00, 0x00}, 0x0C, {0x9A, 0x99, 0x99, 0x3F}}, // 1.2
    {"LettersFirst",          "abc12",                 {0x00, 0x00, 0x00, 0x00}, 0x00, {0x00, 0x00, 0x00, 0x00}},
    {"DecimalPointStops",     "12.7",                  {0x0C, 0x00, 0x00, 0x00}, 0x0C, {0x9A, 0x99, 0x99, 0x3F}}, // 1.2
    {"HexPrefix",             "0x1F",                  {0x00, 0x00, 0x00, 0x00}, 0x00, {0x00, 0x00, 0x00, 0x00}},
    {"ExponentStops",         "1e3",                   {0x01, 0x00, 0x00, 0x00}, 0x01, {0xCD, 0xCC, 0xCC, 0x3D}}, // 0.1
    {"PlusMinus",             "+-5",                   {0x00, 0x00, 0x00, 0x00}, 0x00, {0x00, 0x00, 0x00, 0x00}},
    {"TwoMinus",              "--5",                   {0x00, 0x00, 0x00, 0x00}, 0x00, {0x00, 0x00, 0x00, 0x00}},
    {"SignThenBlank",         "- 5",                   {0x00, 0x00, 0x00, 0x00}, 0x00, {0x00, 0x00, 0x00, 0x00}},
    {"NonAsciiDigit",         "\xD9\xA1",              {0x00, 0x00, 0x00, 0x00}, 0x00, {0x00, 0x00, 0x00, 0x00}}, // not an ASCII digit
    {"Int32Max",              "2147483647",            {0xFF, 0xFF, 0xFF, 0x7F}, 0xFF, {0xCD, 0xCC, 0x4C, 0x4D}}, // 214748368
    {"Int32MaxPlusOne",       "2147483648",            {0xFF, 0xFF, 0xFF, 0x7F}, 0xFF, {0xCD, 0xCC, 0x4C, 0x4D}},
    {"Int32Min",              "-2147483648",           {0x00, 0x00, 0x00, 0x80}, 0x00, {0xCD, 0xCC, 0x4C, 0xCD}},
    {"Int32MinMinusOne",      "-2147483649",           {0x00, 0x00, 0x00, 0x80}, 0x00, {0xCD, 0xCC, 0x4C, 0xCD}},
    {"TwoToThe32",            "4294967296",            {0xFF, 0xFF, 0xFF, 0x7F}, 0xFF, {0xCD, 0xCC, 0x4C, 0x4D}}, // no wrap to 0
    {"TwoToThe32PlusOne",     "4294967297",            {0xFF, 0xFF, 0xFF, 0x7F}, 0xFF, {0xCD, 0xCC, 0x4C, 0x4D}}, // no wrap to 1
    {"ElevenNines",           "99999999999",           {0xFF, 0xFF, 0xFF, 0x7F}, 0xFF, {0xCD, 0xCC, 0x4C, 0x4D}},
    {"NegativeElevenNines",   "-99999999999",          {0x00, 0x00, 0x00, 0x80}, 0x00, {0xCD, 0xCC, 0x4C, 0xCD}},
    {"ThirteenDigits",        "2147483647999",         {0xFF, 0xFF, 0xFF, 0x7F}, 0xFF, {0xCD, 0xCC, 0x4C, 0x4D}},
    {"LeadingZeros",          "00000000000000000042",  {0x2A, 0x00, 0x00, 0x00}, 0x2A, {0x66, 0x66, 0x86, 0x40}},
    {"BeyondFloatPrecision",  "16777217",              {0x01, 0x00, 0x00, 0x01}, 0x01, {0xCD, 0xCC, 0xCC, 0x49}}, // 1677721.625
    {"ByteWraps",             "300",                   {0x2C, 0x01, 0x00, 0x00}, 0x2C, {0x00, 0x00, 0xF0, 0x41}}, // 30.0
    {"MinusOne",              "-1",                    {0xFF, 0xFF, 0xFF, 0xFF}, 0xFF, {0xCD, 0xCC, 0xCC, 0xBD}}, // -0.1
    {"ByteMax",               "255",                   {0xFF, 0x00, 0x00, 0x00}, 0xFF, {0x00, 0x00, 0xCC, 0x41}}, // 25.5
    {"ByteWrapsToZero",       "256",                   {0x00, 0x01, 0x00, 0x00}, 0x00, {0xCD, 0xCC, 0xCC, 0x41}}, // 25.6
    {"ByteWrapsToOne",        "257",                   {0x01, 0x01, 0x00, 0x00}, 0x01, {0x9A, 0x99, 0xCD, 0x41}}, // 25.7
    {"ByteAll",               "511",                   {0xFF, 0x01, 0x00, 0x00}, 0xFF, {0x66, 0x66, 0x4C, 0x42}}, // 51.1
    {"TenthsHalf",            "2305",                  {0x01, 0x09, 0x00, 0x00}, 0x01, {0x00, 0x80, 0x66, 0x43}}, // 230.5
    {"Negative",              "-15",                   {0xF1, 0xFF, 0xFF, 0xFF}, 0xF1, {0x00, 0x00, 0xC0, 0xBF}}, // -1.5
    {"BatteryVoltage",        "2712",                  {0x98, 0x0A, 0x00, 0x00}, 0x98, {0x9A, 0x99, 0x87, 0x43}}, // 271.2
    {"Plain",                 "220",                   {0xDC, 0x00, 0x00, 0x00}, 0xDC, {0x00, 0x00, 0xB0, 0x41}}, // 22.0
    {"LeadingBlank",          " 42",                   {0x2A, 0x00, 0x00, 0x00}, 0x2A, {0x66, 0x66, 0x86, 0x40}}, // 4.2
    {"LeadingTabAndSign",     "\t-7",                  {0xF9, 0xFF, 0xFF, 0xFF}, 0xF9, {0x33, 0x33, 0x33, 0xBF}}, // -0.7
    {"PlusSign",              "+5",                    {0x05, 0x00, 0x00, 0x00}, 0x05, {0x00, 0x00, 0x00, 0x3F}}, // 0.5
    {"Letters",               "abc",                   {0x00, 0x00, 0x00, 0x00}, 0x00, {0x00, 0x00, 0x00, 0x00}},
    {"TwentyDigits",          "12345678901234567890",  {0xFF, 0xFF, 0xFF, 0x7F}, 0xFF, {0xCD, 0xCC, 0x4C, 0x4D}},
};
// clang-format on

std::string Hex(const std::uint8_t* bytes, std::size_t n)
{
    std::string text;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X ", bytes[i]);
        text += b;
    }
    return text;
}

class Conversion : public Decoders, public ::testing::WithParamInterface<ConversionCase>
{
};

// Each text goes into the three kinds of field of two replies: "RAT" field 0
// (integer, record bytes 36 to 39), 1 (tenths, 40 to 43) and 6 (byte, 60),
// read from the device's record; "STB" field 0 (byte, 114), 3 (integer, 117
// to 120) and 6 (tenths, 129 to 132), read from the record the round
// reports.
TEST_P(Conversion, FieldTextConvertsAsIntegerByteAndTenths)
{
    const ConversionCase& c = GetParam();
    const std::string t = c.text;
    ASSERT_EQ(FeedInState(3, t + ";" + t + ";0;0;0;0;" + t), 1);
    const std::vector<std::uint8_t> decoded = RecordBytes();
    EXPECT_EQ(Hex(&decoded[36], 4), Hex(c.integer.data(), 4)) << "RAT integer";
    EXPECT_EQ(Hex(&decoded[40], 4), Hex(c.tenths.data(), 4)) << "RAT tenths";
    EXPECT_EQ(Hex(&decoded[60], 1), Hex(&c.byte, 1)) << "RAT byte";

    FeedInState(5, t + ";;;" + t + ";;;" + t);
    testing::internal::CaptureStdout(); // the round's "rvSize is" line
    FeedInState(13, "V");
    testing::internal::GetCapturedStdout();
    const std::vector<std::uint8_t> reported = log().FirstRecord();
    ASSERT_EQ(reported.size(), 338U);
    EXPECT_EQ(Hex(&reported[117], 4), Hex(c.integer.data(), 4)) << "STB integer";
    EXPECT_EQ(Hex(&reported[114], 1), Hex(&c.byte, 1)) << "STB byte";
    EXPECT_EQ(Hex(&reported[129], 4), Hex(c.tenths.data(), 4)) << "STB tenths";
}

INSTANTIATE_TEST_SUITE_P(Edges, Conversion, ::testing::ValuesIn(kConversions), RowName());

TEST(NumericText, TableHasAtLeastThirtyEdges)
{
    EXPECT_GE(std::size(kConversions), 30U);
}

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

// The UPS model (what each query is answered with, how values drift) and
// the query frames the simulator recognises.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "SimTest.h"
#include "upssim/Frames.h"
#include "upssim/UpsModel.h"

namespace
{

using simtest::Fields;
using upssim::ReplyField;
using upssim::UpsModel;

const ReplyField& Field(const char* name)
{
    const ReplyField* field = upssim::FindReplyField(name);
    EXPECT_NE(field, nullptr) << name;
    return *field;
}

// Each numeric reply carries exactly the fields its decoder reads, all
// integers; the texts are a healthy DELTA UPS's.
TEST(Model, RepliesOfAHealthyUps)
{
    const std::pair<CommandIndex, std::size_t> counts[] = {
        {CMD_RAT, 21}, {CMD_STB, 10}, {CMD_STI, 12}, {CMD_STO, 15}, {CMD_STP, 11}, {CMD_STA, 19}};
    UpsModel model;
    for (const auto& [command, count] : counts) {
        const std::string payload = *model.Payload(command);
        const std::vector<std::string> fields = Fields(payload);
        EXPECT_EQ(fields.size(), count) << payload;
        for (const std::string& field : fields) {
            EXPECT_TRUE(!field.empty() &&
                        field.find_first_not_of("-0123456789") == std::string::npos)
                << payload;
        }
    }
    EXPECT_EQ(model.Payload(CMD_MNU), "DELTA");
    EXPECT_EQ(model.Payload(CMD_STA), "0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0");
    EXPECT_FALSE(model.Payload(CMD_COUNT).has_value());
    const std::vector<std::string> input = Fields(*model.Payload(CMD_STI));
    EXPECT_NEAR(std::stoi(input[1]), 500, 5);   // InptFrq1, tenths of Hz
    EXPECT_NEAR(std::stoi(input[2]), 2200, 60); // InptVlt1, tenths of V
}

// Over many polls every value stays within nominal +- spread and the
// measurements do move; the same seed gives the same values; with drift off
// nothing moves.
TEST(Model, DriftIsBoundedRepeatableAndCanBeStopped)
{
    UpsModel model(42), twin(42);
    std::map<std::string, std::pair<std::int32_t, std::int32_t>> range;
    for (int poll = 0; poll < 2000; ++poll) {
        for (const CommandIndex command : {CMD_RAT, CMD_STB, CMD_STI, CMD_STO, CMD_STP}) {
            ASSERT_EQ(model.Payload(command), twin.Payload(command));
        }
        for (const ReplyField& field : upssim::ReplyFields()) {
            const std::int32_t value = model.Value(field);
            ASSERT_LE(std::abs(value - model.Nominal(field)), model.Spread(field)) << field.name;
            auto [at, fresh] = range.emplace(field.name, std::make_pair(value, value));
            at->second = {std::min(at->second.first, value), std::max(at->second.second, value)};
        }
    }
    for (const char* moving : {"InptVlt1", "BattryVlt", "OutptFrq", "OutptLd2"}) {
        EXPECT_LT(range[moving].first, range[moving].second) << moving;
    }
    EXPECT_EQ(range["RatInptVlt"].first, range["RatInptVlt"].second);
    EXPECT_EQ(range["InptFail"].second, 0);

    model.SetDrift(false);
    const std::string before = *model.Payload(CMD_STI);
    for (int poll = 0; poll < 50; ++poll) {
        EXPECT_EQ(*model.Payload(CMD_STI), before);
    }
}

TEST(Model, SetValuesAndFlagsGoToTheirPlaceAndStayUntilReset)
{
    UpsModel model;
    model.Set(Field("battryvlt"), 2650); // names in any case
    model.Set(Field("OutptLd3"), 99);
    model.Set(Field("InptFail"), 1);
    model.Set(*upssim::StatusFlag(18), 1);
    model.SetText(CMD_MNU, "ACME");
    for (int poll = 0; poll < 10; ++poll) {
        EXPECT_EQ(Fields(*model.Payload(CMD_STB))[6], "2650");
        EXPECT_EQ(Fields(*model.Payload(CMD_STO))[14], "99");
        EXPECT_EQ(*model.Payload(CMD_STA), "0;1;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;1");
    }
    EXPECT_EQ(model.Payload(CMD_MNU), "ACME");
    EXPECT_EQ(upssim::FindReplyField("UpsMnu"), nullptr); // a text, not a field
    EXPECT_EQ(upssim::StatusFlag(19), nullptr);

    model.Reset();
    EXPECT_EQ(model.Payload(CMD_MNU), "DELTA");
    EXPECT_EQ(Fields(*model.Payload(CMD_STA))[1], "0");
}

struct ScanCase {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> frames;
    std::size_t skipped;
};

TEST(QueryScanner, FindsQueriesInAnyChunkingAmongNoise)
{
    const ScanCase cases[] = {
        {"two in one chunk", {"~00P003MNU~00P003MOD"}, {"~00P003MNU", "~00P003MOD"}, 0},
        {"byte by byte", {"~", "0", "0", "P", "0", "0", "3", "S", "T", "A"}, {"~00P003STA"}, 0},
        {"noise before", {"\x01\xff~~00P003VER"}, {"~00P003VER"}, 3},
        {"broken off by a new frame", {"~00P003M", "~00P003MNU"}, {"~00P003MNU"}, 8},
        {"a reply is not a query", {"~00D005DELTA~00P003MNU"}, {"~00P003MNU"}, 12},
        {"lower-case code", {"~00P003mnu~00P003MNU"}, {"~00P003MNU"}, 10},
        {"other address", {"~01P003MNU"}, {"~01P003MNU"}, 0},
        {"incomplete", {"~00P003MN"}, {}, 0},
    };
    for (const ScanCase& c : cases) {
        upssim::QueryScanner scanner;
        std::vector<upssim::Query> queries;
        for (const std::string& chunk : c.chunks) {
            scanner.Feed(chunk.data(), chunk.size(), queries);
        }
        std::vector<std::string> frames;
        for (const upssim::Query& query : queries) {
            frames.push_back(query.frame);
            EXPECT_EQ(query.address + query.code, query.frame.substr(1, 2) + query.frame.substr(7));
        }
        EXPECT_EQ(frames, c.frames) << c.name;
        EXPECT_EQ(scanner.TakeSkipped(), c.skipped) << c.name;
    }
    EXPECT_EQ(upssim::ReplyFrame("01", ""), "~01D000");
}

} // namespace

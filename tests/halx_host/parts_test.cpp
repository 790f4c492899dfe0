// Parts of the tools on their own: bytes and number formatting, the trace
// file's rotation, the time stamp, the poll cycle in the plug-in's terms.
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <regex>

#include <gtest/gtest.h>

#include "RecordFormat.h"
#include "TraceFile.h"
#include "common/Format.h"
#include "common/JsonLine.h"
#include "common/PollCycle.h"
#include "support/Replies.h"
#include "support/TempDir.h"

namespace
{

using tools::ShortestFloat;

struct FloatCase {
    float value;
    const char* text; // nullptr: only the round trip is checked
};

void PrintTo(const FloatCase& c, std::ostream* os)
{
    *os << ShortestFloat(c.value);
}

class ShortestFloatTest : public testing::TestWithParam<FloatCase>
{
};

TEST_P(ShortestFloatTest, ReadsBackToTheSameFloat)
{
    const FloatCase& c = GetParam();
    const std::string text = ShortestFloat(c.value);
    EXPECT_EQ(std::strtof(text.c_str(), nullptr), c.value) << text;
    if (c.text != nullptr) {
        EXPECT_EQ(text, c.text);
    }
    // Through JSON: the written number reads back to the same float.
    const std::string json = tools::JsonText(tools::JsonFloat(c.value));
    EXPECT_EQ(static_cast<float>(std::strtod(json.c_str(), nullptr)), c.value) << json;
}

INSTANTIATE_TEST_SUITE_P(
    HalxHost, ShortestFloatTest,
    testing::Values(FloatCase{220.5F, "220.5"}, FloatCase{271.2F, "271.2"}, FloatCase{0.1F, "0.1"},
                    FloatCase{220.0F, "220"}, FloatCase{-12.3F, "-12.3"}, FloatCase{0.0F, "0"},
                    FloatCase{16777216.0F, "16777216"}, FloatCase{1.0e-45F, nullptr},
                    FloatCase{3.40282347e38F, nullptr}, FloatCase{1.17549435e-38F, nullptr},
                    FloatCase{0.3333333F, nullptr}, FloatCase{123456.79F, nullptr}));

TEST(JsonFloat, WholeNumbersAreIntegersAndSpecialValuesNull)
{
    EXPECT_EQ(tools::JsonText(tools::JsonFloat(220.0F)), "220");
    EXPECT_EQ(tools::JsonText(tools::JsonFloat(271.2F)), "271.2");
    EXPECT_EQ(tools::JsonText(tools::JsonFloat(std::nanf(""))), "null");
    EXPECT_EQ(tools::JsonText(tools::JsonFloat(std::numeric_limits<float>::infinity())), "null");
}

TEST(JsonObject, KeepsMemberOrderAndWritesUtf8)
{
    tools::JsonObject o;
    o.Add("event", "alarm").Add("name", "交流输出电流过高").Add("a", 1);
    EXPECT_EQ(o.Text(), "{\"event\":\"alarm\",\"name\":\"交流输出电流过高\",\"a\":1}");
}

TEST(Bytes, HexAndPrintableText)
{
    const std::string bytes("a\\~\x00\xff\x7f ", 7);
    EXPECT_EQ(tools::Hex(bytes), "615c7e00ff7f20");
    EXPECT_EQ(tools::FromHex("615c7E00FF7f20"), bytes);
    EXPECT_EQ(tools::FromHex(""), "");
    EXPECT_EQ(tools::FromHex("7e3"), std::nullopt);
    EXPECT_EQ(tools::FromHex("7g"), std::nullopt);
    // A backslash is escaped too, so the text reads back unambiguously.
    EXPECT_EQ(tools::Printable(bytes), "a\\x5c~\\x00\\xff\\x7f ");
    const unsigned char text[] = {'D', 'E', 0x0d, 0};
    EXPECT_EQ(halxhost::RecordText(text, sizeof text), "DE\\x0d");
    EXPECT_EQ(halxhost::RecordText(text, 1), "D");
}

TEST(LocalTimestamp, MicrosecondsAndTheOffsetFromUtc)
{
    const auto t = std::chrono::system_clock::now();
    const std::regex plain(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6})");
    const std::regex offset(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}[+-]\d\d:\d\d)");
    EXPECT_TRUE(std::regex_match(tools::LocalTimestamp(t), plain)) << tools::LocalTimestamp(t);
    EXPECT_TRUE(std::regex_match(tools::LocalTimestamp(t, true), offset))
        << tools::LocalTimestamp(t, true);
    EXPECT_EQ(tools::LocalTimestamp(t, true).rfind(tools::LocalTimestamp(t), 0), 0U);
}

// The cycle the plug-in polls, read from its poll steps: the frames it sends
// and the reply each state awaits.
TEST(PollCycle, QueriesInOrderWithTheirReplies)
{
    std::vector<std::string> frames;
    for (const CommandIndex command : tools::PollCycle()) {
        frames.push_back(tools::QueryFrame(command));
    }
    EXPECT_EQ(frames, CycleFrames());
    EXPECT_STREQ(tools::AwaitedReply(STATE_MNU), "MNU");
    EXPECT_STREQ(tools::AwaitedReply(STATE_STI), "STI");
    EXPECT_STREQ(tools::AwaitedReply(STATE_VER), "VER");
    EXPECT_STREQ(tools::AwaitedReply(4), "");
    EXPECT_EQ(tools::ReplyGroupOf(CMD_STA), ReplyGroup::STA);
    EXPECT_EQ(tools::ReplyGroupOf(CMD_VER), ReplyGroup::VER);
    EXPECT_EQ(tools::ReplyGroupOf(CMD_TSR), ReplyGroup::Host);
    EXPECT_EQ(tools::FindCommand("UID"), CMD_UID);
    EXPECT_EQ(tools::FindCommand("mnu"), CMD_COUNT);
}

TEST(StampText, ShowsTheHostTimeStamp)
{
    const unsigned char stamp[7] = {0xEA, 0x07, 12, 8, 18, 39, 2};
    EXPECT_EQ(halxhost::StampText(stamp), "2026-12-08T18:39:02");
    const unsigned char zero[7] = {};
    EXPECT_EQ(halxhost::StampText(zero), "");
    const unsigned char bad[7] = {0xEA, 0x07, 13, 8, 18, 39, 2};
    EXPECT_EQ(halxhost::StampText(bad), "ea070d08122702");
}

TEST(TraceFile, MovesToDotOneWhenFullAndLosesNothingSinceThen)
{
    const TempDir dir;
    const std::string path = dir.File("t.log");
    constexpr std::uint64_t kLimit = 2048;
    constexpr int kChunks = 300;
    {
        halxhost::TraceFile trace(path, kLimit, "a test");
        for (int i = 0; i < kChunks; ++i) {
            // Each chunk carries its number, so the order can be checked.
            const unsigned char chunk[4] = {static_cast<unsigned char>(i >> 8),
                                            static_cast<unsigned char>(i & 0xFF), 0x7E, 0x00};
            if (i % 2 == 0) {
                trace.Sent(chunk, sizeof chunk);
            } else {
                trace.Received(chunk, sizeof chunk);
            }
        }
    }
    const std::regex format(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6} (tx|rx) ([0-9a-f]{4})7e00)");
    std::vector<int> numbers;
    for (const std::string& file : {path + ".1", path}) {
        std::ifstream in(file);
        ASSERT_TRUE(in) << file;
        std::string line;
        std::uint64_t size = 0;
        bool first = true;
        while (std::getline(in, line)) {
            size += line.size() + 1;
            if (first) {
                EXPECT_EQ(line.rfind("# halx-host trace of a test, started ", 0), 0U) << line;
                first = false;
            }
            if (line.rfind('#', 0) == 0) {
                continue;
            }
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, format)) << line;
            const int n = std::stoi(m[2].str(), nullptr, 16);
            EXPECT_EQ(m[1].str(), n % 2 == 0 ? "tx" : "rx");
            numbers.push_back(n);
        }
        EXPECT_LE(size, kLimit) << file;
    }

    // FILE.1 then FILE hold the latest chunks, consecutive, up to the last.
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.back(), kChunks - 1);
    for (std::size_t i = 1; i < numbers.size(); ++i) {
        EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
    }
    EXPECT_LT(numbers.size(), static_cast<std::size_t>(kChunks)) << "the limit was never reached";
}

} // namespace

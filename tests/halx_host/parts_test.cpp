// Parts of halx-host on their own: number formatting, the trace file's
// rotation, the time stamp.
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <regex>

#include <gtest/gtest.h>

#include "JsonLine.h"
#include "RecordFormat.h"
#include "TraceFile.h"

namespace
{

using halxhost::ShortestFloat;

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
    const std::string json = halxhost::JsonText(halxhost::JsonFloat(c.value));
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
    EXPECT_EQ(halxhost::JsonText(halxhost::JsonFloat(220.0F)), "220");
    EXPECT_EQ(halxhost::JsonText(halxhost::JsonFloat(271.2F)), "271.2");
    EXPECT_EQ(halxhost::JsonText(halxhost::JsonFloat(std::nanf(""))), "null");
    EXPECT_EQ(halxhost::JsonText(halxhost::JsonFloat(std::numeric_limits<float>::infinity())),
              "null");
}

TEST(JsonObject, KeepsMemberOrderAndWritesUtf8)
{
    halxhost::JsonObject o;
    o.Add("event", "alarm").Add("name", "交流输出电流过高").Add("a", 1);
    EXPECT_EQ(o.Text(), "{\"event\":\"alarm\",\"name\":\"交流输出电流过高\",\"a\":1}");
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
    char dir[] = "/tmp/halx-host-trace-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/t.log";
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
    std::remove((path + ".1").c_str());
    std::remove(path.c_str());
    rmdir(dir);

    // FILE.1 then FILE hold the latest chunks, consecutive, up to the last.
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.back(), kChunks - 1);
    for (std::size_t i = 1; i < numbers.size(); ++i) {
        EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
    }
    EXPECT_LT(numbers.size(), static_cast<std::size_t>(kChunks)) << "the limit was never reached";
}

} // namespace

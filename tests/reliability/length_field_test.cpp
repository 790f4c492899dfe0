// The three length characters of a reply header, every one of "000" to
// "999" and the non-digit shapes a noisy line produces: each header ends,
// within the call that completes it, either in a reply that completes after
// exactly that many payload bytes or in a rejection (Reset, result 0).  The
// sanitizer build runs the same cases with bounds checking.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "ReliabilityDevice.h"

namespace
{

constexpr char kRatFrame[] = "~00P003RAT";

// Feeds a header in the MOD state and, when it is accepted, its payload;
// checks that the reply completes on exactly the last payload byte.
void ExpectCompletesAfter(const std::string& length_field, int length)
{
    SCOPED_TRACE("length field \"" + length_field + "\"");
    ReliabilityDevice d;
    d.device().SetCommandState(ReliabilityDevice::kCommandStateMOD);
    const std::string payload(static_cast<std::size_t>(length), 'x');

    if (length > 0) {
        EXPECT_EQ(d.Feed("~00D" + length_field + payload.substr(1)), 1);
        EXPECT_TRUE(d.log().calls.empty());
        EXPECT_EQ(d.device().ReceivedCount(), 6U + static_cast<unsigned>(length));
        EXPECT_EQ(d.Feed(payload.substr(0, 1) + "~00D"), 1);
    } else {
        // Complete with the header; a "~" in the same chunk goes with it.
        EXPECT_EQ(d.Feed("~00D" + length_field + "~00D"), 1);
    }
    EXPECT_EQ(d.log().Frames(), std::vector<std::string>{kRatFrame});
    EXPECT_EQ(d.device().ReceivedCount(), 0U);
}

void ExpectRejected(const std::string& length_field)
{
    SCOPED_TRACE("length field \"" + length_field + "\"");
    ReliabilityDevice d;
    d.device().SetCommandState(ReliabilityDevice::kCommandStateMOD);
    EXPECT_EQ(d.Feed("~00D" + length_field + "DELTA"), 0);
    EXPECT_EQ(d.log().Lines(), std::vector<std::string>{"Reset"});
    EXPECT_EQ(d.device().ReceivedCount(), 0U);
}

} // namespace

TEST(LengthField, EveryThreeDigitLengthCompletesAfterExactlyThatManyBytes)
{
    for (int length = 0; length <= 999; ++length) {
        char field[8];
        std::snprintf(field, sizeof field, "%03d", length);
        ExpectCompletesAfter(field, length);
        if (HasFailure()) {
            return;
        }
    }
}

TEST(LengthField, EveryThreeDigitLengthInOneChunkCompletesInThatCall)
{
    for (int length = 0; length <= 999; ++length) {
        char field[8];
        std::snprintf(field, sizeof field, "%03d", length);
        ReliabilityDevice d;
        d.device().SetCommandState(ReliabilityDevice::kCommandStateMOD);
        const std::string reply =
            "~00D" + std::string(field) + std::string(static_cast<std::size_t>(length), '~');
        ASSERT_EQ(d.Feed(reply), 1) << field;
        ASSERT_EQ(d.log().Frames(), std::vector<std::string>{kRatFrame}) << field;
        ASSERT_EQ(d.device().ReceivedCount(), 0U) << field;
    }
}

TEST(LengthField, ShapesThatReadAsANumber)
{
    const struct {
        const char* field;
        int length;
    } cases[] = {
        {" 12", 12},  {"12;", 12}, {"1 2", 1}, {"+12", 12}, {"  7", 7}, {"\t\n7", 7}, {"\v\f7", 7},
        {"0x1", 0},   {"1e2", 1},  {"00;", 0}, {"-00", 0},  {"+00", 0}, {" +5", 5},   {"9 9", 9},
        {"5\r\n", 5}, {"7;;", 7},  {"08A", 8}, {"099", 99}, {"1~0", 1}, {"3D0", 3},
    };
    for (const auto& c : cases) {
        ExpectCompletesAfter(c.field, c.length);
    }
}

TEST(LengthField, ShapesWithoutDigitsOrNegativeAreRejected)
{
    const std::string cases[] = {
        "abc",
        "   ",
        ";12",
        "+-1",
        "--1",
        "- 1",
        "+ 1",
        " -1",
        "-01",
        "-99",
        "-9;",
        "~00",
        "DEL",
        "\r\n\r",
        "x12",
        ";;;",
        "+++",
        "-  ",
        std::string("\0"
                    "12",
                    3),
        std::string("\xB3\xB2\xB1", 3),
    };
    for (const std::string& field : cases) {
        ExpectRejected(field);
    }
}

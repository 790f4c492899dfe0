// Times as the history writes and reads them: RFC 3339 out (UTC and local
// zones with odd offsets, before 1970), RFC 3339 and local times in (every
// part at its edges), and the record's own stamp.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "TimeText.h"

namespace
{

using namespace history;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

// 2026-12-09T03:00:00Z
const Clock::time_point kT0 = Clock::time_point(seconds(1796785200));

// Sets TZ for one test (POSIX zone strings: no time zone database needed).
class Zone
{
public:
    explicit Zone(const char* tz)
    {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) {
            old_ = old;
        }
        setenv("TZ", tz, 1);
        tzset();
    }
    ~Zone()
    {
        if (had_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    Zone(const Zone&) = delete;
    Zone& operator=(const Zone&) = delete;

private:
    bool had_ = false;
    std::string old_;
};

struct FormatRow {
    const char* name;
    Clock::time_point time;
    const char* zone; // nullptr: UTC
    const char* text;
};

void PrintTo(const FormatRow& row, std::ostream* os)
{
    *os << row.name;
}

class FormatTest : public ::testing::TestWithParam<FormatRow>
{
};

TEST_P(FormatTest, Rfc3339)
{
    const FormatRow& row = GetParam();
    if (row.zone == nullptr) {
        EXPECT_EQ(Rfc3339(row.time), row.text);
    } else {
        const Zone zone(row.zone);
        EXPECT_EQ(Rfc3339(row.time, true), row.text);
    }
    // And it reads back as the millisecond it names.
    Clock::time_point back;
    std::string why;
    ASSERT_TRUE(ParseTime(row.text, back, why)) << why;
    EXPECT_EQ(back, FromMilliseconds(ToMilliseconds(row.time)));
}

INSTANTIATE_TEST_SUITE_P(
    Times, FormatTest,
    ::testing::Values(FormatRow{"Utc", kT0 + milliseconds(123), nullptr,
                                "2026-12-09T03:00:00.123Z"},
                      FormatRow{"SubMillisecondRoundsDown", kT0 + std::chrono::microseconds(999),
                                nullptr, "2026-12-09T03:00:00.000Z"},
                      FormatRow{"Epoch", Clock::time_point(), nullptr, "1970-01-01T00:00:00.000Z"},
                      FormatRow{"BeforeEpoch", Clock::time_point(milliseconds(-1)), nullptr,
                                "1969-12-31T23:59:59.999Z"},
                      FormatRow{"HalfHourEast", kT0, "IST-5:30", "2026-12-09T08:30:00.000+05:30"},
                      FormatRow{"HalfHourWest", kT0, "NST+3:30", "2026-12-08T23:30:00.000-03:30"},
                      FormatRow{"LocalUtc", kT0, "UTC0", "2026-12-09T03:00:00.000+00:00"},
                      FormatRow{"SummerTime", Clock::time_point(seconds(1782000000)),
                                "CET-1CEST,M3.5.0,M10.5.0/3", "2026-06-21T02:00:00.000+02:00"}),
    [](const ::testing::TestParamInfo<FormatRow>& row) { return std::string(row.param.name); });

struct ParseRow {
    const char* name;
    const char* text;
    bool ok;
    Clock::time_point time; // when ok
    const char* why;        // when not
};

void PrintTo(const ParseRow& row, std::ostream* os)
{
    *os << row.name;
}

class ParseTest : public ::testing::TestWithParam<ParseRow>
{
};

TEST_P(ParseTest, ReadsOrSaysWhy)
{
    // Local times read in a zone half an hour off the hour.
    const Zone zone("IST-5:30");
    const ParseRow& row = GetParam();
    Clock::time_point time;
    std::string why;
    EXPECT_EQ(ParseTime(row.text, time, why), row.ok) << row.text;
    if (row.ok) {
        EXPECT_EQ(time, row.time);
        EXPECT_EQ(why, "");
    } else {
        EXPECT_EQ(why, row.why);
    }
}

const Clock::time_point kNone{};

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseTest,
    ::testing::Values(
        ParseRow{"Utc", "2026-12-09T03:00:00Z", true, kT0, ""},
        ParseRow{"LowerCase", "2026-12-09t03:00:00z", true, kT0, ""},
        ParseRow{"SpaceForT", "2026-12-09 03:00:00Z", true, kT0, ""},
        ParseRow{"NoSeconds", "2026-12-09T03:00Z", true, kT0, ""},
        ParseRow{"Fraction", "2026-12-09T03:00:00.5Z", true, kT0 + milliseconds(500), ""},
        ParseRow{"Nanoseconds", "2026-12-09T03:00:00.123456789Z", true,
                 kT0 + nanoseconds(123456789), ""},
        ParseRow{"BeyondNanoseconds", "2026-12-09T03:00:00.1234567899Z", true,
                 kT0 + nanoseconds(123456789), ""},
        ParseRow{"OffsetEast", "2026-12-09T04:30:00+01:30", true, kT0, ""},
        ParseRow{"OffsetWest", "2026-12-09T00:00:00-03:00", true, kT0, ""},
        ParseRow{"LeapDay", "2024-02-29T00:00:00Z", true, Clock::time_point(seconds(1709164800)),
                 ""},
        ParseRow{"LeapSecond", "2026-12-09T02:59:60Z", true, kT0, ""},
        ParseRow{"LocalTime", "2026-12-09T08:30:00", true, kT0, ""},
        ParseRow{"LocalDate", "2026-12-10", true,
                 kT0 + std::chrono::hours(15) + std::chrono::minutes(30), ""},
        ParseRow{"Empty", "", false, kNone, "not a date (YYYY-MM-DD)"},
        ParseRow{"ShortYear", "26-12-09", false, kNone, "not a date (YYYY-MM-DD)"},
        ParseRow{"Month13", "2026-13-01", false, kNone, "no such date"},
        ParseRow{"Month0", "2026-00-01", false, kNone, "no such date"},
        ParseRow{"Day32", "2026-12-32", false, kNone, "no such date"},
        ParseRow{"NoLeapDay", "2025-02-29", false, kNone, "no such date"},
        ParseRow{"NoLeapDayCentury", "2100-02-29", false, kNone, "no such date"},
        ParseRow{"Hour24", "2026-12-09T24:00:00Z", false, kNone, "no such time of day"},
        ParseRow{"Minute60", "2026-12-09T03:60:00Z", false, kNone, "no such time of day"},
        ParseRow{"Second61", "2026-12-09T03:00:61Z", false, kNone, "no such time of day"},
        ParseRow{"OneDigitHour", "2026-12-09T3:00:00Z", false, kNone,
                 "not a time of day (hh:mm[:ss])"},
        ParseRow{"NoFractionDigits", "2026-12-09T03:00:00.Z", false, kNone,
                 "no digits after the decimal point"},
        ParseRow{"OffsetWithoutColon", "2026-12-09T03:00:00+0100", false, kNone,
                 "not a zone offset (Z or +hh:mm)"},
        ParseRow{"OffsetHour24", "2026-12-09T03:00:00+24:00", false, kNone,
                 "not a zone offset (Z or +hh:mm)"},
        ParseRow{"TextAfter", "2026-12-09T03:00:00Zx", false, kNone,
                 "unexpected text after the time"},
        ParseRow{"BadSeparator", "2026-12-09X03:00", false, kNone,
                 "the date must be followed by T and the time"}),
    [](const ::testing::TestParamInfo<ParseRow>& row) { return std::string(row.param.name); });

struct StampRow {
    const char* name;
    unsigned char stamp[7];
    const char* text;
};

void PrintTo(const StampRow& row, std::ostream* os)
{
    *os << row.name;
}

class StampTest : public ::testing::TestWithParam<StampRow>
{
};

TEST_P(StampTest, ReadsAsLocalTimeWithoutZone)
{
    EXPECT_EQ(StampText(GetParam().stamp), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Stamps, StampTest,
    ::testing::Values(StampRow{"Valid", {0xEA, 0x07, 12, 9, 4, 11, 19}, "2026-12-09T04:11:19"},
                      StampRow{"LeapDay", {0xE8, 0x07, 2, 29, 0, 0, 0}, "2024-02-29T00:00:00"},
                      StampRow{"None", {0, 0, 0, 0, 0, 0, 0}, ""},
                      StampRow{"Month13", {0xEA, 0x07, 13, 9, 4, 11, 19}, "ea070d09040b13"},
                      StampRow{"Feb30", {0xEA, 0x07, 2, 30, 4, 11, 19}, "ea07021e040b13"},
                      StampRow{"Hour24", {0xEA, 0x07, 12, 9, 24, 0, 0}, "ea070c09180000"}),
    [](const ::testing::TestParamInfo<StampRow>& row) { return std::string(row.param.name); });

} // namespace

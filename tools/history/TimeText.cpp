#include "TimeText.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace history
{
namespace
{

bool Leap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysIn(int year, int month)
{
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && Leap(year) ? 29 : days[month - 1];
}

// Reads exactly `digits` decimal digits at text[pos].
bool Digits(const std::string& text, std::size_t& pos, int digits, int& value)
{
    value = 0;
    for (int i = 0; i < digits; ++i, ++pos) {
        if (pos >= text.size() || std::isdigit(static_cast<unsigned char>(text[pos])) == 0) {
            return false;
        }
        value = value * 10 + (text[pos] - '0');
    }
    return true;
}

bool Expect(const std::string& text, std::size_t& pos, char c)
{
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

} // namespace

std::int64_t ToMilliseconds(Clock::time_point time)
{
    return std::chrono::floor<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

Clock::time_point FromMilliseconds(std::int64_t ms)
{
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(ms)));
}

std::string Rfc3339(Clock::time_point time, bool local_zone)
{
    const std::int64_t ms = ToMilliseconds(time);
    std::int64_t seconds = ms / 1000;
    std::int64_t milli = ms % 1000;
    if (milli < 0) {
        milli += 1000;
        --seconds;
    }
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    long offset = 0;
    if (local_zone) {
        localtime_r(&t, &tm);
        offset = tm.tm_gmtoff;
    } else {
        gmtime_r(&t, &tm);
    }
    char zone[8] = "Z";
    if (local_zone) {
        const char sign = offset < 0 ? '-' : '+';
        const long magnitude = offset < 0 ? -offset : offset;
        std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", sign, (magnitude / 3600) % 100,
                      (magnitude / 60) % 60);
    }
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%s", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(milli), zone);
    return text;
}

bool ParseTime(const std::string& text, Clock::time_point& time, std::string& why)
{
    why.clear();
    std::size_t pos = 0;
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    long long nanos = 0;
    if (!Digits(text, pos, 4, year) || !Expect(text, pos, '-') || !Digits(text, pos, 2, month) ||
        !Expect(text, pos, '-') || !Digits(text, pos, 2, day)) {
        why = "not a date (YYYY-MM-DD)";
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > DaysIn(year, month)) {
        why = "no such date";
        return false;
    }
    bool zoned = false;
    long offset_seconds = 0;
    if (pos < text.size()) {
        const char t = text[pos];
        if (t != 'T' && t != 't' && t != ' ') {
            why = "the date must be followed by T and the time";
            return false;
        }
        ++pos;
        if (!Digits(text, pos, 2, hour) || !Expect(text, pos, ':') ||
            !Digits(text, pos, 2, minute)) {
            why = "not a time of day (hh:mm[:ss])";
            return false;
        }
        if (Expect(text, pos, ':')) {
            if (!Digits(text, pos, 2, second)) {
                why = "not a time of day (hh:mm[:ss])";
                return false;
            }
            if (Expect(text, pos, '.')) {
                int digits = 0;
                while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
                    if (digits < 9) {
                        nanos = nanos * 10 + (text[pos] - '0');
                    }
                    ++digits;
                    ++pos;
                }
                if (digits == 0) {
                    why = "no digits after the decimal point";
                    return false;
                }
                for (int d = digits; d < 9; ++d) {
                    nanos *= 10;
                }
            }
        }
        // 60 is a leap second; it reads as the next minute's first.
        if (hour > 23 || minute > 59 || second > 60) {
            why = "no such time of day";
            return false;
        }
        if (pos < text.size()) {
            const char z = text[pos];
            if (z == 'Z' || z == 'z') {
                ++pos;
                zoned = true;
            } else if (z == '+' || z == '-') {
                ++pos;
                int oh = 0;
                int om = 0;
                if (!Digits(text, pos, 2, oh) || !Expect(text, pos, ':') ||
                    !Digits(text, pos, 2, om) || oh > 23 || om > 59) {
                    why = "not a zone offset (Z or +hh:mm)";
                    return false;
                }
                offset_seconds = (oh * 3600L + om * 60L) * (z == '-' ? -1 : 1);
                zoned = true;
            }
        }
    }
    if (pos != text.size()) {
        why = "unexpected text after the time";
        return false;
    }
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    std::time_t seconds = 0;
    if (zoned) {
        seconds = timegm(&tm) - offset_seconds;
    } else {
        tm.tm_isdst = -1;
        seconds = std::mktime(&tm);
    }
    time = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
        std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanos)));
    return true;
}

std::string StampText(const unsigned char* stamp)
{
    bool zero = true;
    for (int i = 0; i < 7; ++i) {
        zero = zero && stamp[i] == 0;
    }
    if (zero) {
        return "";
    }
    const unsigned year = stamp[0] | (static_cast<unsigned>(stamp[1]) << 8U);
    char text[32];
    if (stamp[2] < 1 || stamp[2] > 12 || stamp[3] < 1 ||
        stamp[3] > DaysIn(static_cast<int>(year), stamp[2]) || stamp[4] > 23 || stamp[5] > 59 ||
        stamp[6] > 60) {
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (int i = 0; i < 7; ++i) {
            hex += digits[stamp[i] >> 4U];
            hex += digits[stamp[i] & 0x0FU];
        }
        return hex;
    }
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", year, stamp[2], stamp[3],
                  stamp[4], stamp[5], stamp[6]);
    return text;
}

} // namespace history

// Times as the history stores and shows them: UTC milliseconds in the
// database, RFC 3339 text for people and CSV.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace history
{

using Clock = std::chrono::system_clock;

// Milliseconds since 1970-01-01T00:00:00Z, rounded down.
std::int64_t ToMilliseconds(Clock::time_point time);
Clock::time_point FromMilliseconds(std::int64_t ms);

// RFC 3339 with milliseconds: "2026-12-09T03:11:19.123Z", or in the local
// zone with its offset: "2026-12-09T04:11:19.123+01:00".
std::string Rfc3339(Clock::time_point time, bool local_zone = false);

// Reads a time given by a person: RFC 3339 ("2026-12-09T03:11:19Z",
// "2026-12-09 04:11:19.5+01:00"), the same without a zone (local time), or
// a date alone (local midnight).  False, with the reason in `why`, for
// anything else or a date that does not exist.
bool ParseTime(const std::string& text, Clock::time_point& time, std::string& why);

// The record's own 7-byte time stamp as it reads: local wall-clock time of
// the host, no zone ("2026-12-09T04:11:19"); empty when all zero, hex when
// not a valid date.
std::string StampText(const unsigned char* stamp);

} // namespace history

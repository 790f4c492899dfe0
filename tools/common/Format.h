// How the tools write bytes and times: in hex (traces, JSON), as printable
// text (logs, the record's texts) and as local time stamps.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace tools
{

// Lower-case hex, two digits a byte, no separators.
std::string Hex(const unsigned char* data, std::size_t length);
std::string Hex(const std::string& bytes);
// The bytes that hex digits (either case) stand for; nullopt for an odd
// number of digits or a character that is not one.
std::optional<std::string> FromHex(const std::string& hex);

// Printable ASCII as it is, every other byte and the backslash as \xNN.
std::string Printable(const unsigned char* data, std::size_t length);
std::string Printable(const std::string& bytes);

// "2026-12-08T18:39:02.123456", local time; with_offset adds the offset from
// UTC ("+01:00"), which makes the stamp unambiguous.
std::string LocalTimestamp(std::chrono::system_clock::time_point t, bool with_offset = false);
// "2026-12-08T18:39:02+01:00": local time to the second with its offset from
// UTC (RFC 3339), for people.
std::string LocalTime(std::chrono::system_clock::time_point t);

} // namespace tools

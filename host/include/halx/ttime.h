// The host's 7-byte time stamp.
#pragma once

#include <array>
#include <cstdint>

#include <boost/date_time/posix_time/ptime.hpp>

#include "halx/host_api.h"

// Layout of the stamp, byte by byte:
//   0..1  year, 16-bit little-endian (e.g. 2026 -> 0xEA 0x07)
//   2     month, 1..12
//   3     day of month, 1..31
//   4     hour, 0..23
//   5     minute, 0..59
//   6     second, 0..59
// A time that is not a date (not_a_date_time, infinities) gives seven zero
// bytes.
using ttime_t = std::array<std::uint8_t, 7>;

HALX_API ttime_t get_ttime(boost::posix_time::ptime t);

// What a status flag byte of the record (the "STA" fields) says.
#pragma once

// The condition is present: its alarm is active.
inline constexpr unsigned char kStatusFlagActive = 1;
// The UPS did not report the flag (its reply lacked the field): no alarm is
// raised or cleared for it.  Any other value means the condition is absent.
inline constexpr unsigned char kStatusFlagNotReported = 255;

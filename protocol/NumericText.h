// Numbers in text as the UPS sends them and as the settings carry them.
#pragma once

#include <cstdint>

// A number in text as the C library's readers (atoi, strtol) see it:
// leading white space (the "C" locale's), an optional sign, then the digits
// up to the first non-digit.  `digits == digits_end` when there is none.
struct NumberText {
    bool negative = false;
    const char* digits = nullptr;
    const char* digits_end = nullptr;
};
NumberText ScanNumberText(const char* begin, const char* end);

// The C library's atoi reading of a text: leading white space, an optional
// sign, digits up to the first non-digit; 0 when there is no digit.  Text
// beyond the signed 32-bit range saturates to INT32_MAX / INT32_MIN on every
// platform (atoi itself is undefined there and differs between the PC and
// the 32-bit target).
std::int32_t ParseInt(const char* begin, const char* end);

// Byte field: the low 8 bits of the integer reading.
inline std::int8_t ToByte(std::int32_t value)
{
    return static_cast<std::int8_t>(
        static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) & 0xFFU));
}

// Tenths field: the integer reading as a float, times the double 0.1, back
// to float ("2305" -> 230.5F, "-15" -> -1.5F).
inline float ToTenths(std::int32_t value)
{
    return static_cast<float>(static_cast<double>(static_cast<float>(value)) * 0.1);
}

#include "protocol/NumericText.h"

#include <limits>

namespace
{

bool IsCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

NumberText ScanNumberText(const char* begin, const char* end)
{
    const char* p = begin;
    while (p != end && IsCSpace(*p)) {
        ++p;
    }
    NumberText number;
    if (p != end && (*p == '+' || *p == '-')) {
        number.negative = *p == '-';
        ++p;
    }
    number.digits = p;
    while (p != end && *p >= '0' && *p <= '9') {
        ++p;
    }
    number.digits_end = p;
    return number;
}

std::int32_t ParseInt(const char* begin, const char* end)
{
    const NumberText number = ScanNumberText(begin, end);
    // Accumulate the magnitude, stopping once it is past the range.
    constexpr std::int64_t kLimit =
        static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
    std::int64_t magnitude = 0;
    for (const char* p = number.digits; p != number.digits_end; ++p) {
        if (magnitude <= kLimit) {
            magnitude = magnitude * 10 + (*p - '0');
        }
    }
    if (number.negative) {
        return magnitude >= kLimit ? std::numeric_limits<std::int32_t>::min()
                                   : static_cast<std::int32_t>(-magnitude);
    }
    return magnitude >= kLimit ? std::numeric_limits<std::int32_t>::max()
                               : static_cast<std::int32_t>(magnitude);
}

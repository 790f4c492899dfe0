#include "protocol/PayloadFields.h"

#include <cstring>
#include <limits>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

void SplitFields(const char* payload, std::size_t length, FieldList& fields)
{
    const PayloadField text(payload, payload + length);
    boost::algorithm::split(fields, text, boost::algorithm::is_any_of(";"),
                            boost::algorithm::token_compress_off);
}

namespace
{

bool IsCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

std::int32_t ParseInt(const char* begin, const char* end)
{
    const char* p = begin;
    while (p != end && IsCSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    // Accumulate the magnitude, stopping once it is past the range.
    constexpr std::int64_t kLimit =
        static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
    std::int64_t magnitude = 0;
    for (; p != end && *p >= '0' && *p <= '9'; ++p) {
        if (magnitude <= kLimit) {
            magnitude = magnitude * 10 + (*p - '0');
        }
    }
    if (negative) {
        return magnitude >= kLimit ? std::numeric_limits<std::int32_t>::min()
                                   : static_cast<std::int32_t>(-magnitude);
    }
    return magnitude >= kLimit ? std::numeric_limits<std::int32_t>::max()
                               : static_cast<std::int32_t>(magnitude);
}

void CopyText(char* field16, const char* payload, std::size_t length)
{
    constexpr std::size_t kField = 16;
    const std::size_t limit = length < kField ? length : kField;
    const void* zero = std::memchr(payload, '\0', limit);
    const std::size_t n = zero != nullptr
                              ? static_cast<std::size_t>(static_cast<const char*>(zero) - payload)
                              : limit;
    std::memcpy(field16, payload, n);
    std::memset(field16 + n, 0, kField - n);
}

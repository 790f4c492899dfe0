#include "protocol/PayloadFields.h"

#include <algorithm>
#include <cstring>

// The list boost::algorithm::split gives with is_any_of(";") and token
// compression off, built by hand: that split copies its character set for
// every byte it tests, allocates as the list grows and brings some 8 KiB of
// code into the plug-in.  Here every ";" ends a field and the text after the
// last one is the last field, so n separators give n + 1 fields; the list is
// allocated once.  As with boost's split, `fields` is replaced only once the
// new list is complete.
void SplitFields(const char* payload, std::size_t length, FieldList& fields)
{
    const char* const end = payload + length;
    FieldList result;
    result.reserve(static_cast<std::size_t>(std::count(payload, end, ';')) + 1);
    const char* begin = payload;
    for (const char* p = payload; p != end; ++p) {
        if (*p == ';') {
            result.emplace_back(begin, p);
            begin = p + 1;
        }
    }
    result.emplace_back(begin, end);
    fields.swap(result);
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

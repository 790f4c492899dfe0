#include "protocol/Reassembly.h"

#include <cstring>

bool CollectChunk(unsigned char* buffer, unsigned int capacity, unsigned int& count,
                  const unsigned char* data, unsigned int length)
{
    // Compared as "length > room" so that no chunk length can wrap the sum.
    if (count > capacity || length > capacity - count) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    if (count > 0) {
        std::memcpy(buffer + count, data, length);
        count += length;
    } else if (const void* start = std::memchr(data, kFrameStart, length)) {
        const auto skipped =
            static_cast<unsigned int>(static_cast<const unsigned char*>(start) - data);
        std::memcpy(buffer, start, length - skipped);
        count = length - skipped;
    }
    return true;
}

namespace
{

// White space as the C library's isspace sees it in the "C" locale.
bool IsCSpace(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool IsDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

bool ReadLengthField(const unsigned char* characters, int& length)
{
    const unsigned char* p = characters;
    const unsigned char* const end = characters + 3;
    while (p != end && IsCSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end || !IsDigit(*p)) {
        return false;
    }
    int value = 0;
    for (; p != end && IsDigit(*p); ++p) {
        value = value * 10 + (*p - '0');
    }
    length = negative ? -value : value;
    return true;
}

ReplyHeader CheckReplyHeader(const unsigned char* buffer, unsigned int count, const char* address)
{
    ReplyHeader header;
    if (count < kFrameHeaderSize) {
        header.verdict = ReplyHeader::Verdict::Incomplete;
        return header;
    }
    header.verdict = ReplyHeader::Verdict::Bad;
    if (buffer[1] != static_cast<unsigned char>(address[0]) ||
        buffer[2] != static_cast<unsigned char>(address[1]) || buffer[3] != kReplyType) {
        return header;
    }
    int length = 0;
    // A negative length is a bad header too: no payload can have it.
    if (!ReadLengthField(buffer + 4, length) || length < 0) {
        return header;
    }
    header.verdict = ReplyHeader::Verdict::Length;
    header.length = length;
    return header;
}

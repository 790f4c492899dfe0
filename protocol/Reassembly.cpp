#include "protocol/Reassembly.h"

#include <cstring>

#include "protocol/NumericText.h"

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

// Three characters read as std::stoi reads them; no digit is a failure
// there (it throws), not 0.
bool ReadLengthField(const unsigned char* characters, int& length)
{
    const char* text = reinterpret_cast<const char*>(characters);
    const NumberText number = ScanNumberText(text, text + 3);
    if (number.digits == number.digits_end) {
        return false;
    }
    int value = 0;
    for (const char* p = number.digits; p != number.digits_end; ++p) {
        value = value * 10 + (*p - '0');
    }
    length = number.negative ? -value : value;
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

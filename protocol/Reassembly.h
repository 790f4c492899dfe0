// Collecting received chunks into complete replies and checking their header.
//
// A reply is "~", the two address characters, "D", the payload length as
// three characters, then exactly that many payload bytes (FrameLayout.h).
// The reply being assembled lives in the host's reception buffer; these
// functions work on that buffer and its byte count and leave the rest (the
// host's Reset, the decoding) to the device.
#pragma once

#include <cstddef>

#include "protocol/FrameLayout.h"

// Adds one received chunk to the reception buffer (`capacity` bytes, `count`
// of them holding the start of a reply).  While a reply is being assembled
// every byte belongs to it; while the buffer is empty a reply starts at the
// first "~" and what precedes it is dropped (no "~": the chunk is dropped).
// Returns false, changing nothing, when the chunk does not fit behind the
// buffered bytes: the exchange must end.
bool CollectChunk(unsigned char* buffer, unsigned int capacity, unsigned int& count,
                  const unsigned char* data, unsigned int length);

// Reads the three length characters as std::stoi reads a three-character
// string: leading white space, an optional sign, digits up to the first
// non-digit (" 12" and "12;" are 12).  False when there is no digit.
bool ReadLengthField(const unsigned char* characters, int& length);

struct ReplyHeader {
    enum class Verdict {
        Incomplete, // fewer than kFrameHeaderSize bytes buffered
        Bad,        // wrong address or frame type, no length, or a negative one
        Length,     // a good header announcing `length` payload bytes
    };
    Verdict verdict = Verdict::Incomplete;
    int length = 0;
};

// The header of the reply at the start of the buffer, `count` bytes of it
// buffered, which must carry `address` (two characters).
ReplyHeader CheckReplyHeader(const unsigned char* buffer, unsigned int count, const char* address);

// True when the buffer holds the whole reply a good header announced.
inline bool ReplyComplete(unsigned int count, int length)
{
    return count >= static_cast<unsigned int>(length) + kFrameHeaderSize;
}

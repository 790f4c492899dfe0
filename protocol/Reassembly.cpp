// Collecting received chunks into complete replies and checking their header.
//
// Reply: "~", the two address characters, "D", the payload length as three
// characters, then exactly that many payload bytes.  No checksum, no
// terminator; bytes after the payload are dropped with the reply.
#include <cstring>
#include <exception>
#include <string>

#include "device/DeltaNHNT.h"

namespace
{
constexpr unsigned int kHeaderSize = 7;
}

int DeltaNHNT::process(unsigned char* data, unsigned int length)
{
    // A chunk that does not fit behind the buffered bytes ends the exchange.
    // Compared as "length > room" so that no chunk length can wrap the sum.
    if (recv_len_ > RECV_BUF_SIZE || length > RECV_BUF_SIZE - recv_len_) {
        Reset();
        return 0;
    }

    if (length > 0) {
        if (recv_len_ > 0) {
            // A reply is being assembled: everything belongs to it.
            std::memcpy(recv_buf_ + recv_len_, data, length);
            recv_len_ += length;
        } else if (const void* start = std::memchr(data, '~', length)) {
            // Hunting: a reply starts at the first "~"; what precedes it is noise.
            const auto skipped =
                static_cast<unsigned int>(static_cast<const unsigned char*>(start) - data);
            std::memcpy(recv_buf_, start, length - skipped);
            recv_len_ = length - skipped;
        }
    }

    if (recv_len_ < kHeaderSize) {
        return 1;
    }

    if (recv_buf_[1] != static_cast<unsigned char>(reply_addr_[0]) ||
        recv_buf_[2] != static_cast<unsigned char>(reply_addr_[1]) || recv_buf_[3] != 'D') {
        Reset();
        return 0;
    }

    // The length characters read as std::stoi reads them: leading blanks, a
    // sign, digits up to the first non-digit (" 12" and "12;" are 12).
    try {
        reply_len_ = std::stoi(std::string(reinterpret_cast<const char*>(recv_buf_) + 4, 3));
    } catch (const std::exception&) {
        Reset();
        return 0;
    }
    // A negative length is a bad header too: no payload can have it.
    if (reply_len_ < 0) {
        Reset();
        return 0;
    }

    if (recv_len_ < static_cast<unsigned int>(reply_len_) + kHeaderSize) {
        return 1;
    }

    // Complete.  The payload stays in the buffer for the decoder; the count
    // drops to 0 so that anything after the reply is discarded.
    recv_len_ = 0;
    return DecodeReply();
}

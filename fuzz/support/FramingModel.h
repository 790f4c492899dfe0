// An independent model of how the device frames replies out of received
// chunks, used as the oracle of the reassembly fuzz target.
//
// It follows the framing rules literally and keeps only what they need: the
// buffered byte count and the first seven bytes of the reply being
// assembled.  Like the device it relies on the host's Reset to empty the
// buffer after an overflow or a bad header.  It knows nothing about
// decoding: whatever a complete reply decodes to, the buffer is empty after
// it.
#pragma once

#include <cstddef>
#include <cstdint>

class FramingModel
{
public:
    static constexpr unsigned int kBufferSize = 4096;
    static constexpr unsigned int kHeaderSize = 7;

    enum class Outcome {
        Dropped,  // no reply in progress and no "~" in the chunk: ignored
        Pending,  // a reply is being assembled and is not complete yet
        Complete, // a reply completed in this chunk (the rest of it is dropped)
        Rejected, // bad address, frame type or length characters: Reset
        Overflow, // the chunk does not fit behind the buffered bytes: Reset
    };

    Outcome Feed(const std::uint8_t* data, std::size_t length);
    unsigned int count() const { return count_; }

    // The payload length that the three length characters announce, read as
    // std::stoi reads them; false when they hold no digits or a negative
    // value (both are rejected).
    static bool ParseLength(const std::uint8_t* characters, int& length);

private:
    unsigned int count_ = 0;
    std::uint8_t head_[kHeaderSize] = {};
};

const char* OutcomeName(FramingModel::Outcome outcome);

#include "support/FramingModel.h"

#include <algorithm>
#include <cstring>

bool FramingModel::ParseLength(const std::uint8_t* characters, int& length)
{
    const std::uint8_t* p = characters;
    const std::uint8_t* const end = characters + 3;
    while (p != end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) {
        ++p;
    }
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end || *p < '0' || *p > '9') {
        return false;
    }
    int value = 0;
    for (; p != end && *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
    }
    length = negative ? -value : value;
    return length >= 0;
}

FramingModel::Outcome FramingModel::Feed(const std::uint8_t* data, std::size_t length)
{
    if (count_ + length > kBufferSize) {
        count_ = 0; // the host's Reset
        return Outcome::Overflow;
    }
    if (count_ == 0) {
        const std::uint8_t* const end = data + length;
        const std::uint8_t* const start = length == 0 ? end : std::find(data, end, '~');
        if (start == end) {
            return Outcome::Dropped;
        }
        const auto n = static_cast<std::size_t>(end - start);
        std::memcpy(head_, start, std::min<std::size_t>(n, kHeaderSize));
        count_ = static_cast<unsigned int>(n);
    } else {
        if (count_ < kHeaderSize) {
            std::memcpy(head_ + count_, data, std::min<std::size_t>(length, kHeaderSize - count_));
        }
        count_ += static_cast<unsigned int>(length);
    }
    if (count_ < kHeaderSize) {
        return Outcome::Pending;
    }
    int payload = 0;
    if (head_[1] != '0' || head_[2] != '0' || head_[3] != 'D' || !ParseLength(head_ + 4, payload)) {
        count_ = 0; // the host's Reset
        return Outcome::Rejected;
    }
    if (count_ < static_cast<unsigned int>(payload) + kHeaderSize) {
        return Outcome::Pending;
    }
    count_ = 0;
    return Outcome::Complete;
}

const char* OutcomeName(FramingModel::Outcome outcome)
{
    switch (outcome) {
    case FramingModel::Outcome::Dropped:
        return "dropped";
    case FramingModel::Outcome::Pending:
        return "pending";
    case FramingModel::Outcome::Complete:
        return "complete";
    case FramingModel::Outcome::Rejected:
        return "rejected";
    case FramingModel::Outcome::Overflow:
        return "overflow";
    }
    return "?";
}

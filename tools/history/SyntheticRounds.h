// Made-up records for the history's tests and benchmark: every byte
// follows from the UPS name and the round's sequence, so that a record read
// back can be checked byte for byte against the one written.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "site/UpsSnapshot.h"

namespace history
{

inline std::array<std::uint8_t, site::kRecordBytes>
SyntheticRecord(const std::string& ups, std::uint64_t sequence, std::uint32_t data_id)
{
    // FNV-1a of the name, mixed with the sequence, drives an xorshift.
    std::uint64_t state = 14695981039346656037ULL;
    for (const char c : ups) {
        state = (state ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    state ^= sequence * 0x9E3779B97F4A7C15ULL;
    if (state == 0) {
        state = 1;
    }
    std::array<std::uint8_t, site::kRecordBytes> record{};
    for (std::size_t i = 0; i < 4; ++i) {
        record[i] = static_cast<std::uint8_t>(data_id >> (8U * i));
    }
    for (std::size_t i = 4; i < record.size(); ++i) {
        state ^= state << 13U;
        state ^= state >> 7U;
        state ^= state << 17U;
        record[i] = static_cast<std::uint8_t>(state >> 24U);
    }
    return record;
}

} // namespace history

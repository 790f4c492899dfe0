// Plausible records for mqtt-tool, its tests and its benchmark: every value
// follows from the UPS name and the round's sequence (so a consumer can
// check what arrived against what was made), texts in ASCII, numbers
// finite, every status flag reported (0) but for the alarm rows raised.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <cstring>
#include <string>

#include "UpsSnapshot.h"
#include "alarms/StatusAlarms.h"
#include "record/RecordFields.h"

namespace mqtt
{

inline std::array<std::uint8_t, site::kRecordBytes>
TestRecord(const std::string& ups, std::uint64_t sequence, std::uint32_t data_id,
           const std::bitset<kStatusAlarmCount>& raised)
{
    std::uint32_t seed = 2166136261U;
    for (const char c : ups) {
        seed = (seed ^ static_cast<unsigned char>(c)) * 16777619U;
    }
    std::array<std::uint8_t, site::kRecordBytes> record{};
    unsigned n = 0;
    for (const RecordField& field : kRecordFields) {
        std::uint8_t* at = record.data() + field.offset;
        const std::uint32_t v = (seed % 97U) + static_cast<std::uint32_t>(sequence % 1000U) + n++;
        switch (field.type) {
        case FieldType::UInt32: {
            const std::uint32_t value = data_id;
            std::memcpy(at, &value, 4);
            break;
        }
        case FieldType::Int32: {
            const std::int32_t value = static_cast<std::int32_t>(v % 400U);
            std::memcpy(at, &value, 4);
            break;
        }
        case FieldType::Float32: {
            const float value = static_cast<float>(v % 3000U) / 10.0F;
            std::memcpy(at, &value, 4);
            break;
        }
        case FieldType::Int8:
            *at = 0;
            break;
        case FieldType::Text16: {
            const std::string text = std::string(field.name) == "UpsMnu"   ? "DELTA"
                                     : std::string(field.name) == "UpsMod" ? "NH PLUS 20K"
                                                                           : "V1.0" + ups;
            std::memcpy(at, text.data(), std::min<std::size_t>(text.size(), field.width));
            break;
        }
        default:
            break;
        }
    }
    // Line counts in 1..3.
    for (const char* name : {"InptLines", "OutptLines", "BypssLines"}) {
        for (const RecordField& field : kRecordFields) {
            if (std::string(field.name) == name) {
                const std::int32_t value = 1 + static_cast<std::int32_t>(seed % 3U);
                std::memcpy(record.data() + field.offset, &value, 4);
            }
        }
    }
    for (std::size_t row = 0; row < kStatusAlarmCount; ++row) {
        record[kStatusAlarms[row].offset] = raised[row] ? 1 : 0;
    }
    return record;
}

} // namespace mqtt

// A device record built field by field, as the decoders would leave it, for
// the tests of the catalogue and of its users (the servers and exporters).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "RecordReader.h"
#include "alarms/StatusAlarms.h"

class RecordBuilder
{
public:
    RecordBuilder() { bytes_.fill(0); }

    RecordBuilder& Set(const char* name, double value)
    {
        const RecordField* field = catalogue::FindRecordField(name);
        EXPECT_NE(field, nullptr) << name;
        if (field == nullptr) {
            return *this;
        }
        unsigned char* p = bytes_.data() + field->offset;
        switch (field->type) {
        case FieldType::Int32: {
            const auto v = static_cast<std::int32_t>(value);
            std::memcpy(p, &v, sizeof v);
            break;
        }
        case FieldType::Float32: {
            const auto v = static_cast<float>(value);
            std::memcpy(p, &v, sizeof v);
            break;
        }
        case FieldType::Int8:
            *p = static_cast<unsigned char>(static_cast<int>(value));
            break;
        default:
            ADD_FAILURE() << name << " is not numeric";
        }
        return *this;
    }
    // The raw bytes of a float field (a NaN, say).
    RecordBuilder& Bits(const char* name, std::uint32_t bits)
    {
        const RecordField* field = catalogue::FindRecordField(name);
        std::memcpy(bytes_.data() + field->offset, &bits, sizeof bits);
        return *this;
    }
    // Up to the field's width; the rest of the field zero.
    RecordBuilder& Text(const char* name, const std::string& text)
    {
        const RecordField* field = catalogue::FindRecordField(name);
        EXPECT_NE(field, nullptr) << name;
        if (field != nullptr) {
            std::memset(bytes_.data() + field->offset, 0, field->width);
            std::memcpy(bytes_.data() + field->offset, text.data(),
                        std::min<std::size_t>(text.size(), field->width));
        }
        return *this;
    }
    // One byte as stored (a flag byte, say).
    RecordBuilder& Byte(const char* name, std::uint8_t value)
    {
        const RecordField* field = catalogue::FindRecordField(name);
        EXPECT_NE(field, nullptr) << name;
        if (field != nullptr) {
            bytes_[field->offset] = value;
        }
        return *this;
    }
    // Every status flag "not reported".
    RecordBuilder& FlagsNotReported()
    {
        for (const StatusAlarm& alarm : kStatusAlarms) {
            bytes_[alarm.offset] = kStatusFlagNotReported;
        }
        return *this;
    }
    const unsigned char* data() const { return bytes_.data(); }
    const std::array<std::uint8_t, catalogue::kRecordSize>& bytes() const { return bytes_; }

private:
    std::array<std::uint8_t, catalogue::kRecordSize> bytes_{};
};

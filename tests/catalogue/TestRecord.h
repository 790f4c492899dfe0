// A device record built field by field, as the decoders would leave it, for
// the tests of everything that reads records.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "Catalogue.h"

namespace catalogue
{

// All fields zero until set.
class TestRecord
{
public:
    TestRecord() { std::memset(bytes_, 0, sizeof bytes_); }

    TestRecord& Set(const char* name, double value)
    {
        const RecordField* field = FindRecordField(name);
        EXPECT_NE(field, nullptr) << name;
        if (field == nullptr) {
            return *this;
        }
        unsigned char* p = bytes_ + field->offset;
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
    TestRecord& Text(const char* name, const std::string& text)
    {
        const RecordField* field = FindRecordField(name);
        std::memset(bytes_ + field->offset, 0, field->width);
        std::memcpy(bytes_ + field->offset, text.data(),
                    std::min<std::size_t>(text.size(), field->width));
        return *this;
    }
    // Every status flag "not reported", as after an empty STA reply but flag 0.
    TestRecord& FlagsNotReported()
    {
        for (const AlarmMeaning& alarm : kAlarmMeanings) {
            bytes_[alarm.alarm->offset] = 255;
        }
        return *this;
    }
    const unsigned char* data() const { return bytes_; }

private:
    unsigned char bytes_[kRecordSize];
};

} // namespace catalogue

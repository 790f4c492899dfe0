#include "RecordReader.h"

#include <cstring>

namespace catalogue
{
namespace
{

std::uint32_t LoadU32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8U) |
           (static_cast<std::uint32_t>(p[2]) << 16U) | (static_cast<std::uint32_t>(p[3]) << 24U);
}

} // namespace

const RecordField* FindRecordField(const char* name)
{
    for (const RecordField& field : kRecordFields) {
        if (std::strcmp(field.name, name) == 0) {
            return &field;
        }
    }
    return nullptr;
}

double NumberAt(const unsigned char* record, const RecordField& field)
{
    const unsigned char* p = record + field.offset;
    switch (field.type) {
    case FieldType::UInt32:
        return static_cast<double>(LoadU32(p));
    case FieldType::Int32: {
        const std::uint32_t u = LoadU32(p);
        std::int32_t i = 0;
        std::memcpy(&i, &u, sizeof i);
        return static_cast<double>(i);
    }
    case FieldType::Float32: {
        const std::uint32_t u = LoadU32(p);
        float f = 0.0F;
        std::memcpy(&f, &u, sizeof f);
        return static_cast<double>(f);
    }
    case FieldType::Int8:
        return static_cast<double>(static_cast<std::int8_t>(*p));
    default:
        return 0.0;
    }
}

std::string TextAt(const unsigned char* record, const RecordField& field)
{
    const char* p = reinterpret_cast<const char*>(record + field.offset);
    std::size_t n = 0;
    while (n < field.width && p[n] != '\0') {
        ++n;
    }
    return std::string(p, n);
}

} // namespace catalogue

#include "RecordFormat.h"

#include <cstdio>
#include <cstring>

#include "common/Format.h"

namespace halxhost
{

using tools::Hex;
using tools::JsonFloat;
using tools::JsonObject;
using tools::JsonText;
using tools::ShortestFloat;
namespace
{

// The record is little-endian and packed: assemble numbers byte by byte.
std::uint32_t LoadU32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8U) |
           (static_cast<std::uint32_t>(p[2]) << 16U) | (static_cast<std::uint32_t>(p[3]) << 24U);
}

std::int32_t LoadI32(const unsigned char* p)
{
    const std::uint32_t u = LoadU32(p);
    std::int32_t i = 0;
    std::memcpy(&i, &u, sizeof i);
    return i;
}

float LoadF32(const unsigned char* p)
{
    const std::uint32_t u = LoadU32(p);
    float f = 0.0F;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

} // namespace

std::string RecordText(const unsigned char* text, std::size_t width)
{
    std::size_t length = 0;
    while (length < width && text[length] != 0) {
        ++length;
    }
    return tools::Printable(text, length);
}

std::string StampText(const unsigned char* stamp)
{
    bool zero = true;
    for (int i = 0; i < 7; ++i) {
        zero = zero && stamp[i] == 0;
    }
    if (zero) {
        return "";
    }
    const unsigned year = stamp[0] | (static_cast<unsigned>(stamp[1]) << 8U);
    if (stamp[2] < 1 || stamp[2] > 12 || stamp[3] < 1 || stamp[3] > 31 || stamp[4] > 23 ||
        stamp[5] > 59 || stamp[6] > 60) {
        return Hex(stamp, 7);
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", year, stamp[2], stamp[3],
                  stamp[4], stamp[5], stamp[6]);
    return text;
}

const char* TypeName(FieldType type)
{
    switch (type) {
    case FieldType::UInt32:
        return "uint32";
    case FieldType::Int32:
        return "int32";
    case FieldType::Float32:
        return "float32";
    case FieldType::Int8:
        return "int8";
    case FieldType::Text16:
        return "text16";
    case FieldType::Stamp7:
        return "stamp7";
    case FieldType::Reserved:
        return "reserved";
    }
    return "?";
}

Json::Value FieldValue(const RecordField& field, const unsigned char* record)
{
    const unsigned char* p = record + field.offset;
    switch (field.type) {
    case FieldType::UInt32:
        return Json::Value(static_cast<Json::UInt>(LoadU32(p)));
    case FieldType::Int32:
        return Json::Value(static_cast<Json::Int>(LoadI32(p)));
    case FieldType::Float32:
        return JsonFloat(LoadF32(p));
    case FieldType::Int8:
        return Json::Value(static_cast<Json::Int>(static_cast<std::int8_t>(*p)));
    case FieldType::Text16:
        return Json::Value(RecordText(p, field.width));
    case FieldType::Stamp7:
        return Json::Value(StampText(p));
    case FieldType::Reserved:
        return Json::Value(Hex(p, field.width));
    }
    return Json::Value();
}

std::string FieldText(const RecordField& field, const unsigned char* record)
{
    const unsigned char* p = record + field.offset;
    switch (field.type) {
    case FieldType::Float32:
        return ShortestFloat(LoadF32(p));
    case FieldType::Text16:
        return "\"" + RecordText(p, field.width) + "\"";
    case FieldType::Stamp7: {
        const std::string stamp = StampText(p);
        return stamp.empty() ? "(none)" : stamp;
    }
    case FieldType::Reserved:
        return Hex(p, field.width);
    default:
        return JsonText(FieldValue(field, record));
    }
}

JsonObject RecordFieldsJson(const unsigned char* record)
{
    JsonObject fields;
    for (const RecordField& field : kRecordFields) {
        fields.Add(field.name, FieldValue(field, record));
    }
    return fields;
}

} // namespace halxhost

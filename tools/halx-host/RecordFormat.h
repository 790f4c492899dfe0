// The device record shown field by field, from the record catalogue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <json/value.h>

#include "common/JsonLine.h"
#include "record/RecordFields.h"

namespace halxhost
{

inline constexpr std::size_t kRecordSize = sizeof(DeltanhntCmdsRply_t);

// One field of a record (kRecordSize bytes): numbers as numbers (int8 read as
// signed), texts up to their first zero byte with unprintable bytes as \xNN,
// the time stamp as "YYYY-MM-DDTHH:MM:SS", reserved bytes in hex.
Json::Value FieldValue(const RecordField& field, const unsigned char* record);
// The same as text for people: texts quoted, floats in their shortest form.
std::string FieldText(const RecordField& field, const unsigned char* record);
// "uint32", "int32", "float32", "int8", "text16", "stamp7", "reserved".
const char* TypeName(FieldType type);

// Every catalogue field, in offset order.
tools::JsonObject RecordFieldsJson(const unsigned char* record);

// A 16-byte text field as shown: up to the first zero byte, unprintable bytes
// as \xNN.
std::string RecordText(const unsigned char* text, std::size_t width);

// The host's 7-byte time stamp as "YYYY-MM-DDTHH:MM:SS"; "" for seven zero
// bytes; the bytes in hex when they are not a time.
std::string StampText(const unsigned char* stamp);

} // namespace halxhost

// One JSON object per output line, its members in the order they are added
// (jsoncpp's own objects sort their keys), with single-precision numbers in
// their shortest form that reads back to the same float.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

namespace tools
{

class JsonObject
{
public:
    JsonObject& Add(const std::string& key, const Json::Value& value);
    JsonObject& Add(const std::string& key, const JsonObject& value);
    // Compact text, no line end.
    std::string Text() const;
    bool Empty() const { return members_.empty(); }

private:
    // Key and the member's value already written as JSON text.
    std::vector<std::pair<std::string, std::string>> members_;
};

// Compact JSON text of a value: UTF-8 strings written as they are, doubles
// with 9 significant digits.
std::string JsonText(const Json::Value& value);

// The shortest decimal text (up to 9 significant digits) that converts back to
// exactly f; "nan", "inf" or "-inf" for the special values.
std::string ShortestFloat(float f);

// A float for JSON: a whole number as an integer, other finite values in their
// shortest round-trip form, null for NaN and infinities.
Json::Value JsonFloat(float f);

} // namespace tools

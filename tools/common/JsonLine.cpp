#include "common/JsonLine.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include <json/writer.h>

namespace tools
{

std::string JsonText(const Json::Value& value)
{
    static const std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["emitUTF8"] = true;
        builder["precision"] = 9;
        builder["precisionType"] = "significant";
        return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
    }();
    std::ostringstream out;
    writer->write(value, &out);
    return out.str();
}

JsonObject& JsonObject::Add(const std::string& key, const Json::Value& value)
{
    members_.emplace_back(key, JsonText(value));
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, const JsonObject& value)
{
    members_.emplace_back(key, value.Text());
    return *this;
}

std::string JsonObject::Text() const
{
    std::string text = "{";
    for (const auto& [key, value] : members_) {
        if (text.size() > 1) {
            text += ',';
        }
        text += JsonText(Json::Value(key));
        text += ':';
        text += value;
    }
    text += '}';
    return text;
}

std::string ShortestFloat(float f)
{
    if (std::isnan(f)) {
        return "nan";
    }
    if (std::isinf(f)) {
        return f < 0 ? "-inf" : "inf";
    }
    char text[64];
    if (std::trunc(f) == f && std::fabs(f) < 1.0e16F) {
        // Whole numbers in full, not as 2.2e+02.
        std::snprintf(text, sizeof text, "%.0f", static_cast<double>(f));
        return text;
    }
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(f));
        if (std::strtof(text, nullptr) == f) {
            break;
        }
    }
    return text;
}

Json::Value JsonFloat(float f)
{
    if (!std::isfinite(f)) {
        return Json::Value();
    }
    const double d = f;
    if (std::trunc(d) == d && std::fabs(d) < 9.0e15) {
        return Json::Value(static_cast<Json::Int64>(d));
    }
    // The double nearest to the shortest text: written with 9 significant
    // digits it gives that text back.
    return Json::Value(std::strtod(ShortestFloat(f).c_str(), nullptr));
}

} // namespace tools

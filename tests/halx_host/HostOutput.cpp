#include "HostOutput.h"

#include <memory>
#include <sstream>

#include <json/reader.h>

std::vector<Json::Value> JsonEvents(const std::string& text)
{
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::vector<Json::Value> events;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.front() != '{') {
            continue;
        }
        Json::Value value;
        std::string errors;
        if (reader->parse(line.data(), line.data() + line.size(), &value, &errors) &&
            value.isObject()) {
            events.push_back(value);
        }
    }
    return events;
}

std::vector<std::string> Kinds(const std::vector<Json::Value>& events)
{
    std::vector<std::string> kinds;
    for (const Json::Value& e : events) {
        kinds.push_back(e["event"].asString());
    }
    return kinds;
}

std::vector<Json::Value> OfKind(const std::vector<Json::Value>& events, const std::string& kind)
{
    std::vector<Json::Value> found;
    for (const Json::Value& e : events) {
        if (e["event"].asString() == kind) {
            found.push_back(e);
        }
    }
    return found;
}

std::vector<std::string> LinesWith(const std::string& text, const std::string& needle)
{
    std::vector<std::string> found;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(needle) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

std::string FromHex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

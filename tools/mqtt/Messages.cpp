#include "Messages.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

#include <json/value.h>
#include <json/writer.h>

#include "TimeText.h"
#include "common/Format.h"

namespace mqtt
{
namespace
{

std::string Compact(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    builder["precision"] = 10;
    return Json::writeString(builder, value);
}

std::string Replace(const std::string& name, bool allow_dot)
{
    std::string out = name;
    for (char& c : out) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-' || (allow_dot && c == '.');
        if (!ok) {
            c = '_';
        }
    }
    return out.empty() ? std::string("_") : out;
}

// The text with every byte that is not part of a well-formed UTF-8
// sequence replaced by U+FFFD: a UPS's text fields are bytes as it sent
// them, a JSON payload is UTF-8.
std::string Utf8(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t length = b < 0x80         ? 1
                             : (b >> 5) == 6  ? 2
                             : (b >> 4) == 14 ? 3
                             : (b >> 3) == 30 ? 4
                                              : 0;
        bool ok = length > 0 && i + length <= text.size() && !(length == 2 && b < 0xC2);
        for (std::size_t k = 1; ok && k < length; ++k) {
            ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        }
        if (ok) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

Json::Value FieldValue(const catalogue::Value& value)
{
    Json::Value field(Json::objectValue);
    if (value.numeric) {
        // At the decimals the catalogue gives it (the protocol's text), not
        // the float's binary digits.
        const double number = std::strtod(value.text.c_str(), nullptr);
        field["value"] = std::isfinite(number) ? Json::Value(number) : Json::Value();
    } else {
        field["value"] = Utf8(value.text);
    }
    field["unit"] = value.quantity->unit;
    return field;
}

std::string TextValue(const unsigned char* record, const char* nut)
{
    const catalogue::Quantity* q = catalogue::FindQuantity(nut);
    catalogue::Value v;
    if (q != nullptr && catalogue::ValueOf(record, *q, v)) {
        return Utf8(v.text);
    }
    return std::string();
}

// The units Home Assistant accepts for each sensor device class we use
// (its sensor documentation); a class missing here is not one of ours.
const std::map<std::string, std::set<std::string>>& ClassUnits()
{
    static const std::map<std::string, std::set<std::string>> units = {
        {"voltage", {"V", "mV"}},
        {"current", {"A", "mA"}},
        {"frequency", {"Hz", "kHz", "MHz", "GHz"}},
        {"power", {"W", "kW"}},
        {"temperature", {"°C", "°F", "K"}},
        {"battery", {"%"}},
        {"duration", {"d", "h", "min", "s", "ms"}},
    };
    return units;
}

} // namespace

std::string TopicLevel(const std::string& name)
{
    return Replace(name, true);
}

std::string DiscoveryId(const std::string& name)
{
    return Replace(name, false);
}

std::string SiteAvailabilityTopic(const std::string& prefix)
{
    return prefix + "/availability";
}

std::string UpsTopic(const std::string& prefix, const std::string& ups, const std::string& leaf)
{
    return prefix + "/" + TopicLevel(ups) + "/" + leaf;
}

std::string RoundPayload(const std::string& ups, std::uint32_t data_id, const site::Round& round)
{
    Json::Value root(Json::objectValue);
    root["ups"] = ups;
    root["data_id"] = data_id;
    root["time"] = history::Rfc3339(round.time);
    root["sequence"] = static_cast<Json::UInt64>(round.sequence);
    root["record"] = tools::Hex(round.record.data(), round.record.size());
    Json::Value fields(Json::objectValue);
    for (const catalogue::Value& value : catalogue::Values(round.record.data())) {
        fields[value.quantity->nut] = FieldValue(value);
    }
    root["fields"] = fields;
    return Compact(root);
}

std::string AlarmPayload(const std::string& ups, const site::Round& round, std::size_t alarm_row,
                         bool active)
{
    const catalogue::AlarmMeaning& alarm = catalogue::kAlarmMeanings[alarm_row];
    Json::Value root(Json::objectValue);
    root["ups"] = ups;
    root["sequence"] = static_cast<Json::UInt64>(round.sequence);
    root["time"] = history::Rfc3339(round.time);
    root["key"] = alarm.alarm->key;
    root["alarm_id"] = alarm.alarm->alarm_id;
    root["state"] = active ? "raised" : "cleared";
    root["name"] = alarm.alarm->name;
    root["description"] = alarm.alarm->description;
    root["gloss"] = alarm.gloss;
    return Compact(root);
}

std::vector<Message> StateMessages(const std::string& prefix, const std::string& ups,
                                   const site::Round& round)
{
    std::vector<Message> out;
    for (const catalogue::Value& value : catalogue::Values(round.record.data())) {
        out.push_back({UpsTopic(prefix, ups, std::string("state/") + value.quantity->nut),
                       Utf8(value.text), true});
    }
    for (const catalogue::AlarmMeaning& alarm : catalogue::kAlarmMeanings) {
        const catalogue::AlarmState state = catalogue::StateOf(round.record.data(), alarm);
        if (state == catalogue::AlarmState::NotReported) {
            continue;
        }
        out.push_back({UpsTopic(prefix, ups, std::string("alarms/") + alarm.alarm->key),
                       state == catalogue::AlarmState::Active ? "ON" : "OFF", true});
    }
    return out;
}

bool ValidSensorCombination(const std::string& device_class, const std::string& unit,
                            const std::string& state_class)
{
    if (!state_class.empty() && state_class != "measurement" && state_class != "total" &&
        state_class != "total_increasing") {
        return false;
    }
    if (device_class.empty()) {
        return true;
    }
    const auto it = ClassUnits().find(device_class);
    return it != ClassUnits().end() && it->second.count(unit) == 1;
}

std::vector<Message> DiscoveryMessages(const std::string& discovery_prefix,
                                       const std::string& prefix, const std::string& site,
                                       const site::UpsSnapshot& ups)
{
    std::vector<Message> out;
    if (!ups.last) {
        return out;
    }
    const unsigned char* record = ups.last->record.data();
    const std::string node = DiscoveryId(site + "_" + ups.name);

    Json::Value device(Json::objectValue);
    device["identifiers"].append("halx-host_" + node);
    device["name"] = ups.description.empty() ? site + " " + ups.name : ups.description;
    device["manufacturer"] = TextValue(record, "ups.mfr");
    device["model"] = TextValue(record, "ups.model");
    device["sw_version"] = TextValue(record, "ups.firmware");

    Json::Value availability(Json::arrayValue);
    Json::Value site_topic(Json::objectValue);
    site_topic["topic"] = SiteAvailabilityTopic(prefix);
    availability.append(site_topic);
    Json::Value ups_topic(Json::objectValue);
    ups_topic["topic"] = UpsTopic(prefix, ups.name, "availability");
    availability.append(ups_topic);

    const auto common = [&](Json::Value& config, const std::string& object) {
        config["unique_id"] = node + "_" + object;
        config["object_id"] = node + "_" + object;
        config["availability"] = availability;
        config["availability_mode"] = "all";
        config["device"] = device;
    };

    for (const catalogue::Value& value : catalogue::Values(record)) {
        const catalogue::Quantity& q = *value.quantity;
        const std::string object = DiscoveryId(q.nut);
        Json::Value config(Json::objectValue);
        config["name"] = q.description;
        config["state_topic"] = UpsTopic(prefix, ups.name, std::string("state/") + q.nut);
        common(config, object);
        if (value.numeric) {
            // A class Home Assistant would refuse with this unit is left
            // out rather than have it drop the sensor.
            if (q.ha_class != nullptr &&
                ValidSensorCombination(q.ha_class, q.unit, "measurement")) {
                config["device_class"] = q.ha_class;
            }
            if (q.unit[0] != '\0') {
                config["unit_of_measurement"] = q.unit;
            }
            config["state_class"] = "measurement";
        }
        out.push_back({discovery_prefix + "/sensor/" + node + "/" + object + "/config",
                       Compact(config), true});
    }
    for (const catalogue::AlarmMeaning& alarm : catalogue::kAlarmMeanings) {
        const std::string object = DiscoveryId(alarm.alarm->key);
        Json::Value config(Json::objectValue);
        config["name"] = alarm.gloss;
        config["state_topic"] =
            UpsTopic(prefix, ups.name, std::string("alarms/") + alarm.alarm->key);
        config["payload_on"] = "ON";
        config["payload_off"] = "OFF";
        config["device_class"] = "problem";
        common(config, object);
        out.push_back({discovery_prefix + "/binary_sensor/" + node + "/" + object + "/config",
                       Compact(config), true});
    }
    return out;
}

} // namespace mqtt

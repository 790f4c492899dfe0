// What the site publishes over MQTT, as topics and JSON payloads (UTF-8,
// jsoncpp), every name and unit taken from the value catalogue.  The topics
// under the prefix (default "ups/<site>"):
//
//   <prefix>/availability                 "online"/"offline", retained; the last will
//   <prefix>/<ups>/availability           "online"/"offline", retained
//   <prefix>/<ups>/round                  one per completed round (through the outbox)
//   <prefix>/<ups>/alarm                  one per alarm raised or cleared (through the outbox)
//   <prefix>/<ups>/state/<variable>       each value's latest text, retained
//   <prefix>/<ups>/alarms/<key>           each alarm's latest state, ON/OFF, retained
//
// and Home Assistant's discovery configs under
// <discovery prefix>/{sensor,binary_sensor}/<node>/<object>/config.
// docs/MQTT.md shows them with examples.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Catalogue.h"
#include "UpsSnapshot.h"

namespace mqtt
{

struct Message {
    std::string topic;
    std::string payload;
    bool retain = false;
};

// Topic levels from a name: anything but letters, digits, '_', '-' and '.'
// becomes '_' (names of the site's UPSes already are).
std::string TopicLevel(const std::string& name);
// An id Home Assistant takes in discovery topics and object ids:
// [A-Za-z0-9_-], anything else becomes '_'.
std::string DiscoveryId(const std::string& name);

std::string SiteAvailabilityTopic(const std::string& prefix);
std::string UpsTopic(const std::string& prefix, const std::string& ups, const std::string& leaf);

// The round as one JSON object: ups, data_id, time (ISO 8601 UTC with
// milliseconds), sequence, record (hex), fields {variable: {value, unit}}.
std::string RoundPayload(const std::string& ups, std::uint32_t data_id, const site::Round& round);

// An alarm change: ups, sequence and time of the round that carried it,
// key, alarm_id, state ("raised"/"cleared"), name and description (Chinese,
// as the UPS's alarm table has them) and the English gloss.
std::string AlarmPayload(const std::string& ups, const site::Round& round, std::size_t alarm_row,
                         bool active);

// The retained per-value topics of a record: every exported value, and
// every alarm the record reports (ON/OFF).
std::vector<Message> StateMessages(const std::string& prefix, const std::string& ups,
                                   const site::Round& round);

// Home Assistant discovery for one UPS: a device named by the site and the
// UPS, one sensor per exported value the record has, one binary sensor per
// alarm.
std::vector<Message> DiscoveryMessages(const std::string& discovery_prefix,
                                       const std::string& prefix, const std::string& site,
                                       const site::UpsSnapshot& ups);

// Whether Home Assistant accepts a sensor with this device class, unit and
// state class (device class and unit may be empty).
bool ValidSensorCombination(const std::string& device_class, const std::string& unit,
                            const std::string& state_class);

} // namespace mqtt

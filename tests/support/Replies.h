// UPS replies as the UPS sends them, for feeding the device.
#pragma once

#include <string>
#include <vector>

// "~00D" + the payload length as three digits + the payload.
std::string Reply(const std::string& payload);
// A reply with a literal header length field (three characters, any text).
std::string ReplyWithLength(const std::string& length_field, const std::string& payload);

// The payloads of one healthy poll cycle, in poll order: MNU, MOD, RAT, STB,
// STI, STO, STP, STA, VER.
const std::vector<std::string>& HealthyPayloads();
// The same, framed.
std::vector<std::string> HealthyReplies();

// The nine query frames of a cycle, in order.
const std::vector<std::string>& CycleFrames();

// UPS replies as the UPS sends them, for feeding the device, and the one
// healthy poll cycle that the tests, the fuzz targets and the benchmarks
// share.
#pragma once

#include <string>
#include <vector>

// "~00D" + the payload length as three digits + the payload.
std::string Reply(const std::string& payload);
// A reply with a literal header length field (three characters, any text).
std::string ReplyWithLength(const std::string& length_field, const std::string& payload);

// One reply of a healthy poll cycle.
struct CycleReply {
    std::string query;   // the frame it answers, "~00P003" + the command letters
    int state;           // the command state in which it is decoded
    std::string payload; // what a healthy UPS answers
    std::string framed;  // the payload as the UPS sends it
};

// The nine replies of one healthy cycle, in poll order (MNU, MOD, RAT, STB,
// STI, STO, STP, STA, VER), with the queries and command states of the
// device's poll sequence.
const std::vector<CycleReply>& HealthyCycle();

// The payloads of the healthy cycle, in poll order.
const std::vector<std::string>& HealthyPayloads();
// The same, framed.
const std::vector<std::string>& HealthyReplies();
// The nine query frames of a cycle, in order.
const std::vector<std::string>& CycleFrames();

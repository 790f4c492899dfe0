// What the site monitor knows of one UPS at a moment: its configuration, the
// last completed round and the state of its line.  The poller of each line
// keeps one up to date; the servers and exporters (the UPS network protocol,
// Prometheus, MQTT, SNMP) read it and nothing else, so they all show the
// same round.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace site
{

inline constexpr std::size_t kRecordBytes = 338;

// One completed round: the record as SendSP reported it.
struct Round {
    std::array<std::uint8_t, kRecordBytes> record{};
    // The host's clock when the round completed (the record's own time
    // stamp has one-second resolution and no zone).
    std::chrono::system_clock::time_point time{};
    // The same moment on the monotonic clock, for ages that survive clock
    // changes.
    std::chrono::steady_clock::time_point steady{};
    // 1 for the first round of this UPS, then one more per round; consumers
    // drop duplicates by (UPS, sequence).
    std::uint64_t sequence = 0;
};

enum class LineState {
    Starting, // no cycle tried yet
    Up,       // the last cycle completed
    Failing,  // cycles are abandoned (bad replies, noise, a wrong UPS)
    Silent,   // the UPS does not answer
    Lost,     // the port is gone; reopened every so often
};

const char* LineStateName(LineState state);

struct LineCounters {
    std::uint64_t completed = 0;  // rounds completed
    std::uint64_t abandoned = 0;  // cycles ended without a record
    std::uint64_t resets = 0;     // Reset calls (a healthy round ends in one too)
    std::uint64_t stalls = 0;     // cycles ended because the UPS fell silent
    std::uint64_t reopenings = 0; // times a lost port was opened again
};

struct UpsSnapshot {
    std::string name;        // as configured; unique in the site
    std::string description; // as configured, may be empty
    std::uint32_t data_id = 0;
    // Data older than this is stale: servers refuse it rather than show it.
    std::chrono::seconds stale_after{60};

    std::optional<Round> last; // the last completed round, if any
    LineState line = LineState::Starting;
    std::string line_detail; // why the line is not up, for people
    LineCounters counters;

    // Seconds since the last completed round (negative: none yet).
    double AgeSeconds(std::chrono::steady_clock::time_point now) const
    {
        if (!last) {
            return -1.0;
        }
        return std::chrono::duration<double>(now - last->steady).count();
    }
    // True when there is no round or the last one is older than the limit.
    bool Stale(std::chrono::steady_clock::time_point now) const
    {
        return !last || now - last->steady > stale_after;
    }
};

inline const char* LineStateName(LineState state)
{
    switch (state) {
    case LineState::Starting:
        return "starting";
    case LineState::Up:
        return "up";
    case LineState::Failing:
        return "failing";
    case LineState::Silent:
        return "silent";
    case LineState::Lost:
        return "lost";
    }
    return "?";
}

} // namespace site

// The UPS-MIB's alarm table of one UPS (upsAlarmTable): one row per
// well-known alarm in effect, so that no two rows share an upsAlarmDescr.
// Its sources are the fifteen status alarms and the agent's own
// "communications lost" (the data is stale); a row is added when the first
// of its sources becomes active and removed when the last one clears.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "UpsMib.h"

namespace snmp
{

struct AlarmRow {
    std::uint32_t id = 0;        // upsAlarmId: 1 for the first row, then one more per row
    std::uint8_t well_known = 0; // upsWellKnownAlarms.<well_known> is its upsAlarmDescr
    std::uint32_t time = 0;      // upsAlarmTime: the agent's uptime in TimeTicks
};

struct AlarmChange {
    bool added = false; // else removed
    AlarmRow row;
};

class AlarmTable
{
public:
    static constexpr std::size_t kCommunicationsLost = ::kStatusAlarmCount;
    static constexpr std::size_t kSources = ::kStatusAlarmCount + 1;
    // The largest upsAlarmId (PositiveInteger).
    static constexpr std::uint32_t kMaxId = 2147483647U;

    // `last_id`: the id the table counts on from (a test starts near the wrap).
    explicit AlarmTable(std::uint32_t last_id = 0) : last_id_(last_id) {}

    // Sets a source (0 to 14: a status alarm row; kCommunicationsLost) active or
    // not at `ticks`; returns the row added or removed, if the table changed.
    std::optional<AlarmChange> Set(std::size_t source, bool active, std::uint32_t ticks);

    bool Active(std::size_t source) const { return source < kSources && active_[source]; }
    // In upsAlarmId order.
    const std::vector<AlarmRow>& Rows() const { return rows_; }

    static std::uint8_t WellKnownOf(std::size_t source);

private:
    std::uint32_t NextId();

    std::bitset<kSources> active_;
    std::vector<AlarmRow> rows_;
    std::uint32_t last_id_;
};

} // namespace snmp

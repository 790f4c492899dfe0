#include "AlarmTable.h"

#include <algorithm>

namespace snmp
{

std::uint8_t AlarmTable::WellKnownOf(std::size_t source)
{
    return source == kCommunicationsLost ? catalogue::kAlarmCommunicationsLost
                                         : catalogue::kMibAlarms[source].well_known;
}

std::uint32_t AlarmTable::NextId()
{
    // The MIB: increment, wrapping to the first free value >= 1.
    std::uint32_t id = last_id_;
    for (;;) {
        id = id >= kMaxId ? 1 : id + 1;
        const bool used = std::any_of(rows_.begin(), rows_.end(),
                                      [&](const AlarmRow& row) { return row.id == id; });
        if (!used) {
            return last_id_ = id;
        }
    }
}

std::optional<AlarmChange> AlarmTable::Set(std::size_t source, bool active, std::uint32_t ticks)
{
    if (source >= kSources || active_[source] == active) {
        return std::nullopt;
    }
    active_[source] = active;
    const std::uint8_t well_known = WellKnownOf(source);
    const auto row = std::find_if(rows_.begin(), rows_.end(),
                                  [&](const AlarmRow& r) { return r.well_known == well_known; });
    if (active) {
        if (row != rows_.end()) {
            return std::nullopt; // another of its sources holds the row
        }
        AlarmRow added;
        added.id = NextId();
        added.well_known = well_known;
        added.time = ticks;
        rows_.insert(
            std::upper_bound(rows_.begin(), rows_.end(), added,
                             [](const AlarmRow& a, const AlarmRow& b) { return a.id < b.id; }),
            added);
        return AlarmChange{true, added};
    }
    for (std::size_t other = 0; other < kSources; ++other) {
        if (active_[other] && WellKnownOf(other) == well_known) {
            return std::nullopt; // still in effect through another source
        }
    }
    if (row == rows_.end()) {
        return std::nullopt;
    }
    const AlarmChange removed{false, *row};
    rows_.erase(row);
    return removed;
}

} // namespace snmp

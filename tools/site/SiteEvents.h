// What the site monitor tells the consumers that react to events rather
// than answer requests (the SNMP subagent, the MQTT publisher): the
// snapshots of the UPSes, read on the io_context's thread, and the events.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "UpsSnapshot.h"

namespace site
{

// The site's UPSes in configured order (the order of SiteConfig::ups).
// Called on the io_context's thread only.
using SnapshotsFn = std::function<std::vector<site::UpsSnapshot>()>;

// The events of the site, by UPS index in configured order, called on the
// io_context's thread.  RoundCompleted after the snapshot holds the new
// round; AlarmChanged when the host raises (active) or clears a status alarm
// (row 0 to 14 of the alarm table); LineChanged after the line state changed.
class SiteEvents
{
public:
    virtual ~SiteEvents() = default;
    virtual void RoundCompleted(std::size_t ups) = 0;
    virtual void AlarmChanged(std::size_t ups, std::size_t alarm_row, bool active) = 0;
    virtual void LineChanged(std::size_t ups) = 0;
};

} // namespace site

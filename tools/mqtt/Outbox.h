// The MQTT outbox: the messages of the rounds and alarm changes that the
// broker has not acknowledged yet, in the site's database (table
// mqtt_outbox, schema version 2).  A message is committed here before it is
// published and deleted only once the broker acknowledged it, so a broker
// that is away, a dropped connection or the process killed loses nothing
// that was committed: it goes out (again) after reconnecting or restarting,
// oldest first.
//
// The outbox is bounded: beyond `max_entries`, adding drops the oldest
// entries, and the dropped ones are counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SiteDatabase.h"

namespace mqtt
{

struct OutboxEntry {
    std::int64_t id = 0; // delivery order
    std::string topic;
    std::string payload;
    int qos = 1;
    bool retain = false;
    std::string ups;
    std::uint64_t sequence = 0; // the round's sequence of that UPS
    std::int64_t created_ms = 0;
};

class Outbox
{
public:
    // Opens (and migrates) the database at `path`.  Throws sitedb::Error.
    Outbox(const std::string& path, std::size_t max_entries);
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Commits one message; fills in entry.id.  Returns how many of the
    // oldest entries were dropped to keep the bound.  Throws sitedb::Error.
    std::size_t Add(OutboxEntry& entry);
    // Up to `limit` entries after `after_id`, oldest first.
    std::vector<OutboxEntry> After(std::int64_t after_id, std::size_t limit);
    // Deletes acknowledged entries, in one transaction.
    void Remove(const std::vector<std::int64_t>& ids);

    std::uint64_t Depth() const { return depth_; }
    // Entries dropped for the bound since opening.
    std::uint64_t Dropped() const { return dropped_; }
    // The id of the newest entry dropped for the bound so far (0: none).
    std::int64_t LastDroppedId() const { return last_dropped_id_; }
    std::size_t MaxEntries() const { return max_entries_; }

private:
    std::unique_ptr<sitedb::SiteDatabase> db_;
    sitedb::Statement insert_;
    sitedb::Statement select_;
    sitedb::Statement remove_;
    sitedb::Statement drop_;
    std::size_t max_entries_;
    std::uint64_t depth_ = 0;
    std::uint64_t dropped_ = 0;
    std::int64_t last_dropped_id_ = 0;
};

} // namespace mqtt

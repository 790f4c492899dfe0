#include "Outbox.h"

#include <chrono>

namespace mqtt
{
namespace
{

std::unique_ptr<sitedb::SiteDatabase> Open(const std::string& path)
{
    sitedb::DatabaseOptions options;
    // The history writes the same file from the same thread; a checkpoint
    // thread may hold it for a moment.
    options.busy_timeout = std::chrono::milliseconds(1000);
    return std::make_unique<sitedb::SiteDatabase>(path, options);
}

} // namespace

Outbox::Outbox(const std::string& path, std::size_t max_entries)
    : db_(Open(path)),
      insert_(db_->handle(), "INSERT INTO mqtt_outbox (topic, payload, qos, retain, ups, sequence, "
                             "created) VALUES (?, ?, ?, ?, ?, ?, ?)"),
      select_(db_->handle(), "SELECT id, topic, payload, qos, retain, ups, sequence, created "
                             "FROM mqtt_outbox WHERE id > ? ORDER BY id LIMIT ?"),
      remove_(db_->handle(), "DELETE FROM mqtt_outbox WHERE id = ?"),
      drop_(db_->handle(), "DELETE FROM mqtt_outbox WHERE id IN "
                           "(SELECT id FROM mqtt_outbox ORDER BY id LIMIT ?) RETURNING id"),
      max_entries_(max_entries == 0 ? 1 : max_entries)
{
    depth_ =
        static_cast<std::uint64_t>(db_->connection().QueryInt("SELECT count(*) FROM mqtt_outbox"));
    // As the history does: the log is copied into the file (with its
    // fsyncs) on a thread of its own, never in a commit on the site's
    // thread.
    db_->CheckpointInBackground();
}

Outbox::~Outbox() = default;

std::size_t Outbox::Add(OutboxEntry& entry)
{
    if (entry.created_ms == 0) {
        entry.created_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    }
    sitedb::Connection& c = db_->connection();
    c.Exec("BEGIN IMMEDIATE");
    std::size_t dropped = 0;
    try {
        insert_.Reset();
        insert_.Bind(1, entry.topic)
            .BindBlob(2, entry.payload.data(), entry.payload.size())
            .Bind(3, static_cast<std::int64_t>(entry.qos))
            .Bind(4, static_cast<std::int64_t>(entry.retain ? 1 : 0))
            .Bind(5, entry.ups)
            .Bind(6, static_cast<std::int64_t>(entry.sequence))
            .Bind(7, entry.created_ms);
        insert_.Step();
        insert_.Reset();
        entry.id = sqlite3_last_insert_rowid(db_->handle());
        if (depth_ + 1 > max_entries_) {
            drop_.Reset();
            drop_.Bind(1, static_cast<std::int64_t>(depth_ + 1 - max_entries_));
            std::int64_t last = 0;
            while (drop_.Step()) {
                last = drop_.Int(0);
                ++dropped;
            }
            drop_.Reset();
            if (dropped > 0) {
                last_dropped_id_ = last;
            }
        }
        c.Exec("COMMIT");
    } catch (...) {
        insert_.Reset();
        drop_.Reset();
        try {
            c.Exec("ROLLBACK");
        } catch (const sitedb::Error&) {
        }
        throw;
    }
    depth_ = depth_ + 1 - dropped;
    dropped_ += dropped;
    return dropped;
}

std::vector<OutboxEntry> Outbox::After(std::int64_t after_id, std::size_t limit)
{
    std::vector<OutboxEntry> entries;
    select_.Reset();
    select_.Bind(1, after_id).Bind(2, static_cast<std::int64_t>(limit));
    while (select_.Step()) {
        OutboxEntry e;
        e.id = select_.Int(0);
        e.topic = select_.Text(1);
        e.payload.assign(reinterpret_cast<const char*>(select_.Blob(2)), select_.Bytes(2));
        e.qos = static_cast<int>(select_.Int(3));
        e.retain = select_.Int(4) != 0;
        e.ups = select_.Text(5);
        e.sequence = static_cast<std::uint64_t>(select_.Int(6));
        e.created_ms = select_.Int(7);
        entries.push_back(std::move(e));
    }
    select_.Reset();
    return entries;
}

void Outbox::Remove(const std::vector<std::int64_t>& ids)
{
    if (ids.empty()) {
        return;
    }
    sitedb::Connection& c = db_->connection();
    c.Exec("BEGIN IMMEDIATE");
    std::uint64_t removed = 0;
    try {
        for (const std::int64_t id : ids) {
            remove_.Reset();
            remove_.Bind(1, id);
            remove_.Step();
            removed += static_cast<std::uint64_t>(sqlite3_changes(db_->handle()));
        }
        remove_.Reset();
        c.Exec("COMMIT");
    } catch (...) {
        remove_.Reset();
        try {
            c.Exec("ROLLBACK");
        } catch (const sitedb::Error&) {
        }
        throw;
    }
    depth_ -= removed > depth_ ? depth_ : removed;
}

} // namespace mqtt

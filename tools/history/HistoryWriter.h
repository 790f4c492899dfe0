// Stores every round's record in the site database, from the poll loop.
//
// Append never throws and never waits long (the busy timeout at most): a
// database that cannot be opened or written costs the rounds it cannot
// store, never the polling.  Each lost round is counted (lost()); the loss
// is reported in one line when it starts, then in a summary every
// `summary_every` while it lasts, and in one line when rounds are stored
// again.  While failing, the writer tries the database again at most every
// `retry_every`; rounds in between are counted as lost without touching it.
//
// Each round's (UPS, sequence) is stored once: a poller that starts again
// continues its numbering after LastSequence(ups).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "SiteDatabase.h"
#include "site/UpsSnapshot.h"

namespace history
{

struct WriterOptions {
    sitedb::DatabaseOptions database;
    std::chrono::steady_clock::duration retry_every = std::chrono::seconds(5);
    std::chrono::steady_clock::duration summary_every = std::chrono::minutes(1);
    // Checkpoints (copying the log into the database, with its fsyncs) on a
    // thread of their own once the log holds this many pages, rather than
    // in the append that crosses it; 0 leaves them to SQLite, in the append.
    std::uint32_t background_checkpoint_pages = 1000;
    // Where the writer's lines go (no newline at the end); stderr when
    // empty.
    std::function<void(const std::string&)> log;
};

class HistoryWriter
{
public:
    // Opens the database at once; a failure is reported (and retried at
    // the first round), not thrown.
    explicit HistoryWriter(std::string path, WriterOptions options = {});
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Stores one round of a UPS; true once it is committed.  The round's
    // steady time is the writer's clock for retries and summaries.
    bool Append(const std::string& ups, std::uint32_t data_id, const site::Round& round);
    // The same from the bytes SaveDeviceHistory hands over: a record that
    // is not 338 bytes long is refused (and counted as lost).
    bool Append(const std::string& ups, std::uint32_t data_id, std::uint64_t sequence,
                std::chrono::system_clock::time_point time,
                std::chrono::steady_clock::time_point now, const unsigned char* record,
                std::size_t length);

    // The highest sequence stored for the UPS; 0 when it has none or the
    // database cannot be read.
    std::uint64_t LastSequence(const std::string& ups);

    // Deletes at most `at_most` of the oldest rounds stored before `cutoff`
    // (every UPS), in one transaction; returns how many went.  A failure is
    // logged and returns 0, as a round that cannot be stored does not stop
    // the polling.
    std::size_t DeleteBefore(std::chrono::system_clock::time_point cutoff, std::size_t at_most);
    std::uint64_t deleted() const { return deleted_; }

    const std::string& path() const { return path_; }
    std::uint64_t written() const { return written_; }
    std::uint64_t lost() const { return lost_; }
    // True from a lost round until the next round stored.
    bool failing() const { return failing_; }
    // Why the last round was lost, for people; empty while rounds are
    // stored.
    const std::string& error() const { return error_; }

private:
    struct Connection;

    bool Open(std::chrono::steady_clock::time_point now);
    std::int64_t UpsId(const std::string& ups);
    void Stored();
    void Lost(std::chrono::steady_clock::time_point now, const std::string& reason,
              const std::string& kind);
    void Summarise(std::chrono::steady_clock::time_point now);
    void Log(const std::string& line) const;

    std::string path_;
    WriterOptions options_;
    std::unique_ptr<Connection> db_;

    std::uint64_t written_ = 0;
    std::uint64_t lost_ = 0;
    std::uint64_t deleted_ = 0;
    bool failing_ = false;
    std::string error_;
    std::string error_kind_; // the class of error_, so that a new cause gets its line
    std::string checkpoint_error_;
    std::uint64_t lost_run_ = 0; // lost since the rounds stopped being stored
    std::uint64_t lost_since_summary_ = 0;
    std::chrono::steady_clock::time_point last_summary_{};
    std::optional<std::chrono::steady_clock::time_point> next_attempt_;
};

} // namespace history

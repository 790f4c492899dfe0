#include "HistoryWriter.h"

#include <sys/stat.h>

#include <cstdio>
#include <utility>

#include "TimeText.h"

namespace history
{
namespace
{

std::string Seconds(std::chrono::steady_clock::duration d)
{
    const double s = std::chrono::duration<double>(d).count();
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

// What tells one failure from another: a new one gets its line, the same
// one again does not.
std::string Kind(const char* what, const std::exception& e)
{
    return std::string(what) + ":" + e.what();
}

} // namespace

struct HistoryWriter::Connection {
    Connection(const std::string& path, const sitedb::DatabaseOptions& options,
               std::uint32_t checkpoint_pages)
        : db(path, options),
          insert_round(db.handle(),
                       "INSERT INTO round (ups_id, sequence, time_ms, data_id, record) "
                       "VALUES (?1, ?2, ?3, ?4, ?5)"),
          add_ups(db.handle(), "INSERT OR IGNORE INTO ups (name) VALUES (?1)"),
          find_ups(db.handle(), "SELECT id FROM ups WHERE name = ?1"),
          last_sequence(db.handle(), "SELECT max(r.sequence) FROM round AS r "
                                     "JOIN ups AS u ON u.id = r.ups_id WHERE u.name = ?1")
    {
        if (checkpoint_pages > 0) {
            db.CheckpointInBackground(checkpoint_pages);
        }
        struct stat st = {};
        if (stat(path.c_str(), &st) == 0) {
            device = st.st_dev;
            inode = st.st_ino;
        }
    }

    // True when the path no longer names the file this connection writes
    // (removed, or moved away and maybe replaced): SQLite would go on
    // writing into a file nobody can open.
    bool Replaced(const std::string& path) const
    {
        struct stat st = {};
        return stat(path.c_str(), &st) != 0 || st.st_dev != device || st.st_ino != inode;
    }

    // The statements are finalized before the database closes.
    sitedb::SiteDatabase db;
    sitedb::Statement insert_round;
    sitedb::Statement add_ups;
    sitedb::Statement find_ups;
    sitedb::Statement last_sequence;
    std::map<std::string, std::int64_t> ups_ids;
    dev_t device = 0;
    ino_t inode = 0;
};

HistoryWriter::HistoryWriter(std::string path, WriterOptions options)
    : path_(std::move(path)), options_(std::move(options))
{
    Open(std::chrono::steady_clock::now());
    // A database that could not be opened is tried again at the first round.
    next_attempt_.reset();
}

HistoryWriter::~HistoryWriter()
{
    if (failing_) {
        Log("history database " + path_ + ": closing with " + std::to_string(lost_run_) +
            " rounds lost since the failure (" + error_ + "), " + std::to_string(lost_) +
            " in all");
    }
}

void HistoryWriter::Log(const std::string& line) const
{
    if (options_.log) {
        options_.log(line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

bool HistoryWriter::Open(std::chrono::steady_clock::time_point now)
{
    db_.reset();
    try {
        db_ = std::make_unique<Connection>(path_, options_.database,
                                           options_.background_checkpoint_pages);
        return true;
    } catch (const sitedb::Error& e) {
        const std::string kind = Kind("open", e);
        if (kind != error_kind_) {
            Log("history database " + path_ + ": cannot open: " + e.what() +
                "; rounds are not stored until it can be (tried again every " +
                Seconds(options_.retry_every) + ")");
        }
        error_ = std::string("cannot open: ") + e.what();
        error_kind_ = kind;
    } catch (const std::exception& e) {
        const std::string kind = Kind("open", e);
        if (kind != error_kind_) {
            Log("history database " + path_ + ": cannot open: " + e.what() +
                "; rounds are not stored until it can be");
        }
        error_ = std::string("cannot open: ") + e.what();
        error_kind_ = kind;
    }
    next_attempt_ = now + options_.retry_every;
    return false;
}

std::int64_t HistoryWriter::UpsId(const std::string& ups)
{
    const auto found = db_->ups_ids.find(ups);
    if (found != db_->ups_ids.end()) {
        return found->second;
    }
    db_->add_ups.Reset();
    db_->add_ups.Bind(1, ups);
    db_->add_ups.Step();
    db_->find_ups.Reset();
    db_->find_ups.Bind(1, ups);
    if (!db_->find_ups.Step()) {
        throw sitedb::Error("UPS " + ups + " could not be added", SQLITE_ERROR, 0);
    }
    const std::int64_t id = db_->find_ups.Int(0);
    db_->find_ups.Reset();
    db_->ups_ids.emplace(ups, id);
    return id;
}

bool HistoryWriter::Append(const std::string& ups, std::uint32_t data_id, const site::Round& round)
{
    return Append(ups, data_id, round.sequence, round.time, round.steady, round.record.data(),
                  round.record.size());
}

bool HistoryWriter::Append(const std::string& ups, std::uint32_t data_id, std::uint64_t sequence,
                           std::chrono::system_clock::time_point time,
                           std::chrono::steady_clock::time_point now, const unsigned char* record,
                           std::size_t length)
{
    const std::string round_name = "round " + std::to_string(sequence) + " of UPS " + ups;
    if (length != site::kRecordBytes || record == nullptr) {
        Lost(now,
             round_name + " refused: " +
                 (record == nullptr ? std::string("it has no record")
                                    : "its record is " + std::to_string(length) + " bytes, not " +
                                          std::to_string(site::kRecordBytes)),
             "refused:length");
        return false;
    }
    if (db_ && db_->Replaced(path_)) {
        // What the log holds goes into the file it belongs to (through the
        // descriptors still open), and the log is emptied: a new file of
        // that name must not take it for its own.
        std::string kept;
        try {
            db_->db.Checkpoint();
        } catch (const sitedb::Error& e) {
            kept = std::string(" (the last rounds of the old one may be lost: ") + e.what() + ")";
        }
        db_.reset();
        Log("history database " + path_ + ": the file was removed or replaced while open; " +
            "rounds go on into a new one" + kept);
        next_attempt_.reset();
    }
    // After a failure of the database, nothing is tried before it is due.
    if (next_attempt_ && now < *next_attempt_) {
        Lost(now, error_, error_kind_);
        return false;
    }
    if (!db_ && !Open(now)) {
        Lost(now, error_, error_kind_);
        return false;
    }
    try {
        sitedb::Statement& insert = db_->insert_round;
        insert.Reset();
        insert.Bind(1, UpsId(ups))
            .Bind(2, static_cast<std::int64_t>(sequence))
            .Bind(3, ToMilliseconds(time))
            .Bind(4, static_cast<std::int64_t>(data_id))
            .BindBlob(5, record, length);
        insert.Step();
        insert.Reset();
        Stored();
        const std::string checkpoint = db_->db.TakeCheckpointError();
        if (!checkpoint.empty() && checkpoint != checkpoint_error_) {
            // Rounds are still stored; the log grows until a checkpoint
            // succeeds.
            Log("history database " + path_ +
                ": copying the log into the database failed: " + checkpoint);
        }
        checkpoint_error_ = checkpoint;
        return true;
    } catch (const sitedb::Error& e) {
        if (e.primary() == SQLITE_CONSTRAINT) {
            // This round's fault, not the database's: the next is tried.
            Lost(now, round_name + " refused: " + (sequence == 0 ? "sequence 0" : "already stored"),
                 "refused:constraint");
            return false;
        }
        const std::string kind = Kind("write", e);
        if (kind != error_kind_) {
            Log("history database " + path_ + ": cannot store rounds: " + e.what() +
                "; rounds are not stored until it can be written (tried again every " +
                Seconds(options_.retry_every) + ")");
        }
        error_ = std::string("cannot store rounds: ") + e.what();
        error_kind_ = kind;
        // Locked by another writer: the connection is sound, only busy.
        // Anything else: opened afresh at the next attempt.
        if (e.primary() != SQLITE_BUSY && e.primary() != SQLITE_LOCKED) {
            db_.reset();
        }
        next_attempt_ = now + options_.retry_every;
        Lost(now, error_, error_kind_);
        return false;
    } catch (const std::exception& e) {
        error_ = std::string("cannot store rounds: ") + e.what();
        if (error_kind_ != Kind("write", e)) {
            Log("history database " + path_ + ": " + error_);
        }
        error_kind_ = Kind("write", e);
        db_.reset();
        next_attempt_ = now + options_.retry_every;
        Lost(now, error_, error_kind_);
        return false;
    }
}

void HistoryWriter::Stored()
{
    ++written_;
    if (failing_ || !error_kind_.empty()) {
        Log("history database " + path_ + ": rounds are stored again; " +
            std::to_string(lost_run_) + " lost meanwhile (" + error_ + "), " +
            std::to_string(lost_) + " in all");
    }
    failing_ = false;
    error_.clear();
    error_kind_.clear();
    lost_run_ = 0;
    lost_since_summary_ = 0;
    next_attempt_.reset();
}

void HistoryWriter::Lost(std::chrono::steady_clock::time_point now, const std::string& reason,
                         const std::string& kind)
{
    if (kind != error_kind_) {
        // A round refused on its own: its line (the database's failures
        // have had theirs already).
        Log("history database " + path_ + ": " + reason);
    }
    error_ = reason;
    error_kind_ = kind;
    ++lost_;
    ++lost_since_summary_;
    if (!failing_) {
        failing_ = true;
        lost_run_ = 0;
        last_summary_ = now;
    }
    ++lost_run_;
    Summarise(now);
}

void HistoryWriter::Summarise(std::chrono::steady_clock::time_point now)
{
    if (now - last_summary_ < options_.summary_every) {
        return;
    }
    Log("history database " + path_ + ": " + std::to_string(lost_since_summary_) +
        " rounds lost in the last " + Seconds(now - last_summary_) + ", " +
        std::to_string(lost_run_) + " since the failure, " + std::to_string(lost_) + " in all (" +
        error_ + ")");
    last_summary_ = now;
    lost_since_summary_ = 0;
}

std::uint64_t HistoryWriter::LastSequence(const std::string& ups)
{
    if (!db_ && !Open(std::chrono::steady_clock::now())) {
        next_attempt_.reset();
        return 0;
    }
    try {
        sitedb::Statement& query = db_->last_sequence;
        query.Reset();
        query.Bind(1, ups);
        const std::uint64_t last = query.Step() ? static_cast<std::uint64_t>(query.Int(0)) : 0;
        query.Reset();
        return last;
    } catch (const sitedb::Error& e) {
        Log("history database " + path_ + ": cannot read the last round of UPS " + ups + ": " +
            e.what());
        return 0;
    }
}

std::size_t HistoryWriter::DeleteBefore(std::chrono::system_clock::time_point cutoff,
                                        std::size_t at_most)
{
    if (!db_ || failing_ || at_most == 0) {
        return 0;
    }
    try {
        // The oldest first, through the index by time: each batch is a short
        // transaction between two rounds.
        sitedb::Statement remove(db_->db.handle(),
                                 "DELETE FROM round WHERE rowid IN (SELECT rowid FROM round "
                                 "WHERE time_ms < ?1 ORDER BY time_ms LIMIT ?2)");
        remove.Bind(1, ToMilliseconds(cutoff)).Bind(2, static_cast<std::int64_t>(at_most));
        remove.Step();
        const auto count = static_cast<std::size_t>(sqlite3_changes(db_->db.handle()));
        deleted_ += count;
        return count;
    } catch (const std::exception& e) {
        Log("history database " + path_ + ": cannot delete old rounds: " + e.what() +
            "; tried again later");
        return 0;
    }
}

} // namespace history

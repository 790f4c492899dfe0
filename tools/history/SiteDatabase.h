// The site's database: one SQLite file that holds the rounds' history (and
// whatever else the site monitor keeps across restarts, each in its own
// tables).  Opening it the one way every part of the monitor agrees on:
// write-ahead log, a short busy timeout, and the schema brought up to date
// through numbered migrations recorded in PRAGMA user_version.
//
// A part that needs tables of its own adds one migration at the end of
// SiteSchema() (SiteSchema.cpp); a file that is behind is brought up to
// date by the first writer that opens it, step by step, each step in one
// transaction.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Sqlite.h"

namespace sitedb
{

enum class Synchronous {
    // fsync at checkpoints only: a commit survives the process being killed
    // at any moment; after a power cut the last commits may be gone, the
    // file is still whole.
    Normal,
    // fsync of the log at every commit: survives a power cut as well, at
    // one flash write per commit.
    Full,
};

struct DatabaseOptions {
    // Read only: no migration, no change to the file's journal mode.
    bool read_only = false;
    // With read_only: the file is read as one that nobody writes (SQLite's
    // immutable), for a file in a directory where the log's index cannot
    // be made.
    bool immutable = false;
    // How long a statement waits for another connection's lock before it
    // fails with "database is locked".
    std::chrono::milliseconds busy_timeout{100};
    Synchronous synchronous = Synchronous::Normal;
    // Largest size of the database file (PRAGMA max_page_count); 0 for no
    // limit but the file system's.
    std::uint64_t max_bytes = 0;
};

// One step of the schema: the statements that take a file from
// `version - 1` to `version`.
struct Migration {
    int version;
    const char* summary;
    const char* sql;
};
using Schema = std::vector<Migration>;

// The site's schema, version 1 first.
const Schema& SiteSchema();

// What a file is, by its first bytes.
enum class FileKind {
    Missing,   // no such file
    Empty,     // zero bytes: SQLite makes a database of it
    Sqlite,    // starts with SQLite's header
    Other,     // anything else
    Unreadable // exists but cannot be read (the reason is in errno)
};
FileKind Probe(const std::string& path);

class Checkpointer;

class SiteDatabase
{
public:
    // Opens (creating it if needed, unless read only) and migrates to the
    // last version of `schema`.  Throws Error with a reason for people,
    // without the path: the caller says which file and what for.
    explicit SiteDatabase(const std::string& path, const DatabaseOptions& options = {},
                          const Schema& schema = SiteSchema());

    const std::string& path() const { return path_; }
    // The file's schema version after opening.
    int version() const { return version_; }
    Connection& connection() { return *connection_; }
    sqlite3* handle() const { return connection_->handle(); }

    // Copies the log into the database from a thread of its own, on a
    // connection of its own, once the log holds `pages` pages, instead of
    // in the commit that crosses that size: the commit stays an append to
    // the log, the copying and its fsyncs never hold up this connection's
    // thread.  Throws Error when the second connection cannot be opened.
    void CheckpointInBackground(std::uint32_t pages = 1000);
    // Copies the whole log into the database and empties it, now.  Throws
    // Error.
    void Checkpoint();
    // Why the last background checkpoint failed, once; empty if none did.
    std::string TakeCheckpointError();

    ~SiteDatabase();
    SiteDatabase(const SiteDatabase&) = delete;
    SiteDatabase& operator=(const SiteDatabase&) = delete;

private:
    void Configure(const DatabaseOptions& options);
    void Migrate(const Schema& schema);

    std::string path_;
    DatabaseOptions options_;
    std::unique_ptr<Connection> connection_;
    int version_ = 0;
    // Stopped before the connection closes.
    std::unique_ptr<Checkpointer> checkpointer_;
};

} // namespace sitedb

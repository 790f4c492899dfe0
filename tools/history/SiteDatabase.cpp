#include "SiteDatabase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

namespace sitedb
{
namespace
{

constexpr char kSqliteHeader[16] = "SQLite format 3"; // and its terminating zero
constexpr std::uint64_t kFlatRecordBytes = 338;

// Why a file that is not a database cannot be opened as one.
std::string NotADatabase(const std::string& path)
{
    struct stat st = {};
    if (stat(path.c_str(), &st) != 0) {
        return "not an SQLite database";
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::string reason = "not an SQLite database (" + std::to_string(size) + " bytes";
    if (size % kFlatRecordBytes == 0) {
        reason += ", as many as " + std::to_string(size / kFlatRecordBytes) +
                  " records of an old flat history file";
    }
    return reason + ")";
}

// Why SQLite opened a file read only.
std::string ReadOnlyReason(const std::string& path)
{
    if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
        return std::string("cannot be written (") + std::strerror(errno) + ")";
    }
    return "cannot be written";
}

std::string DirectoryOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Why no file can be made in the file's directory, or empty.
std::string DirectoryProblem(const std::string& path)
{
    if (faccessat(AT_FDCWD, DirectoryOf(path).c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return std::strerror(errno);
    }
    return {};
}

// The file as an SQLite URI that reads it as never changing.
std::string ImmutableUri(const std::string& path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '%' || c == '?' || c == '#' || u < 0x20 || u >= 0x7F) {
            uri += '%';
            uri += hex[u >> 4U];
            uri += hex[u & 0x0FU];
        } else {
            uri += c;
        }
    }
    return uri + "?immutable=1";
}

int UserVersion(Connection& connection)
{
    return static_cast<int>(connection.QueryInt("PRAGMA user_version"));
}

void SetSynchronous(Connection& connection, Synchronous synchronous)
{
    connection.Exec(synchronous == Synchronous::Full ? "PRAGMA synchronous=FULL"
                                                     : "PRAGMA synchronous=NORMAL");
}

} // namespace

// The background checkpoints: a thread that, when asked, copies what the
// log holds into the database (PASSIVE: it never waits for the writer or
// the readers, and never makes them wait).
class Checkpointer
{
public:
    Checkpointer(const std::string& path, const DatabaseOptions& options, std::uint32_t pages)
        : connection_(path, SQLITE_OPEN_READWRITE), pages_(static_cast<int>(pages))
    {
        SetSynchronous(connection_, options.synchronous);
        thread_ = std::thread([this] { Run(); });
    }
    ~Checkpointer()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

    // The writer's connection's commit hook: the log now holds `frames`
    // pages.
    static int Committed(void* self, sqlite3* /*db*/, const char* /*schema*/, int frames)
    {
        auto* checkpointer = static_cast<Checkpointer*>(self);
        if (frames >= checkpointer->pages_) {
            {
                const std::lock_guard<std::mutex> lock(checkpointer->mutex_);
                checkpointer->requested_ = true;
            }
            checkpointer->wake_.notify_one();
        }
        return SQLITE_OK;
    }

    std::string TakeError()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(error_, std::string());
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return requested_ || stop_; });
            if (stop_) {
                return;
            }
            requested_ = false;
            lock.unlock();
            const int rc = sqlite3_wal_checkpoint_v2(connection_.handle(), nullptr,
                                                     SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            std::string error;
            if (rc != SQLITE_OK && rc != SQLITE_BUSY) {
                error = sqlite3_errmsg(connection_.handle());
            }
            lock.lock();
            if (!error.empty()) {
                error_ = error;
            }
            // A writer faster than the copying asks again at every commit;
            // one run in a while catches up with all of it.
            wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stop_; });
        }
    }

    Connection connection_;
    const int pages_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool requested_ = false;
    bool stop_ = false;
    std::string error_;
    std::thread thread_;
};

FileKind Probe(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? FileKind::Missing : FileKind::Unreadable;
    }
    char header[sizeof kSqliteHeader] = {};
    std::size_t got = 0;
    while (got < sizeof header) {
        const ssize_t n = read(fd, header + got, sizeof header - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return FileKind::Unreadable;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    if (got == 0) {
        return FileKind::Empty;
    }
    if (got == sizeof header && std::memcmp(header, kSqliteHeader, sizeof header) == 0) {
        return FileKind::Sqlite;
    }
    return FileKind::Other;
}

SiteDatabase::SiteDatabase(const std::string& path, const DatabaseOptions& options,
                           const Schema& schema)
    : path_(path), options_(options)
{
    // SQLite would refuse such a file too, but later and without saying
    // what the file is; it never writes to one it cannot read as a database.
    switch (Probe(path)) {
    case FileKind::Other:
        throw Error(NotADatabase(path), SQLITE_NOTADB, 0);
    case FileKind::Unreadable: {
        const int e = errno;
        throw Error(std::string("cannot be read (") + std::strerror(e) + ")", SQLITE_CANTOPEN, e);
    }
    case FileKind::Missing:
        if (options.read_only) {
            throw Error("does not exist", SQLITE_CANTOPEN, ENOENT);
        }
        // SQLite's own message would name the last thing it tried (opening
        // the file read only) rather than why it could not create it.
        if (const std::string why = DirectoryProblem(path); !why.empty()) {
            throw Error("cannot be created in " + DirectoryOf(path) + " (" + why + ")",
                        SQLITE_CANTOPEN, 0);
        }
        break;
    case FileKind::Empty:
    case FileKind::Sqlite:
        break;
    }
    int flags =
        options.read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    std::string name = path;
    if (options.immutable) {
        flags |= SQLITE_OPEN_URI;
        name = ImmutableUri(path);
    }
    connection_ = std::make_unique<Connection>(name, flags);
    sqlite3_busy_timeout(connection_->handle(), static_cast<int>(options.busy_timeout.count()));
    // Before the first read: reading a file in WAL mode makes the log's
    // index beside it, read only like the file, where it would stop the
    // writing once the file is writable again.
    if (!options.read_only && sqlite3_db_readonly(connection_->handle(), "main") == 1) {
        throw Error(ReadOnlyReason(path_), SQLITE_READONLY, 0);
    }
    // Two programs opening a new file at once: SQLite answers some of the
    // first steps (the first read while the other sets up the log, changing
    // the journal mode) with "database is locked" at once, without waiting
    // for the busy timeout.  Those steps are tried again within that time;
    // each is whole or not done (the migrations are transactions).
    const auto deadline = std::chrono::steady_clock::now() + options.busy_timeout;
    for (;;) {
        try {
            // The first read of the file: a file that is not a database fails here,
            // before anything is written to it.
            try {
                version_ = UserVersion(*connection_);
            } catch (const Error& e) {
                // Reading a file in WAL mode needs the log's index beside it.
                const std::string why = options.read_only ? "" : DirectoryProblem(path_);
                if (why.empty()) {
                    throw;
                }
                throw Error("cannot create its write-ahead log in " + DirectoryOf(path_) + " (" +
                                why + ")",
                            SQLITE_CANTOPEN, 0);
            }
            if (options.read_only) {
                return;
            }
            const int known = static_cast<int>(schema.size());
            if (version_ > known) {
                throw Error("has schema version " + std::to_string(version_) +
                                ", newer than this program's " + std::to_string(known),
                            SQLITE_ERROR, 0);
            }
            Configure(options);
            Migrate(schema);
            return;
        } catch (const Error& e) {
            const bool busy = e.primary() == SQLITE_BUSY || e.primary() == SQLITE_LOCKED;
            if (!busy || std::chrono::steady_clock::now() >= deadline) {
                throw;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void SiteDatabase::Configure(const DatabaseOptions& options)
{
    // Readers never block the writer and the writer never blocks readers;
    // a commit is one append to the log.
    std::string mode;
    try {
        mode = connection_->QueryText("PRAGMA journal_mode=WAL");
    } catch (const Error&) {
        // The log and its index are files next to the database.
        if (const std::string why = DirectoryProblem(path_); !why.empty()) {
            throw Error("cannot create its write-ahead log in " + DirectoryOf(path_) + " (" + why +
                            ")",
                        SQLITE_CANTOPEN, 0);
        }
        throw;
    }
    if (mode != "wal") {
        throw Error("cannot keep a write-ahead log (journal mode stays " + mode + ")",
                    SQLITE_CANTOPEN, 0);
    }
    SetSynchronous(*connection_, options.synchronous);
    connection_->Exec("PRAGMA foreign_keys=ON");
    // A log that grew while a long read held back the checkpoints is cut
    // back to this once it has been copied into the database.
    connection_->Exec("PRAGMA journal_size_limit=4194304");
    if (options.max_bytes > 0) {
        const auto page = static_cast<std::uint64_t>(connection_->QueryInt("PRAGMA page_size"));
        const std::uint64_t pages = std::max<std::uint64_t>(1, options.max_bytes / page);
        connection_->Exec(("PRAGMA max_page_count=" + std::to_string(pages)).c_str());
    }
}

void SiteDatabase::Migrate(const Schema& schema)
{
    for (std::size_t i = 0; i < schema.size(); ++i) {
        if (schema[i].version != static_cast<int>(i) + 1) {
            throw std::logic_error("site schema: migration " + std::to_string(i) +
                                   " is not version " + std::to_string(i + 1));
        }
    }
    const int known = static_cast<int>(schema.size());
    while (version_ < known) {
        // IMMEDIATE: two processes opening a new file at once do not both
        // run the same step; the second sees the first's version.
        connection_->Exec("BEGIN IMMEDIATE");
        try {
            version_ = UserVersion(*connection_);
            if (version_ < known) {
                const Migration& step = schema[static_cast<std::size_t>(version_)];
                connection_->Exec(step.sql);
                connection_->Exec(("PRAGMA user_version=" + std::to_string(step.version)).c_str());
            }
            connection_->Exec("COMMIT");
        } catch (...) {
            sqlite3_exec(connection_->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        version_ = UserVersion(*connection_);
    }
}

SiteDatabase::~SiteDatabase()
{
    if (checkpointer_) {
        sqlite3_wal_hook(connection_->handle(), nullptr, nullptr);
        checkpointer_.reset();
    }
}

void SiteDatabase::CheckpointInBackground(std::uint32_t pages)
{
    if (options_.read_only || checkpointer_) {
        return;
    }
    checkpointer_ =
        std::make_unique<Checkpointer>(path_, options_, std::max<std::uint32_t>(1, pages));
    // Replaces SQLite's own checkpoint at the end of a commit.
    sqlite3_wal_hook(connection_->handle(), &Checkpointer::Committed, checkpointer_.get());
}

void SiteDatabase::Checkpoint()
{
    const int rc = sqlite3_wal_checkpoint_v2(connection_->handle(), nullptr,
                                             SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        Fail(connection_->handle(), rc);
    }
}

std::string SiteDatabase::TakeCheckpointError()
{
    return checkpointer_ ? checkpointer_->TakeError() : std::string();
}

} // namespace sitedb

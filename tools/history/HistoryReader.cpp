#include "HistoryReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "SiteDatabase.h"
#include "TimeText.h"

namespace history
{
namespace
{

// A bound in milliseconds, rounded up: stored times are whole
// milliseconds, and one stored at t is at or after `since` (before `until`)
// exactly when t >= ceil(since) (t < ceil(until)).
std::int64_t BoundMilliseconds(std::chrono::system_clock::time_point t)
{
    return std::chrono::ceil<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

std::uint32_t LoadU32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8U) |
           (static_cast<std::uint32_t>(p[2]) << 16U) | (static_cast<std::uint32_t>(p[3]) << 24U);
}

class DatabaseSource : public HistorySource
{
public:
    explicit DatabaseSource(const std::string& path) : path_(path)
    {
        sitedb::DatabaseOptions options;
        options.read_only = true;
        // A reader may wait a little for a writer's checkpoint; it never
        // makes the writer wait.
        options.busy_timeout = std::chrono::seconds(5);
        try {
            db_ = std::make_unique<sitedb::SiteDatabase>(path, options);
        } catch (const sitedb::Error& e) {
            const bool no_index = e.primary() == SQLITE_READONLY || e.primary() == SQLITE_CANTOPEN;
            struct stat st = {};
            const bool has_log = stat((path + "-wal").c_str(), &st) == 0;
            if (!no_index) {
                throw ReadError("history database " + path + ": " + e.what());
            }
            if (has_log) {
                throw ReadError("history database " + path +
                                ": cannot be read: the index of its write-ahead log cannot be "
                                "made next to it (" +
                                e.what() + ")");
            }
            // A file closed by its last writer, in a directory where the
            // log's index cannot be made: nobody is writing it.
            options.immutable = true;
            try {
                db_ = std::make_unique<sitedb::SiteDatabase>(path, options);
            } catch (const sitedb::Error& again) {
                throw ReadError("history database " + path + ": " + again.what());
            }
        }
        if (db_->version() < 1) {
            throw ReadError("history database " + path + ": holds no history (schema version 0)");
        }
    }

    SourceKind kind() const override { return SourceKind::Database; }
    const std::string& path() const override { return path_; }

    std::size_t Read(const Filter& filter, const std::function<bool(const Entry&)>& each) override
    {
        std::string sql = "SELECT u.name, r.data_id, r.sequence, r.time_ms, r.record "
                          "FROM round AS r JOIN ups AS u ON u.id = r.ups_id";
        std::string where;
        auto condition = [&where](const char* text) {
            where += where.empty() ? " WHERE " : " AND ";
            where += text;
        };
        if (!filter.ups.empty()) {
            condition("u.name = ?1");
        }
        if (filter.since) {
            condition("r.time_ms >= ?2");
        }
        if (filter.until) {
            condition("r.time_ms < ?3");
        }
        sql += where;
        sql += filter.order == Order::NewestFirst
                   ? " ORDER BY r.time_ms DESC, r.ups_id DESC, r.sequence DESC"
                   : " ORDER BY r.time_ms ASC, r.ups_id ASC, r.sequence ASC";
        if (filter.limit > 0) {
            sql += " LIMIT ?4";
        }
        std::size_t count = 0;
        try {
            sitedb::Statement query(db_->handle(), sql.c_str());
            if (!filter.ups.empty()) {
                query.Bind(1, filter.ups);
            }
            if (filter.since) {
                query.Bind(2, BoundMilliseconds(*filter.since));
            }
            if (filter.until) {
                query.Bind(3, BoundMilliseconds(*filter.until));
            }
            if (filter.limit > 0) {
                query.Bind(4, static_cast<std::int64_t>(filter.limit));
            }
            Entry entry;
            while (query.Step()) {
                if (query.Bytes(4) != site::kRecordBytes) {
                    throw ReadError("history database " + path_ + ": round " +
                                    std::to_string(query.Int(2)) + " of UPS " + query.Text(0) +
                                    " has a record of " + std::to_string(query.Bytes(4)) +
                                    " bytes");
                }
                entry.ups = query.Text(0);
                entry.data_id = static_cast<std::uint32_t>(query.Int(1));
                entry.sequence = static_cast<std::uint64_t>(query.Int(2));
                entry.time = FromMilliseconds(query.Int(3));
                std::memcpy(entry.record.data(), query.Blob(4), site::kRecordBytes);
                ++count;
                if (!each(entry)) {
                    break;
                }
            }
        } catch (const sitedb::Error& e) {
            throw ReadError("history database " + path_ + ": " + e.what());
        }
        return count;
    }

    std::vector<std::string> UpsNames() override
    {
        std::vector<std::string> names;
        try {
            sitedb::Statement query(db_->handle(), "SELECT name FROM ups ORDER BY name");
            while (query.Step()) {
                names.push_back(query.Text(0));
            }
        } catch (const sitedb::Error& e) {
            throw ReadError("history database " + path_ + ": " + e.what());
        }
        return names;
    }

private:
    std::string path_;
    std::unique_ptr<sitedb::SiteDatabase> db_;
};

class FlatSource : public HistorySource
{
public:
    explicit FlatSource(const std::string& path) : path_(path)
    {
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st = {};
        if (fd_ < 0 || fstat(fd_, &st) != 0) {
            throw ReadError("cannot read history file " + path + ": " + std::strerror(errno));
        }
        const auto size = static_cast<std::uint64_t>(st.st_size);
        records_ = size / site::kRecordBytes;
        trailing_ = size % site::kRecordBytes;
    }
    ~FlatSource() override
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FlatSource(const FlatSource&) = delete;
    FlatSource& operator=(const FlatSource&) = delete;

    SourceKind kind() const override { return SourceKind::FlatFile; }
    const std::string& path() const override { return path_; }

    std::size_t Read(const Filter& filter, const std::function<bool(const Entry&)>& each) override
    {
        if (!filter.ups.empty()) {
            throw ReadError("flat history file " + path_ +
                            " has no UPS names: it cannot be read by UPS");
        }
        if (filter.since || filter.until) {
            throw ReadError("flat history file " + path_ +
                            " has no times of the rounds: it cannot be read by time");
        }
        std::uint64_t n = records_;
        if (filter.limit > 0 && filter.limit < n) {
            n = filter.limit;
        }
        Entry entry;
        std::size_t count = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::uint64_t index = filter.order == Order::NewestFirst ? records_ - 1 - i : i;
            ReadRecord(index, entry.record.data());
            entry.sequence = index + 1;
            entry.data_id = LoadU32(entry.record.data());
            ++count;
            if (!each(entry)) {
                break;
            }
        }
        return count;
    }

    std::vector<std::string> UpsNames() override { return {}; }

    std::string Warning() const override
    {
        if (trailing_ == 0) {
            return {};
        }
        return "flat history file " + path_ + " ends in a partial record of " +
               std::to_string(trailing_) + " bytes, not read";
    }

private:
    void ReadRecord(std::uint64_t index, unsigned char* into) const
    {
        std::size_t got = 0;
        const auto offset = static_cast<off_t>(index * site::kRecordBytes);
        while (got < site::kRecordBytes) {
            const ssize_t n =
                pread(fd_, into + got, site::kRecordBytes - got, offset + static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                throw ReadError("cannot read history file " + path_ + ": " +
                                (n == 0 ? std::string("it became shorter while being read")
                                        : std::string(std::strerror(errno))));
            }
            got += static_cast<std::size_t>(n);
        }
    }

    std::string path_;
    int fd_ = -1;
    std::uint64_t records_ = 0;
    std::uint64_t trailing_ = 0;
};

} // namespace

std::unique_ptr<HistorySource> OpenHistory(const std::string& path)
{
    switch (sitedb::Probe(path)) {
    case sitedb::FileKind::Sqlite:
        return std::make_unique<DatabaseSource>(path);
    case sitedb::FileKind::Missing:
    case sitedb::FileKind::Unreadable:
        throw ReadError("cannot read history file " + path + ": " + std::strerror(errno));
    case sitedb::FileKind::Empty:
    case sitedb::FileKind::Other:
        break;
    }
    return std::make_unique<FlatSource>(path);
}

std::vector<Entry> ReadAll(HistorySource& source, const Filter& filter)
{
    std::vector<Entry> entries;
    source.Read(filter, [&entries](const Entry& entry) {
        entries.push_back(entry);
        return true;
    });
    return entries;
}

} // namespace history

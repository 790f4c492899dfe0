// A database that cannot be opened or written: one line naming the file
// and the reason, the rounds still accepted and every lost one counted, a
// summary while it lasts, tried again no more often than asked, and rounds
// stored again once the file is usable.  Full disks are a real small
// tmpfs and SQLite's size limit; read-only files and file systems are real
// too (in a child process of their own, as an unprivileged user or in a
// mount namespace of its own).
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "HistoryReader.h"
#include "HistoryWriter.h"
#include "Sqlite.h"
#include "Support.h"
#include "SyntheticRounds.h"
#include "TimeText.h"

namespace
{

using namespace history;
using std::chrono::seconds;

const Clock::time_point kT0 = Clock::time_point(seconds(1796785200));

// A writer whose lines are kept, fed one round every 2 s of its own
// clock.
class Feed
{
public:
    explicit Feed(std::string path, std::uint64_t max_bytes = 0)
        : path_(std::move(path)), start_(std::chrono::steady_clock::now())
    {
        WriterOptions options;
        options.retry_every = seconds(5);
        options.summary_every = seconds(10);
        options.database.max_bytes = max_bytes;
        options.log = [this](const std::string& line) { lines.push_back(line); };
        writer = std::make_unique<HistoryWriter>(path_, options);
    }

    // The next round of UPS "a"; true when stored.
    bool Next()
    {
        const std::uint64_t seq = ++sequence_;
        const auto steady = start_ + seconds(2 * static_cast<long>(seq - 1));
        const bool stored =
            writer->Append("a", 5035, MakeRound("a", seq, kT0 + seconds(2 * seq), steady));
        if (stored) {
            stored_.push_back(seq);
        }
        return stored;
    }
    // Seconds on the writer's clock at the next round.
    long Clock() const { return 2 * static_cast<long>(sequence_); }

    const std::vector<std::uint64_t>& stored() const { return stored_; }
    std::string Prefix() const { return "history database " + path_ + ": "; }

    std::vector<std::string> lines;
    std::unique_ptr<HistoryWriter> writer;

private:
    std::string path_;
    std::chrono::steady_clock::time_point start_;
    std::uint64_t sequence_ = 0;
    std::vector<std::uint64_t> stored_;
};

bool StartsWith(const std::string& text, const std::string& start)
{
    return text.rfind(start, 0) == 0;
}

// What the scenarios run in a child process check, as text.
struct Checks {
    std::string failures;
    void That(bool ok, const std::string& what)
    {
        if (!ok) {
            failures += what + "\n";
        }
    }
    void Equal(const std::string& got, const std::string& want, const std::string& what)
    {
        That(got == want, what + ": got \"" + got + "\", want \"" + want + "\"");
    }
};

// Every round the feed stored is in the file, whole.
std::string StoredRoundsThere(const std::string& path, const Feed& feed)
{
    std::string failures;
    const std::vector<Entry> entries = ReadAll(*OpenHistory(path));
    std::vector<std::uint64_t> seqs;
    for (const Entry& e : entries) {
        seqs.push_back(e.sequence);
        if (e.record != SyntheticRecord("a", e.sequence, 5035)) {
            failures += "round " + std::to_string(e.sequence) + " is not the one written\n";
        }
    }
    if (seqs != feed.stored()) {
        failures += "stored " + std::to_string(feed.stored().size()) + " rounds, the file has " +
                    std::to_string(seqs.size()) + "\n";
    }
    sitedb::Connection check(path, SQLITE_OPEN_READONLY);
    if (check.QueryText("PRAGMA integrity_check") != "ok") {
        failures += "integrity check failed\n";
    }
    return failures;
}

TEST(Failure, MissingDirectoryReportedOnceCountedSummarisedRetriedAndRecovered)
{
    ScratchDir dir;
    const std::string path = dir / "sub/site.db";
    Feed feed(path);
    ASSERT_EQ(feed.lines.size(), 1U);
    const std::string reason =
        "cannot open: cannot be created in " + (dir / "sub") + " (No such file or directory)";
    EXPECT_EQ(feed.lines[0], feed.Prefix() + reason +
                                 "; rounds are not stored until it can be (tried again every 5 s)");
    // Rounds at 0, 2 ... 12 s: all lost, tried again at 0, 6 and 12 s.  One
    // summary, at 10 s.
    for (int i = 0; i < 7; ++i) {
        EXPECT_FALSE(feed.Next());
    }
    EXPECT_EQ(feed.writer->lost(), 7U);
    EXPECT_TRUE(feed.writer->failing());
    ASSERT_EQ(feed.lines.size(), 2U);
    EXPECT_EQ(feed.lines[1], feed.Prefix() +
                                 "6 rounds lost in the last 10 s, 6 since the failure, 6 in all (" +
                                 reason + ")");
    EXPECT_EQ(feed.writer->error(), reason);

    // The directory comes at 13 s: the rounds at 14 and 16 s are lost
    // still (the next attempt is due at 17 s), the one at 18 s is stored.
    std::filesystem::create_directory(dir / "sub");
    EXPECT_FALSE(feed.Next());
    EXPECT_FALSE(feed.Next());
    EXPECT_TRUE(feed.Next());
    EXPECT_EQ(feed.writer->lost(), 9U);
    EXPECT_EQ(feed.writer->written(), 1U);
    EXPECT_FALSE(feed.writer->failing());
    ASSERT_EQ(feed.lines.size(), 3U);
    EXPECT_EQ(feed.lines[2], feed.Prefix() + "rounds are stored again; 9 lost meanwhile (" +
                                 reason + "), 9 in all");
    EXPECT_TRUE(feed.Next());
    EXPECT_EQ(feed.lines.size(), 3U);
    EXPECT_EQ(StoredRoundsThere(path, feed), "");
}

TEST(Failure, WriterClosedWhileFailingSaysWhatWasLost)
{
    ScratchDir dir;
    const std::string path = dir / "sub/site.db";
    std::vector<std::string> lines;
    {
        Feed feed(path);
        EXPECT_FALSE(feed.Next());
        EXPECT_FALSE(feed.Next());
        lines = feed.lines;
        feed.writer.reset();
        lines = feed.lines;
    }
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[1], "history database " + path +
                            ": closing with 2 rounds lost since the failure (cannot open: cannot "
                            "be created in " +
                            (dir / "sub") + " (No such file or directory)), 2 in all");
}

struct OpenFailureRow {
    const char* name;
    std::function<void(const std::string& path)> make;
    const char* reason;
};

void PrintTo(const OpenFailureRow& row, std::ostream* os)
{
    *os << row.name;
}

class OpenFailureTest : public ::testing::TestWithParam<OpenFailureRow>
{
};

TEST_P(OpenFailureTest, OneLineAndTheFileLeftAsItWas)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    GetParam().make(path);
    const std::string before = std::filesystem::is_regular_file(path) ? ReadFile(path) : "";
    Feed feed(path);
    for (int i = 0; i < 12; ++i) {
        EXPECT_FALSE(feed.Next());
    }
    ASSERT_GE(feed.lines.size(), 1U);
    EXPECT_EQ(feed.lines[0], feed.Prefix() + "cannot open: " + GetParam().reason +
                                 "; rounds are not stored until it can be (tried again every 5 s)");
    // Summaries at 10 and 20 s besides; nothing per round.
    EXPECT_EQ(feed.lines.size(), 3U);
    EXPECT_EQ(feed.writer->lost(), 12U);
    if (std::filesystem::is_regular_file(path)) {
        EXPECT_EQ(ReadFile(path), before) << "the file was changed";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, OpenFailureTest,
    ::testing::Values(
        OpenFailureRow{"NotADatabase",
                       [](const std::string& p) { WriteFile(p, std::string(4000, '\x5a')); },
                       "not an SQLite database (4000 bytes)"},
        OpenFailureRow{"OldFlatHistoryFile",
                       [](const std::string& p) {
                           const auto r = SyntheticRecord("a", 1, 5035);
                           std::string bytes;
                           for (int i = 0; i < 3; ++i) {
                               bytes.append(reinterpret_cast<const char*>(r.data()), r.size());
                           }
                           WriteFile(p, bytes);
                       },
                       "not an SQLite database (1014 bytes, as many as 3 records of an old "
                       "flat history file)"},
        OpenFailureRow{"Directory",
                       [](const std::string& p) { std::filesystem::create_directory(p); },
                       "cannot be read (Is a directory)"},
        OpenFailureRow{"NewerSchema",
                       [](const std::string& p) {
                           sitedb::Connection db(p, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
                           db.Exec("PRAGMA user_version=7");
                       },
                       "has schema version 7, newer than this program's 2"}),
    [](const ::testing::TestParamInfo<OpenFailureRow>& row) {
        return std::string(row.param.name);
    });

// A file with some rounds, its writer closed.
void MakeDatabase(const std::string& path, int rounds)
{
    HistoryWriter writer(path);
    for (int i = 1; i <= rounds; ++i) {
        writer.Append("a", 5035,
                      MakeRound("a", static_cast<std::uint64_t>(i), kT0 + seconds(2 * i),
                                std::chrono::steady_clock::now()));
    }
}

TEST(Failure, ReadOnlyFileRefusedThenWrittenOnceItIsWritable)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    chmod(dir.path().c_str(), 0777);
    std::string skipped;
    const std::optional<std::string> failures = RunIsolated(
        {0, "", true},
        [&]() {
            Checks check;
            MakeDatabase(path, 0);
            chmod(path.c_str(), 0444);
            Feed feed(path);
            for (int i = 0; i < 4; ++i) {
                check.That(!feed.Next(), "stored in a read-only file");
            }
            check.Equal(feed.lines.empty() ? "" : feed.lines[0],
                        feed.Prefix() + "cannot open: cannot be written (Permission denied); "
                                        "rounds are not stored until it can be (tried again "
                                        "every 5 s)",
                        "first line");
            check.That(feed.lines.size() == 1, "more than one line");
            // Tried again at 0 and 6 s, then at 12 s: the rounds at 8 and
            // 10 s are lost still.
            chmod(path.c_str(), 0644);
            check.That(!feed.Next() && !feed.Next(), "tried again too early");
            check.That(feed.Next(), "not stored once writable");
            check.That(StartsWith(feed.lines.back(), feed.Prefix() + "rounds are stored again; 6 "
                                                                     "lost meanwhile"),
                       "no line for the recovery: " + feed.lines.back());
            check.failures += StoredRoundsThere(path, feed);
            return check.failures;
        },
        skipped);
    if (!failures) {
        GTEST_SKIP() << skipped;
    }
    EXPECT_EQ(*failures, "");
}

TEST(Failure, ReadOnlyDirectoryRefusedForANewFileAndForTheLog)
{
    ScratchDir dir;
    const std::string sub = dir / "ro";
    std::filesystem::create_directory(sub);
    chmod(dir.path().c_str(), 0777);
    if (geteuid() == 0 && chown(sub.c_str(), 65534, 65534) != 0) {
        GTEST_SKIP() << "cannot give the directory to nobody";
    }
    std::string skipped;
    const std::optional<std::string> failures = RunIsolated(
        {0, "", true},
        [&]() {
            Checks check;
            const std::string tail =
                "; rounds are not stored until it can be (tried again every 5 s)";
            // A database closed by its writer (no log beside it), and no
            // file yet.
            MakeDatabase(sub + "/old.db", 2);
            if (chmod(sub.c_str(), 0555) != 0) {
                return std::string("chmod: ") + std::strerror(errno) + "\n";
            }
            {
                Feed feed(sub + "/new.db");
                check.That(!feed.Next(), "stored in a read-only directory");
                check.Equal(feed.lines.empty() ? "" : feed.lines[0],
                            feed.Prefix() + "cannot open: cannot be created in " + sub +
                                " (Permission denied)" + tail,
                            "new file");
            }
            {
                Feed feed(sub + "/old.db");
                check.That(!feed.Next(), "stored without a log");
                check.Equal(feed.lines.empty() ? "" : feed.lines[0],
                            feed.Prefix() + "cannot open: cannot create its write-ahead log in " +
                                sub + " (Permission denied)" + tail,
                            "existing file");
            }
            // It can still be read.
            try {
                check.That(ReadAll(*OpenHistory(sub + "/old.db")).size() == 2,
                           "not the 2 rounds stored");
            } catch (const ReadError& e) {
                check.That(false, std::string("reading: ") + e.what());
            }
            return check.failures;
        },
        skipped);
    if (!failures) {
        GTEST_SKIP() << skipped;
    }
    EXPECT_EQ(*failures, "");
}

TEST(Failure, ReadOnlyFileSystemRefusedThenWrittenOnceRemountedReadWrite)
{
    ScratchDir dir;
    const std::string mnt = dir / "fs";
    std::filesystem::create_directory(mnt);
    const std::string path = mnt + "/site.db";
    std::string skipped;
    const std::optional<std::string> failures = RunIsolated(
        {4 << 20, mnt, false},
        [&]() {
            Checks check;
            MakeDatabase(path, 3);
            if (mount("tmpfs", mnt.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
                return std::string("remounting read only: ") + std::strerror(errno) + "\n";
            }
            Feed feed(path);
            for (int i = 0; i < 3; ++i) {
                check.That(!feed.Next(), "stored on a read-only file system");
            }
            check.Equal(feed.lines.empty() ? "" : feed.lines[0],
                        feed.Prefix() + "cannot open: cannot be written (Read-only file "
                                        "system); rounds are not stored until it can be (tried "
                                        "again every 5 s)",
                        "first line");
            if (mount("tmpfs", mnt.c_str(), nullptr, MS_REMOUNT, nullptr) != 0) {
                return std::string("remounting read-write: ") + std::strerror(errno) + "\n";
            }
            check.That(feed.Next(), "not stored once writable"); // 6 s: tried again
            check.That(StartsWith(feed.lines.back(), feed.Prefix() + "rounds are stored again; 3 "
                                                                     "lost meanwhile"),
                       "no line for the recovery: " + feed.lines.back());
            const std::vector<Entry> entries = ReadAll(*OpenHistory(path));
            check.That(entries.size() == 4, "not the 3 rounds before and the one after");
            return check.failures;
        },
        skipped);
    if (!failures) {
        GTEST_SKIP() << skipped;
    }
    EXPECT_EQ(*failures, "");
}

// Fills the database until a round is lost; returns how many were stored.
int FillUntilLost(Feed& feed, int at_most)
{
    for (int i = 0; i < at_most; ++i) {
        if (!feed.Next()) {
            return i;
        }
    }
    return at_most;
}

TEST(Failure, SizeLimitReachedThenRoomMadeByDeletingOldRounds)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    Feed feed(path, 48 * 4096);
    const int stored = FillUntilLost(feed, 100000);
    ASSERT_GT(stored, 10);
    ASSERT_LT(stored, 100000) << "the size limit was never reached";
    ASSERT_EQ(feed.lines.size(), 1U);
    EXPECT_EQ(feed.lines[0], feed.Prefix() +
                                 "cannot store rounds: database or disk is full; rounds are not "
                                 "stored until it can be written (tried again every 5 s)");
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(feed.Next());
    }
    EXPECT_EQ(feed.writer->lost(), 6U);
    EXPECT_EQ(feed.lines.size(), 2U); // the summary at 10 s
    EXPECT_TRUE(StartsWith(feed.lines.back(), feed.Prefix() + "6 rounds lost in the last 10 s, "))
        << feed.lines.back();

    // Someone makes room: the next attempt stores again.
    {
        sitedb::Connection other(path, SQLITE_OPEN_READWRITE);
        other.Exec("DELETE FROM round WHERE sequence <= 100");
    }
    bool again = false;
    for (int i = 0; i < 3 && !again; ++i) {
        again = feed.Next();
    }
    EXPECT_TRUE(again);
    EXPECT_TRUE(StartsWith(feed.lines.back(), feed.Prefix() + "rounds are stored again; "))
        << feed.lines.back();
    EXPECT_EQ(feed.writer->lost() + feed.writer->written(),
              static_cast<std::uint64_t>(feed.Clock() / 2));
    sitedb::Connection check(path, SQLITE_OPEN_READONLY);
    EXPECT_EQ(check.QueryText("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(check.QueryInt("SELECT count(*) FROM round"),
              static_cast<std::int64_t>(feed.writer->written()) - 100);
}

TEST(Failure, FullFileSystemThenSpaceFreed)
{
    ScratchDir dir;
    const std::string mnt = dir / "fs";
    std::filesystem::create_directory(mnt);
    const std::string path = mnt + "/site.db";
    std::string skipped;
    const std::optional<std::string> failures = RunIsolated(
        {2 << 20, mnt, false},
        [&]() {
            Checks check;
            // Most of the file system taken by something else.
            WriteFile(mnt + "/filler", std::string(1500 * 1024, 'x'));
            Feed feed(path);
            const int stored = FillUntilLost(feed, 100000);
            check.That(stored > 0 && stored < 100000,
                       "stored " + std::to_string(stored) + " rounds before the disk was full");
            check.That(feed.lines.size() == 1, "not one line when the disk filled");
            check.That(!feed.lines.empty() &&
                           StartsWith(feed.lines[0], feed.Prefix() + "cannot store rounds: "
                                                                     "database or disk is full"),
                       "first line: " + (feed.lines.empty() ? "" : feed.lines[0]));
            for (int i = 0; i < 3; ++i) {
                check.That(!feed.Next(), "stored on a full disk");
            }
            std::filesystem::remove(mnt + "/filler");
            bool again = false;
            for (int i = 0; i < 3 && !again; ++i) {
                again = feed.Next();
            }
            check.That(again, "not stored once there was room");
            check.That(StartsWith(feed.lines.back(), feed.Prefix() + "rounds are stored again; "),
                       "no line for the recovery: " + feed.lines.back());
            check.That(feed.writer->lost() + feed.writer->written() ==
                           static_cast<std::uint64_t>(feed.Clock() / 2),
                       "rounds neither stored nor counted as lost");
            feed.writer.reset();
            check.failures += StoredRoundsThere(path, feed);
            return check.failures;
        },
        skipped);
    if (!failures) {
        GTEST_SKIP() << skipped;
    }
    EXPECT_EQ(*failures, "");
}

TEST(Failure, LockedByAnotherWriterCostsTheRoundsUntilItLetsGo)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    Feed feed(path);
    ASSERT_TRUE(feed.Next());
    {
        // Someone at the sqlite3 prompt, in the middle of a transaction.
        sitedb::Connection other(path, SQLITE_OPEN_READWRITE);
        other.Exec("BEGIN IMMEDIATE; DELETE FROM round WHERE sequence = 1");
        EXPECT_FALSE(feed.Next()); // waits its busy timeout, then gives up
        EXPECT_FALSE(feed.Next()); // not tried before 7 s
        ASSERT_EQ(feed.lines.size(), 1U);
        EXPECT_EQ(feed.lines[0], feed.Prefix() + "cannot store rounds: database is locked; rounds "
                                                 "are not stored until it can be written (tried "
                                                 "again every 5 s)");
        other.Exec("ROLLBACK");
    }
    EXPECT_FALSE(feed.Next()); // 6 s
    EXPECT_TRUE(feed.Next());  // 8 s
    EXPECT_EQ(feed.writer->lost(), 3U);
    EXPECT_EQ(feed.lines.size(), 2U);
    EXPECT_EQ(StoredRoundsThere(path, feed), "");
}

TEST(Failure, FileRemovedUnderTheWriterIsMadeAgain)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    Feed feed(path);
    ASSERT_TRUE(feed.Next());
    ASSERT_TRUE(feed.Next());
    // Cleaned away, or moved aside to keep: the writer notices rather than
    // writing on into a file nobody can open, and starts a new one.
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::filesystem::remove(path + suffix);
    }
    EXPECT_TRUE(feed.Next());
    ASSERT_EQ(feed.lines.size(), 1U);
    EXPECT_EQ(feed.lines[0], feed.Prefix() + "the file was removed or replaced while open; rounds "
                                             "go on into a new one");
    std::filesystem::rename(path, dir / "kept.db");
    EXPECT_TRUE(feed.Next());
    EXPECT_EQ(feed.lines.size(), 2U);
    EXPECT_EQ(feed.writer->lost(), 0U);

    const std::vector<Entry> entries = ReadAll(*OpenHistory(path));
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].sequence, 4U);
    const std::vector<Entry> kept = ReadAll(*OpenHistory(dir / "kept.db"));
    ASSERT_EQ(kept.size(), 1U);
    EXPECT_EQ(kept[0].sequence, 3U);
}

} // namespace

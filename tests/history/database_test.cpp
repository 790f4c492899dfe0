// The site database: how a file is opened (write-ahead log, the schema's
// version), migrations from each earlier version and their failures, a
// newer file refused, files told apart by their header.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "SiteDatabase.h"
#include "Support.h"

namespace
{

using namespace sitedb;

int UserVersion(SiteDatabase& db)
{
    return static_cast<int>(db.connection().QueryInt("PRAGMA user_version"));
}

bool HasTable(SiteDatabase& db, const std::string& name)
{
    Statement query(db.handle(), "SELECT count(*) FROM sqlite_schema WHERE name = ?1");
    query.Bind(1, name);
    return query.Step() && query.Int(0) == 1;
}

TEST(SiteDatabase, NewFileGetsTheWholeSchemaInWalMode)
{
    ScratchDir dir;
    SiteDatabase db(dir / "site.db");
    EXPECT_EQ(db.version(), static_cast<int>(SiteSchema().size()));
    EXPECT_EQ(UserVersion(db), db.version());
    EXPECT_EQ(db.connection().QueryText("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(db.connection().QueryInt("PRAGMA synchronous"), 1); // NORMAL
    EXPECT_EQ(db.connection().QueryInt("PRAGMA foreign_keys"), 1);
    for (const char* object : {"ups", "round", "round_by_ups_time", "round_by_time", "history"}) {
        EXPECT_TRUE(HasTable(db, object)) << object;
    }
}

TEST(SiteDatabase, OptionsReachTheConnection)
{
    ScratchDir dir;
    DatabaseOptions options;
    options.synchronous = Synchronous::Full;
    options.busy_timeout = std::chrono::milliseconds(1234);
    options.max_bytes = 64 * 4096 + 100;
    SiteDatabase db(dir / "site.db", options);
    EXPECT_EQ(db.connection().QueryInt("PRAGMA synchronous"), 2);
    EXPECT_EQ(db.connection().QueryInt("PRAGMA busy_timeout"), 1234);
    EXPECT_EQ(db.connection().QueryInt("PRAGMA max_page_count"),
              static_cast<std::int64_t>(options.max_bytes) /
                  db.connection().QueryInt("PRAGMA page_size"));
}

// A later part of the monitor adds its tables as the next version.
const Schema kTwoVersions = {
    {1, "one", "CREATE TABLE one (a INTEGER);"},
    {2, "two", "CREATE TABLE two (b INTEGER); INSERT INTO one VALUES (2);"},
};

TEST(SiteDatabase, FileOfAnEarlierVersionIsMigratedOnceStepByStep)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    {
        SiteDatabase v1(path, {}, Schema(kTwoVersions.begin(), kTwoVersions.begin() + 1));
        EXPECT_EQ(v1.version(), 1);
        EXPECT_FALSE(HasTable(v1, "two"));
        v1.connection().Exec("INSERT INTO one VALUES (1)");
    }
    for (int open = 0; open < 2; ++open) {
        SiteDatabase v2(path, {}, kTwoVersions);
        EXPECT_EQ(v2.version(), 2);
        EXPECT_TRUE(HasTable(v2, "two"));
        // The rows of version 1 kept; step 2 ran once, not at each open.
        EXPECT_EQ(v2.connection().QueryText("SELECT group_concat(a) FROM one"), "1,2");
    }
}

TEST(SiteDatabase, FailingMigrationLeavesTheFileAtItsVersion)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    {
        SiteDatabase v1(path, {}, Schema(kTwoVersions.begin(), kTwoVersions.begin() + 1));
    }
    const Schema broken = {
        kTwoVersions[0],
        {2, "broken", "CREATE TABLE two (b INTEGER); INSERT INTO missing VALUES (1);"},
    };
    EXPECT_THROW(SiteDatabase(path, {}, broken), Error);
    SiteDatabase v1(path, {}, Schema(kTwoVersions.begin(), kTwoVersions.begin() + 1));
    EXPECT_EQ(v1.version(), 1);
    EXPECT_FALSE(HasTable(v1, "two")) << "half a migration was kept";
}

TEST(SiteDatabase, SchemaWithAGapIsAProgrammingError)
{
    ScratchDir dir;
    const Schema gap = {{1, "one", "CREATE TABLE one (a);"}, {3, "three", "SELECT 1;"}};
    EXPECT_THROW(SiteDatabase(dir / "site.db", {}, gap), std::logic_error);
}

TEST(SiteDatabase, FileOfANewerVersionIsNotWrittenButCanBeRead)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    {
        SiteDatabase db(path, {}, kTwoVersions);
    }
    try {
        SiteDatabase old(path, {}, Schema(kTwoVersions.begin(), kTwoVersions.begin() + 1));
        ADD_FAILURE() << "opened for writing";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "has schema version 2, newer than this program's 1");
    }
    DatabaseOptions read_only;
    read_only.read_only = true;
    SiteDatabase reader(path, read_only, Schema(kTwoVersions.begin(), kTwoVersions.begin() + 1));
    EXPECT_EQ(reader.version(), 2);
}

TEST(SiteDatabase, ReadOnlyOpeningCreatesAndChangesNothing)
{
    ScratchDir dir;
    DatabaseOptions read_only;
    read_only.read_only = true;
    try {
        SiteDatabase db(dir / "none.db", read_only);
        ADD_FAILURE() << "opened a file that does not exist";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "does not exist");
    }
    struct stat st = {};
    EXPECT_NE(stat((dir / "none.db").c_str(), &st), 0) << "created by a reader";

    // An empty file (what SQLite makes a new database of) stays empty.
    WriteFile(dir / "empty.db", "");
    SiteDatabase db(dir / "empty.db", read_only);
    EXPECT_EQ(db.version(), 0);
    EXPECT_EQ(ReadFile(dir / "empty.db"), "");
}

TEST(SiteDatabase, TwoWritersOpeningANewFileAtOnceMigrateItOnce)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    const Schema counted = {
        {1, "one", "CREATE TABLE one (a INTEGER); INSERT INTO one VALUES (1);"},
    };
    std::vector<std::thread> openers;
    std::vector<std::string> errors(4);
    for (std::size_t i = 0; i < errors.size(); ++i) {
        openers.emplace_back([&, i] {
            try {
                DatabaseOptions options;
                options.busy_timeout = std::chrono::seconds(10);
                SiteDatabase db(path, options, counted);
            } catch (const std::exception& e) {
                errors[i] = e.what();
            }
        });
    }
    for (std::thread& t : openers) {
        t.join();
    }
    for (const std::string& e : errors) {
        EXPECT_EQ(e, "");
    }
    SiteDatabase db(path, {}, counted);
    EXPECT_EQ(db.connection().QueryInt("SELECT count(*) FROM one"), 1);
}

struct ProbeRow {
    const char* name;
    std::string bytes;
    FileKind kind;
};

void PrintTo(const ProbeRow& row, std::ostream* os)
{
    *os << row.name;
}

class ProbeTest : public ::testing::TestWithParam<ProbeRow>
{
};

TEST_P(ProbeTest, ToldApartByTheHeader)
{
    ScratchDir dir;
    WriteFile(dir / "file", GetParam().bytes);
    EXPECT_EQ(Probe(dir / "file"), GetParam().kind);
}

const std::string kHeader("SQLite format 3\0", 16);

INSTANTIATE_TEST_SUITE_P(
    Files, ProbeTest,
    ::testing::Values(ProbeRow{"Empty", "", FileKind::Empty},
                      ProbeRow{"Header", kHeader + std::string(84, '\0'), FileKind::Sqlite},
                      ProbeRow{"HeaderAlone", kHeader, FileKind::Sqlite},
                      ProbeRow{"HeaderCut", kHeader.substr(0, 15), FileKind::Other},
                      ProbeRow{"HeaderWithoutZero", "SQLite format 3x", FileKind::Other},
                      ProbeRow{"FlatRecords", std::string(338 * 2, '\x07'), FileKind::Other},
                      ProbeRow{"OneByte", "S", FileKind::Other}),
    [](const ::testing::TestParamInfo<ProbeRow>& row) { return std::string(row.param.name); });

TEST(Probe, MissingAndUnreadable)
{
    ScratchDir dir;
    EXPECT_EQ(Probe(dir / "none"), FileKind::Missing);
    EXPECT_EQ(Probe(dir.path()), FileKind::Unreadable); // a directory
}

} // namespace

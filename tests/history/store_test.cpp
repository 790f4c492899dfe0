// Rounds stored and read back: every column kept, the filters (UPS, since,
// until, order, limit) at their edges, sequences continued across
// restarts, rounds refused on their own, and the old flat files read
// through the same interface.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "HistoryReader.h"
#include "HistoryWriter.h"
#include "Support.h"
#include "SyntheticRounds.h"
#include "TimeText.h"

namespace
{

using namespace history;
using std::chrono::milliseconds;
using std::chrono::seconds;

// 2026-12-09T03:00:00Z
const Clock::time_point kT0 = Clock::time_point(seconds(1796785200));
const std::chrono::steady_clock::time_point kNow = std::chrono::steady_clock::now();

WriterOptions Quiet(std::vector<std::string>& lines)
{
    WriterOptions options;
    options.log = [&lines](const std::string& line) { lines.push_back(line); };
    return options;
}

std::string Names(const std::vector<Entry>& entries)
{
    std::string names;
    for (const Entry& e : entries) {
        names += (names.empty() ? "" : " ") + e.ups + std::to_string(e.sequence);
    }
    return names;
}

// a1..a5 every 2 s from kT0, b1..b5 a second later each, c1 and c2 at the
// same moment, well after.
void WriteSample(const std::string& path)
{
    std::vector<std::string> lines;
    HistoryWriter writer(path, Quiet(lines));
    for (std::uint64_t i = 1; i <= 5; ++i) {
        const auto t = kT0 + seconds(2 * (i - 1));
        ASSERT_TRUE(writer.Append("a", 7, MakeRound("a", i, t, kNow, 7)));
        ASSERT_TRUE(writer.Append("b", 8, MakeRound("b", i, t + seconds(1), kNow, 8)));
    }
    ASSERT_TRUE(writer.Append("c", 9, MakeRound("c", 1, kT0 + seconds(100), kNow, 9)));
    ASSERT_TRUE(writer.Append("c", 9, MakeRound("c", 2, kT0 + seconds(100), kNow, 9)));
    EXPECT_EQ(writer.written(), 12U);
    EXPECT_EQ(writer.lost(), 0U);
    EXPECT_TRUE(lines.empty()) << lines.front();
}

TEST(Store, EveryColumnComesBackAsWritten)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    const std::string name = "UPS 1, \"hall\" – west";
    const auto time = kT0 + milliseconds(123);
    {
        std::vector<std::string> lines;
        HistoryWriter writer(path, Quiet(lines));
        ASSERT_TRUE(writer.Append(name, 4242, MakeRound(name, 17, time, kNow, 4242)));
    }
    const auto source = OpenHistory(path);
    EXPECT_EQ(source->kind(), SourceKind::Database);
    const std::vector<Entry> entries = ReadAll(*source);
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].ups, name);
    EXPECT_EQ(entries[0].sequence, 17U);
    EXPECT_EQ(entries[0].data_id, 4242U);
    ASSERT_TRUE(entries[0].time.has_value());
    EXPECT_EQ(*entries[0].time, time);
    EXPECT_EQ(entries[0].record, SyntheticRecord(name, 17, 4242));
    EXPECT_EQ(source->UpsNames(), std::vector<std::string>{name});
}

TEST(Store, TimesKeepMillisecondsAndGoBackBefore1970)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    const std::vector<Clock::time_point> times = {
        Clock::time_point(milliseconds(-1)), Clock::time_point(milliseconds(0)),
        kT0 + std::chrono::microseconds(999), // stored as its millisecond
    };
    {
        std::vector<std::string> lines;
        HistoryWriter writer(path, Quiet(lines));
        for (std::size_t i = 0; i < times.size(); ++i) {
            ASSERT_TRUE(writer.Append("a", 1, MakeRound("a", i + 1, times[i], kNow)));
        }
    }
    const std::vector<Entry> entries = ReadAll(*OpenHistory(path));
    ASSERT_EQ(entries.size(), 3U);
    EXPECT_EQ(*entries[0].time, Clock::time_point(milliseconds(-1)));
    EXPECT_EQ(*entries[1].time, Clock::time_point(milliseconds(0)));
    EXPECT_EQ(*entries[2].time, kT0);
}

struct FilterRow {
    const char* name;
    Filter filter;
    const char* expected;
};

void PrintTo(const FilterRow& row, std::ostream* os)
{
    *os << row.name;
}

Filter Make(std::string ups, std::optional<Clock::duration> since,
            std::optional<Clock::duration> until, Order order, std::size_t limit)
{
    Filter f;
    f.ups = std::move(ups);
    if (since) {
        f.since = kT0 + *since;
    }
    if (until) {
        f.until = kT0 + *until;
    }
    f.order = order;
    f.limit = limit;
    return f;
}

constexpr Order kOld = Order::OldestFirst;
constexpr Order kNew = Order::NewestFirst;
const std::nullopt_t kAny = std::nullopt;

class FilterTest : public ::testing::TestWithParam<FilterRow>
{
};

TEST_P(FilterTest, SelectsAndOrders)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    WriteSample(path);
    const auto source = OpenHistory(path);
    EXPECT_EQ(Names(ReadAll(*source, GetParam().filter)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, FilterTest,
    ::testing::Values(
        FilterRow{"All", Make("", kAny, kAny, kOld, 0), "a1 b1 a2 b2 a3 b3 a4 b4 a5 b5 c1 c2"},
        FilterRow{"AllNewestFirst", Make("", kAny, kAny, kNew, 0),
                  "c2 c1 b5 a5 b4 a4 b3 a3 b2 a2 b1 a1"},
        FilterRow{"Limit", Make("", kAny, kAny, kOld, 3), "a1 b1 a2"},
        FilterRow{"NewestLimit", Make("", kAny, kAny, kNew, 3), "c2 c1 b5"},
        FilterRow{"LimitAboveCount", Make("", kAny, kAny, kOld, 100),
                  "a1 b1 a2 b2 a3 b3 a4 b4 a5 b5 c1 c2"},
        FilterRow{"Ups", Make("b", kAny, kAny, kOld, 0), "b1 b2 b3 b4 b5"},
        FilterRow{"UpsNewestLimit", Make("b", kAny, kAny, kNew, 2), "b5 b4"},
        FilterRow{"UnknownUps", Make("z", kAny, kAny, kOld, 0), ""},
        FilterRow{"UpsNameMatchedWhole", Make("a ", kAny, kAny, kOld, 0), ""},
        // since is inclusive, until exclusive, both to the millisecond.
        FilterRow{"SinceInclusive", Make("", seconds(4), kAny, kOld, 0), "a3 b3 a4 b4 a5 b5 c1 c2"},
        FilterRow{"SinceJustAfter",
                  Make("", seconds(4) + std::chrono::microseconds(1), kAny, kOld, 0),
                  "b3 a4 b4 a5 b5 c1 c2"},
        FilterRow{"UntilExclusive", Make("", kAny, seconds(4), kOld, 0), "a1 b1 a2 b2"},
        FilterRow{"UntilJustAfter",
                  Make("", kAny, seconds(4) + std::chrono::microseconds(1), kOld, 0),
                  "a1 b1 a2 b2 a3"},
        FilterRow{"Range", Make("", seconds(3), seconds(7), kOld, 0), "b2 a3 b3 a4"},
        FilterRow{"RangeOfOneUps", Make("a", seconds(3), seconds(7), kOld, 0), "a3 a4"},
        FilterRow{"RangeNewestLimit", Make("", seconds(3), seconds(7), kNew, 1), "a4"},
        FilterRow{"EmptyRange", Make("", seconds(5), seconds(5), kOld, 0), ""},
        FilterRow{"ReversedRange", Make("", seconds(7), seconds(3), kOld, 0), ""},
        FilterRow{"SameTimeBySequence", Make("c", kAny, kAny, kOld, 0), "c1 c2"}),
    [](const ::testing::TestParamInfo<FilterRow>& row) { return std::string(row.param.name); });

TEST(Store, ReadingStopsWhenTheCallerSaysSo)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    WriteSample(path);
    const auto source = OpenHistory(path);
    std::vector<std::uint64_t> seen;
    const std::size_t count = source->Read({}, [&seen](const Entry& e) {
        seen.push_back(e.sequence);
        return seen.size() < 2;
    });
    EXPECT_EQ(count, 2U);
    EXPECT_EQ(seen.size(), 2U);
}

TEST(Store, SequencesGoOnAfterTheLastStoredOne)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    std::vector<std::string> lines;
    {
        HistoryWriter writer(path, Quiet(lines));
        EXPECT_EQ(writer.LastSequence("a"), 0U);
        ASSERT_TRUE(writer.Append("a", 1, MakeRound("a", 1, kT0, kNow)));
        ASSERT_TRUE(writer.Append("a", 1, MakeRound("a", 2, kT0, kNow)));
        ASSERT_TRUE(writer.Append("b", 1, MakeRound("b", 40, kT0, kNow)));
        EXPECT_EQ(writer.LastSequence("a"), 2U);
    }
    HistoryWriter again(path, Quiet(lines));
    EXPECT_EQ(again.LastSequence("a"), 2U);
    EXPECT_EQ(again.LastSequence("b"), 40U);
    EXPECT_EQ(again.LastSequence("c"), 0U);
    EXPECT_TRUE(lines.empty());
}

TEST(Store, RoundsRefusedOnTheirOwnAreCountedAndReportedOnce)
{
    ScratchDir dir;
    const std::string path = dir / "site.db";
    std::vector<std::string> lines;
    HistoryWriter writer(path, Quiet(lines));
    ASSERT_TRUE(writer.Append("a", 1, MakeRound("a", 1, kT0, kNow)));
    ASSERT_TRUE(writer.Append("a", 1, MakeRound("a", 2, kT0, kNow)));

    // A poller that numbered again from 1 without asking LastSequence.
    const auto other = SyntheticRecord("other", 1, 1);
    site::Round again = MakeRound("a", 1, kT0 + seconds(9), kNow);
    again.record = other;
    EXPECT_FALSE(writer.Append("a", 1, again));
    again.sequence = 2;
    EXPECT_FALSE(writer.Append("a", 1, again));
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0], "history database " + path + ": round 1 of UPS a refused: already stored");
    EXPECT_TRUE(writer.failing());

    // Records of the wrong size, as SaveDeviceHistory might hand them.
    const auto record = SyntheticRecord("a", 3, 1);
    for (const std::size_t length : {std::size_t{0}, std::size_t{337}, std::size_t{339}}) {
        EXPECT_FALSE(writer.Append("a", 1, 3, kT0, kNow, record.data(), length));
    }
    EXPECT_FALSE(writer.Append("a", 1, 3, kT0, kNow, nullptr, 338));
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[1], "history database " + path +
                            ": round 3 of UPS a refused: its record is 0 bytes, not 338");
    EXPECT_EQ(writer.lost(), 6U);

    // The next good round is stored, and said so.
    EXPECT_TRUE(writer.Append("a", 1, MakeRound("a", 3, kT0, kNow)));
    ASSERT_EQ(lines.size(), 3U);
    EXPECT_EQ(lines[2].rfind("history database " + path + ": rounds are stored again; 6 lost", 0),
              0U)
        << lines[2];
    EXPECT_FALSE(writer.failing());
    EXPECT_EQ(writer.error(), "");

    // The rounds already stored were not replaced.
    const std::vector<Entry> entries = ReadAll(*OpenHistory(path));
    ASSERT_EQ(entries.size(), 3U);
    EXPECT_EQ(entries[0].record, SyntheticRecord("a", 1, 5035));
    EXPECT_EQ(entries[1].record, SyntheticRecord("a", 2, 5035));
}

TEST(Store, ReadingAFileWithoutHistoryTablesSaysSo)
{
    ScratchDir dir;
    const std::string path = dir / "other.db";
    ASSERT_EQ(Shell("sqlite3 " + Quote(path) + " 'CREATE TABLE t (a); INSERT INTO t VALUES (1);'"),
              0);
    try {
        OpenHistory(path);
        ADD_FAILURE() << "opened";
    } catch (const ReadError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "history database " + path + ": holds no history (schema version 0)");
    }
}

// --- The old flat files ---

std::string FlatFile(const std::vector<std::array<std::uint8_t, 338>>& records)
{
    std::string bytes;
    for (const auto& r : records) {
        bytes.append(reinterpret_cast<const char*>(r.data()), r.size());
    }
    return bytes;
}

TEST(FlatFile, ReadLikeADatabaseWithoutNamesOrTimes)
{
    ScratchDir dir;
    const std::string path = dir / "ups.history";
    const std::vector<std::array<std::uint8_t, 338>> records = {
        SyntheticRecord("x", 1, 11), SyntheticRecord("x", 2, 12), SyntheticRecord("x", 3, 13)};
    WriteFile(path, FlatFile(records));
    const auto source = OpenHistory(path);
    EXPECT_EQ(source->kind(), SourceKind::FlatFile);
    EXPECT_EQ(source->Warning(), "");
    EXPECT_TRUE(source->UpsNames().empty());

    const std::vector<Entry> all = ReadAll(*source);
    ASSERT_EQ(all.size(), 3U);
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].ups, "");
        EXPECT_FALSE(all[i].time.has_value());
        EXPECT_EQ(all[i].sequence, i + 1); // its place in the file
        EXPECT_EQ(all[i].data_id, 11 + i); // the record's DataId
        EXPECT_EQ(all[i].record, records[i]);
    }
    Filter newest;
    newest.order = Order::NewestFirst;
    newest.limit = 2;
    const std::vector<Entry> last = ReadAll(*source, newest);
    ASSERT_EQ(last.size(), 2U);
    EXPECT_EQ(last[0].sequence, 3U);
    EXPECT_EQ(last[1].sequence, 2U);
    EXPECT_EQ(last[1].record, records[1]);
}

TEST(FlatFile, SelectingByUpsOrTimeIsRefused)
{
    ScratchDir dir;
    const std::string path = dir / "ups.history";
    WriteFile(path, FlatFile({SyntheticRecord("x", 1, 1)}));
    const auto source = OpenHistory(path);
    Filter by_ups;
    by_ups.ups = "a";
    Filter by_since;
    by_since.since = kT0;
    Filter by_until;
    by_until.until = kT0;
    const std::string no_names =
        "flat history file " + path + " has no UPS names: it cannot be read by UPS";
    const std::string no_times =
        "flat history file " + path + " has no times of the rounds: it cannot be read by time";
    for (const auto& [filter, message] : {std::pair<Filter, std::string>{by_ups, no_names},
                                          {by_since, no_times},
                                          {by_until, no_times}}) {
        try {
            ReadAll(*source, filter);
            ADD_FAILURE() << "read";
        } catch (const ReadError& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
    }
}

TEST(FlatFile, PartialLastRecordIsLeftOutAndSaid)
{
    ScratchDir dir;
    const std::string path = dir / "ups.history";
    // A kill in the middle of an append leaves part of a record.
    WriteFile(path, FlatFile({SyntheticRecord("x", 1, 1), SyntheticRecord("x", 2, 2)}) +
                        std::string(100, '\x01'));
    const auto source = OpenHistory(path);
    EXPECT_EQ(source->Warning(),
              "flat history file " + path + " ends in a partial record of 100 bytes, not read");
    EXPECT_EQ(ReadAll(*source).size(), 2U);

    WriteFile(path, "");
    EXPECT_EQ(ReadAll(*OpenHistory(path)).size(), 0U);
}

TEST(FlatFile, MissingFileIsAnError)
{
    ScratchDir dir;
    try {
        OpenHistory(dir / "none");
        ADD_FAILURE() << "opened";
    } catch (const ReadError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "cannot read history file " + (dir / "none") + ": No such file or directory");
    }
}

} // namespace

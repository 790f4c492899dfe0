// The history survives its writer being killed: history-tool writes rounds
// as fast as they commit and reports each committed one on a pipe; it is
// killed with SIGKILL at random moments (while creating the file, while
// appending, while a checkpoint copies the log) and started again to go
// on.  Afterwards the file passes SQLite's integrity check, holds every
// reported round exactly once and whole, and nothing else.  And a reader
// reading while the writer writes neither stops it nor sees half a round.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "HistoryReader.h"
#include "Sqlite.h"
#include "Support.h"
#include "SyntheticRounds.h"

namespace
{

using namespace std::chrono;
using Committed = std::set<std::pair<std::string, std::uint64_t>>;

const std::vector<std::string> kUps = {"u1", "u2", "u3"};

void Note(const std::string& line, Committed& committed)
{
    std::istringstream in(line);
    std::string ups;
    std::uint64_t sequence = 0;
    if (in >> ups >> sequence) {
        committed.emplace(ups, sequence);
    } else {
        ADD_FAILURE() << "not a committed round: " << line;
    }
}

TEST(Durability, KilledAtRandomMomentsKeepsEveryCommittedRoundOnceAndWhole)
{
    ScratchDir dir;
    const std::string db = dir / "site.db";
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);

    Committed reported;
    constexpr int kRuns = 8;
    for (int run = 0; run < kRuns; ++run) {
        std::vector<std::string> args = {"write", db, "--ups", "u1,u2,u3"};
        // Some runs copy the log into the database all the time, so that
        // kills land in checkpoints too; one commits with fsync.
        if (run % 2 == 1) {
            args.insert(args.end(), {"--checkpoint-pages", "8"});
        }
        if (run == 4) {
            args.insert(args.end(), {"--sync", "full"});
        }
        if (run == 6) {
            args.insert(args.end(), {"--checkpoint-pages", "0"}); // SQLite's own, in the commit
        }
        ToolProcess tool(args);
        const auto started = steady_clock::now();
        steady_clock::time_point kill_at;
        if (run == 0) {
            // Any moment of its first milliseconds: starting, creating the
            // file, the first appends.
            kill_at = started + milliseconds(std::uniform_int_distribution<int>(0, 40)(random));
        } else {
            const std::optional<std::string> first = tool.ReadLine(seconds(60));
            ASSERT_TRUE(first.has_value()) << "run " << run << " wrote nothing: " << tool.Stderr();
            Note(*first, reported);
            kill_at = steady_clock::now() +
                      milliseconds(std::uniform_int_distribution<int>(1, 400)(random));
        }
        while (steady_clock::now() < kill_at) {
            const std::optional<std::string> line =
                tool.ReadLine(duration_cast<milliseconds>(kill_at - steady_clock::now()));
            if (line) {
                Note(*line, reported);
            }
        }
        tool.Signal(SIGKILL);
        EXPECT_EQ(tool.Wait(seconds(10)), 128 + SIGKILL) << "run " << run;
        // Lines written before the kill were still in the pipe.
        while (const std::optional<std::string> line = tool.ReadLine(milliseconds(0))) {
            Note(*line, reported);
        }
    }
    ASSERT_GT(reported.size(), 0U);

    sitedb::Connection check(db, SQLITE_OPEN_READONLY);
    EXPECT_EQ(check.QueryText("PRAGMA integrity_check"), "ok");
    Committed stored;
    std::map<std::string, std::uint64_t> highest;
    sitedb::Statement rows(check.handle(), "SELECT u.name, r.sequence, r.data_id, r.record "
                                           "FROM round AS r JOIN ups AS u ON u.id = r.ups_id");
    std::size_t count = 0;
    while (rows.Step()) {
        ++count;
        const std::string ups = rows.Text(0);
        const auto sequence = static_cast<std::uint64_t>(rows.Int(1));
        EXPECT_TRUE(stored.emplace(ups, sequence).second) << ups << " " << sequence << " twice";
        ASSERT_EQ(rows.Bytes(3), 338U) << ups << " " << sequence;
        const auto expected = history::SyntheticRecord(ups, sequence, 5035);
        EXPECT_EQ(std::memcmp(rows.Blob(3), expected.data(), expected.size()), 0)
            << ups << " " << sequence << ": not the record written";
        EXPECT_EQ(rows.Int(2), 5035);
        highest[ups] = std::max(highest[ups], sequence);
    }
    for (const auto& round : reported) {
        EXPECT_EQ(stored.count(round), 1U)
            << round.first << " " << round.second << " was committed but is not there";
    }
    // Every run went on where the last stopped: no gaps, nothing twice.
    for (const auto& [ups, last] : highest) {
        for (std::uint64_t s = 1; s <= last; ++s) {
            EXPECT_EQ(stored.count({ups, s}), 1U) << ups << " " << s << " missing";
        }
    }
    // At most the round each kill caught between its commit and its report.
    EXPECT_LE(count, reported.size() + kRuns);

    // And the file is as good as new for the next writer.
    const RunResult after = RunTool({"write", db, "--ups", "u1", "--rounds", "5"});
    EXPECT_EQ(after.status, 0) << after.err;
    std::istringstream lines(after.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "u1 " + std::to_string(highest["u1"] + 1));
}

TEST(Durability, ReaderNeitherHoldsUpTheWriterNorSeesHalfARound)
{
    ScratchDir dir;
    const std::string db = dir / "site.db";
    ToolProcess tool({"write", db, "--ups", "u1,u2,u3", "--checkpoint-pages", "8"});
    ASSERT_TRUE(tool.ReadLine(seconds(60)).has_value()) << tool.Stderr();

    // A read transaction held open: the writer goes on committing, and
    // the reader goes on seeing the moment it began.  Rounds are reported
    // in the order they commit, so once the report of round `before + 300`
    // is in, 300 were committed while the reader held its transaction.
    sitedb::Connection reader(db, SQLITE_OPEN_READONLY);
    reader.Exec("BEGIN");
    const std::int64_t before = reader.QueryInt("SELECT count(*) FROM round");
    std::int64_t reported = 1;
    const auto deadline = steady_clock::now() + seconds(60);
    while (reported < before + 300 &&
           tool.ReadLine(duration_cast<milliseconds>(deadline - steady_clock::now()))) {
        ++reported;
    }
    EXPECT_EQ(reported, before + 300)
        << "the writer stopped while a reader held a transaction: " << tool.Stderr();
    EXPECT_EQ(reader.QueryInt("SELECT count(*) FROM round"), before);
    reader.Exec("COMMIT");
    EXPECT_GE(reader.QueryInt("SELECT count(*) FROM round"), reported);

    // Whole reads while it writes: each a moment of the file, every record
    // whole, each UPS's rounds without a gap.
    for (int pass = 0; pass < 5; ++pass) {
        const auto source = history::OpenHistory(db);
        std::map<std::string, std::vector<std::uint64_t>> sequences;
        source->Read({}, [&sequences](const history::Entry& e) {
            EXPECT_EQ(e.record, history::SyntheticRecord(e.ups, e.sequence, 5035));
            sequences[e.ups].push_back(e.sequence);
            return true;
        });
        for (auto& [ups, seqs] : sequences) {
            std::sort(seqs.begin(), seqs.end());
            for (std::size_t i = 0; i < seqs.size(); ++i) {
                ASSERT_EQ(seqs[i], i + 1) << ups << " pass " << pass;
            }
        }
        while (tool.ReadLine(milliseconds(1))) {
        }
    }
    tool.Signal(SIGKILL);
    tool.Wait(seconds(10));
}

} // namespace

// Traces written by halx-host --trace: reading them and replaying the
// replies they recorded.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "SimTest.h"
#include "common/Format.h"
#include "upssim/Responder.h"
#include "upssim/Trace.h"

namespace
{

using namespace std::chrono_literals;
using simtest::Ask;
using tools::Hex;
using upssim::Output;
using upssim::TraceError;

std::vector<upssim::TraceEntry> Read(const std::string& text)
{
    std::istringstream in(text);
    return upssim::ReadTrace(in, "session.trace");
}

TEST(TraceReader, ReadsChunksSkippingCommentsAndBlankLines)
{
    const std::vector<upssim::TraceEntry> entries =
        Read("# halx-host trace\n\n"
             "2026-12-08T18:39:02.123456 tx " +
             Hex("~00P003MNU") +
             "\n"
             "2026-12-08T18:39:02.180000 rx 7e3030\r\n"
             "2026-12-08T18:39:03.190001 rx 4430303544454C5441\n");
    ASSERT_EQ(entries.size(), 3U);
    EXPECT_TRUE(entries[0].tx);
    EXPECT_EQ(entries[0].bytes, "~00P003MNU");
    EXPECT_EQ(entries[0].line, 3);
    EXPECT_FALSE(entries[1].tx);
    EXPECT_EQ(entries[1].bytes + entries[2].bytes, "~00D005DELTA");
    EXPECT_EQ(entries[1].time_us - entries[0].time_us, 56544);
    EXPECT_EQ(entries[2].time_us - entries[1].time_us, 1010001);
}

TEST(TraceReader, BadLinesNameTheirLine)
{
    const std::pair<const char*, const char*> cases[] = {
        {"yesterday tx 7e", "session.trace:2: bad time \"yesterday\""},
        {"2026-12-08T18:39:02.123456 up 7e", "session.trace:2: expected tx or rx, found \"up\""},
        {"2026-12-08T18:39:02.123456 rx", "session.trace:2: expected an even number of hex"},
        {"2026-12-08T18:39:02.123456 rx 7e3", "session.trace:2: expected an even number"},
        {"2026-12-08T18:39:02.123456 rx 7g", "session.trace:2: bad hex digit in \"7g\""},
        {"2026-12-08T18:39:02.123456 rx 7e 30", "session.trace:2: unexpected \"30\" after"},
    };
    for (const auto& [line, error] : cases) {
        try {
            Read(std::string("# first\n") + line + "\n");
            ADD_FAILURE() << line << ": accepted";
        } catch (const TraceError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(error, 0), 0U) << line << ": " << e.what();
        }
    }
    EXPECT_THROW(upssim::LoadReplay("/nonexistent/session.trace"), TraceError);
}

// Two MNU exchanges (the second query and its reply each split in two
// chunks), an STA that went unanswered, and line noise before the first
// query.
const std::string kTrace = "2026-12-08T18:39:01.000000 rx 00ff\n"
                           "2026-12-08T18:39:02.000000 tx " +
                           Hex("~00P003MNU") +
                           "\n"
                           "2026-12-08T18:39:02.050000 rx " +
                           Hex("~00D005DELTA") +
                           "\n"
                           "2026-12-08T18:39:03.000000 tx " +
                           Hex("~00P003STA") +
                           "\n"
                           "2026-12-08T18:39:12.000000 tx " +
                           Hex("~00P0") +
                           "\n"
                           "2026-12-08T18:39:12.000100 tx " +
                           Hex("03MNU") +
                           "\n"
                           "2026-12-08T18:39:12.040000 rx " +
                           Hex("~00D00") +
                           "\n"
                           "2026-12-08T18:39:17.040000 rx " +
                           Hex("5DELTA") + "\n";

TEST(Replay, AnswersWithTheRecordedChunksInTurn)
{
    upssim::Options options;
    options.replay = std::make_shared<upssim::ReplayBook>(Read(kTrace));
    upssim::Responder ups(options);

    const std::vector<Output> first = Ask(ups, "MNU");
    ASSERT_EQ(first.size(), 1U);
    EXPECT_EQ(first[0].bytes, "~00D005DELTA");
    EXPECT_EQ(first[0].pause, 50ms);

    // Separate chunks, with the recorded pauses (counted from the chunk
    // that completed the query; long ones shortened).
    const std::vector<Output> second = Ask(ups, "MNU");
    ASSERT_EQ(second.size(), 2U);
    EXPECT_EQ(second[0].bytes, "~00D00");
    EXPECT_EQ(second[0].pause, 39900us);
    EXPECT_EQ(second[1].bytes, "5DELTA");
    EXPECT_EQ(second[1].pause, 2s);

    EXPECT_EQ(Ask(ups, "MNU")[0].bytes, "~00D005DELTA"); // round again
    EXPECT_TRUE(Ask(ups, "STA").empty());                // recorded without reply
    EXPECT_TRUE(Ask(ups, "VER").empty());                // never recorded
    EXPECT_EQ(ups.Stats().replies, 3U);

    // Faults that do not rewrite replies apply to replay too.
    options.noise = 5;
    options.delay = 100ms;
    upssim::Responder noisy(options);
    const std::vector<Output> delayed = Ask(noisy, "MNU");
    ASSERT_EQ(delayed.size(), 1U);
    EXPECT_EQ(delayed[0].bytes.substr(5), "~00D005DELTA");
    EXPECT_EQ(delayed[0].pause, 150ms);
}

} // namespace

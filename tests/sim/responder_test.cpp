// The simulator's decisions per query (replies, faults, scripted changes,
// poll-cycle counting) without a line.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "SimTest.h"
#include "common/PollCycle.h"
#include "upssim/Responder.h"

namespace
{

using namespace std::chrono_literals;
using simtest::Ask;
using simtest::Fields;
using simtest::PayloadOf;
using simtest::SentBytes;
using upssim::Clock;
using upssim::Options;
using upssim::Output;
using upssim::Responder;

upssim::Script ScriptOf(const std::string& text)
{
    std::istringstream in(text);
    return upssim::ParseScript(in, "test");
}

// The answers to one poll cycle, one entry per query ("" when none).
std::vector<std::string> Cycle(Responder& ups, Clock::time_point now = Clock::time_point())
{
    std::vector<std::string> replies;
    for (const CommandIndex command : tools::PollCycle()) {
        replies.push_back(SentBytes(Ask(ups, kCommandCodes[command], now)));
    }
    return replies;
}

TEST(Responder, AnswersEveryQueryOfACycle)
{
    Options options;
    options.values["BattryVlt"] = 2650;
    options.values["InptFail"] = 1;
    Responder ups(options);
    const std::vector<std::string> replies = Cycle(ups);
    EXPECT_EQ(replies[0], "~00D005DELTA");
    EXPECT_EQ(Fields(PayloadOf(replies[3]))[6], "2650");
    EXPECT_EQ(PayloadOf(replies[7]), "0;1;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0");
    EXPECT_EQ(PayloadOf(replies[8]), upssim::kDefaultVersion);
    EXPECT_EQ(ups.Stats().replies, 9U);

    // Not for this UPS, or not a command it knows: no answer.
    std::vector<Output> out;
    const std::string other = "~01P003MNU~00P003XYZ";
    ups.Receive(other.data(), other.size(), Clock::time_point(), out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(ups.Stats().queries, 11U);

    Options unknown;
    unknown.values["Battery"] = 1;
    EXPECT_THROW(Responder{unknown}, std::invalid_argument);
}

struct FaultCase {
    const char* name;
    std::function<void(Options&)> set;
    std::vector<const char*> queries;
    std::vector<std::string> replies; // "*": any reply, "": none
};

TEST(Responder, FaultsFromOptions)
{
    const FaultCase cases[] = {
        {"drop every 3",
         [](Options& o) { o.drop_every = 3; },
         {"STB", "STB", "STB", "STB", "STB", "STB"},
         {"*", "*", "", "*", "*", ""}},
        {"drop queries",
         [](Options& o) {
             o.drop_codes = {"STA", "VER"};
         },
         {"STP", "STA", "VER"},
         {"*", "", ""}},
        {"drop all", [](Options& o) { o.drop_all = true; }, {"MNU", "VER"}, {"", ""}},
        {"wrong manufacturer and address",
         [](Options& o) {
             o.manufacturer = "ACME";
             o.address = "01";
         },
         {"MNU"},
         {"~01D004ACME"}},
        // Truncated: announces 5 bytes, brings 2.
        {"truncate every 2",
         [](Options& o) { o.truncate_every = 2; },
         {"MNU", "MNU", "MNU"},
         {"~00D005DELTA", "~00D005DE", "~00D005DELTA"}},
    };
    for (const FaultCase& c : cases) {
        Options options;
        c.set(options);
        Responder ups(options);
        for (std::size_t i = 0; i < c.queries.size(); ++i) {
            const std::string reply = SentBytes(Ask(ups, c.queries[i]));
            if (c.replies[i] == "*") {
                EXPECT_FALSE(reply.empty()) << c.name << " #" << i;
            } else {
                EXPECT_EQ(reply, c.replies[i]) << c.name << " #" << i;
            }
        }
    }
}

TEST(Responder, NoiseBeforeTheReplyIsRandomAndRepeatable)
{
    Options options;
    options.noise = 100;
    Responder ups(options), same(options);
    const std::string bytes = SentBytes(Ask(ups, "MNU"));
    ASSERT_EQ(bytes.size(), 100U + 12U);
    EXPECT_EQ(bytes.substr(100), "~00D005DELTA");
    EXPECT_NE(bytes.substr(0, 50), bytes.substr(50, 50));
    EXPECT_EQ(SentBytes(Ask(same, "MNU")), bytes);

    // Every byte value comes up, "~" too (a false frame start); unless the
    // noise is told to leave the frame start out.
    options.noise = 8192;
    Responder any(options);
    const std::string noise = SentBytes(Ask(any, "MNU")).substr(0, 8192);
    EXPECT_NE(noise.find('~'), std::string::npos);
    EXPECT_NE(noise.find('\xff'), std::string::npos);
    options.noise_without_start = true;
    Responder clean(options);
    const std::string skippable = SentBytes(Ask(clean, "MNU"));
    EXPECT_EQ(skippable.find('~'), 8192U);
    EXPECT_NE(skippable.find('\xff'), std::string::npos);
    EXPECT_NE(skippable.find('\x7f'), std::string::npos);
}

// A cycle ends with VER, or with an MNU that abandons an open cycle.
TEST(Responder, CountsPollCycles)
{
    Responder ups(Options{});
    Cycle(ups);
    EXPECT_EQ(ups.Stats().cycles, 1U);
    for (const char* code : {"MNU", "MOD", "MNU"}) { // the host gave up once
        Ask(ups, code);
    }
    EXPECT_EQ(ups.Stats().cycles, 2U);
    Ask(ups, "VER");
    Ask(ups, "STA"); // outside a cycle
    EXPECT_EQ(ups.Stats().cycles, 3U);
}

// Scripted changes happen between cycles, never inside one.
TEST(Responder, ScriptChangesTakeEffectFromTheNextCycle)
{
    Options options;
    options.script = ScriptOf("flag InptFail 1\nwait 1 cycle\n"
                              "flag InptFail 0\nmanufacturer ACME\nchunk 8 5ms\ndelay 1s\n"
                              "wait 1 cycle\nreset\n");
    Responder ups(options);
    EXPECT_EQ(Fields(PayloadOf(Cycle(ups)[7]))[1], "1");
    const std::vector<Output> slow = Ask(ups, "MNU");
    ASSERT_EQ(slow.size(), 1U);
    EXPECT_EQ(slow[0].bytes, "~00D004ACME");
    EXPECT_EQ(slow[0].pause, 1s);
    EXPECT_EQ(slow[0].shape.chunk, 8U);
    EXPECT_EQ(slow[0].shape.gap, 5ms);
    for (const char* code : {"MOD", "RAT", "STB", "STI", "STO", "STP"}) {
        Ask(ups, code);
    }
    EXPECT_EQ(Fields(PayloadOf(SentBytes(Ask(ups, "STA"))))[1], "0");
    Ask(ups, "VER");
    EXPECT_EQ(Cycle(ups)[0], "~00D005DELTA"); // reset
}

TEST(Responder, ScriptedOneOffFaults)
{
    Options options;
    options.script = ScriptOf("drop 2\nnoise 10 before\ntruncate 1\naddress 07\n");
    Responder ups(options);
    EXPECT_TRUE(Ask(ups, "MNU").empty());
    EXPECT_TRUE(Ask(ups, "MNU").empty());
    const std::string third = SentBytes(Ask(ups, "MNU"));
    EXPECT_EQ(third.size(), 10U + 9U);
    EXPECT_EQ(third.substr(10), "~07D005DE");
    EXPECT_EQ(SentBytes(Ask(ups, "MNU")), "~07D005DELTA");
}

TEST(Responder, ScriptedSilenceNoiseCloseAndExit)
{
    const Clock::time_point t0{};
    Options options;
    options.script = ScriptOf("silence 8s\nwait 10s\nnoise 300\nclose 2s\nexit\n");
    Responder ups(options);
    std::vector<Output> out;
    ups.Tick(t0, out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(Ask(ups, "MNU", t0 + 7900ms).empty());
    EXPECT_FALSE(Ask(ups, "MNU", t0 + 8s).empty());
    EXPECT_EQ(ups.NextTick(), t0 + 10s);

    ups.Tick(t0 + 10s, out);
    ASSERT_EQ(out.size(), 3U);
    EXPECT_EQ(out[0].bytes.size(), 300U);
    EXPECT_EQ(out[1].kind, Output::Kind::Close);
    EXPECT_EQ(out[1].pause, 2s);
    EXPECT_EQ(out[2].kind, Output::Kind::Exit);
}

} // namespace

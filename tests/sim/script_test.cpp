// Scenario scripts: the grammar, its errors, and the control flow of waits.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "upssim/Script.h"

namespace
{

using namespace std::chrono_literals;
using Op = upssim::ScriptCommand::Op;
using upssim::Clock;
using upssim::ScriptCommand;
using upssim::ScriptError;

struct Good {
    const char* line;
    Op op;
    const char* name;
    std::int64_t number;
    std::chrono::milliseconds duration;
    const char* text;
};

TEST(ScriptGrammar, GoodLines)
{
    const Good cases[] = {
        {"set BattryVlt 2650", Op::Set, "BattryVlt", 2650, 0ms, ""},
        {"set battryvlt 265.0", Op::Set, "BattryVlt", 2650, 0ms, ""},
        {"set InptVlt1 -.5", Op::Set, "InptVlt1", -5, 0ms, ""},
        {"  set OutptLd1 -7   # comment", Op::Set, "OutptLd1", -7, 0ms, ""},
        {"flag InptFail", Op::Flag, "InptFail", 1, 0ms, ""},
        {"flag 14 0", Op::Flag, "ShtdwnImmnnt", 0, 0ms, ""},
        {"flag all 255", Op::FlagAll, "", 255, 0ms, ""},
        {"manufacturer  DELTA ELECTRONICS ", Op::Text, "MNU", 0, 0ms, "DELTA ELECTRONICS"},
        {"manufacturer \"\"", Op::Text, "MNU", 0, 0ms, ""},
        {"model \"NT #3\"", Op::Text, "MOD", 0, 0ms, "NT #3"},
        {"version V2.0 # new firmware", Op::Text, "VER", 0, 0ms, "V2.0"},
        {"drop 2", Op::DropNext, "", 2, 0ms, ""},
        {"drop every 5", Op::DropEvery, "", 5, 0ms, ""},
        {"drop none", Op::DropNone, "", 0, 0ms, ""},
        {"truncate every 3", Op::TruncateEvery, "", 3, 0ms, ""},
        {"noise 8192 before", Op::Noise, "", 8192, 0ms, ""},
        {"address 01", Op::Address, "", 0, 0ms, "01"},
        {"delay 300ms", Op::Delay, "", 0, 300ms, ""},
        {"silence 1.5s", Op::Silence, "", 0, 1500ms, ""},
        {"chunk 64 10ms", Op::Chunk, "", 64, 10ms, ""},
        {"close", Op::Close, "", 0, 1000ms, ""},
        {"wait 2min", Op::WaitTime, "", 0, 120000ms, ""},
        {"wait 1 cycle", Op::WaitCycles, "", 1, 0ms, ""},
        {"echo mains back", Op::Echo, "", 0, 0ms, "mains back"},
    };
    for (const Good& c : cases) {
        ScriptCommand command;
        try {
            ASSERT_TRUE(upssim::ParseScriptLine(c.line, command)) << c.line;
        } catch (const ScriptError& error) {
            ADD_FAILURE() << c.line << ": " << error.what();
            continue;
        }
        EXPECT_EQ(command.op, c.op) << c.line;
        EXPECT_EQ(command.name, c.name) << c.line;
        EXPECT_EQ(command.number, c.number) << c.line;
        EXPECT_EQ(command.duration, c.duration) << c.line;
        EXPECT_EQ(command.text, c.text) << c.line;
    }
    ScriptCommand command;
    ASSERT_TRUE(upssim::ParseScriptLine("drop STA VER", command));
    EXPECT_EQ(command.codes, (std::vector<std::string>{"STA", "VER"}));
    EXPECT_FALSE(upssim::ParseScriptLine("   # only a comment", command));
}

struct Bad {
    const char* line;
    const char* error; // contained in the message
};

TEST(ScriptGrammar, BadLinesSayWhatIsWrong)
{
    const Bad cases[] = {
        {"frobnicate 3", "unknown command \"frobnicate\""},
        {"set BattryVlt", "set: expected NAME VALUE"},
        {"set Battery 2650", "set: unknown field \"Battery\""},
        {"set BattryVlt high", "set: bad value \"high\" for BattryVlt"},
        {"set BattryVlt 265.05", "set: bad value \"265.05\""},
        {"set OutptLd1 4.5", "set: bad value \"4.5\" for OutptLd1"},
        {"set BattryVlt 99999999999", "set: bad value"},
        {"flag 19 1", "flag: index 19 out of range 0..18"},
        {"flag BattryVlt 1", "flag: unknown status flag \"BattryVlt\""},
        {"flag InptFail 256", "flag: expected a number -128..255"},
        {"drift maybe", "drift: expected on or off"},
        {"manufacturer", "manufacturer: expected a text"},
        {"drop 0", "drop: expected a number 1.."},
        {"drop STA XYZ", "drop: unknown query \"XYZ\""},
        {"noise 8193", "noise: expected a number 1..8192"},
        {"noise 10 after", "noise: expected \"before\""},
        {"address ~0", "address: expected two characters"},
        {"wait 10", "wait: bad duration \"10\""},
        {"wait 10 parsecs", "wait: expected \"cycles\""},
        {"silence -1s", "silence: bad duration"},
        {"delay 1.2.3s", "delay: bad duration"},
        {"chunk 5000", "chunk: expected a number 0..4096"},
        {"reset now", "reset: expected nothing more"},
    };
    for (const Bad& c : cases) {
        ScriptCommand command;
        try {
            upssim::ParseScriptLine(c.line, command);
            ADD_FAILURE() << c.line << ": accepted";
        } catch (const ScriptError& error) {
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos)
                << c.line << ": " << error.what();
        }
    }
}

upssim::Script Parse(const std::string& text)
{
    std::istringstream in(text);
    return upssim::ParseScript(in, "test.ups");
}

TEST(ScriptFile, ErrorsNameTheLine)
{
    try {
        Parse("# scenario\nset BattryVlt 2650\n\nflag 40 1\n");
        FAIL() << "accepted";
    } catch (const ScriptError& error) {
        EXPECT_STREQ(error.what(), "test.ups:4: flag: index 40 out of range 0..18");
    }
    // A loop without a wait would spin.
    EXPECT_THROW(Parse("flag InptFail 1\nrepeat\n"), ScriptError);
    EXPECT_THROW(upssim::LoadScript("/nonexistent/scenario.ups"), ScriptError);
}

// Runs a scenario, returning the lines of the commands it hands over.
std::vector<int> Step(upssim::Scenario& scenario, Clock::time_point now, std::uint64_t cycles)
{
    std::vector<int> lines;
    scenario.Run(now, cycles, [&](const ScriptCommand& c) { lines.push_back(c.line); });
    return lines;
}

TEST(Scenario, WaitsForTimeAndCyclesAndLoops)
{
    const Clock::time_point t0{};
    upssim::Scenario once(Parse("flag InptFail 1\n"    // 1
                                "wait 10s\n"           // 2
                                "set BattryVlt 2400\n" // 3
                                "wait 2 cycles\n"      // 4
                                "flag InptFail 0\n"    // 5
                                "exit\n"               // 6
                                "echo never\n"));      // 7
    EXPECT_EQ(Step(once, t0, 0), std::vector<int>{1});
    EXPECT_EQ(once.WakeAt(), t0 + 10s);
    EXPECT_TRUE(Step(once, t0 + 9s, 5).empty());
    EXPECT_EQ(Step(once, t0 + 10s, 5), std::vector<int>{3});
    EXPECT_EQ(once.WakeAt(), Clock::time_point::max());
    EXPECT_TRUE(Step(once, t0 + 20s, 6).empty()); // two cycles counted from 5
    EXPECT_EQ(Step(once, t0 + 20s, 7), (std::vector<int>{5, 6}));
    EXPECT_TRUE(once.Done());
    EXPECT_TRUE(Step(once, t0 + 30s, 9).empty());

    upssim::Scenario loop(Parse("flag 1 1\nwait 1 cycle\nflag 1 0\nwait 1 cycle\nrepeat\n"));
    std::vector<int> lines;
    for (std::uint64_t cycles = 0; cycles < 4; ++cycles) {
        const std::vector<int> step = Step(loop, t0, cycles);
        lines.insert(lines.end(), step.begin(), step.end());
    }
    EXPECT_EQ(lines, (std::vector<int>{1, 3, 1, 3}));
}

} // namespace

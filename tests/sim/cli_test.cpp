// ups-sim as a program: how it reports bad input, announces its line, logs
// its events (as JSON objects with --json) and ends.  Runs the built
// executable (under the cross emulator when the suite itself runs under one).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/writer.h>

#include "common/PollCycle.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace
{

using namespace std::chrono_literals;

// The host's end of the line the simulator announced, opened raw.
class HostEnd
{
public:
    explicit HostEnd(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY))
    {
        termios raw{};
        ::tcgetattr(fd, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(fd, TCSANOW, &raw);
    }
    ~HostEnd() { ::close(fd); }
    HostEnd(const HostEnd&) = delete;
    HostEnd& operator=(const HostEnd&) = delete;

    // Sends a query; returns what comes back, up to `bytes` or until
    // nothing has come for `quiet`.
    std::string Ask(CommandIndex command, std::size_t bytes,
                    std::chrono::milliseconds quiet = 10s) const
    {
        const std::string query = tools::QueryFrame(command);
        EXPECT_EQ(::write(fd, query.data(), query.size()), static_cast<ssize_t>(query.size()));
        std::string reply;
        char buffer[64];
        pollfd p{fd, POLLIN, 0};
        while (reply.size() < bytes && ::poll(&p, 1, static_cast<int>(quiet.count())) > 0) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            reply.append(buffer, static_cast<std::size_t>(n));
        }
        return reply;
    }
    const int fd;
};

// The path from the serving line, "" when the line is not one.
std::string ServedPath(const std::optional<std::string>& line)
{
    const std::string prefix = "ups-sim: serving on ";
    return line && line->rfind(prefix, 0) == 0 ? line->substr(prefix.size()) : "";
}

struct BadInput {
    std::vector<std::string> args;
    int status;
    std::string error; // the one line on standard error begins with it
};

// A command line that is wrong ends with status 2, a file or line that
// cannot be used with status 1, as halx-host does.
TEST(UpsSimProgram, BadInputIsOneLineOnStandardError)
{
    const TempDir dir;
    const std::string bad_script = dir.Write("bad.ups", "# test\nset BattryVlt 2650\nwait 10\n");
    const std::string bad_trace = dir.Write("bad.trace", "2026-12-08T18:39:02.000000 tx 7e3\n");
    const BadInput cases[] = {
        {{"--frobnicate"}, 2, "ups-sim: unrecognised option '--frobnicate'"},
        {{"--chunk"}, 2, "ups-sim: the required argument for option '--chunk' is missing"},
        {{"--chunk", "many"}, 2, "ups-sim: the argument ('many') for option '--chunk' is invalid"},
        {{"--set", "Battery=1"}, 2, "ups-sim: --set: unknown field \"Battery\""},
        {{"--set", "BattryVlt"}, 2, "ups-sim: --set: expected NAME=VALUE"},
        {{"--flag", "40"}, 2, "ups-sim: --flag: index 40 out of range 0..18"},
        {{"--noise", "9000"}, 2, "ups-sim: noise: at most 8192 bytes"},
        {{"--delay", "5"}, 2, "ups-sim: --delay: bad duration \"5\""},
        {{"--pty", "--port", "/dev/null"}, 2, "ups-sim: --pty and --port exclude each other"},
        {{"/dev/ttyUSB0"},
         2,
         "ups-sim: unexpected argument '/dev/ttyUSB0' (to serve that port: --port /dev/ttyUSB0)"},
        {{"--vers"}, 2, "ups-sim: unrecognised option '--vers'"},
        {{"--set", "BattryVlt=265.05"}, 2, "ups-sim: --set: bad value \"265.05\" for BattryVlt"},
        {{"--script", "/nonexistent/scenario.ups"},
         1,
         "ups-sim: /nonexistent/scenario.ups: cannot open the script: No such file or directory"},
        {{"--script", bad_script}, 1, "ups-sim: " + bad_script + ":3: wait: bad duration \"10\""},
        {{"--replay", bad_trace}, 1, "ups-sim: " + bad_trace + ":1: expected an even number"},
        {{"--port", "/dev/nonexistent-tty"}, 1, "ups-sim: cannot open /dev/nonexistent-tty: "},
        {{"--port", "/dev/null"}, 1, "ups-sim: cannot open /dev/null: not a serial line"},
    };
    for (const BadInput& c : cases) {
        const RunResult sim = RunProgram(UPS_SIM_PATH, c.args, 60s);
        EXPECT_EQ(sim.status, c.status) << sim.err;
        EXPECT_EQ(sim.err.rfind(c.error, 0), 0U) << sim.err;
        EXPECT_EQ(sim.ErrLines().size(), 1U) << sim.err;
        EXPECT_EQ(sim.out, "");
    }
}

// Announces the slave on one line, serves it, and ends cleanly on SIGTERM.
TEST(UpsSimProgram, ServesThePrintedPtyUntilSignalled)
{
    for (const int signal : {SIGTERM, SIGINT}) {
        ChildProcess sim(UPS_SIM_PATH, {"--quiet", "--set", "BattryVlt=265.0"});
        const std::string path = ServedPath(sim.ReadLine(20s));
        ASSERT_NE(path, "") << sim.Stdout();
        {
            const HostEnd host(path);
            ASSERT_GE(host.fd, 0) << path;
            EXPECT_NE(host.Ask(CMD_STB, 34).find(";2650;"), std::string::npos);
        }
        sim.Signal(signal);
        EXPECT_EQ(sim.Wait(60s), 0);
        EXPECT_EQ(sim.Stderr(), "");
    }
}

TEST(UpsSimProgram, ScriptedExitEndsTheProgram)
{
    const TempDir dir;
    const std::string script = dir.Write("exit.ups", "echo bye\nwait 100ms\nexit\n");
    ChildProcess sim(UPS_SIM_PATH, {"--script", script});
    EXPECT_EQ(ServedPath(sim.ReadLine(20s)).rfind("/dev/", 0), 0U);
    const std::optional<std::string> echo = sim.ReadLine(20s);
    ASSERT_TRUE(echo.has_value());
    EXPECT_NE(echo->find(" bye"), std::string::npos) << *echo;
    EXPECT_EQ(sim.Wait(60s), 0);
}

// Without --log: a line per poll cycle and the counters at the end.
// --version names the program's version and build id.
TEST(UpsSimProgram, CyclesAndCountersWithoutLogAndTheVersion)
{
    const TempDir dir;
    const std::string script = dir.Write("two.ups", "wait 2 cycles\nexit\n");
    ChildProcess sim(UPS_SIM_PATH, {"--script", script, "--drop", "MOD"});
    const std::string path = ServedPath(sim.ReadLine(20s));
    ASSERT_NE(path, "") << sim.Stdout();
    {
        const HostEnd host(path);
        for (int cycle = 0; cycle < 2; ++cycle) {
            EXPECT_EQ(host.Ask(CMD_MNU, 12), "~00D005DELTA");
            EXPECT_EQ(host.Ask(CMD_MOD, 1, 300ms), "");
            EXPECT_EQ(host.Ask(CMD_VER, 12), "~00D005V1.23");
        }
    }
    ASSERT_EQ(sim.Wait(60s), 0) << sim.Stderr();
    std::vector<std::string> lines;
    std::istringstream out(sim.Stdout());
    for (std::string line; std::getline(out, line);) {
        if (line.find(" line: ") == std::string::npos) {      // the host's end closing
            lines.push_back(line.substr(line.find(' ') + 1)); // without the time
        }
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "serving on " + path,
                         "cycle 1 ended: 3 queries, 2 replies, 1 dropped",
                         "cycle 2 ended: 3 queries, 2 replies, 1 dropped",
                         "script line 2: exit",
                         "exit (script): 2 cycles, 6 queries, 4 replies, 2 dropped",
                     }))
        << sim.Stdout();

    const RunResult version = RunProgram(UPS_SIM_PATH, {"--version"}, 60s);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("ups-sim ", 0), 0U) << version.out;
    EXPECT_NE(version.out.find(" (deltanhnt)\nbuild id: "), std::string::npos) << version.out;
    EXPECT_EQ(version.err, "");
}

// --json --log: every event a JSON object on its own line, in order, with a
// time stamp: what the script does, each query and what came of it (a reply,
// noise before it, cut short, or a drop), the cycles, the cable pull and the
// exit.
TEST(UpsSimProgram, JsonEventsOnePerLine)
{
    const TempDir dir;
    const std::string script = dir.Write("events.ups", "echo start\n"
                                                       "noise 5 before\n"
                                                       "truncate 1\n"
                                                       "drop STA\n"
                                                       "wait 1 cycle\n"
                                                       "close 300ms\n"
                                                       "wait 1s\n"
                                                       "exit\n");
    ChildProcess sim(UPS_SIM_PATH, {"--json", "--log", "--script", script});
    const std::optional<std::string> first = sim.ReadLine(20s);
    ASSERT_TRUE(first.has_value());
    Json::Value serving;
    std::istringstream(*first) >> serving;
    ASSERT_EQ(serving["event"], "serving") << *first;
    {
        const HostEnd host(serving["path"].asString());
        EXPECT_EQ(host.Ask(CMD_MNU, 5 + 9).substr(5), "~00D005DE"); // noise, then half
        EXPECT_EQ(host.Ask(CMD_STA, 1, 500ms), "");                 // dropped
        EXPECT_EQ(host.Ask(CMD_VER, 12), "~00D005V1.23");
    }
    ASSERT_EQ(sim.Wait(60s), 0) << sim.Stderr();

    // The events without their time stamps, and without the line's own
    // state changes (the host's end closing), whose moment the test does not
    // decide.
    std::vector<Json::Value> events;
    std::istringstream lines(sim.Stdout());
    std::string line;
    while (std::getline(lines, line)) {
        Json::Value event;
        std::istringstream(line) >> event;
        ASSERT_TRUE(event.isObject()) << line;
        EXPECT_EQ(event["time"].asString().size(), 32U) << line; // local, µs, offset
        event.removeMember("time");
        if (event["event"] != "line") {
            events.push_back(event);
        }
    }
    const std::vector<std::string> expected = {
        R"({"event":"serving","path":"*"})",
        R"({"event":"echo","line":1,"text":"start"})",
        R"({"event":"script","line":2,"source":"noise 5 before"})",
        R"({"event":"script","line":3,"source":"truncate 1"})",
        R"({"event":"script","line":4,"source":"drop STA"})",
        R"({"event":"query","query":"MNU","text":"~00P003MNU"})",
        R"({"event":"reply","query":"MNU","text":"~00D005DE","length":9,"noise":5,)"
        R"("truncated":true,"recorded":false})",
        R"({"event":"query","query":"STA","text":"~00P003STA"})",
        R"({"event":"drop","query":"STA","reason":"drop query"})",
        R"({"event":"query","query":"VER","text":"~00P003VER"})",
        R"({"event":"reply","query":"VER","text":"~00D005V1.23","length":12,"noise":0,)"
        R"("truncated":false,"recorded":false})",
        R"({"event":"cycle","cycles":1,"queries":3,"replies":2,"dropped":1})",
        R"({"event":"script","line":6,"source":"close 300ms"})",
        R"({"event":"close","ms":300})",
        R"({"event":"reopen","path":"*"})",
        R"({"event":"script","line":8,"source":"exit"})",
        R"({"event":"exit","reason":"script","cycles":1,"queries":3,"replies":2,"dropped":1})",
    };
    ASSERT_EQ(events.size(), expected.size()) << sim.Stdout();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        Json::Value want;
        std::istringstream(expected[i]) >> want;
        if (want.get("path", "") == "*") {
            EXPECT_EQ(events[i]["path"].asString().rfind("/dev/", 0), 0U) << events[i];
            want["path"] = events[i]["path"];
        }
        EXPECT_EQ(events[i], want) << i << ": " << events[i];
    }
}

} // namespace

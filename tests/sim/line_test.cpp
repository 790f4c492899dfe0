// The line side through real pseudo-terminals: opening the slave as a host
// does, queries in, replies out, in pieces, paced, across peer hang-ups and
// scripted cable pulls.  Timing is only checked from below (a slow machine
// only makes things slower), never against tight upper bounds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "SimTest.h"
#include "common/PollCycle.h"
#include "support/TempDir.h"
#include "upssim/LineServer.h"
#include "upssim/PtySimulator.h"

namespace
{

using namespace std::chrono_literals;
using simtest::PayloadOf;
using upssim::Options;
using upssim::PtySimulator;
using SteadyClock = std::chrono::steady_clock;

// Sets a tty raw, as the monitoring unit sets up its serial port.
void MakeRaw(int fd)
{
    termios raw{};
    ::tcgetattr(fd, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(fd, TCSANOW, &raw);
}

// Reads until `count` bytes have come or nothing has come for `quiet`;
// counts the reads it took.
std::string Receive(int fd, std::size_t count, int* reads = nullptr,
                    std::chrono::milliseconds quiet = 3000ms)
{
    std::string bytes;
    while (bytes.size() < count) {
        pollfd p{fd, POLLIN, 0};
        char buffer[4096];
        ssize_t n = 0;
        if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0 ||
            (n = ::read(fd, buffer, sizeof buffer)) <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (reads != nullptr) {
            ++*reads;
        }
    }
    return bytes;
}

// A host's end of the line: the slave, opened raw.
class HostEnd
{
public:
    explicit HostEnd(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY))
    {
        if (fd >= 0) {
            MakeRaw(fd);
        }
    }
    ~HostEnd() { ::close(fd); }
    HostEnd(const HostEnd&) = delete;
    HostEnd& operator=(const HostEnd&) = delete;

    // The reply to one query (`bytes` long when complete).
    std::string Ask(const std::string& code, std::size_t bytes = 12, int* reads = nullptr) const
    {
        const std::string query = tools::QueryFrame(tools::FindCommand(code));
        EXPECT_EQ(::write(fd, query.data(), query.size()), 10);
        return Receive(fd, bytes, reads);
    }
    const int fd;
};

TEST(PtyLine, AnswersAHostOnTheSlave)
{
    Options options;
    options.values["BattryVlt"] = 2650;
    PtySimulator sim(options);
    ASSERT_EQ(sim.SlavePath().rfind("/dev/pts/", 0), 0U) << sim.SlavePath();
    HostEnd host(sim.SlavePath());
    ASSERT_GE(host.fd, 0);
    EXPECT_EQ(host.Ask("MNU"), "~00D005DELTA");
    EXPECT_EQ(simtest::Fields(PayloadOf(host.Ask("STB", 7 + 27)))[6], "2650");
    // Control characters pass untouched: the line is raw both ways.
    ASSERT_EQ(::write(host.fd, "\x03\x11\x13\r\n\x7f\x04", 7), 7);
    EXPECT_EQ(host.Ask("VER"), "~00D005V1.23");
    EXPECT_EQ(sim.Stats().replies, 3U);

    Options bad;
    bad.values["NoSuchField"] = 1;
    EXPECT_THROW(PtySimulator{bad}, std::runtime_error);
}

TEST(PtyLine, WritesSlowlyInChunksWithGaps)
{
    Options options;
    options.delay = 100ms;
    options.chunk = 4;
    options.chunk_gap = 20ms;
    PtySimulator sim(options);
    HostEnd host(sim.SlavePath());
    const auto start = SteadyClock::now();
    int reads = 0;
    const std::string sta = host.Ask("STA", 7 + 37, &reads);
    const auto took = SteadyClock::now() - start;
    EXPECT_EQ(PayloadOf(sta), "0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0");
    // The delay, then 44 bytes in 11 pieces: at least 10 gaps.
    EXPECT_GE(took, (100ms + 10 * 20ms) * 9 / 10);
    EXPECT_GT(reads, 1);
}

TEST(PtyLine, PacesAtTheBaudRateOnAbsoluteDeadlines)
{
    // 2400 bytes at 2400 baud take exactly 10 s: per-byte rounding of the
    // 4.1667 ms does not build up.
    const upssim::Clock::time_point t0{};
    EXPECT_EQ(upssim::ByteTime(2400), std::chrono::nanoseconds(4166666));
    EXPECT_EQ(upssim::WireDeadline(t0, 2400, 2400), t0 + 10s);

    Options options;
    options.pace = true;
    PtySimulator sim(options);
    HostEnd host(sim.SlavePath());
    const auto start = SteadyClock::now();
    const std::string rat = host.Ask("RAT", 7 + 77);
    EXPECT_EQ(simtest::Fields(PayloadOf(rat)).size(), 21U);
    EXPECT_GE(SteadyClock::now() - start, 84 * upssim::ByteTime(2400) * 9 / 10);
}

double CpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The host closes the slave and opens it again later: meanwhile the
// simulator waits without spinning, then answers the new session.
TEST(PtyLine, SurvivesThePeerClosingAndReopening)
{
    PtySimulator sim;
    {
        HostEnd host(sim.SlavePath());
        EXPECT_EQ(host.Ask("MNU"), "~00D005DELTA");
    }
    const double cpu = CpuSeconds();
    const auto start = SteadyClock::now();
    std::this_thread::sleep_for(1s);
    const double wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
    EXPECT_LT(CpuSeconds() - cpu, wall / 2) << "busy while no slave is open";

    HostEnd again(sim.SlavePath());
    EXPECT_EQ(again.Ask("MNU"), "~00D005DELTA");
}

// A scripted cable pull: the pseudo-terminal is closed (the host's end hangs
// up) and a new one serves after the pause, behind the same link (its path
// may be the old one's, freed and reused); the in-process simulator keeps
// the link as ups-sim --link does.
TEST(PtyLine, ScriptedCloseReopensAnotherPty)
{
    const TempDir dir;
    const std::string link = dir.File("ups-sim-link");
    Options options;
    std::istringstream script("wait 1 cycle\nclose 300ms\n");
    options.script = upssim::ParseScript(script, "test");
    std::atomic<bool> reopened{false};
    std::string path;
    options.on_event = [&](const upssim::Event& event) {
        if (event.kind == upssim::Event::Kind::Reopen) {
            path = event.text;
            reopened = true;
        }
    };
    PtySimulator sim(options, link);

    {
        HostEnd host(link);
        EXPECT_EQ(host.Ask("VER"), "~00D005V1.23");
        EXPECT_TRUE(Receive(host.fd, 1, nullptr, 2000ms).empty()); // hung up
    }
    const auto give_up = SteadyClock::now() + 5s;
    while (!reopened && SteadyClock::now() < give_up) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(reopened);
    HostEnd again(link);
    EXPECT_EQ(again.Ask("MNU"), "~00D005DELTA");
    sim.Stop();
    EXPECT_EQ(path, sim.SlavePath());
}

// The host starts its next poll cycle while a scripted cable pull is under
// way: that query is lost with the line, and no answer to it turns up on the
// line that replaces it (the host would take it for the answer to its next
// query, and every reply of that cycle would land one place off).
TEST(PtyLine, ScriptedCloseLeavesNoAnswerForTheNewLine)
{
    const TempDir dir;
    const std::string link = dir.File("ups-sim-link-stale");
    Options options;
    std::istringstream script("wait 1 cycle\nclose 300ms\n");
    options.script = upssim::ParseScript(script, "test");
    std::atomic<bool> reopened{false};
    options.on_event = [&](const upssim::Event& event) {
        reopened = reopened || event.kind == upssim::Event::Kind::Reopen;
    };
    upssim::LineServer server(options, upssim::Endpoint{"", link});
    std::thread serving([&server] { server.Run(); });

    {
        HostEnd host(link);
        EXPECT_EQ(host.Ask("VER"), "~00D005V1.23");
        // Within the pull's 200 ms linger; on a machine too slow for that
        // the line is down already and the write fails.
        const std::string next = tools::QueryFrame(CMD_MNU);
        const ssize_t sent = ::write(host.fd, next.data(), next.size());
        EXPECT_TRUE(sent == 10 || (sent < 0 && errno == EIO)) << sent;
        EXPECT_TRUE(Receive(host.fd, 1, nullptr, 2000ms).empty()); // hung up
    }
    const auto give_up = SteadyClock::now() + 5s;
    while (!reopened && SteadyClock::now() < give_up) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(reopened);
    HostEnd again(link);
    EXPECT_EQ(Receive(again.fd, 1, nullptr, 500ms), "") << "an answer from before the pull";
    EXPECT_EQ(again.Ask("MNU"), "~00D005DELTA");
    server.Stop();
    serving.join();
}

// While a scripted cable pull has the line down there is no slave to point
// at: the link is gone, so a host reopening it cannot reach the old slave's
// path, which any other program's new pseudo-terminal may have taken.
TEST(PtyLine, ScriptedCloseTakesTheLinkAwayUntilTheNewPty)
{
    const TempDir dir;
    const std::string link = dir.File("ups-sim-link-away");
    Options options;
    std::istringstream script("wait 1 cycle\nclose 1s\n");
    options.script = upssim::ParseScript(script, "test");
    std::atomic<bool> reopened{false};
    options.on_event = [&](const upssim::Event& event) {
        reopened = reopened || event.kind == upssim::Event::Kind::Reopen;
    };
    upssim::LineServer server(options, upssim::Endpoint{"", link});
    std::thread serving([&server] { server.Run(); });

    {
        HostEnd host(link);
        EXPECT_EQ(host.Ask("VER"), "~00D005V1.23");
        EXPECT_TRUE(Receive(host.fd, 1, nullptr, 2000ms).empty()); // hung up
    }
    struct stat st {
    };
    EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link still there while the line is down";
    const auto give_up = SteadyClock::now() + 5s;
    while (!reopened && SteadyClock::now() < give_up) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(reopened);
    EXPECT_EQ(::lstat(link.c_str(), &st), 0);
    HostEnd again(link);
    EXPECT_EQ(again.Ask("MNU"), "~00D005DELTA");
    server.Stop();
    serving.join();
}

// --port: a tty opened and set up by the simulator; here the slave of a
// pseudo-terminal whose master the test holds.
class PortPair
{
public:
    PortPair() : master(::posix_openpt(O_RDWR | O_NOCTTY))
    {
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) {
            port = ::ptsname(master);
            MakeRaw(master);
        }
    }
    ~PortPair() { ::close(master); }
    PortPair(const PortPair&) = delete;
    PortPair& operator=(const PortPair&) = delete;
    std::string Ask(const std::string& code) const
    {
        EXPECT_EQ(::write(master, tools::QueryFrame(tools::FindCommand(code)).data(), 10), 10);
        return Receive(master, 12);
    }
    const int master;
    std::string port;
};

TEST(TtyLine, ServesAPortAt2400Baud8N1AndReopensIt)
{
    // The port by a stable name, as /dev/serial/by-id/ names an adapter.
    const TempDir dir;
    const std::string port = dir.File("ups-sim-port");
    auto pair = std::make_unique<PortPair>();
    ::unlink(port.c_str());
    ASSERT_EQ(::symlink(pair->port.c_str(), port.c_str()), 0);
    upssim::LineServer server(Options{}, upssim::Endpoint{port, ""});
    EXPECT_EQ(server.Path(), port);
    std::thread serving([&server] { server.Run(); });
    termios set{};
    ::tcgetattr(pair->master, &set); // a master reads its slave's settings
    EXPECT_EQ(::cfgetospeed(&set), static_cast<speed_t>(B2400));
    EXPECT_EQ(set.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(set.c_lflag & (ICANON | ECHO), 0U);
    EXPECT_EQ(pair->Ask("MNU"), "~00D005DELTA");

    // The adapter goes away and comes back: the simulator reopens the port.
    pair = std::make_unique<PortPair>();
    ::unlink(port.c_str());
    ASSERT_EQ(::symlink(pair->port.c_str(), port.c_str()), 0);
    EXPECT_EQ(pair->Ask("VER"), "~00D005V1.23");
    server.Stop();
    serving.join();
}

TEST(TtyLine, UnopenablePortIsAClearError)
{
    try {
        upssim::LineServer missing(Options{}, upssim::Endpoint{"/dev/nonexistent-tty", ""});
        ADD_FAILURE() << "opened";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("cannot open /dev/nonexistent-tty: ", 0), 0U)
            << error.what();
    }
}

} // namespace

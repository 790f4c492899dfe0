// Shared by the UPS network protocol server's tests: snapshots of UPSes
// built from records, the server running on its own event-loop thread with
// a heartbeat timer beside it, a plain TCP client, and child programs (the
// real upsc and upsmon).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "Server.h"
#include "SnapshotList.h"
#include "catalogue/TestRecord.h"

namespace nuttest
{

using catalogue::TestRecord;
using Steady = std::chrono::steady_clock;

// Records of the sample UPSes.
TestRecord SinglePhaseOnLine();   // one line each way, on line, no alarm
TestRecord ThreePhaseWithAlarm(); // three lines each way, fan fault, bypass
// On battery, and with the UPS announcing its shutdown (LB) when `low`.
TestRecord OnBattery(bool low);

// A snapshot whose last round completed `age` before `now`.
site::UpsSnapshot Ups(const std::string& name, const std::string& description,
                      const TestRecord& record, std::chrono::milliseconds age,
                      std::chrono::seconds stale_after, Steady::time_point now = Steady::now());
// A new completed round for the snapshot, at `now`.
void NewRound(site::UpsSnapshot& ups, const TestRecord& record,
              Steady::time_point now = Steady::now());

// The users of the tests' servers.
std::vector<nut::User> TestUsers();

// The server on 127.0.0.1 and a free port, its io_context on a thread of
// its own, with a 10 ms heartbeat timer on the same io_context that
// records the longest gap between its ticks.
class LoopServer
{
public:
    explicit LoopServer(nut::ServerOptions options = Options());
    ~LoopServer();

    static nut::ServerOptions Options();

    std::uint16_t Port() const { return port_; }
    // Stops the server (its listeners and connections), the loop goes on.
    void StopServer();
    // Runs `fn` on the loop's thread and waits for it: the only way the
    // tests touch the snapshots or the server once it runs.
    void OnLoop(const std::function<void()>& fn);
    nut::SnapshotList& List() { return list_; }
    nut::ServerCounters Counters();
    std::size_t Logins(const std::string& ups);
    std::vector<std::string> Log();
    // The longest time between two heartbeats since the last call.
    std::chrono::milliseconds TakeLongestGap();
    std::uint64_t Heartbeats();

private:
    void Beat();

    boost::asio::io_context io_;
    nut::SnapshotList list_;
    std::vector<std::string> log_;
    std::unique_ptr<nut::Server> server_;
    boost::asio::steady_timer heartbeat_;
    Steady::time_point last_beat_{};
    std::chrono::milliseconds longest_gap_{0};
    std::uint64_t beats_ = 0;
    bool beating_ = true;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// A blocking TCP client of 127.0.0.1 (or ::1).
class TestClient
{
public:
    explicit TestClient(std::uint16_t port, bool ipv6 = false);
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    bool Connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // False when the connection is gone.
    bool Send(const std::string& bytes);
    // The next line without its end; nullopt at end of stream, on an error
    // or when none comes in time.
    std::optional<std::string>
    ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The lines of a reply up to and including `last` (e.g. "END LIST UPS").
    std::vector<std::string> ReadUntil(const std::string& last,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Sends one request and reads its one-line reply.
    std::string Ask(const std::string& request);
    // True when the server closed the connection (end of stream or reset)
    // within `timeout`, whatever it sent before.
    bool ClosedWithin(std::chrono::milliseconds timeout);

private:
    int fd_ = -1;
    std::string buffered_;
};

// A program's run to its end.
struct ProgramRun {
    int status = -1; // exit status; 128 + signal; -1 when it did not end in time (then killed)
    std::string out;
    std::string err;
    std::vector<std::string> OutLines() const;
};

// Runs a program to its end with its output captured (killed after
// `timeout`).  `args[0]` is the program's path.
ProgramRun RunProgram(const std::vector<std::string>& args,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A long-running program with its standard output and error going to
// files, optionally as another user (the tests run upsmon as an
// unprivileged user when they run as root).
class Daemon
{
public:
    Daemon(const std::vector<std::string>& args, const std::vector<std::string>& environment,
           const std::string& output_file, std::optional<uid_t> uid = std::nullopt,
           std::optional<gid_t> gid = std::nullopt);
    // SIGTERM, then SIGKILL if it does not end.
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;
    pid_t pid() const { return pid_; }
    // The exit status once it has ended, nullopt while it runs.
    std::optional<int> Ended();
    void Stop();

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// The path of a program of the nut-client package, or "" when there is
// none that runs here.
std::string UpscPath();
std::string UpsmonPath();

// A directory of its own under the system's temporary directory, removed
// with what is in it at the end.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    void Write(const std::string& name, const std::string& text, unsigned mode = 0644) const;
    std::string Read(const std::string& name) const;

private:
    std::string path_;
};

// Waits until `condition` holds, checking every 50 ms; false after timeout.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

std::vector<std::string> Lines(const std::string& text);

} // namespace nuttest

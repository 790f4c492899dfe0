// Polls one device over a serial line, as the monitoring unit's host does:
// RefreshStatus every interval, every received chunk handed to process as it
// arrives, the sixteen values read after each completed cycle.
//
// The next cycle waits while one is in progress, unless the UPS has sent
// nothing for the reply timeout (a stall): then the host ends the exchange
// itself and starts over.  A port that fails, or that is not there at
// start-up, is reopened every reopen interval until it comes back.  What
// the line's monitor decides (faults, state changes, summaries, the age of
// the data) goes to standard error and to the report.
//
// The poller runs on an io_context it is given, beside the pollers of the
// other lines of a site and the servers: nothing it does waits, so one line's
// faults never hold up another's cycles.  Whoever owns the io_context owns
// the signals and the session's time limit (PollSession below).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HostEvents.h"
#include "Report.h"
#include "halx/HalxSPDevice.h"

namespace boost::asio
{
class io_context;
} // namespace boost::asio

namespace halxhost
{

class TraceFile;

struct PollConfig {
    std::string port;
    // The path to reopen a lost port at, when it can move (a simulator that
    // replaced its pseudo-terminal); empty: port.
    std::function<std::string()> current_port;
    double interval_s = 5.0;
    double reply_timeout_s = 2.0;
    double reopen_interval_s = 1.0;
    std::uint64_t cycles = 0; // 0: until interrupted; then the poller stops itself
    bool wait_for_port = true;
    std::string lock_dir; // "" : no lock file
    // While a reply is being assembled, its header is read when it is due
    // in full and, once it has told the length, all but the last byte when
    // they are due, instead of byte by byte; between those reads the line
    // is off the event loop (SerialLink::read_pause), so that its bytes
    // wake nobody: three wake-ups per reply rather than one per byte, for a
    // site of many lines.
    bool pace_reads = false;
    // Put before every line this poller writes to standard error, after
    // "halx-host: " ("ups1: " in a site; empty for a single port).
    std::string log_prefix;
};

class Poller
{
public:
    // `io` must outlive the poller.
    Poller(boost::asio::io_context& io, HalxSPDevice& dev, HostEvents& events, Report& report,
           TraceFile* trace, PollConfig config);
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Opens the port at the device's line speed; a missing port with
    // wait_for_port is waited for.  Throws BadInput.
    void Open();
    // Starts polling on the io_context (the first cycle at once).
    void Start();
    // Ends the session of this line: what the monitor has not told yet, the
    // report's end, the port closed, the timers cancelled.  Idempotent.
    void Stop(StopReason reason);
    bool Done() const;
    StopReason Stopped() const;

    // Called once the poller has stopped (by itself after its cycles, or by
    // Stop).
    std::function<void()> on_stopped;
    // Called after each call into the device and after each change the
    // line's monitor decided: where a site looks for new rounds, alarms and
    // line states to pass on.
    std::function<void()> on_activity;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The signals (SIGINT, SIGTERM, SIGHUP) and the time limit of a session of
// one or more pollers on one io_context.  Run() returns once every poller has
// stopped: each after its cycles, or all at a signal or the time limit.
// `extra_stop` runs before the io_context is stopped (the servers' Stop).
class PollSession
{
public:
    PollSession(boost::asio::io_context& io, std::vector<Poller*> pollers, double timeout_s);
    ~PollSession();
    PollSession(const PollSession&) = delete;
    PollSession& operator=(const PollSession&) = delete;

    std::function<void()> extra_stop;
    // Cycles when every poller stopped after its cycles; else how the
    // session was stopped.
    StopReason Run();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace halxhost

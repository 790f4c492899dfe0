// Polls one device over a serial line, as the monitoring unit's host does:
// RefreshStatus every interval, every received chunk handed to process as it
// arrives, the sixteen values read after each completed cycle.
//
// The next cycle waits while one is in progress, unless the UPS has sent
// nothing for the reply timeout (a stall): then the host ends the exchange
// itself and starts over.  A port that fails, or that is not there at
// start-up, is reopened every reopen interval until it comes back.  What
// the line's monitor decides (faults, state changes, summaries, the age of
// the data) goes to standard error and to the report.  Everything runs on
// one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "HostEvents.h"
#include "Report.h"
#include "halx/HalxSPDevice.h"

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
    std::uint64_t cycles = 0; // 0: until interrupted
    double timeout_s = 0.0;   // 0: none
    bool wait_for_port = true;
    std::string lock_dir; // "" : no lock file
};

class Poller
{
public:
    Poller(HalxSPDevice& dev, HostEvents& events, Report& report, TraceFile* trace,
           PollConfig config);
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Opens the port at the device's line speed; a missing port with
    // wait_for_port is waited for.  Throws BadInput.
    void Open();
    // Polls until the requested number of cycles has completed, the
    // timeout has passed or SIGINT, SIGTERM or SIGHUP arrives.
    StopReason Run();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace halxhost

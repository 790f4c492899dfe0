// Polls one device over a serial line, as the monitoring unit's host does:
// RefreshStatus every interval, every received chunk handed to process as it
// arrives, the sixteen values read after each completed cycle.
//
// The next cycle waits while one is in progress, unless the UPS has sent
// nothing for the reply timeout (a stall): then the host ends the exchange
// itself and starts over.  A port that fails is reported once and reopened
// every reopen interval until it comes back.  Everything runs on one thread.
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
};

class Poller
{
public:
    Poller(HalxSPDevice& dev, HostEvents& events, Report& report, TraceFile* trace,
           PollConfig config);
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Opens the port at the device's line speed; throws BadInput.
    void Open();
    // Polls until the requested number of cycles has completed or SIGINT,
    // SIGTERM or SIGHUP arrives.
    void Run();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace halxhost

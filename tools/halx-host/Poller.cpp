#include "Poller.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "SerialLink.h"
#include "TraceFile.h"
#include "common/Errors.h"

namespace halxhost
{

using tools::BadInput;

using Clock = std::chrono::steady_clock;

namespace
{

Clock::duration Seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

} // namespace

struct Poller::Impl {
    Impl(HalxSPDevice& d, HostEvents& e, Report& r, TraceFile* trace, PollConfig c)
        : dev(d), events(e), report(r), config(std::move(c)), link(io, trace), tick(io), stall(io),
          reopen(io), deadline(io), signals(io, SIGINT, SIGTERM, SIGHUP)
    {
    }

    void Open();
    StopReason Run();
    void OnTick();
    void StartCycle();
    void ArmStall(Clock::time_point deadline);
    void OnStall();
    void OnReceive(unsigned char* data, std::size_t length);
    void AfterDeviceCall();
    void OnLinkError(const std::string& message);
    void ScheduleReopen();
    void TryReopen();
    void StartReading();
    void Warn(const tools::PortOpening& opened);
    // What the monitor decided: to standard error and to the report.
    void Tell();
    void Finish(StopReason reason);
    template <typename F> void CallDevice(const char* what, F&& call);
    Counters& counters() { return events.counters(); }
    LineMonitor& monitor() { return events.monitor(); }

    HalxSPDevice& dev;
    HostEvents& events;
    Report& report;
    PollConfig config;
    boost::asio::io_context io;
    SerialLink link;
    boost::asio::steady_timer tick, stall, reopen, deadline;
    boost::asio::signal_set signals;

    Clock::time_point next_tick;
    // Last byte received or cycle started: the reply timeout counts from it.
    Clock::time_point last_activity;
    bool refresh_due = false; // a tick came while a cycle was in progress
    bool lost = false;        // the port is not open (lost, or not there yet)
    bool warned = false;      // the lock file's warning was given
    bool was_open = false;    // the port has been open (reopening it is counted)
    bool done = false;
    bool exception_reported = false;
    StopReason stopped = StopReason::Signal;
    std::uint64_t rounds = 0;
};

Poller::Poller(HalxSPDevice& dev, HostEvents& events, Report& report, TraceFile* trace,
               PollConfig config)
    : impl_(std::make_unique<Impl>(dev, events, report, trace, std::move(config)))
{
}

Poller::~Poller() = default;

void Poller::Open()
{
    impl_->Open();
}

StopReason Poller::Run()
{
    return impl_->Run();
}

void Poller::Impl::Open()
{
    const tools::PortOpening opened =
        link.Open(config.port, static_cast<unsigned>(dev.BaudRate()), config.lock_dir);
    if (opened.Open()) {
        was_open = true;
        Warn(opened);
        return;
    }
    if (opened.failure == tools::OpenFailure::Missing && config.wait_for_port) {
        // Waited for as a lost port is: it may be an adapter not plugged in
        // yet.
        lost = true;
        monitor().PortWaiting(opened.error, Moment::Now());
        ScheduleReopen();
        return;
    }
    throw BadInput("cannot open port " + config.port + ": " + opened.error);
}

void Poller::Impl::Warn(const tools::PortOpening& opened)
{
    if (!opened.warning.empty() && !warned) {
        warned = true;
        std::cerr << "halx-host: port " << config.port << ": " << opened.warning << std::endl;
    }
}

StopReason Poller::Impl::Run()
{
    events.send = [this](const unsigned char* data, std::size_t length) {
        link.Send(data, length);
    };
    signals.async_wait([this](const boost::system::error_code& ec, int /*signal*/) {
        if (!ec) {
            Finish(StopReason::Signal);
        }
    });
    if (config.timeout_s > 0) {
        deadline.expires_after(Seconds(config.timeout_s));
        deadline.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) {
                Finish(StopReason::Timeout);
            }
        });
    }
    Tell();
    if (link.IsOpen()) {
        StartReading();
    }
    next_tick = Clock::now();
    OnTick();
    io.run();
    events.send = nullptr;
    return stopped;
}

void Poller::Impl::StartReading()
{
    link.StartReading([this](unsigned char* data, std::size_t length) { OnReceive(data, length); },
                      [this](const std::string& message) { OnLinkError(message); });
}

template <typename F> void Poller::Impl::CallDevice(const char* what, F&& call)
{
    // The plug-in lets exceptions of host operations and of its own code
    // reach the host; the host reports the first and keeps polling.
    try {
        call();
    } catch (const std::exception& e) {
        if (!exception_reported) {
            exception_reported = true;
            std::cerr << "halx-host: " << what << " threw: " << e.what()
                      << " (further exceptions are not reported)" << std::endl;
        }
    }
    events.DrainConsole(true);
}

void Poller::Impl::Tell()
{
    for (const LineNotice& notice : monitor().TakeNotices()) {
        std::cerr << "halx-host: " << notice.text << std::endl;
        report.Notice(notice, counters());
    }
}

void Poller::Impl::OnTick()
{
    if (done) {
        return;
    }
    const Clock::time_point now = Clock::now();
    next_tick += Seconds(config.interval_s);
    if (next_tick <= now) {
        next_tick = now + Seconds(config.interval_s);
    }
    tick.expires_at(next_tick);
    tick.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) {
            OnTick();
        }
    });

    const Moment moment = Moment::Now();
    monitor().Tick(moment);
    Tell();
    if (const std::optional<LineStatus> status = monitor().Status(moment)) {
        report.Status(*status);
    }
    if (!link.IsOpen() || events.CycleInProgress()) {
        refresh_due = true;
        return;
    }
    StartCycle();
}

void Poller::Impl::StartCycle()
{
    refresh_due = false;
    last_activity = Clock::now();
    CallDevice("RefreshStatus", [this] { events.StartCycle(dev); });
    ArmStall(last_activity + Seconds(config.reply_timeout_s));
}

void Poller::Impl::ArmStall(Clock::time_point when)
{
    stall.expires_at(when);
    stall.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) {
            OnStall();
        }
    });
}

void Poller::Impl::OnStall()
{
    if (done || !events.CycleInProgress() || !link.IsOpen()) {
        return;
    }
    const Clock::time_point when = last_activity + Seconds(config.reply_timeout_s);
    if (Clock::now() < when) {
        ArmStall(when);
        return;
    }
    ++counters().stalls;
    const std::string buffered(
        reinterpret_cast<const char*>(dev.ReceiveBuffer()),
        std::min<std::size_t>(dev.ReceivedCount(), HalxSPDevice::RECV_BUF_SIZE));
    const Verdict verdict = DiagnoseStall(monitor().Window(), buffered, config.reply_timeout_s);
    CallDevice("Reset", [&] { events.HostReset(dev, verdict); });
    Tell();
    if (refresh_due) {
        StartCycle();
    }
}

void Poller::Impl::OnReceive(unsigned char* data, std::size_t length)
{
    if (done) {
        return;
    }
    last_activity = Clock::now();
    if (!events.CycleInProgress()) {
        // The plug-in may carry a cycle on from this (see HostEvents): the
        // reply timeout then counts from here.
        ArmStall(last_activity + Seconds(config.reply_timeout_s));
    }
    CallDevice("process", [&] { events.Process(dev, data, length); });
    AfterDeviceCall();
}

void Poller::Impl::AfterDeviceCall()
{
    while (!done && events.TakeCompletedRound()) {
        RoundReport round;
        round.values = ReadValues(dev);
        round.age_s = DataAgeSeconds(dev);
        round.time = monitor().Snapshot().last ? monitor().Snapshot().last->time
                                               : std::chrono::system_clock::now();
        round.counters = counters();
        events.DrainConsole(true);
        report.Round(round);
        ++rounds;
        if (config.cycles != 0 && rounds >= config.cycles) {
            Tell();
            Finish(StopReason::Cycles);
            return;
        }
    }
    Tell();
    if (!events.CycleInProgress() && refresh_due) {
        boost::asio::post(io, [this] {
            if (!done && refresh_due && link.IsOpen() && !events.CycleInProgress()) {
                StartCycle();
            }
        });
    }
}

void Poller::Impl::OnLinkError(const std::string& message)
{
    if (done) {
        return;
    }
    if (!lost) {
        lost = true;
        monitor().PortLost(message, Moment::Now());
    }
    if (events.CycleInProgress()) {
        const Verdict verdict = PortLostVerdict(monitor().Window(), message);
        CallDevice("Reset", [&] { events.HostReset(dev, verdict); });
    }
    Tell();
    ScheduleReopen();
}

void Poller::Impl::ScheduleReopen()
{
    reopen.expires_after(Seconds(config.reopen_interval_s));
    reopen.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) {
            TryReopen();
        }
    });
}

void Poller::Impl::TryReopen()
{
    if (done) {
        return;
    }
    if (config.current_port) {
        config.port = config.current_port();
    }
    const tools::PortOpening opened =
        link.Open(config.port, static_cast<unsigned>(dev.BaudRate()), config.lock_dir);
    if (!opened.Open()) {
        // Still gone: already told when the port was lost.
        ScheduleReopen();
        return;
    }
    Warn(opened);
    lost = false;
    if (was_open) {
        ++counters().reopenings;
    }
    was_open = true;
    monitor().PortReopened(Moment::Now());
    Tell();
    StartReading();
    if (refresh_due) {
        StartCycle();
    }
}

void Poller::Impl::Finish(StopReason reason)
{
    if (done) {
        return;
    }
    done = true;
    stopped = reason;
    events.DrainConsole(true);
    monitor().Finish(Moment::Now());
    Tell();
    report.Finished(counters(), reason);
    tick.cancel();
    stall.cancel();
    reopen.cancel();
    deadline.cancel();
    signals.cancel();
    link.Close();
    io.stop();
}

} // namespace halxhost

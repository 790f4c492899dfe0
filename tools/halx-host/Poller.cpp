#include "Poller.h"

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
          reopen(io), signals(io, SIGINT, SIGTERM, SIGHUP)
    {
    }

    void Run();
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
    void Finish();
    template <typename F> void CallDevice(const char* what, F&& call);
    Counters& counters() { return events.counters(); }

    HalxSPDevice& dev;
    HostEvents& events;
    Report& report;
    PollConfig config;
    boost::asio::io_context io;
    SerialLink link;
    boost::asio::steady_timer tick, stall, reopen;
    boost::asio::signal_set signals;

    Clock::time_point next_tick;
    // Last byte received or cycle started: the reply timeout counts from it.
    Clock::time_point last_activity;
    bool refresh_due = false; // a tick came while a cycle was in progress
    bool silent = false;      // stalled since the last byte
    bool lost = false;        // the port failed and is not open again yet
    bool done = false;
    bool exception_reported = false;
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
    std::string error;
    if (!impl_->link.Open(impl_->config.port, static_cast<unsigned>(impl_->dev.BaudRate()),
                          error)) {
        throw BadInput("cannot open port " + impl_->config.port + ": " + error);
    }
}

void Poller::Run()
{
    impl_->Run();
}

void Poller::Impl::Run()
{
    events.send = [this](const unsigned char* data, std::size_t length) {
        link.Send(data, length);
    };
    signals.async_wait([this](const boost::system::error_code& ec, int /*signal*/) {
        if (!ec) {
            Finish();
        }
    });
    StartReading();
    next_tick = Clock::now();
    OnTick();
    io.run();
    events.send = nullptr;
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

void Poller::Impl::ArmStall(Clock::time_point deadline)
{
    stall.expires_at(deadline);
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
    const Clock::time_point deadline = last_activity + Seconds(config.reply_timeout_s);
    if (Clock::now() < deadline) {
        ArmStall(deadline);
        return;
    }
    ++counters().stalls;
    if (!silent) {
        silent = true;
        std::cerr << "halx-host: the UPS on " << config.port << " is not answering (nothing for "
                  << config.reply_timeout_s << " s); polling goes on" << std::endl;
        report.Link(LinkState::Silent, config.port, "", counters());
    }
    CallDevice("Reset", [this] { events.HostReset(dev); });
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
    if (silent) {
        silent = false;
        std::cerr << "halx-host: the UPS on " << config.port << " is answering again" << std::endl;
        report.Link(LinkState::Answering, config.port, "", counters());
    }
    CallDevice("process", [&] { dev.process(data, static_cast<unsigned int>(length)); });
    AfterDeviceCall();
}

void Poller::Impl::AfterDeviceCall()
{
    while (!done && events.TakeCompletedRound()) {
        report.Round(ReadValues(dev), DataAgeSeconds(dev), counters());
        ++rounds;
        if (config.cycles != 0 && rounds >= config.cycles) {
            Finish();
            return;
        }
    }
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
        std::cerr << "halx-host: port " << config.port << " lost: " << message
                  << "; reopening every " << config.reopen_interval_s << " s" << std::endl;
        report.Link(LinkState::Lost, config.port, message, counters());
    }
    if (events.CycleInProgress()) {
        CallDevice("Reset", [this] { events.HostReset(dev); });
    }
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
    std::string error;
    if (!link.Open(config.port, static_cast<unsigned>(dev.BaudRate()), error)) {
        // Still gone: already reported when the port was lost.
        ScheduleReopen();
        return;
    }
    lost = false;
    ++counters().reopenings;
    std::cerr << "halx-host: port " << config.port << " reopened" << std::endl;
    report.Link(LinkState::Reopened, config.port, "", counters());
    StartReading();
    if (refresh_due) {
        StartCycle();
    }
}

void Poller::Impl::Finish()
{
    if (done) {
        return;
    }
    done = true;
    report.Finished(counters());
    tick.cancel();
    stall.cancel();
    reopen.cancel();
    signals.cancel();
    link.Close();
    io.stop();
}

} // namespace halxhost

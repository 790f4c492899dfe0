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
    Impl(Poller& o, boost::asio::io_context& i, HalxSPDevice& d, HostEvents& e, Report& r,
         TraceFile* trace, PollConfig c)
        : owner(o), io(i), dev(d), events(e), report(r), config(std::move(c)), link(io, trace),
          tick(io), stall(io), reopen(io)
    {
    }

    void Open();
    void Start();
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
    Clock::duration ReadPause() const;
    void Warn(const tools::PortOpening& opened);
    // What the monitor decided: to standard error and to the report.
    void Tell();
    void Finish(StopReason reason);
    void Activity()
    {
        if (owner.on_activity) {
            owner.on_activity();
        }
    }
    template <typename F> void CallDevice(const char* what, F&& call);
    Counters& counters() { return events.counters(); }
    LineMonitor& monitor() { return events.monitor(); }

    Poller& owner;
    boost::asio::io_context& io;
    HalxSPDevice& dev;
    HostEvents& events;
    Report& report;
    PollConfig config;
    SerialLink link;
    boost::asio::steady_timer tick, stall, reopen;

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

Poller::Poller(boost::asio::io_context& io, HalxSPDevice& dev, HostEvents& events, Report& report,
               TraceFile* trace, PollConfig config)
    : impl_(std::make_unique<Impl>(*this, io, dev, events, report, trace, std::move(config)))
{
}

Poller::~Poller()
{
    impl_->events.send = nullptr;
}

void Poller::Open()
{
    impl_->Open();
}

void Poller::Start()
{
    impl_->Start();
}

void Poller::Stop(StopReason reason)
{
    impl_->Finish(reason);
}

bool Poller::Done() const
{
    return impl_->done;
}

StopReason Poller::Stopped() const
{
    return impl_->stopped;
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
        std::cerr << "halx-host: " << config.log_prefix << "port " << config.port << ": "
                  << opened.warning << std::endl;
    }
}

Clock::duration Poller::Impl::ReadPause() const
{
    // The reply's header: "~", the address (2), "D", the payload length in
    // three digits; the reply is 7 + length bytes.
    const unsigned char* buffer = dev.ReceiveBuffer();
    const std::size_t held =
        std::min<std::size_t>(dev.ReceivedCount(), HalxSPDevice::RECV_BUF_SIZE);
    const double byte_s = 10.0 / std::max(dev.BaudRate(), 1);
    if (held == 0 && events.CycleInProgress()) {
        // A query has just gone out: its reply's header is read when it can
        // be there in full, however soon the UPS answers.
        return Seconds(std::min(7 * byte_s, config.reply_timeout_s / 4));
    }
    if (held == 0 || buffer[0] != '~') {
        return Clock::duration::zero();
    }
    if (held < 7) {
        // A reply has begun: its header is read when it is due in full.
        return Seconds(
            std::min(static_cast<double>(7 - held) * byte_s, config.reply_timeout_s / 4));
    }
    if (buffer[3] != 'D') {
        return Clock::duration::zero();
    }
    std::size_t length = 0;
    for (std::size_t i = 4; i < 7; ++i) {
        if (buffer[i] < '0' || buffer[i] > '9') {
            return Clock::duration::zero();
        }
        length = length * 10 + static_cast<std::size_t>(buffer[i] - '0');
    }
    const std::size_t total = 7 + length;
    if (held + 2 >= total) {
        return Clock::duration::zero();
    }
    // Up to one byte before the end, 10 bits a byte: the read that follows
    // finds all but the last byte, which it then waits for as ever.  Never
    // longer than a quarter of the reply timeout, so that a reply that
    // stops short is seen stalled in time.
    const double pause_s =
        std::min(static_cast<double>(total - held - 1) * byte_s, config.reply_timeout_s / 4);
    return Seconds(pause_s);
}

void Poller::Impl::Start()
{
    events.send = [this](const unsigned char* data, std::size_t length) {
        link.Send(data, length);
    };
    Tell();
    if (link.IsOpen()) {
        StartReading();
    }
    next_tick = Clock::now();
    OnTick();
}

void Poller::Impl::StartReading()
{
    if (config.pace_reads) {
        link.read_pause = [this] { return ReadPause(); };
    }
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
            std::cerr << "halx-host: " << config.log_prefix << what << " threw: " << e.what()
                      << " (further exceptions are not reported)" << std::endl;
        }
    }
    events.DrainConsole(true);
    Activity();
}

void Poller::Impl::Tell()
{
    for (const LineNotice& notice : monitor().TakeNotices()) {
        std::cerr << "halx-host: " << config.log_prefix << notice.text << std::endl;
        report.Notice(notice, counters());
    }
    Activity();
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
    link.Close();
    events.send = nullptr;
    if (owner.on_stopped) {
        owner.on_stopped();
    }
}

struct PollSession::Impl {
    Impl(boost::asio::io_context& i, std::vector<Poller*> p, double t)
        : io(i), pollers(std::move(p)), timeout_s(t), deadline(io),
          signals(io, SIGINT, SIGTERM, SIGHUP)
    {
    }

    void StopAll(StopReason reason)
    {
        if (stopping) {
            return;
        }
        stopping = true;
        reason_ = reason;
        for (Poller* poller : pollers) {
            poller->Stop(reason);
        }
        End();
    }
    void End()
    {
        deadline.cancel();
        signals.cancel();
        if (extra_stop) {
            extra_stop();
        }
        io.stop();
    }
    void PollerStopped()
    {
        if (stopping) {
            return;
        }
        for (const Poller* poller : pollers) {
            if (!poller->Done()) {
                return;
            }
        }
        stopping = true;
        reason_ = StopReason::Cycles;
        End();
    }

    boost::asio::io_context& io;
    std::vector<Poller*> pollers;
    double timeout_s;
    boost::asio::steady_timer deadline;
    boost::asio::signal_set signals;
    std::function<void()> extra_stop;
    bool stopping = false;
    StopReason reason_ = StopReason::Signal;
};

PollSession::PollSession(boost::asio::io_context& io, std::vector<Poller*> pollers,
                         double timeout_s)
    : impl_(std::make_unique<Impl>(io, std::move(pollers), timeout_s))
{
}

PollSession::~PollSession() = default;

StopReason PollSession::Run()
{
    Impl& s = *impl_;
    s.extra_stop = extra_stop;
    s.signals.async_wait([&s](const boost::system::error_code& ec, int /*signal*/) {
        if (!ec) {
            s.StopAll(StopReason::Signal);
        }
    });
    if (s.timeout_s > 0) {
        s.deadline.expires_after(Seconds(s.timeout_s));
        s.deadline.async_wait([&s](const boost::system::error_code& ec) {
            if (!ec) {
                s.StopAll(StopReason::Timeout);
            }
        });
    }
    for (Poller* poller : s.pollers) {
        poller->on_stopped = [&s] { s.PollerStopped(); };
        poller->Start();
    }
    s.PollerStopped();
    if (!s.stopping) {
        s.io.run();
    }
    for (Poller* poller : s.pollers) {
        poller->on_stopped = nullptr;
    }
    return s.reason_;
}

} // namespace halxhost

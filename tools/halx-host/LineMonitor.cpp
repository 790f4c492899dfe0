#include "LineMonitor.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "common/Format.h"
#include "protocol/FrameLayout.h"

namespace halxhost
{

using site::LineState;
using Kind = LineNotice::Kind;

namespace
{

// What a reply window keeps: enough for any diagnosis (the plug-in buffers
// 4096 bytes), not a whole burst of noise.
constexpr std::size_t kWindowBytes = 64 * 1024;

std::string Number(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

std::string WholeSeconds(double seconds)
{
    return std::to_string(static_cast<long long>(std::floor(seconds)));
}

} // namespace

Moment Moment::Now()
{
    return Moment{std::chrono::steady_clock::now(), std::chrono::system_clock::now()};
}

Moment Moment::After(double seconds) const
{
    const auto d = std::chrono::duration<double>(seconds);
    return Moment{steady + std::chrono::duration_cast<std::chrono::steady_clock::duration>(d),
                  wall + std::chrono::duration_cast<std::chrono::system_clock::duration>(d)};
}

double SecondsBetween(const Moment& from, const Moment& to)
{
    return std::chrono::duration<double>(to.steady - from.steady).count();
}

const char* NoticeName(Kind kind)
{
    switch (kind) {
    case Kind::Silent:
        return "silent";
    case Kind::Failing:
        return "failing";
    case Kind::Answering:
        return "answering";
    case Kind::Waiting:
        return "waiting";
    case Kind::Lost:
        return "lost";
    case Kind::Reopened:
        return "reopened";
    case Kind::Summary:
        return "summary";
    }
    return "?";
}

LineMonitor::LineMonitor(LineSettings settings, Moment start)
    : settings_(std::move(settings)), start_(start), state_since_(start), window_start_(start)
{
    snapshot_.name = settings_.port;
    snapshot_.description = settings_.simulated ? "the built-in simulated UPS" : "";
    snapshot_.data_id = settings_.data_id;
}

std::string LineMonitor::Ups() const
{
    return (settings_.simulated ? "the simulated UPS on " : "the UPS on ") + settings_.port;
}

void LineMonitor::CycleStarted(Moment /*now*/)
{
    window_ = ReplyWindow();
}

void LineMonitor::QuerySent(const std::string& frame, Moment /*now*/)
{
    window_ = ReplyWindow();
    window_.query = frame.size() > kFrameHeaderSize ? frame.substr(kFrameHeaderSize) : frame;
    window_.first_of_cycle = window_.query == "MNU";
}

void LineMonitor::Received(const std::string& chunk, Moment /*now*/)
{
    window_.received += chunk;
    if (window_.received.size() > kWindowBytes) {
        window_.received.erase(0, window_.received.size() - kWindowBytes);
    }
}

void LineMonitor::RoundCompleted(const unsigned char* record, std::size_t length, Moment now)
{
    site::Round round;
    std::copy(record, record + std::min(length, round.record.size()), round.record.begin());
    round.time = now.wall;
    round.steady = now.steady;
    round.sequence = snapshot_.last ? snapshot_.last->sequence + 1 : first_sequence_;
    snapshot_.last = round;
    const bool was_down = told_ == Kind::Silent || told_ == Kind::Failing;
    if (snapshot_.line != LineState::Up) {
        if (was_down) {
            Enter(LineState::Up, Kind::Answering, Ups() + " is answering again", "", now);
        } else {
            snapshot_.line = LineState::Up;
            snapshot_.line_detail.clear();
            state_since_ = now;
            told_ = Kind::Answering;
        }
    }
    ++completed_;
}

void LineMonitor::CycleAbandoned(const Verdict& verdict, Moment now)
{
    last_fault_ = verdict;
    if (verdict.fault != Fault::PortLost) {
        const bool silent = verdict.fault == Fault::NoReply;
        const LineState state = silent ? LineState::Silent : LineState::Failing;
        snapshot_.line_detail = verdict.text;
        if (snapshot_.line != state) {
            snapshot_.line = state;
            state_since_ = now;
        }
        const Kind kind = silent ? Kind::Silent : Kind::Failing;
        if (told_ != kind) {
            const std::string text =
                silent ? Ups() + " is not answering (" + verdict.text + "); polling goes on"
                       : "cycles on " + settings_.port + " fail: " + verdict.text +
                             "; polling goes on";
            LineNotice notice;
            notice.kind = kind;
            notice.state = state;
            notice.text = text;
            notice.reason = FaultName(verdict.fault);
            Announce(notice, now);
        }
    }
    ++abandoned_;
    ++faults_[verdict.label];
}

void LineMonitor::PortWaiting(const std::string& error, Moment now)
{
    Enter(LineState::Lost, Kind::Waiting,
          "port " + settings_.port + " is not there (" + error +
              "); waiting for it, trying every " + Number(settings_.reopen_interval_s) + " s",
          error, now);
}

void LineMonitor::PortLost(const std::string& message, Moment now)
{
    Enter(LineState::Lost, Kind::Lost,
          "port " + settings_.port + " lost: " + message + "; reopening every " +
              Number(settings_.reopen_interval_s) + " s",
          message, now);
}

void LineMonitor::PortReopened(Moment now)
{
    const bool waited = told_ == Kind::Waiting;
    Enter(LineState::Starting, Kind::Reopened,
          "port " + settings_.port + (waited ? " opened" : " reopened"), "", now);
}

void LineMonitor::Enter(LineState state, Kind kind, const std::string& text,
                        const std::string& reason, Moment now)
{
    snapshot_.line = state;
    snapshot_.line_detail = reason;
    state_since_ = now;
    LineNotice notice;
    notice.kind = kind;
    notice.state = state;
    notice.text = text;
    notice.reason = reason;
    Announce(notice, now);
}

void LineMonitor::Announce(LineNotice notice, Moment now)
{
    if (!next_summary_) {
        next_summary_ = now.After(settings_.summary_interval_s);
    }
    // The port going and coming is told always: it happens once a pull of
    // the cable, not once a cycle.
    const bool port =
        notice.kind == Kind::Waiting || notice.kind == Kind::Lost || notice.kind == Kind::Reopened;
    if (!port && told_in_interval_ >= 2) {
        // Told twice in this interval already: its summary says the rest.
        folded_ = true;
        return;
    }
    if (!port) {
        ++told_in_interval_;
    }
    told_ = notice.kind;
    notice.since = now.wall;
    notices_.push_back(std::move(notice));
    window_start_ = now;
    completed_ = 0;
    abandoned_ = 0;
    faults_.clear();
}

void LineMonitor::Tick(Moment now)
{
    if (next_summary_ && now.steady >= next_summary_->steady) {
        Summarise(now);
    }
}

void LineMonitor::Finish(Moment now)
{
    if (folded_) {
        Summarise(now);
    }
}

void LineMonitor::Summarise(Moment now)
{
    const LineState state = snapshot_.line;
    if (state != LineState::Up || folded_) {
        LineNotice notice;
        notice.kind = Kind::Summary;
        notice.state = state;
        notice.period_s = SecondsBetween(window_start_, now);
        notice.since = state_since_.wall;
        notice.completed = completed_;
        notice.abandoned = abandoned_;
        // Most frequent first.
        notice.faults.assign(faults_.begin(), faults_.end());
        std::stable_sort(notice.faults.begin(), notice.faults.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        std::string counts = "in the last " + WholeSeconds(notice.period_s) + " s " +
                             std::to_string(completed_) + " cycles completed, " +
                             std::to_string(abandoned_) + " abandoned";
        for (std::size_t i = 0; i < notice.faults.size(); ++i) {
            counts += (i == 0 ? ": " : ", ") + std::to_string(notice.faults[i].second) + " " +
                      notice.faults[i].first;
        }
        const std::string since = " (since " + tools::LocalTime(state_since_.wall) + ")";
        switch (state) {
        case LineState::Silent:
            notice.text = Ups() + " is still not answering" + since + "; " + counts;
            notice.reason = last_fault_ ? FaultName(last_fault_->fault) : "";
            told_ = Kind::Silent;
            break;
        case LineState::Failing:
            notice.text = "cycles on " + settings_.port + " still fail" + since + "; " + counts +
                          (last_fault_ ? "; last: " + last_fault_->text : "");
            notice.reason = last_fault_ ? FaultName(last_fault_->fault) : "";
            told_ = Kind::Failing;
            break;
        case LineState::Lost:
            notice.text = "port " + settings_.port + " still gone" + since + ": " +
                          snapshot_.line_detail + "; trying every " +
                          Number(settings_.reopen_interval_s) + " s";
            notice.reason = snapshot_.line_detail;
            break;
        case LineState::Starting:
            notice.text =
                "port " + settings_.port + " open" + since + ", no cycle completed yet; " + counts;
            break;
        case LineState::Up:
            notice.text = Ups() + " is answering" + since + "; " + counts;
            told_ = Kind::Answering;
            break;
        }
        notices_.push_back(std::move(notice));
    }
    folded_ = false;
    told_in_interval_ = 0;
    window_start_ = now;
    completed_ = 0;
    abandoned_ = 0;
    faults_.clear();
    if (state != LineState::Up) {
        next_summary_ = now.After(settings_.summary_interval_s);
    } else {
        next_summary_.reset();
    }
}

std::optional<LineStatus> LineMonitor::Status(Moment now) const
{
    const auto last = snapshot_.last ? snapshot_.last->steady : start_.steady;
    const double quiet = std::chrono::duration<double>(now.steady - last).count();
    if (quiet <= settings_.interval_s + settings_.reply_timeout_s) {
        return std::nullopt;
    }
    LineStatus status;
    status.state = snapshot_.line;
    status.since = state_since_.wall;
    std::string data;
    if (snapshot_.last) {
        status.age_s = snapshot_.AgeSeconds(now.steady);
        status.stale = snapshot_.Stale(now.steady);
        status.last_round = snapshot_.last->time;
        data = "data age " + WholeSeconds(status.age_s) + " s" +
               (status.stale ? ", stale (the plug-in refuses its values after " +
                                   std::to_string(snapshot_.stale_after.count()) + " s)"
                             : std::string()) +
               " (last round " + tools::LocalTime(snapshot_.last->time) + ")";
    } else {
        data = "no data yet (polling since " + tools::LocalTime(start_.wall) + ")";
    }
    const std::string since = tools::LocalTime(state_since_.wall);
    std::string line;
    switch (snapshot_.line) {
    case LineState::Silent:
        line = "not answering since " + since + " (" + snapshot_.line_detail + ")";
        break;
    case LineState::Failing:
        line = "cycles failing since " + since + " (last: " + snapshot_.line_detail + ")";
        break;
    case LineState::Lost:
        line = "link lost since " + since + " (" + snapshot_.line_detail + ")";
        break;
    case LineState::Starting:
        line = "port open since " + since + ", no cycle completed on it yet";
        break;
    case LineState::Up:
        line = "the last cycle completed; the next one is late";
        break;
    }
    status.text = data + "; " + line;
    return status;
}

std::vector<LineNotice> LineMonitor::TakeNotices()
{
    std::vector<LineNotice> taken;
    taken.swap(notices_);
    return taken;
}

void LineMonitor::Identify(const std::string& name, const std::string& description,
                           std::chrono::seconds stale_after, std::uint64_t last_sequence)
{
    snapshot_.name = name;
    snapshot_.description = description;
    snapshot_.stale_after = stale_after;
    first_sequence_ = last_sequence + 1;
}

} // namespace halxhost

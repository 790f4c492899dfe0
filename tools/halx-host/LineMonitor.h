// What the host knows of one UPS line and decides about it, without any I/O:
// the reply window of the query in flight (for the fault diagnosis), the
// line's state (up, failing, silent, lost) and its counters, the last
// completed round and how old it is, and the messages a person is told.
// Time is passed in.  One object per line: a site of many lines holds one
// for each, and the single --port of the command line is a site of one.
//
// Messages: a state change is told at once, at most two in a summary
// interval (which begins with the first notice); further changes
// within it are folded into a summary at its end (or at the end of the
// session).  The port going and coming back is always told.  While the line is not up a summary
// follows every interval: how many cycles completed and were abandoned, by fault.  A line that
// alternates between failing and answering is thus told once, not once a cycle.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "FaultDiagnosis.h"
#include "site/UpsSnapshot.h"

namespace halxhost
{

// A moment on both clocks: the monotonic one for ages and periods, the wall
// clock for what people read.
struct Moment {
    std::chrono::steady_clock::time_point steady{};
    std::chrono::system_clock::time_point wall{};
    static Moment Now();
    Moment After(double seconds) const;
};

double SecondsBetween(const Moment& from, const Moment& to);

struct LineSettings {
    std::string port;       // as named on the command line (or the simulator's terminal)
    bool simulated = false; // the built-in simulated UPS, not a real one
    std::uint32_t data_id = 0;
    double interval_s = 5.0;
    double reply_timeout_s = 2.0;
    double reopen_interval_s = 1.0;
    double summary_interval_s = 60.0;
};

struct LineNotice {
    enum class Kind {
        Silent,    // the UPS does not answer at all
        Failing,   // cycles are abandoned: a fault on the line or in the replies
        Answering, // a cycle completed again after Silent or Failing
        Waiting,   // the port is not there (at start-up); tried again every so often
        Lost,      // the port failed
        Reopened,  // the port is open again
        Summary,   // how the line fared over the last interval
    };
    Kind kind = Kind::Summary;
    site::LineState state = site::LineState::Starting; // the line's state now
    std::string text;                                  // one line for people, without "halx-host: "
    std::string reason; // the fault's name (Silent, Failing) or the port's error
    // Summary: the period it covers and what happened in it.
    double period_s = 0.0;
    std::chrono::system_clock::time_point since{}; // when the state began
    std::uint64_t completed = 0;
    std::uint64_t abandoned = 0;
    std::vector<std::pair<std::string, std::uint64_t>> faults; // label, count
};

// "silent", "failing", "answering", "waiting", "lost", "reopened", "summary".
const char* NoticeName(LineNotice::Kind kind);

// How old the data is while no new round comes.
struct LineStatus {
    double age_s = -1.0; // since the last completed round; negative: none yet
    bool stale = false;  // older than the plug-in serves its values (60 s)
    site::LineState state = site::LineState::Starting;
    std::chrono::system_clock::time_point since{}; // when the line's state began
    std::optional<std::chrono::system_clock::time_point> last_round;
    std::string text; // one line for people
};

class LineMonitor
{
public:
    LineMonitor(LineSettings settings, Moment start);

    // --- The poll cycle, as the device's calls show it.
    void CycleStarted(Moment now);
    // A frame went out ("~00P003STB"): the reply window starts anew.
    void QuerySent(const std::string& frame, Moment now);
    void Received(const std::string& chunk, Moment now);
    const ReplyWindow& Window() const { return window_; }
    void RoundCompleted(const unsigned char* record, std::size_t length, Moment now);
    void CycleAbandoned(const Verdict& verdict, Moment now);

    // --- The port.
    void PortWaiting(const std::string& error, Moment now); // missing at start-up
    void PortLost(const std::string& message, Moment now);
    void PortReopened(Moment now);

    // --- Time passes: a summary may be due.
    void Tick(Moment now);
    // The session ends: changes not told yet are summed up now.
    void Finish(Moment now);
    // The status to show at a poll tick: due once no round has completed for
    // an interval and a reply timeout.
    std::optional<LineStatus> Status(Moment now) const;

    // The messages decided since the last call, in order.
    std::vector<LineNotice> TakeNotices();

    const site::UpsSnapshot& Snapshot() const { return snapshot_; }
    // A UPS of a site: its name and description for the snapshot, its
    // staleness limit, and the sequence of its last round stored before
    // (the next round is one more).
    void Identify(const std::string& name, const std::string& description,
                  std::chrono::seconds stale_after, std::uint64_t last_sequence);
    site::LineCounters& Counters() { return snapshot_.counters; }
    const site::LineCounters& Counters() const { return snapshot_.counters; }
    const LineSettings& Settings() const { return settings_; }
    // The verdict of the last abandoned cycle, if any.
    const std::optional<Verdict>& LastFault() const { return last_fault_; }

private:
    // Moves the line to `state` and tells it (notice of `kind`, `text`).
    void Enter(site::LineState state, LineNotice::Kind kind, const std::string& text,
               const std::string& reason, Moment now);
    void Announce(LineNotice notice, Moment now);
    void Summarise(Moment now);
    // "the UPS on /dev/ttyUSB0", "the simulated UPS on /dev/pts/3".
    std::string Ups() const;

    LineSettings settings_;
    Moment start_;
    site::UpsSnapshot snapshot_;
    ReplyWindow window_;
    Moment state_since_;
    std::optional<Verdict> last_fault_;
    // The last state told, and how many changes were told in the current
    // interval (it ends with the next summary).
    std::optional<LineNotice::Kind> told_;
    int told_in_interval_ = 0;
    bool folded_ = false; // changes not told at once, for the next summary
    std::optional<Moment> next_summary_;
    // Since the last notice: cycles completed and abandoned, by fault label.
    Moment window_start_;
    std::uint64_t completed_ = 0;
    std::uint64_t abandoned_ = 0;
    std::map<std::string, std::uint64_t> faults_;
    std::vector<LineNotice> notices_;
    std::uint64_t first_sequence_ = 1;
};

} // namespace halxhost

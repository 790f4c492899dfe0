// The simulated UPS's behaviour at the protocol level: takes the bytes the
// host sends, finds its queries, and decides what goes back and when: the
// model's reply or a recorded one, with the faults in force, and the
// scripted changes along the way.  Time is passed in, never read, so every
// decision can be tested without a line or a clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "upssim/Frames.h"
#include "upssim/Options.h"
#include "upssim/Script.h"
#include "upssim/UpsModel.h"

namespace upssim
{

// How the line writes the bytes of one output.
struct LineShape {
    std::size_t chunk = 0; // piece size (0: one write)
    std::chrono::milliseconds gap{0};
    bool pace = false;
    unsigned baud = 2400;
};

// One thing for the line to do, in order.
struct Output {
    enum class Kind {
        Send,  // after `pause`, write `bytes`
        Close, // close the line, reopen it after `pause`
        Exit,  // stop serving once the outputs before it are done
    };
    Kind kind = Kind::Send;
    std::chrono::microseconds pause{0};
    std::string bytes;
    LineShape shape;
};

struct Counters : Tally {
    std::uint64_t cycles = 0; // poll cycles ended (see Responder::Receive)
};

class Responder
{
public:
    // Throws std::invalid_argument for bad options (unknown field names, ...).
    explicit Responder(const Options& options);

    // Bytes received from the host.  Appends what to do to `out`.
    //
    // A poll cycle ends with the VER query, or when an MNU query arrives
    // while a cycle is still open (the host abandoned it).  Scripted commands
    // that wait for cycles run right after the query that ended the cycle
    // has been answered, or before the MNU that abandoned it: either way
    // before the next cycle's first reply.
    void Receive(const char* data, std::size_t length, Clock::time_point now,
                 std::vector<Output>& out);
    // Time passes: scripted waits may end.  Appends what to do to `out`.
    void Tick(Clock::time_point now, std::vector<Output>& out);
    // When Tick must run next; Clock::time_point::max() when nothing waits.
    Clock::time_point NextTick() const { return scenario_.WakeAt(); }

    const Counters& Stats() const { return counters_; }
    UpsModel& Model() { return model_; }
    const UpsModel& Model() const { return model_; }
    LineShape Shape() const { return shape_; }

private:
    // The faults and line settings that scripts change; Options give their
    // values at start and after "reset".
    struct Faults {
        bool drop_all = false;
        unsigned drop_every = 0;
        std::vector<std::string> drop_codes;
        std::uint64_t drop_next = 0;
        std::size_t noise_every_reply = 0;
        std::size_t noise_before_next = 0;
        unsigned truncate_every = 0;
        std::uint64_t truncate_next = 0;
        std::string address;
        std::chrono::milliseconds delay{0};
        Clock::time_point silent_until;
    };

    void ApplyOptions();
    void RunScript(Clock::time_point now, std::vector<Output>& out);
    void Apply(const ScriptCommand& command, Clock::time_point now, std::vector<Output>& out);
    void Answer(const Query& query, Clock::time_point now, std::vector<Output>& out);
    // Why a query goes unanswered, or nullptr.
    const char* DropReason(const Query& query, Clock::time_point now);
    void AnswerFromModel(const Query& query, CommandIndex command, std::vector<Output>& out);
    void AnswerFromReplay(const Query& query, std::vector<Output>& out);
    void EndCycle(Clock::time_point now, std::vector<Output>& out);
    std::string Noise(std::size_t length);
    // Hands an event to Options::on_event; traffic only with log_traffic.
    void Emit(const Event& event) const;
    void Traffic(Event& event) const;
    void Dropped(const Query& query, const char* reason, bool traffic) const;

    Options options_;
    UpsModel model_;
    Scenario scenario_;
    QueryScanner scanner_;
    Faults faults_;
    LineShape shape_;
    Counters counters_;
    Tally cycle_start_; // counters_ when the current cycle began
    bool cycle_open_ = false;
    std::mt19937 noise_random_;
    std::map<std::string, std::size_t> replay_next_; // next recorded answer per query
};

} // namespace upssim

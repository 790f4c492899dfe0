// What the simulator reports while it serves: the traffic (queries, replies,
// drops, cycles) and everything else (script lines, the line going down and
// coming back).  ups-sim writes each as a log line or, with --json, as one
// JSON object per line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

namespace upssim
{

// Queries and what came of them, over a poll cycle or the whole run.
struct Tally {
    std::uint64_t queries = 0; // query frames received (any address)
    std::uint64_t replies = 0; // queries answered
    std::uint64_t dropped = 0; // queries left unanswered on purpose
};

struct Event {
    enum class Kind {
        Serving, // the line is open: text = the path the host opens
        Query,   // a query frame received: text = the frame, query = its code
        Skipped, // count = bytes received outside query frames
        Reply,   // a reply written: text = its bytes, query, count = noise bytes
                 // before it, truncated, recorded (replayed from a trace)
        Drop,    // a query left unanswered: query, text = the reason
        Noise,   // count = random bytes written between replies
        Silence, // count = milliseconds without an answer, from now
        Script,  // a script command run: line, text = its source
        Echo,    // a script's echo: line, text
        Cycle,   // a poll cycle ended: count = cycles ended so far, tally = its
                 // queries
        Close,   // the line hung up: count = milliseconds until it reopens
        Reopen,  // the line open again after a close: text = the path
        Ignored, // count = bytes received while hanging up, lost with the line
        Line,    // the line's state changed otherwise: text = what happened
        Exit,    // serving ends: text = why ("script", "signal"), count =
                 // cycles, tally = every query
    };

    explicit Event(Kind what, std::string words = "", std::string code = "")
        : kind(what), text(std::move(words)), query(std::move(code))
    {
    }

    Kind kind;
    std::string text;
    std::string query;
    std::uint64_t count = 0;
    int line = 0;
    bool truncated = false;
    bool recorded = false;
    Tally tally;
    // Part of the traffic, shown only when the traffic is logged.
    bool traffic = false;
};

// The event as a log line, without a time stamp: "<- ~00P003MNU",
// "script line 3: flag InptFail 1", "cycle 3 ended: 9 queries, 9 replies,
// 0 dropped", ...
std::string EventText(const Event& event);
// The event as one JSON object (no line end), stamped with `time`:
// {"event":"reply","time":"2026-12-08T18:39:02.123456+01:00","query":"MNU",...}.
std::string EventJson(const Event& event, std::chrono::system_clock::time_point time);

} // namespace upssim

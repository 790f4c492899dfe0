// Everything the simulated UPS can be told: what it answers, the faults it
// shows and how its replies go onto the line.  The defaults are a healthy
// UPS that answers every query at once, in one write per reply.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "upssim/Events.h"
#include "upssim/Script.h"
#include "upssim/Trace.h"
#include "upssim/UpsModel.h"

namespace upssim
{

struct Options {
    // --- What the UPS answers ---
    std::string manufacturer = kDefaultManufacturer; // MNU payload
    std::string model = kDefaultModel;               // MOD payload
    std::string version = kDefaultVersion;           // VER payload
    // Wire values by field name, status flags included ("BattryVlt" -> 2650,
    // "InptFail" -> 1).  Names as in ReplyFields(), any case.  A value given
    // here does not drift.
    std::map<std::string, std::int32_t> values;
    bool drift = true;      // measurements wander around their nominal values
    std::uint32_t seed = 1; // drift and noise are repeatable for one seed

    // --- Faults ---
    bool drop_all = false;               // answer nothing
    unsigned drop_every = 0;             // leave every Nth query unanswered (0: none)
    std::vector<std::string> drop_codes; // never answer these queries ("STA")
    std::size_t noise = 0;               // random bytes before every reply (0..8192)
    // Noise, wherever it comes from, never holds the frame start "~": a host
    // that skips to the next "~" always gets past it.
    bool noise_without_start = false;
    unsigned truncate_every = 0;        // cut every Nth reply short (0: none)
    std::string address = "00";         // address in reply headers
    std::chrono::milliseconds delay{0}; // time between a query and its reply

    // --- The line ---
    std::size_t chunk = 0; // write replies in pieces of at most this many bytes (0: whole)
    std::chrono::milliseconds chunk_gap{2}; // idle time between pieces
    bool pace = false;                      // send at the baud rate, 8N1 (10 bits per byte)
    unsigned baud = 2400;                   // pacing rate; also the speed of a tty port

    // --- Scenario and replay ---
    Script script; // run while serving (LoadScript)
    // Replay a recorded session instead of the model (LoadReplay); faults
    // that rewrite replies (truncate, address) do not apply to it.
    std::shared_ptr<const ReplayBook> replay;

    // --- Reporting ---
    // Receives every event (script lines, the line closed and reopened, ...)
    // and, with log_traffic, the traffic (queries, replies, drops, cycles).
    // Called on the serving thread.
    std::function<void(const Event&)> on_event;
    bool log_traffic = false;
};

// Checks the options; throws std::invalid_argument with one line naming
// the bad one.
void ValidateOptions(const Options& options);

} // namespace upssim

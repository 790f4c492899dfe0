// Scenario scripts for the UPS simulator: one command per line, run in order
// while the simulator serves, with waits measured in time or in poll cycles.
// The grammar is in tools/sim/README.md.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/FrameLayout.h"

namespace upssim
{

using Clock = std::chrono::steady_clock;

struct ScriptCommand {
    enum class Op {
        Set,           // set NAME VALUE: name, number
        Flag,          // flag NAME|INDEX [VALUE]: name, number
        FlagAll,       // flag all VALUE: number
        Drift,         // drift on|off: on
        Text,          // manufacturer|model|version TEXT: name ("MNU", "MOD", "VER"), text
        DropNext,      // drop N: number
        DropEvery,     // drop every N: number (0: off)
        DropAll,       // drop all
        DropNone,      // drop none
        DropCodes,     // drop CODE...: codes
        TruncateNext,  // truncate N: number
        TruncateEvery, // truncate every N: number (0: off)
        Noise,         // noise N [before]: number, on (true: before the next reply)
        Address,       // address AA: text
        Delay,         // delay DURATION: duration
        Silence,       // silence DURATION: duration
        Chunk,         // chunk N [GAP]: number, duration
        Pace,          // pace on|off: on
        Close,         // close [DURATION]: duration
        WaitTime,      // wait DURATION: duration
        WaitCycles,    // wait N cycles: number
        Echo,          // echo TEXT: text
        Reset,         // reset
        Repeat,        // repeat
        Exit,          // exit
    };

    Op op = Op::Reset;
    std::string name;
    std::string text;
    std::vector<std::string> codes;
    std::int64_t number = 0;
    std::chrono::milliseconds duration{0};
    bool on = false;
    int line = 0;       // 1-based line in the script file
    std::string source; // the line as written, without its comment
};

using Script = std::vector<ScriptCommand>;

// A script that cannot be read; what() is one line, "SOURCE:LINE: message"
// when it comes from a file.
class ScriptError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Limits of the commands; texts are at most kMaxFramePayload bytes.
inline constexpr std::int64_t kMaxNoiseBytes = 8192;
inline constexpr std::size_t kMaxChunk = 4096;

// One line of a script.  Returns false for a blank or comment-only line;
// throws ScriptError (message without a line number) when it does not parse.
bool ParseScriptLine(const std::string& line, ScriptCommand& command);

// A value given on a command line, "NAME=VALUE" (ups-sim --set and --flag,
// halx-host --sim-value), as the script command it stands for: "set NAME
// VALUE" (an integer wire value, or one decimal for a tenths field:
// BattryVlt=265.0 sends 2650) or "flag NAME VALUE".  Without "=", VALUE is
// `fallback`, or the text is refused when there is none.  Throws ScriptError
// with the reason alone ("unknown field \"Battery\"").
ScriptCommand ParseAssignment(const std::string& verb, const std::string& text,
                              const std::string& fallback = "");

// A whole script; errors carry "source:line: ".  Also rejects a "repeat"
// that no wait precedes (the script would spin).
Script ParseScript(std::istream& in, const std::string& source);
// Throws ScriptError "PATH: cannot open the script: REASON" or a parse error.
Script LoadScript(const std::string& path);

// "250ms", "10s", "1.5s", "2m", "1h"; the unit is required.  Throws
// ScriptError.
std::chrono::milliseconds ParseDuration(const std::string& text);

// Runs a script's control flow: executes commands in order until a wait
// holds, hands every other command to the caller.
class Scenario
{
public:
    explicit Scenario(Script script = Script());

    // Runs commands until a wait holds or the script ends.  `cycles` is the
    // number of poll cycles that have ended so far.
    void Run(Clock::time_point now, std::uint64_t cycles,
             const std::function<void(const ScriptCommand&)>& apply);
    // When a timed wait ends (Clock::time_point::max() when none holds).
    Clock::time_point WakeAt() const { return wait_until_; }
    bool Done() const { return next_ >= script_.size() && !waiting_; }
    bool Empty() const { return script_.empty(); }

private:
    Script script_;
    std::size_t next_ = 0;
    bool waiting_ = false;
    Clock::time_point wait_until_ = Clock::time_point::max();
    std::uint64_t wait_cycles_ = 0;
};

} // namespace upssim

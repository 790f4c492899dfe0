// Failures that end a tool (halx-host, ups-sim) with one line on standard
// error, and the exit statuses they give.
#pragma once

#include <stdexcept>
#include <string>

namespace tools
{

// The command line is wrong: an unknown option, a bad or out-of-range value,
// options that exclude each other.
class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// An input named on the command line is unusable: a file that cannot be read
// or does not parse, a plug-in that does not load, a line that does not open.
class BadInput : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Exit statuses, the same for halx-host and ups-sim.
inline constexpr int kExitOk = 0; // done: the requested cycles completed, or stopped after some
inline constexpr int kExitBadInput = 1; // an input named on the command line is unusable
inline constexpr int kExitUsage = 2;    // the command line is wrong
// Stopped (a signal, --timeout) before any poll cycle completed.
inline constexpr int kExitNoCycle = 3;
// Stopped after some cycles completed but before the number requested.
inline constexpr int kExitIncomplete = 4;

// Writes "TOOL: what" on standard error (after what standard output holds),
// pointing to TOOL --help for a UsageError, and returns the exit status:
// kExitUsage for a UsageError, kExitBadInput for any other failure.
int Failed(const std::string& tool, const std::exception& error);

} // namespace tools

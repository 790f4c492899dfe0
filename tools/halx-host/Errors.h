// Failures that end halx-host with one line on standard error.
#pragma once

#include <stdexcept>
#include <string>

namespace halxhost
{

// The command line is wrong (unknown option, bad number, conflicting modes).
class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// An input named on the command line is unusable: a plug-in that does not
// load, a port that does not open, a settings or record file that is wrong.
class BadInput : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitBadInput = 1;
inline constexpr int kExitUsage = 2;

} // namespace halxhost

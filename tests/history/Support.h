// What the history tests share: a scratch directory, history-tool as a
// child process, a scenario run in a child process with a file system of
// its own, and rounds made up for a UPS.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "site/UpsSnapshot.h"

// A directory of its own under $TMPDIR (or /tmp), removed with everything in
// it at the end.
class ScratchDir
{
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// history-tool run as a child process (under the test's emulator in the
// cross build), its standard output and error read through pipes.
class ToolProcess
{
public:
    explicit ToolProcess(const std::vector<std::string>& args);
    ~ToolProcess(); // kills the child if it still runs
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The next whole line of standard output; nullopt at its end or when
    // none comes before the deadline.
    std::optional<std::string> ReadLine(std::chrono::steady_clock::time_point deadline);
    // Every whole line still in the pipe (after the child is gone: all).
    std::vector<std::string> DrainLines();
    void Kill(int signal);
    // The exit status; 128 + signal if it was killed; -1 (after killing it)
    // when it did not end before the timeout.
    int Wait(std::chrono::milliseconds timeout);
    const std::string& Stderr() const { return err_; }

private:
    bool Pump(int timeout_ms);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
    int status_ = -1;
};

struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};
// Runs history-tool to its end.
ToolResult RunTool(const std::vector<std::string>& args);

// Runs `scenario` in a forked child process, in a mount namespace of its
// own with a tmpfs of `tmpfs_bytes` mounted at `mount_point` (0: no mount),
// or (drop_root) as an unprivileged user when the tests run as root, so
// that file permissions apply.  The scenario returns its failures, one per
// line; empty when it passed.  Returns nullopt with the reason in `skipped`
// when the system does not allow the isolation.
struct Isolation {
    std::uint64_t tmpfs_bytes = 0;
    std::string mount_point;
    bool drop_root = false;
};
std::optional<std::string> RunIsolated(const Isolation& isolation,
                                       const std::function<std::string()>& scenario,
                                       std::string& skipped);

// A made-up round of a UPS: its synthetic record, the given host time and a
// steady time `offset` after the base.
site::Round MakeRound(const std::string& ups, std::uint64_t sequence,
                      std::chrono::system_clock::time_point time,
                      std::chrono::steady_clock::time_point steady, std::uint32_t data_id = 5035);

// Runs a shell command (the system's own programs: sqlite3, python3, mount).
int Shell(const std::string& command);
std::string ShellOutput(const std::string& command);
std::string Quote(const std::string& text);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

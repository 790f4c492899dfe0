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
#include "support/ChildProcess.h"

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

// history-tool as a child process (under the test's emulator in the cross
// build).
class ToolProcess : public ChildProcess
{
public:
    explicit ToolProcess(const std::vector<std::string>& args);
};

// Runs history-tool to its end.
RunResult RunTool(const std::vector<std::string>& args);

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

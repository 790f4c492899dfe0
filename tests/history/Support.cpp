#include "Support.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "SyntheticRounds.h"

namespace
{

bool WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string ReadAllFd(int fd)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace

ScratchDir::ScratchDir()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/deltanhnt-history-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir()
{
    // Directories a test made read-only are opened up again first, or
    // their files could not be removed.
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
    }
    std::filesystem::remove_all(path_, ignored);
}

ToolProcess::ToolProcess(const std::vector<std::string>& args)
    : ChildProcess(HISTORY_TOOL_EXE, args)
{
}

RunResult RunTool(const std::vector<std::string>& args)
{
    return RunProgram(HISTORY_TOOL_EXE, args);
}

std::optional<std::string> RunIsolated(const Isolation& isolation,
                                       const std::function<std::string()>& scenario,
                                       std::string& skipped)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    std::fflush(nullptr);
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        close(report[0]);
        // The first line says whether the isolation could be set up:
        // "run" or "skip <reason>"; the scenario's failures follow.
        auto skip = [&](const std::string& why) {
            WriteAll(report[1], "skip " + why + ": " + std::strerror(errno) + "\n");
            _exit(0);
        };
        if (isolation.tmpfs_bytes > 0) {
            if (uid == 0) {
                if (unshare(CLONE_NEWNS) != 0) {
                    skip("unshare(CLONE_NEWNS)");
                }
            } else {
                // Root of a user namespace of our own: may mount there.
                if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
                    skip("unshare(CLONE_NEWUSER | CLONE_NEWNS)");
                }
                std::ofstream("/proc/self/setgroups") << "deny";
                std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
                std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
            }
            if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
                skip("making the mounts private");
            }
            const std::string options = "size=" + std::to_string(isolation.tmpfs_bytes);
            if (mount("tmpfs", isolation.mount_point.c_str(), "tmpfs", 0, options.c_str()) != 0) {
                skip("mounting a tmpfs");
            }
        }
        if (isolation.drop_root && uid == 0) {
            // nobody: file permissions bind it.
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
                skip("becoming nobody");
            }
        }
        WriteAll(report[1], "run\n");
        std::string failures;
        try {
            failures = scenario();
        } catch (const std::exception& e) {
            failures = std::string("exception: ") + e.what() + "\n";
        }
        WriteAll(report[1], failures);
        close(report[1]);
        _exit(0);
    }
    close(report[1]);
    const std::string text = ReadAllFd(report[0]);
    close(report[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (text.rfind("skip ", 0) == 0) {
        skipped = text.substr(5, text.find('\n') - 5);
        return std::nullopt;
    }
    if (text.rfind("run\n", 0) != 0) {
        return "the isolated scenario did not start (status " + std::to_string(status) + ")";
    }
    std::string failures = text.substr(4);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        failures += "the isolated scenario ended with status " + std::to_string(status) + "\n";
    }
    return failures;
}

site::Round MakeRound(const std::string& ups, std::uint64_t sequence,
                      std::chrono::system_clock::time_point time,
                      std::chrono::steady_clock::time_point steady, std::uint32_t data_id)
{
    site::Round round;
    round.record = history::SyntheticRecord(ups, sequence, data_id);
    round.sequence = sequence;
    round.time = time;
    round.steady = steady;
    return round;
}

int Shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ShellOutput(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, n);
    }
    pclose(pipe);
    return out;
}

std::string Quote(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string ReadFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    std::string bytes = ReadAllFd(fd);
    close(fd);
    return bytes;
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

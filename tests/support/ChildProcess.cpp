#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace
{

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) {
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

} // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
{
    // The cross build's emulator and its options, "|" between the words.
    std::vector<std::string> command = Split(DELTANHNT_TEST_EMULATOR, '|');
    command.push_back(program);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : command) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
}

ChildProcess::~ChildProcess()
{
    if (status_ < 0 && pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (out_fd_ >= 0) {
        close(out_fd_);
    }
    if (err_fd_ >= 0) {
        close(err_fd_);
    }
}

bool ChildProcess::Pump(std::chrono::steady_clock::time_point deadline)
{
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0) {
        return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return false;
    }
    const int n = poll(fds, 2, static_cast<int>(left.count()));
    if (n < 0 && errno != EINTR) {
        return false;
    }
    char buffer[65536];
    int* const fd_of[2] = {&out_fd_, &err_fd_};
    std::string* const into[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        if (*fd_of[i] >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t got = read(*fd_of[i], buffer, sizeof buffer);
            if (got > 0) {
                into[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(*fd_of[i]);
                *fd_of[i] = -1;
            }
        }
    }
    return true;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::size_t end = out_.find('\n', line_start_);
        if (end != std::string::npos) {
            std::string line = out_.substr(line_start_, end - line_start_);
            line_start_ = end + 1;
            return line;
        }
        if (!Pump(deadline)) {
            return std::nullopt;
        }
    }
}

int ChildProcess::Wait(std::chrono::milliseconds timeout)
{
    if (status_ >= 0) {
        return status_;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Pump(deadline)) {
    }
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            status_ = -1;
            pid_ = -1;
            return -1;
        }
        usleep(10000);
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

void ChildProcess::Signal(int signal)
{
    if (status_ < 0 && pid_ > 0) {
        kill(pid_, signal);
    }
}

std::vector<std::string> RunResult::ErrLines() const
{
    return Split(err, '\n');
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     std::chrono::milliseconds timeout)
{
    ChildProcess child(program, args);
    RunResult result;
    result.status = child.Wait(timeout);
    result.out = child.Stdout();
    result.err = child.Stderr();
    return result;
}

double CpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    // Fields after the command name, which is in parentheses and may hold
    // spaces: state is field 3, utime 14, stime 15.
    const std::size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) {
        return 0.0;
    }
    std::istringstream fields(stat.substr(close_paren + 2));
    std::vector<std::string> f;
    std::string item;
    while (fields >> item) {
        f.push_back(item);
    }
    if (f.size() < 13) {
        return 0.0;
    }
    const double ticks = std::stod(f[11]) + std::stod(f[12]);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

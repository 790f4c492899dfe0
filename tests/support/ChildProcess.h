// A program the tests run as a child process (halx-host, ups-sim), its
// standard output and error captured through pipes.  In the cross build the
// child runs under the same emulator as the tests (qemu-mipsel).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

class ChildProcess
{
public:
    // Starts `program` with these arguments; its standard input is
    // /dev/null.
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    // Kills the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The next line of standard output, without its line end; nullopt at
    // end of output or when none arrives within timeout.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
    // Waits for the child to exit, collecting its output; the exit status,
    // 128 + signal when it was killed, -1 when it did not exit in time (it
    // is killed then).
    int Wait(std::chrono::milliseconds timeout);
    void Signal(int signal);

    // All standard output and error collected so far.
    const std::string& Stdout() const { return out_; }
    const std::string& Stderr() const { return err_; }

private:
    // Reads what is available; false when both pipes are at end of file or
    // the deadline passed.
    bool Pump(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
    std::size_t line_start_ = 0; // first byte of out_ not yet returned by ReadLine
    int status_ = -1;
};

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
    // The non-empty lines of standard error.
    std::vector<std::string> ErrLines() const;
};

// Runs a program to the end (killing it after timeout).
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     std::chrono::milliseconds timeout = std::chrono::seconds(120));

// Seconds of CPU time (user + system) the process has used so far.
double CpuSeconds(pid_t pid);

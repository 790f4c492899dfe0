#include "ScriptedUps.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/Replies.h"

namespace
{

const char* const kCodes[] = {"MNU", "MOD", "RAT", "STB", "STI", "STO", "STP", "STA", "VER"};

std::string HealthyPayload(const std::string& code)
{
    for (std::size_t i = 0; i < 9; ++i) {
        if (code == kCodes[i]) {
            return HealthyPayloads().at(i);
        }
    }
    return "";
}

} // namespace

ScriptedUps::ScriptedUps(UpsScript script) : script_(std::move(script))
{
    char dir[] = "/tmp/halx-host-test-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    }
    dir_ = dir;
    link_ = dir_ + "/ttyUPS";
    OpenTerminal();
    thread_ = std::thread([this] { Serve(); });
}

ScriptedUps::~ScriptedUps()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
    CloseTerminal();
    std::string command = "rm -rf '" + dir_ + "'";
    if (std::system(command.c_str()) != 0) {
        // Leftovers in /tmp do no harm.
    }
}

void ScriptedUps::OpenTerminal()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        throw std::runtime_error(std::string("pseudo-terminal: ") + std::strerror(errno));
    }
    // Not inherited by halx-host: a child holding the master open would
    // never see the terminal hang up.
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    const std::string slave_path = ptsname(master_);
    slave_ = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        throw std::runtime_error("open " + slave_path + ": " + std::strerror(errno));
    }
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
    unlink(link_.c_str());
    if (symlink(slave_path.c_str(), link_.c_str()) != 0) {
        throw std::runtime_error("symlink " + link_ + ": " + std::strerror(errno));
    }
}

void ScriptedUps::CloseTerminal()
{
    unlink(link_.c_str());
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

std::vector<std::string> ScriptedUps::Queries() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return queries_;
}

bool ScriptedUps::WaitOutageStarted(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return outage_ >= 1; });
}

bool ScriptedUps::WaitOutageEnded(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return outage_ >= 2; });
}

bool ScriptedUps::SleepUnlessStopped(std::chrono::milliseconds d)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_for(lock, d, [this] { return stop_; });
}

void ScriptedUps::WriteAll(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void ScriptedUps::Answer(const std::string& code)
{
    if (code == "MNU") {
        ++cycles_started_;
    }
    const int cycle = cycles_started_ - 1;
    const std::string payload =
        script_.payload ? script_.payload(code, cycle) : HealthyPayload(code);
    const std::string reply = Reply(payload);
    if (!script_.noise.empty()) {
        WriteAll(script_.noise);
        SleepUnlessStopped(std::chrono::milliseconds(2));
    }
    if (script_.chunk == 0) {
        WriteAll(reply);
    } else {
        for (std::size_t at = 0; at < reply.size(); at += script_.chunk) {
            WriteAll(reply.substr(at, script_.chunk));
            SleepUnlessStopped(std::chrono::milliseconds(2));
        }
    }
    if (code == "VER") {
        ++cycles_answered_;
    }
}

void ScriptedUps::Serve()
{
    std::string pending;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) {
                return;
            }
        }
        pollfd fd = {master_, POLLIN, 0};
        const int ready = poll(&fd, 1, 20);
        if (ready <= 0) {
            continue;
        }
        char buffer[256];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            continue;
        }
        pending.append(buffer, static_cast<std::size_t>(n));

        // Queries are 10 bytes: "~00P003" and a three-letter code.
        for (std::size_t start = pending.find('~');
             start != std::string::npos && pending.size() - start >= 10;
             start = pending.find('~')) {
            const std::string frame = pending.substr(start, 10);
            pending.erase(0, start + 10);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                queries_.push_back(frame);
            }
            Answer(frame.substr(7));

            if (cycles_answered_ == script_.silent_after && outage_ == 0) {
                // Silent: swallow every query until the time is up.
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    outage_ = 1;
                }
                changed_.notify_all();
                const auto until = std::chrono::steady_clock::now() + script_.silent_for;
                while (std::chrono::steady_clock::now() < until) {
                    if (!SleepUnlessStopped(std::chrono::milliseconds(10))) {
                        return;
                    }
                    pollfd quiet = {master_, POLLIN, 0};
                    if (poll(&quiet, 1, 0) > 0 && read(master_, buffer, sizeof buffer) > 0) {
                        // Not answered.
                    }
                }
                pending.clear();
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    outage_ = 2;
                }
                changed_.notify_all();
            } else if (cycles_answered_ == script_.hangup_after && outage_ == 0) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    outage_ = 1;
                }
                changed_.notify_all();
                CloseTerminal();
                if (!SleepUnlessStopped(script_.gone_for)) {
                    return;
                }
                OpenTerminal();
                pending.clear();
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    outage_ = 2;
                }
                changed_.notify_all();
            }
        }
    }
}

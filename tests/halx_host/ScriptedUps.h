// A scripted UPS on a pseudo-terminal, for driving halx-host end to end
// through a real tty: it reads the host's query frames and answers each with
// the reply of a healthy UPS, optionally changed per cycle, preceded by
// noise, split into pieces, or not at all for a while; it can also hang up
// its terminal and come back on a new one.
//
// The host opens Path(), a symbolic link that always points at the current
// terminal (and is missing while the UPS is gone).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct UpsScript {
    // The payload of the reply to `code` ("MNU" ... "VER") in cycle `cycle`
    // (0 for the first "MNU" query, 1 for the next ...).  Unset: the healthy
    // payloads of the test support.
    std::function<std::string(const std::string& code, int cycle)> payload;
    // Written (as its own write) before every reply; must not contain '~'.
    std::string noise;
    // Replies written in pieces of this many bytes, 2 ms apart (0: whole).
    std::size_t chunk = 0;

    // After answering this many complete cycles, answer nothing for
    // silent_for (then answer again).
    int silent_after = -1;
    std::chrono::milliseconds silent_for{0};
    // After answering this many complete cycles, hang up the terminal,
    // remove the link, and after gone_for open a new terminal and link.
    int hangup_after = -1;
    std::chrono::milliseconds gone_for{0};
};

class ScriptedUps
{
public:
    explicit ScriptedUps(UpsScript script);
    ~ScriptedUps();
    ScriptedUps(const ScriptedUps&) = delete;
    ScriptedUps& operator=(const ScriptedUps&) = delete;

    const std::string& Path() const { return link_; }
    // A directory for the test's own files, removed with the UPS.
    const std::string& Dir() const { return dir_; }
    // The query frames received so far, in order.
    std::vector<std::string> Queries() const;
    // Waits until the silent or gone period has begun / ended.
    bool WaitOutageStarted(std::chrono::milliseconds timeout);
    bool WaitOutageEnded(std::chrono::milliseconds timeout);

private:
    void OpenTerminal();
    void CloseTerminal();
    void Serve();
    void Answer(const std::string& code);
    void WriteAll(const std::string& bytes);
    bool SleepUnlessStopped(std::chrono::milliseconds d);

    UpsScript script_;
    std::string dir_;
    std::string link_;
    int master_ = -1;
    int slave_ = -1; // kept open so the master never sees a hang-up of ours
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> queries_;
    bool stop_ = false;
    int outage_ = 0; // 0 before, 1 during, 2 after
    int cycles_started_ = 0;
    int cycles_answered_ = 0;
};

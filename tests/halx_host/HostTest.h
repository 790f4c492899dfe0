// What the halx-host tests share: the simulated UPS they poll, halx-host run
// as a child process, and reading its --json output (one JSON object per
// line; other lines, the plug-in's own diagnostics, are skipped).
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/value.h>
#include <json/writer.h> // operator<< for the messages of failed checks

#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "upssim/PtySimulator.h"

// The simulator (upssim) on a pseudo-terminal, reached through a symbolic
// link in a scratch folder that follows it across scripted cable pulls; its
// measurements hold still (no drift) unless the options say otherwise.
class SimulatedLine
{
public:
    SimulatedLine() : SimulatedLine(Healthy()) {}
    explicit SimulatedLine(upssim::Options options);
    ~SimulatedLine();

    // A healthy UPS without drift, answering `script`.
    static upssim::Options Healthy(const std::string& script = "");

    // The link the host opens.
    const std::string& Path() const { return link_; }
    // A folder for the test's own files.
    const TempDir& Dir() const { return dir_; }
    // The query frames received so far, in order.
    std::vector<std::string> Queries() const;
    // Waits until an event of this kind has happened; false on timeout.
    bool WaitFor(upssim::Event::Kind kind, std::chrono::milliseconds timeout) const;

private:
    void Heard(const upssim::Event& event);

    TempDir dir_;
    std::string link_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<upssim::Event> events_;
    std::unique_ptr<upssim::PtySimulator> sim_;
};

// The frames the simulator answers one poll cycle with under these options
// (their script and noise left out), in poll order.
std::vector<std::string> RepliesOf(upssim::Options options);

// halx-host run to the end, or started.
RunResult RunHost(const std::vector<std::string>& args,
                  std::chrono::milliseconds timeout = std::chrono::seconds(120));
std::unique_ptr<ChildProcess> StartHost(const std::vector<std::string>& args);

// The JSON objects among the lines of text, in order.
std::vector<Json::Value> JsonEvents(const std::string& text);
// The "event" member of each.
std::vector<std::string> Kinds(const std::vector<Json::Value>& events);
// The events of one kind.
std::vector<Json::Value> OfKind(const std::vector<Json::Value>& events, const std::string& kind);
// The lines of text containing needle.
std::vector<std::string> LinesWith(const std::string& text, const std::string& needle);
// Bytes from hex ("" when it is not hex).
std::string FromHex(const std::string& hex);

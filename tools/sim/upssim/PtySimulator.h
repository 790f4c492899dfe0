// The UPS simulator in-process: a pseudo-terminal served by a background
// thread, for host tools and tests that poll a simulated UPS through a real
// serial-line path (open the slave, write queries, read replies).
//
//     upssim::Options options;                 // a healthy UPS
//     options.values["BattryVlt"] = 2650;      // 265.0 V
//     options.values["InptFail"] = 1;          // input power interrupted
//     upssim::PtySimulator sim(options);
//     int fd = open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY);
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "upssim/Options.h"
#include "upssim/Responder.h"

namespace upssim
{

class LineServer;

class PtySimulator
{
public:
    // Opens a pseudo-terminal and starts serving it on a background thread;
    // with a link, keeps a symbolic link there pointing at the current
    // slave (none while a scripted "close" has the line down).  Throws
    // std::runtime_error when the options are bad or no pseudo-terminal can
    // be opened.
    explicit PtySimulator(const Options& options = Options(), const std::string& link = "");
    // Stops the thread and closes the pseudo-terminal.
    ~PtySimulator();
    PtySimulator(const PtySimulator&) = delete;
    PtySimulator& operator=(const PtySimulator&) = delete;

    // The tty path to open.  A scripted "close" replaces the
    // pseudo-terminal: then this is the new one's path (a reference returned
    // earlier keeps the old path).
    const std::string& SlavePath() const;
    // Stops serving; the pseudo-terminal stays open until destruction.
    // Idempotent.
    void Stop();

    // What the simulator has seen and done so far; any thread.
    Counters Stats() const;

private:
    std::unique_ptr<LineServer> server_;
    std::thread thread_;
};

} // namespace upssim

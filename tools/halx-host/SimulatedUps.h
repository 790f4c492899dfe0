// --sim: the simulated UPS (tools/sim) served on a pseudo-terminal inside this
// process, polled through that terminal so that the real serial path runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace halxhost
{

// What the simulated UPS is told; the defaults are a healthy UPS.
struct SimSettings {
    std::map<std::string, std::int32_t> values; // wire values by field name
    std::size_t noise = 0;                      // random bytes before every reply
    bool noise_sync = false;                    // the noise may hold the frame start "~"
    std::size_t chunk = 0;                      // replies in pieces of this size
    bool pace = false;                          // bytes at the line's real rate
    bool drift = true;                          // measurements wander around their nominal values
    std::uint32_t seed = 1;                     // drift and noise repeatable
    std::string script;                         // a scenario script file; empty: none
};

// Whether this build has the simulator.
bool SimulatorAvailable();

class SimulatedUps
{
public:
    // Throws BadInput when the simulator is missing from this build or
    // cannot start.
    explicit SimulatedUps(const SimSettings& settings);
    ~SimulatedUps();
    SimulatedUps(const SimulatedUps&) = delete;
    SimulatedUps& operator=(const SimulatedUps&) = delete;

    // The terminal to open; it may change when the simulator replaces its
    // pseudo-terminal.
    std::string SlavePath() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace halxhost

// Helpers shared by the simulator's tests: splitting replies, collecting
// what the simulator sends, and running the plug-in against it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "halx/HalxSPDevice.h"
#include "support/CallLog.h"
#include "support/TestDevice.h"
#include "upssim/Responder.h"

namespace simtest
{

using upssim::Clock;

// A reply's payload split at ";" (empty fields kept).
std::vector<std::string> Fields(const std::string& payload);
// The payload of a well-formed reply frame; fails the test otherwise.
std::string PayloadOf(const std::string& reply);

// The bytes of all Send outputs, concatenated.
std::string SentBytes(const std::vector<upssim::Output>& outputs);
// The simulator's answer to one query frame ("~00P003" + code).
std::vector<upssim::Output> Ask(upssim::Responder& ups, const std::string& code,
                                Clock::time_point now = Clock::time_point());

// The loaded plug-in's device (a TestDevice, logging its host calls) and a
// simulated UPS to poll.  The simulator's bytes reach process() in the
// pieces its line would write.
class PluginHarness
{
public:
    explicit PluginHarness(const upssim::Options& options = upssim::Options());

    // RefreshStatus, then each frame the device sends goes to the simulator
    // and what comes back to process(), until the device sends no more.
    // Returns the number of records reported (SendSP) during the cycle.
    int RunCycle();

    HalxSPDevice& dev() { return device_.dev(); }
    upssim::Responder& ups() { return ups_; }
    CallLog& log() { return device_.log(); }
    // Simulated time, advanced by each query by the simulator's pause.
    Clock::time_point now{};

private:
    TestDevice device_;
    upssim::Responder ups_;
};

} // namespace simtest

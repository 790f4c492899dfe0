// The device as the benchmarks drive it: the plug-in's DeltaNHNT linked into
// the program, configured as the host configures it (the tests' TestDevice),
// attached to a host observer that does nothing but count completed rounds.
#pragma once

#include <cstddef>

#include "halx/HostObserver.h"
#include "support/LinkedDevice.h"
#include "support/TestDevice.h"

// The host side of the benchmarks: every host operation is the stand-in
// host's own, and the observer it forwards to keeps only a round count.
class RoundCounter : public HostObserver
{
public:
    std::size_t rounds = 0;

    void OnSendSP(HalxVDevice& /*dev*/, int /*data_id*/, const unsigned char* /*data*/,
                  unsigned int /*length*/, bool /*urgent*/) override
    {
        ++rounds;
    }
};

// A linked-in device reporting to a RoundCounter.  Cycles run with
// device.RunHealthyCycle(), single replies with device.FeedHealthyReply().
struct CycleDriver {
    RoundCounter round_counter;
    TestDevice device{LinkedDevice(), &round_counter};
};

// Points standard output (file descriptor 1) at /dev/null while it lives:
// round completion writes its "rvSize is" line with a flush every cycle, and
// that write should cost what it costs, not what a terminal makes of it.
class StdoutToDevNull
{
public:
    StdoutToDevNull();
    ~StdoutToDevNull();
    StdoutToDevNull(const StdoutToDevNull&) = delete;
    StdoutToDevNull& operator=(const StdoutToDevNull&) = delete;

private:
    int saved_ = -1;
};

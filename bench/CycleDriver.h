// One UPS device as the benchmarks drive it: a DeltaNHNT configured as the
// host configures it, attached to a host observer that does nothing but
// count completed rounds, and the replies of one healthy poll cycle
// (tests/support/Replies.h).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "halx/HalxSPDevice.h"
#include "halx/HostObserver.h"

class DeltaNHNT;

// How the replies reach process(): each reply in one chunk, or one byte per
// call (a host that wakes on every received byte of the 2400-baud line).
enum class Delivery { Whole, Bytewise };

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

class CycleDriver
{
public:
    // observer: the host observer to attach; nullptr attaches round_counter().
    explicit CycleDriver(HostObserver* observer = nullptr);
    ~CycleDriver();
    CycleDriver(const CycleDriver&) = delete;
    CycleDriver& operator=(const CycleDriver&) = delete;

    // RefreshStatus, then the nine replies through process(); returns the
    // result of the last process() call (0 once the cycle has completed).
    int RunCycle(Delivery delivery);
    // One reply, whole, decoded in its own command state; returns process()'s
    // result.  index: 0 (MNU) to 8 (VER).
    int DecodeReply(std::size_t index);

    HalxSPDevice& device();
    const DeltaNHNT& ups() const { return *device_; }
    RoundCounter& round_counter() { return round_counter_; }
    // Bytes of one cycle's replies on the line.
    std::size_t ReplyBytes() const;

private:
    RoundCounter round_counter_;
    std::unique_ptr<DeltaNHNT> device_;
    // process() takes a writable buffer, so each reply keeps its own copy,
    // with the command state in which it is decoded.
    std::vector<std::vector<unsigned char>> replies_;
    std::vector<int> states_;
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

// One UPS device as the tests, the fuzz targets and the benchmarks drive it:
// configured as the host configures it (data identifier, host observer,
// settings {}), with one way to feed it chunks, run a healthy poll cycle and
// read back the record and the host calls.
//
// The device comes from the caller, so that each program makes it the way
// it needs:
//     TestDevice d(BuiltPlugin().Create()); // the built deltanhnt.so, loaded
//                                           // with dlopen (support/PluginLoader.h)
//     TestDevice d(LinkedDevice());         // the DeltaNHNT class linked into
//                                           // the program (support/LinkedDevice.h)
// and the host observer too: by default the device's own CallLog, or any
// other (a benchmark's do-nothing round counter, a test's serial line).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/DeltaNHNT.h"
#include "halx/HalxSPDevice.h"
#include "halx/HostObserver.h"
#include "record/DeltanhntCmdsRply.h"
#include "support/CallLog.h"

// Record bytes from this offset on hold the round's time stamp: two rounds a
// second apart legitimately differ there, so record comparisons stop here.
inline constexpr std::size_t kRoundTimeOffset = offsetof(DeltanhntCmdsRply_t, RoundTime);

// How a cycle's replies reach process(): each reply in one chunk, or one
// byte per call (a host that wakes on every received byte of the line).
enum class Delivery { Whole, Bytewise };

class TestDevice
{
public:
    // Data identifier given to the device; distinct from the identifier the
    // record is reported under (kDeltanhntDataId).
    static constexpr unsigned int kDataId = 77;

    // Sets the data identifier and the observer (nullptr: log()) and runs
    // the device's settings step with {}; throws std::runtime_error when that
    // step refuses.
    explicit TestDevice(std::unique_ptr<HalxSPDevice> device, HostObserver* observer = nullptr);
    TestDevice(const TestDevice&) = delete;
    TestDevice& operator=(const TestDevice&) = delete;
    ~TestDevice();

    // The device as the host sees it.
    HalxSPDevice& dev() { return *device_; }
    const HalxSPDevice& dev() const { return *device_; }
    // Its own members, through the class layout (inline accessors only, so
    // that this works on a device of the loaded plug-in too).
    const DeltaNHNT& ups() const { return *static_cast<const DeltaNHNT*>(device_.get()); }
    // The record is packed: read its fields by value (support/Packed.h's
    // Val()), through At() or as bytes, never by reference.
    const DeltanhntCmdsRply_t& rec() const { return ups().record(); }
    std::vector<std::uint8_t> RecordBytes() const;
    template <class T> T At(std::size_t offset) const
    {
        T value;
        std::memcpy(&value, reinterpret_cast<const std::uint8_t*>(&rec()) + offset, sizeof value);
        return value;
    }
    // True when the record equals `other` up to the time stamp.
    bool SameRecord(const DeltanhntCmdsRply_t& other) const;

    // The host calls, when the device reports to log().
    CallLog& log() { return log_; }
    const CallLog& log() const { return log_; }

    // One chunk handed to process() as the serial line delivers it: a buffer
    // of exactly the chunk's size (nullptr when empty), so that the sanitizer
    // build sees any read past it.  Returns process()'s result.
    int Feed(const std::uint8_t* data, std::size_t length);
    int Feed(const std::string& chunk);
    // A complete reply decoded in the given command state.
    int FeedInState(int state, const std::string& payload);

    // RefreshStatus, then the nine healthy replies (support/Replies.h)
    // through process(); returns the result of the last call (0 once the
    // round has completed).  Only the device's own work: no copy, no check.
    int RunHealthyCycle(Delivery delivery = Delivery::Whole);
    // Healthy reply `index` (0: MNU to 8: VER), whole, decoded in its own
    // command state; returns process()'s result.
    int FeedHealthyReply(std::size_t index);
    // Bytes of one healthy cycle's replies on the line.
    std::size_t HealthyCycleBytes() const;

private:
    CallLog log_;
    std::unique_ptr<HalxSPDevice> device_;
    // process() takes a writable buffer: each healthy reply keeps its own,
    // with the command state it is decoded in.
    struct HealthyReply {
        std::vector<unsigned char> bytes;
        int state;
    };
    std::vector<HealthyReply> healthy_;
};

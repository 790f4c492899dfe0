// What halx-host shows of a session: every host operation the device calls,
// the values after each completed cycle and the state of the serial link.
// JsonReport writes one JSON object per event; TextReport a view per cycle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace halxhost
{

struct Counters {
    std::uint64_t completed = 0;  // rounds completed: a record reported, then Reset
    std::uint64_t abandoned = 0;  // cycles ended by Reset without a record
    std::uint64_t resets = 0;     // Reset calls, by the plug-in or by the host
    std::uint64_t stalls = 0;     // cycles ended because the UPS fell silent
    std::uint64_t reopenings = 0; // times a lost port was opened again
};

struct AlarmCall {
    int kind = 0;
    std::string key, alarm_id, name, description;
    bool active = false;
    unsigned short sequence = 0;
};

// One answer of Get_Value.
struct SignalValue {
    const char* name = "";
    const char* unit = "";
    bool ok = false;
    float value = 0.0F;
    std::string error; // the refusal's message when !ok
};

struct SessionInfo {
    std::string plugin;
    std::string device_type;
    std::uint32_t data_id = 0;
    std::string port; // empty when no port is polled
    int baud = 0;
    double interval_s = 0.0;
    bool init_setting_ok = true;
};

enum class LinkState {
    Silent,    // the UPS stopped answering (first stall)
    Answering, // bytes arrive again after silence
    Lost,      // the port failed (read or write error, device gone)
    Reopened,  // the lost port is open again
};

const char* LinkStateName(LinkState state);

class Report
{
public:
    virtual ~Report() = default;

    virtual void Started(const SessionInfo& /*info*/) {}
    // Host operations, in the order the device calls them.
    virtual void Tx(const unsigned char* data, std::size_t length) = 0;
    // by_host: the host ended the exchange itself (stall, lost port);
    // awaited: the device's command state at that moment.
    virtual void Reset(bool by_host, int awaited) = 0;
    virtual void Record(int data_id, const unsigned char* data, std::size_t length) = 0;
    virtual void Alarm(const AlarmCall& alarm) = 0;
    virtual void History(const unsigned char* data, std::size_t length) = 0;
    // After each completed round: the sixteen values, the age of the data in
    // seconds (negative when unknown) and the link counters.
    virtual void Round(const std::vector<SignalValue>& values, long long age_s,
                       const Counters& counters) = 0;
    // A cycle ended by the plug-in's Reset without a record.
    virtual void Abandoned(int /*awaited*/, const Counters& /*counters*/) {}
    virtual void Link(LinkState state, const std::string& port, const std::string& detail,
                      const Counters& counters) = 0;
    // LoadFromCache returned.
    virtual void CacheLoaded(std::size_t length, bool accepted) = 0;
    // A record read from a file (--decode).
    virtual void Decoded(std::size_t index, std::size_t count, const unsigned char* data,
                         std::size_t length) = 0;
    virtual void Finished(const Counters& counters) = 0;
};

} // namespace halxhost

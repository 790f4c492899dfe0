// What halx-host shows of a session: every host operation the device calls,
// the plug-in's console lines, the values after each completed cycle, each
// cycle given up and why, and the state of the serial line.  JsonReport
// writes one JSON object per event; TextReport a view per cycle.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FaultDiagnosis.h"
#include "LineMonitor.h"
#include "record/RecordFields.h"
#include "site/UpsSnapshot.h"

namespace halxhost
{

// completed: rounds completed (a record reported, then Reset); abandoned:
// cycles ended by Reset without a record; resets: Reset calls, by the
// plug-in or by the host (a healthy round ends in one too); stalls: cycles
// the host ended because the UPS fell silent; reopenings: times a lost port
// was opened again.
using Counters = site::LineCounters;

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
    std::string version; // halx-host's
    std::string plugin;
    std::string plugin_build_id;
    std::string device_type;
    std::uint32_t data_id = 0;
    std::string port; // empty when no port is polled
    bool simulated = false;
    int baud = 0;
    double interval_s = 0.0;
    bool init_setting_ok = true;
};

// A completed round as the host saw it.
struct RoundReport {
    std::vector<SignalValue> values;              // the sixteen served values
    long long age_s = -1;                         // the plug-in's own data age (negative: unknown)
    std::chrono::system_clock::time_point time{}; // when the round completed
    Counters counters;
};

// A cycle that ended without a record.
struct Abandonment {
    bool by_host = false; // the host's Reset (a silence, the port lost); else the plug-in's
    int awaited = 0;      // the device's command state at that moment
    Verdict verdict;
};

// Where a record read back from a site database comes from.
struct DecodedOrigin {
    std::string ups;
    std::uint64_t sequence = 0;
    std::string time; // RFC 3339, UTC
};

// How a session ended.
enum class StopReason {
    Cycles,  // the requested cycles completed
    Signal,  // SIGINT, SIGTERM or SIGHUP
    Timeout, // --timeout
};
const char* StopReasonName(StopReason reason);

class Report
{
public:
    virtual ~Report() = default;

    virtual void Started(const SessionInfo& /*info*/) {}
    // A line the plug-in wrote on its standard output, as it was.
    virtual void Console(const std::string& text) = 0;
    // Host operations, in the order the device calls them.
    virtual void Tx(const unsigned char* data, std::size_t length) = 0;
    // by_host: the host ended the exchange itself (stall, lost port);
    // awaited: the device's command state at that moment.
    virtual void Reset(bool by_host, int awaited) = 0;
    virtual void Record(int data_id, const unsigned char* data, std::size_t length) = 0;
    virtual void Alarm(const AlarmCall& alarm) = 0;
    virtual void History(const unsigned char* data, std::size_t length) = 0;
    // After each completed round: the values read, the data's age, the
    // counters.
    virtual void Round(const RoundReport& round) = 0;
    // A cycle ended without a record, and why.
    virtual void Abandoned(const Abandonment& abandoned, const Counters& counters) = 0;
    // The line changed state, or a summary of how it fares.
    virtual void Notice(const LineNotice& notice, const Counters& counters) = 0;
    // No new round for a while: how old the data is.
    virtual void Status(const LineStatus& status) = 0;
    // LoadFromCache returned; cached_stamp is the record's own RoundTime as
    // the file held it ("" when it held none).
    virtual void CacheLoaded(std::size_t length, bool accepted,
                             const std::string& cached_stamp) = 0;
    // A record read from a file (--decode); `fields` are those to show.
    virtual void Decoded(std::size_t index, std::size_t count, const unsigned char* data,
                         std::size_t length, const std::vector<const RecordField*>& fields) = 0;
    // Before Decoded, for a record of a site database: its UPS, sequence
    // and time.
    virtual void Origin(const DecodedOrigin& /*origin*/) {}
    virtual void Finished(const Counters& counters, StopReason reason) = 0;
};

} // namespace halxhost

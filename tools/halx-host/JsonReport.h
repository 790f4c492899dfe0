// --json: one JSON object per line on standard output and nothing else, in
// the order the device's calls happen; the plug-in's own console lines
// arrive as "console" events.  Every event ends with "seq", a number that
// grows by one per event, and "time", the local time with its offset from
// UTC (RFC 3339); every event of a simulated run carries "simulated": true.
// In a site every event names its UPS ("ups": "ups1") and the UPSes' events
// share one "seq".
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include "Report.h"
#include "common/JsonLine.h"

namespace halxhost
{

class JsonReport : public Report
{
public:
    explicit JsonReport(std::ostream& out) : out_(out), seq_(&own_seq_) {}
    // The events of one UPS of a site; `seq` is shared by the site's reports.
    JsonReport(std::ostream& out, std::string ups, std::uint64_t& seq)
        : out_(out), ups_(std::move(ups)), seq_(&seq)
    {
    }

    void Started(const SessionInfo& info) override;
    void Console(const std::string& text) override;
    void Tx(const unsigned char* data, std::size_t length) override;
    void Reset(bool by_host, int awaited) override;
    void Record(int data_id, const unsigned char* data, std::size_t length) override;
    void Alarm(const AlarmCall& alarm) override;
    void History(const unsigned char* data, std::size_t length) override;
    void Round(const RoundReport& round) override;
    void Abandoned(const Abandonment& abandoned, const Counters& counters) override;
    void Notice(const LineNotice& notice, const Counters& counters) override;
    void Status(const LineStatus& status) override;
    void CacheLoaded(std::size_t length, bool accepted, const std::string& cached_stamp) override;
    void Decoded(std::size_t index, std::size_t count, const unsigned char* data,
                 std::size_t length, const std::vector<const RecordField*>& fields) override;
    void Finished(const Counters& counters, StopReason reason) override;
    void Origin(const DecodedOrigin& origin) override { origin_ = origin; }

private:
    void Line(tools::JsonObject object);

    std::ostream& out_;
    std::string ups_;
    std::optional<DecodedOrigin> origin_;
    bool simulated_ = false;
    std::uint64_t own_seq_ = 0;
    std::uint64_t* seq_;
};

} // namespace halxhost

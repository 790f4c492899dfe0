// The readable view: per completed cycle the UPS's identity, the sixteen
// values with units, a second block from the value catalogue (status,
// output source, load, battery charge and runtime, temperature,
// frequencies), the alarms raised and cleared since the previous cycle with
// their English glosses, any refusals, the age of the data and the link
// counters; each abandoned cycle with its reason; a status line while the
// data ages.  The plug-in's console lines only with --verbose.
#pragma once

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Report.h"

namespace halxhost
{

class TextReport : public Report
{
public:
    // verbose: show the plug-in's console lines; terminal: dim them.
    explicit TextReport(std::ostream& out, bool verbose = false, bool terminal = false)
        : out_(out), verbose_(verbose), terminal_(terminal)
    {
    }

    void Started(const SessionInfo& info) override;
    void Console(const std::string& text) override;
    void Tx(const unsigned char* /*data*/, std::size_t /*length*/) override {}
    void Reset(bool /*by_host*/, int /*awaited*/) override {}
    void Record(int data_id, const unsigned char* data, std::size_t length) override;
    void Alarm(const AlarmCall& alarm) override;
    void History(const unsigned char* /*data*/, std::size_t length) override;
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
    void PrintCounters(const Counters& counters);
    void PrintCatalogueBlock(const unsigned char* record);

    std::ostream& out_;
    bool verbose_;
    bool terminal_;
    bool simulated_ = false;
    bool legend_shown_ = false;
    // The round being shown: its record, alarm calls and history length.
    std::vector<unsigned char> record_;
    int record_id_ = 0;
    std::vector<AlarmCall> alarms_;
    std::optional<DecodedOrigin> origin_;
    std::size_t history_length_ = 0;
    // Alarm state by key as of the previous round.
    std::map<std::string, AlarmCall> active_;
    std::uint64_t rounds_shown_ = 0;
};

} // namespace halxhost

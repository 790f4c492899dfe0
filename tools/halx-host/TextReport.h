// The readable view: per completed cycle the UPS's identity, the sixteen
// values with units, the alarms raised and cleared since the previous cycle,
// any refusals, the age of the data and the link counters.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "Report.h"

namespace halxhost
{

class TextReport : public Report
{
public:
    explicit TextReport(std::ostream& out) : out_(out) {}

    void Started(const SessionInfo& info) override;
    void Tx(const unsigned char* /*data*/, std::size_t /*length*/) override {}
    void Reset(bool /*by_host*/, int /*awaited*/) override {}
    void Record(int data_id, const unsigned char* data, std::size_t length) override;
    void Alarm(const AlarmCall& alarm) override;
    void History(const unsigned char* /*data*/, std::size_t length) override;
    void Round(const std::vector<SignalValue>& values, long long age_s,
               const Counters& counters) override;
    void Abandoned(int awaited, const Counters& counters) override;
    void Link(LinkState state, const std::string& port, const std::string& detail,
              const Counters& counters) override;
    void CacheLoaded(std::size_t length, bool accepted) override;
    void Decoded(std::size_t index, std::size_t count, const unsigned char* data,
                 std::size_t length) override;
    void Finished(const Counters& counters) override;

private:
    void PrintCounters(const Counters& counters);

    std::ostream& out_;
    // The round being shown: its record, alarm calls and history length.
    std::vector<unsigned char> record_;
    int record_id_ = 0;
    std::vector<AlarmCall> alarms_;
    std::size_t history_length_ = 0;
    // Alarm state by key as of the previous round.
    std::map<std::string, AlarmCall> active_;
    std::uint64_t rounds_shown_ = 0;
};

} // namespace halxhost

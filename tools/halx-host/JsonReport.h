// --json: one JSON object per line on standard output, in the order the
// device's calls happen.  Lines that are not JSON objects (the plug-in's own
// diagnostics) may appear between them.
#pragma once

#include <ostream>

#include "Report.h"
#include "common/JsonLine.h"

namespace halxhost
{

class JsonReport : public Report
{
public:
    explicit JsonReport(std::ostream& out) : out_(out) {}

    void Tx(const unsigned char* data, std::size_t length) override;
    void Reset(bool by_host, int awaited) override;
    void Record(int data_id, const unsigned char* data, std::size_t length) override;
    void Alarm(const AlarmCall& alarm) override;
    void History(const unsigned char* data, std::size_t length) override;
    void Round(const std::vector<SignalValue>& values, long long age_s,
               const Counters& counters) override;
    void Link(LinkState state, const std::string& port, const std::string& detail,
              const Counters& counters) override;
    void CacheLoaded(std::size_t length, bool accepted) override;
    void Decoded(std::size_t index, std::size_t count, const unsigned char* data,
                 std::size_t length) override;
    void Finished(const Counters& counters) override;

private:
    void Line(const tools::JsonObject& object);

    std::ostream& out_;
};

} // namespace halxhost

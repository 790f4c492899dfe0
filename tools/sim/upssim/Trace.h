// Traces of a session with a UPS, as halx-host --trace writes them, and the
// replies they hold for replaying that session.
//
// One line per chunk of bytes: "<local time, ISO-8601 with microseconds>
// <tx|rx> <hex bytes, lower case, no separators>".  tx: bytes the host sent
// to the UPS; rx: bytes it received.  Lines starting with "#" and blank lines
// are ignored.
#pragma once

#include <chrono>
#include <cstdint>
#include <istream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace upssim
{

struct TraceEntry {
    std::int64_t time_us = 0; // microseconds since the Unix epoch, local time
    bool tx = false;          // sent by the host
    std::string bytes;
    int line = 0;
};

// A trace that cannot be read; what() is "SOURCE:LINE: message".
class TraceError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

std::vector<TraceEntry> ReadTrace(std::istream& in, const std::string& source);

// The recorded replies of a trace, by the query that asked for them.
class ReplayBook
{
public:
    struct Chunk {
        std::chrono::microseconds after; // since the query or the previous chunk
        std::string bytes;
    };
    // The rx chunks that followed one query, up to the host's next query.
    using Answer = std::vector<Chunk>;

    ReplayBook() = default;
    explicit ReplayBook(const std::vector<TraceEntry>& entries);

    // Every recorded answer to `frame` ("~00P003MNU"), in trace order;
    // nullptr when the trace never saw that query.
    const std::vector<Answer>* Answers(const std::string& frame) const;
    std::size_t QueryCount() const { return answers_.size(); }

private:
    std::map<std::string, std::vector<Answer>> answers_;
};

ReplayBook LoadReplay(const std::string& path);

} // namespace upssim

#include "upssim/Trace.h"

#include <fstream>
#include <optional>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "common/Format.h"
#include "upssim/Frames.h"

namespace upssim
{

namespace
{

std::int64_t ParseTime(const std::string& text)
{
    // "2026-12-08T18:39:02.123456"; only differences between lines matter.
    const boost::posix_time::ptime time = boost::posix_time::from_iso_extended_string(text);
    if (time.is_special()) {
        throw std::invalid_argument(text);
    }
    const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
    return (time - epoch).total_microseconds();
}

} // namespace

std::vector<TraceEntry> ReadTrace(std::istream& in, const std::string& source)
{
    std::vector<TraceEntry> entries;
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        ++number;
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        std::istringstream line(text);
        std::string time, direction, hex, extra;
        if (!(line >> time) || time[0] == '#') {
            continue;
        }
        const auto fail = [&](const std::string& message) {
            return TraceError(source + ":" + std::to_string(number) + ": " + message);
        };
        TraceEntry entry;
        entry.line = number;
        try {
            entry.time_us = ParseTime(time);
        } catch (const std::exception&) {
            throw fail("bad time \"" + time + "\"");
        }
        line >> direction >> hex;
        if (direction != "tx" && direction != "rx") {
            throw fail("expected tx or rx, found \"" + direction + "\"");
        }
        entry.tx = direction == "tx";
        if (hex.empty() || hex.size() % 2 != 0) {
            throw fail("expected an even number of hex digits");
        }
        std::optional<std::string> bytes = tools::FromHex(hex);
        if (!bytes) {
            throw fail("bad hex digit in \"" + hex + "\"");
        }
        entry.bytes = std::move(*bytes);
        if (line >> extra) {
            throw fail("unexpected \"" + extra + "\" after the bytes");
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

ReplayBook::ReplayBook(const std::vector<TraceEntry>& entries)
{
    // The host's bytes are scanned for queries as the simulator would scan
    // them; rx chunks belong to the last complete query before them.
    QueryScanner scanner;
    Answer* answer = nullptr;
    std::int64_t last_time = 0;
    for (const TraceEntry& entry : entries) {
        if (entry.tx) {
            std::vector<Query> queries;
            scanner.Feed(entry.bytes.data(), entry.bytes.size(), queries);
            if (!queries.empty()) {
                std::vector<Answer>& recorded = answers_[queries.back().frame];
                recorded.emplace_back();
                answer = &recorded.back();
                last_time = entry.time_us;
            }
        } else if (answer != nullptr) {
            const std::int64_t after = entry.time_us > last_time ? entry.time_us - last_time : 0;
            answer->push_back(Chunk{std::chrono::microseconds(after), entry.bytes});
            last_time = entry.time_us;
        }
    }
}

const std::vector<ReplayBook::Answer>* ReplayBook::Answers(const std::string& frame) const
{
    const auto found = answers_.find(frame);
    return found == answers_.end() ? nullptr : &found->second;
}

ReplayBook LoadReplay(const std::string& path)
{
    std::ifstream in(path);
    if (!in) {
        throw TraceError(path + ": cannot open the trace");
    }
    return ReplayBook(ReadTrace(in, path));
}

} // namespace upssim

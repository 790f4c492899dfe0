#include "upssim/Events.h"

#include <iterator>

#include <json/value.h>

#include "common/Format.h"
#include "common/JsonLine.h"

namespace upssim
{

namespace
{

using Kind = Event::Kind;

// The "event" member, in the order of Event::Kind.
constexpr const char* kNames[] = {"serving", "query",   "skipped", "reply", "drop",
                                  "noise",   "silence", "script",  "echo",  "cycle",
                                  "close",   "reopen",  "ignored", "line",  "exit"};
static_assert(std::size(kNames) == static_cast<std::size_t>(Kind::Exit) + 1,
              "a name for every kind of event");

Json::Value Count(std::uint64_t count)
{
    return Json::Value(static_cast<Json::UInt64>(count));
}

std::string TallyText(const Tally& t)
{
    return std::to_string(t.queries) + " queries, " + std::to_string(t.replies) + " replies, " +
           std::to_string(t.dropped) + " dropped";
}

void AddTally(tools::JsonObject& o, const Tally& t)
{
    o.Add("queries", Count(t.queries))
        .Add("replies", Count(t.replies))
        .Add("dropped", Count(t.dropped));
}

} // namespace

std::string EventText(const Event& e)
{
    const std::string count = std::to_string(e.count);
    switch (e.kind) {
    case Kind::Serving:
    case Kind::Reopen:
        return "serving on " + e.text;
    case Kind::Query:
        return "<- " + tools::Printable(e.text);
    case Kind::Skipped:
        return "<- " + count + " bytes outside query frames";
    case Kind::Reply:
        return std::string("-> ") + (e.truncated ? "(truncated) " : "") +
               (e.recorded ? "(recorded) " : "") +
               (e.count > 0 ? "(after " + count + " bytes of noise) " : "") +
               tools::Printable(e.text);
    case Kind::Drop:
        return "-> nothing to " + e.query + " (" + e.text + ")";
    case Kind::Noise:
        return "-> " + count + " bytes of noise";
    case Kind::Silence:
        return "silent for " + count + " ms";
    case Kind::Script:
        return "script line " + std::to_string(e.line) + ": " + e.text;
    case Kind::Echo:
        return e.text;
    case Kind::Cycle:
        return "cycle " + count + " ended: " + TallyText(e.tally);
    case Kind::Close:
        return "line: closed for " + count + " ms";
    case Kind::Ignored:
        return "line: " + count + " bytes ignored while hanging up";
    case Kind::Line:
        return "line: " + e.text;
    case Kind::Exit:
        return "exit (" + e.text + "): " + count + " cycles, " + TallyText(e.tally);
    }
    return "";
}

std::string EventJson(const Event& e, std::chrono::system_clock::time_point time)
{
    tools::JsonObject o;
    o.Add("event", kNames[static_cast<std::size_t>(e.kind)]);
    o.Add("time", tools::LocalTimestamp(time, true));
    switch (e.kind) {
    case Kind::Serving:
    case Kind::Reopen:
        o.Add("path", e.text);
        break;
    case Kind::Query:
        o.Add("query", e.query).Add("text", tools::Printable(e.text));
        break;
    case Kind::Reply:
        o.Add("query", e.query)
            .Add("text", tools::Printable(e.text))
            .Add("length", Count(e.text.size()))
            .Add("noise", Count(e.count))
            .Add("truncated", e.truncated)
            .Add("recorded", e.recorded);
        break;
    case Kind::Drop:
        o.Add("query", e.query).Add("reason", e.text);
        break;
    case Kind::Skipped:
    case Kind::Noise:
    case Kind::Ignored:
        o.Add("bytes", Count(e.count));
        break;
    case Kind::Silence:
    case Kind::Close:
        o.Add("ms", Count(e.count));
        break;
    case Kind::Script:
        o.Add("line", e.line).Add("source", e.text);
        break;
    case Kind::Echo:
        o.Add("line", e.line).Add("text", e.text);
        break;
    case Kind::Cycle:
        o.Add("cycles", Count(e.count));
        AddTally(o, e.tally);
        break;
    case Kind::Line:
        o.Add("message", e.text);
        break;
    case Kind::Exit:
        o.Add("reason", e.text).Add("cycles", Count(e.count));
        AddTally(o, e.tally);
        break;
    }
    return o.Text();
}

} // namespace upssim

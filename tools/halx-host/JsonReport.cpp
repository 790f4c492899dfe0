#include "JsonReport.h"

#include "RecordFormat.h"
#include "common/Format.h"
#include "common/JsonLine.h"

namespace halxhost
{

using tools::Hex;
using tools::JsonFloat;
using tools::JsonObject;
namespace
{

JsonObject CountersJson(const char* event, const Counters& c)
{
    JsonObject o;
    o.Add("event", event);
    o.Add("completed", Json::Value(static_cast<Json::UInt64>(c.completed)));
    o.Add("abandoned", Json::Value(static_cast<Json::UInt64>(c.abandoned)));
    o.Add("resets", Json::Value(static_cast<Json::UInt64>(c.resets)));
    o.Add("stalls", Json::Value(static_cast<Json::UInt64>(c.stalls)));
    o.Add("reopenings", Json::Value(static_cast<Json::UInt64>(c.reopenings)));
    return o;
}

} // namespace

void JsonReport::Line(const JsonObject& object)
{
    // Flushed per line: a reader sees each event as it happens, and the
    // plug-in's own lines on the same stream stay in order.
    out_ << object.Text() << std::endl;
}

void JsonReport::Tx(const unsigned char* data, std::size_t length)
{
    Line(JsonObject().Add("event", "tx").Add("text", tools::Printable(data, length)));
}

void JsonReport::Reset(bool by_host, int /*awaited*/)
{
    JsonObject o;
    o.Add("event", "reset");
    if (by_host) {
        o.Add("by", "host");
    }
    Line(o);
}

void JsonReport::Record(int data_id, const unsigned char* data, std::size_t length)
{
    JsonObject o;
    o.Add("event", "record");
    o.Add("data_id", Json::Value(data_id));
    o.Add("length", Json::Value(static_cast<Json::UInt64>(length)));
    o.Add("hex", Hex(data, length));
    if (length == kRecordSize) {
        o.Add("fields", RecordFieldsJson(data));
    }
    Line(o);
}

void JsonReport::Alarm(const AlarmCall& alarm)
{
    Line(JsonObject()
             .Add("event", "alarm")
             .Add("key", alarm.key)
             .Add("alarm_id", alarm.alarm_id)
             .Add("name", alarm.name)
             .Add("description", alarm.description)
             .Add("active", alarm.active)
             .Add("sequence", Json::Value(static_cast<Json::UInt>(alarm.sequence))));
}

void JsonReport::History(const unsigned char* data, std::size_t length)
{
    Line(JsonObject()
             .Add("event", "history")
             .Add("length", Json::Value(static_cast<Json::UInt64>(length)))
             .Add("hex", Hex(data, length)));
}

void JsonReport::Round(const std::vector<SignalValue>& values, long long /*age_s*/,
                       const Counters& /*counters*/)
{
    JsonObject answered;
    JsonObject refused;
    for (const SignalValue& v : values) {
        if (v.ok) {
            answered.Add(v.name, JsonFloat(v.value));
        } else {
            refused.Add(v.name, v.error);
        }
    }
    Line(JsonObject().Add("event", "values").Add("values", answered).Add("errors", refused));
}

void JsonReport::Link(LinkState state, const std::string& port, const std::string& detail,
                      const Counters& counters)
{
    JsonObject o;
    o.Add("event", "link");
    o.Add("state", LinkStateName(state));
    o.Add("port", port);
    if (!detail.empty()) {
        o.Add("message", detail);
    }
    o.Add("stalls", Json::Value(static_cast<Json::UInt64>(counters.stalls)));
    o.Add("reopenings", Json::Value(static_cast<Json::UInt64>(counters.reopenings)));
    Line(o);
}

void JsonReport::CacheLoaded(std::size_t length, bool accepted)
{
    Line(JsonObject()
             .Add("event", "load_cache")
             .Add("length", Json::Value(static_cast<Json::UInt64>(length)))
             .Add("accepted", accepted));
}

void JsonReport::Decoded(std::size_t index, std::size_t /*count*/, const unsigned char* data,
                         std::size_t length)
{
    Line(JsonObject()
             .Add("event", "decoded")
             .Add("index", Json::Value(static_cast<Json::UInt64>(index)))
             .Add("length", Json::Value(static_cast<Json::UInt64>(length)))
             .Add("hex", Hex(data, length))
             .Add("fields", RecordFieldsJson(data)));
}

void JsonReport::Finished(const Counters& counters)
{
    Line(CountersJson("counters", counters));
}

} // namespace halxhost

#include "JsonReport.h"

#include "RecordFormat.h"
#include "catalogue/Catalogue.h"
#include "common/Format.h"
#include "common/JsonLine.h"

namespace halxhost
{

using tools::Hex;
using tools::JsonFloat;
using tools::JsonObject;
namespace
{

Json::Value U64(std::uint64_t n)
{
    return Json::Value(static_cast<Json::UInt64>(n));
}

JsonObject Event(const char* event)
{
    JsonObject o;
    o.Add("event", event);
    return o;
}

void AddCounters(JsonObject& o, const Counters& c)
{
    o.Add("completed", U64(c.completed));
    o.Add("abandoned", U64(c.abandoned));
    o.Add("resets", U64(c.resets));
    o.Add("stalls", U64(c.stalls));
    o.Add("reopenings", U64(c.reopenings));
}

} // namespace

void JsonReport::Line(JsonObject object)
{
    if (!ups_.empty()) {
        object.Add("ups", ups_);
    }
    if (simulated_) {
        object.Add("simulated", true);
    }
    object.Add("seq", U64(++*seq_));
    object.Add("time", tools::LocalTimestamp(std::chrono::system_clock::now(), true));
    // Flushed per line: a reader sees each event as it happens.
    out_ << object.Text() << std::endl;
}

void JsonReport::Started(const SessionInfo& info)
{
    simulated_ = info.simulated;
    JsonObject o = Event("start");
    o.Add("version", info.version);
    o.Add("plugin", info.plugin);
    o.Add("plugin_build_id", info.plugin_build_id);
    o.Add("device_type", info.device_type);
    o.Add("data_id", Json::Value(static_cast<Json::UInt>(info.data_id)));
    if (!info.port.empty()) {
        o.Add("port", info.port);
        o.Add("baud", info.baud);
        o.Add("interval_s", info.interval_s);
    }
    o.Add("init_setting", info.init_setting_ok);
    Line(o);
}

void JsonReport::Console(const std::string& text)
{
    Line(Event("console").Add("text", text));
}

void JsonReport::Tx(const unsigned char* data, std::size_t length)
{
    Line(Event("tx").Add("text", tools::Printable(data, length)));
}

void JsonReport::Reset(bool by_host, int /*awaited*/)
{
    JsonObject o = Event("reset");
    if (by_host) {
        o.Add("by", "host");
    }
    Line(o);
}

void JsonReport::Record(int data_id, const unsigned char* data, std::size_t length)
{
    JsonObject o = Event("record");
    o.Add("data_id", Json::Value(data_id));
    o.Add("length", U64(length));
    o.Add("hex", Hex(data, length));
    if (length == kRecordSize) {
        o.Add("fields", RecordFieldsJson(data));
    }
    Line(o);
}

void JsonReport::Alarm(const AlarmCall& alarm)
{
    JsonObject o = Event("alarm");
    o.Add("key", alarm.key)
        .Add("alarm_id", alarm.alarm_id)
        .Add("name", alarm.name)
        .Add("description", alarm.description);
    if (const catalogue::AlarmMeaning* meaning = catalogue::FindAlarmMeaning(alarm.key)) {
        o.Add("gloss", meaning->gloss);
    }
    o.Add("active", alarm.active)
        .Add("sequence", Json::Value(static_cast<Json::UInt>(alarm.sequence)));
    Line(o);
}

void JsonReport::History(const unsigned char* data, std::size_t length)
{
    Line(Event("history").Add("length", U64(length)).Add("hex", Hex(data, length)));
}

void JsonReport::Round(const RoundReport& round)
{
    JsonObject answered;
    JsonObject refused;
    for (const SignalValue& v : round.values) {
        if (v.ok) {
            answered.Add(v.name, JsonFloat(v.value));
        } else {
            refused.Add(v.name, v.error);
        }
    }
    Line(Event("values")
             .Add("values", answered)
             .Add("errors", refused)
             .Add("age_s", Json::Value(static_cast<Json::Int64>(round.age_s))));
}

void JsonReport::Abandoned(const Abandonment& abandoned, const Counters& counters)
{
    JsonObject o = Event("abandoned");
    o.Add("by", abandoned.by_host ? "host" : "plugin");
    o.Add("query", abandoned.verdict.query);
    o.Add("reason", FaultName(abandoned.verdict.fault));
    o.Add("message", abandoned.verdict.text);
    o.Add("abandoned", U64(counters.abandoned));
    Line(o);
}

void JsonReport::Notice(const LineNotice& notice, const Counters& counters)
{
    const bool summary = notice.kind == LineNotice::Kind::Summary;
    JsonObject o = Event(summary ? "summary" : "link");
    o.Add("state", summary ? site::LineStateName(notice.state) : NoticeName(notice.kind));
    o.Add("message", notice.text);
    if (!notice.reason.empty()) {
        o.Add("reason", notice.reason);
    }
    if (summary) {
        o.Add("since", tools::LocalTimestamp(notice.since, true));
        o.Add("period_s", notice.period_s);
        o.Add("cycles_completed", U64(notice.completed));
        o.Add("cycles_abandoned", U64(notice.abandoned));
        JsonObject faults;
        for (const auto& [label, count] : notice.faults) {
            faults.Add(label, U64(count));
        }
        o.Add("faults", faults);
    }
    o.Add("stalls", U64(counters.stalls));
    o.Add("reopenings", U64(counters.reopenings));
    Line(o);
}

void JsonReport::Status(const LineStatus& status)
{
    JsonObject o = Event("status");
    o.Add("state", site::LineStateName(status.state));
    o.Add("since", tools::LocalTimestamp(status.since, true));
    o.Add("age_s",
          status.age_s < 0 ? Json::Value() : Json::Value(static_cast<Json::Int64>(status.age_s)));
    o.Add("stale", status.stale);
    o.Add("last_round", status.last_round
                            ? Json::Value(tools::LocalTimestamp(*status.last_round, true))
                            : Json::Value());
    o.Add("message", status.text);
    Line(o);
}

void JsonReport::CacheLoaded(std::size_t length, bool accepted, const std::string& cached_stamp)
{
    Line(Event("load_cache")
             .Add("length", U64(length))
             .Add("accepted", accepted)
             .Add("cached_stamp", cached_stamp));
}

void JsonReport::Decoded(std::size_t index, std::size_t /*count*/, const unsigned char* data,
                         std::size_t length, const std::vector<const RecordField*>& fields)
{
    JsonObject values;
    JsonObject units;
    for (const RecordField* field : fields) {
        values.Add(field->name, FieldValue(*field, data));
        const catalogue::FieldMeaning* meaning = catalogue::FindFieldMeaning(field->name);
        if (meaning != nullptr && *meaning->unit != '\0') {
            units.Add(field->name, meaning->unit);
        }
    }
    JsonObject o = Event("decoded");
    if (origin_) {
        o.Add("ups", origin_->ups)
            .Add("sequence", U64(origin_->sequence))
            .Add("round_time", origin_->time);
        origin_.reset();
    }
    Line(o.Add("index", U64(index))
             .Add("length", U64(length))
             .Add("hex", Hex(data, length))
             .Add("fields", values)
             .Add("units", units));
}

void JsonReport::Finished(const Counters& counters, StopReason reason)
{
    JsonObject o = Event("counters");
    AddCounters(o, counters);
    o.Add("stopped", StopReasonName(reason));
    Line(o);
}

} // namespace halxhost

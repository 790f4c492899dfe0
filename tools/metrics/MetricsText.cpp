#include "MetricsText.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <utility>

#include "Catalogue.h"
#include "MetricFamilies.h"

namespace metrics
{
namespace
{

constexpr site::LineState kLineStates[] = {site::LineState::Starting, site::LineState::Up,
                                           site::LineState::Failing, site::LineState::Silent,
                                           site::LineState::Lost};

// The link counters, each a family of its own.
struct CounterFamily {
    const char* name;
    const char* help;
    std::uint64_t site::LineCounters::*member;
};
const CounterFamily kCounterFamilies[] = {
    {"ups_link_cycles_completed_total", "Poll cycles that completed a round.",
     &site::LineCounters::completed},
    {"ups_link_cycles_abandoned_total", "Poll cycles that ended without a record.",
     &site::LineCounters::abandoned},
    {"ups_link_resets_total", "Resets of the serial exchange (a completed round ends in one too).",
     &site::LineCounters::resets},
    {"ups_link_stalls_total", "Poll cycles ended because the UPS fell silent.",
     &site::LineCounters::stalls},
    {"ups_link_reopenings_total", "Times a lost serial port was opened again.",
     &site::LineCounters::reopenings},
};

// The length of the well-formed UTF-8 sequence at p (1 to 4 bytes), or 0
// when the bytes there are not one (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF).
std::size_t Utf8Sequence(const unsigned char* p, std::size_t left)
{
    const unsigned c = p[0];
    if (c < 0x80) {
        return 1;
    }
    std::size_t n = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        low = c == 0xE0 ? 0xA0 : low;
        high = c == 0xED ? 0x9F : high;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        low = c == 0xF0 ? 0x90 : low;
        high = c == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (left < n || p[1] < low || p[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < n; ++i) {
        if ((p[i] & 0xC0U) != 0x80U) {
            return 0;
        }
    }
    return n;
}

// A HELP text: backslash and newline escaped.
void AppendHelp(std::string& out, const char* help)
{
    for (const char* p = help; *p != '\0'; ++p) {
        if (*p == '\\') {
            out += "\\\\";
        } else if (*p == '\n') {
            out += "\\n";
        } else {
            out += *p;
        }
    }
}

void AppendHeader(std::string& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    AppendHelp(out, help);
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void AppendInteger(std::string& out, std::uint64_t value)
{
    char text[24];
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    out.append(text, end.ptr);
}

template <class Number> void AppendFloating(std::string& out, Number value)
{
    // Whole numbers (most of what a UPS reports) the short way; the text is
    // the shortest form's but for round numbers of six digits and more,
    // which read "100000" rather than "1e+05".  No negative zero either.
    constexpr Number kExactWhole = Number(1 << 24); // exact in a float and a double
    if (value > -kExactWhole && value < kExactWhole &&
        value == Number(static_cast<std::int32_t>(value))) {
        char text[16];
        const std::to_chars_result end =
            std::to_chars(text, text + sizeof text, static_cast<std::int32_t>(value));
        out.append(text, end.ptr);
    } else if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
    } else {
        char text[40];
        const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
        out.append(text, end.ptr);
    }
}

const RecordField& RequiredField(const char* name)
{
    const RecordField* field = catalogue::FindRecordField(name);
    if (field == nullptr) {
        throw std::logic_error(std::string("no record field ") + name);
    }
    return *field;
}

// A text field of the record: its bytes up to the first zero.
std::string_view TextField(const unsigned char* record, const RecordField& field)
{
    const char* text = reinterpret_cast<const char*>(record + field.offset);
    std::size_t n = 0;
    while (n < field.width && text[n] != '\0') {
        ++n;
    }
    return {text, n};
}

// name{ups="..."
void OpenSample(std::string& out, std::string_view name, const std::string& labels)
{
    out.append(name.data(), name.size());
    out.append(labels);
}

// ,name="value"} for the label after the ups label; value escaped.
std::string Tail(std::initializer_list<std::pair<const char*, const char*>> labels)
{
    std::string tail;
    for (const auto& label : labels) {
        tail += ',';
        tail += label.first;
        tail += "=\"";
        AppendLabelValue(tail, label.second);
        tail += '"';
    }
    return tail + "} ";
}

} // namespace

void AppendLabelValue(std::string& out, std::string_view value)
{
    const auto* p = reinterpret_cast<const unsigned char*>(value.data());
    const auto* const end = p + value.size();
    while (p < end) {
        // A run of ASCII that needs no escape goes in one piece.
        const unsigned char* run = p;
        while (run < end && *run < 0x80 && *run != '\\' && *run != '"' && *run != '\n') {
            ++run;
        }
        if (run != p) {
            out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(run - p));
            p = run;
            continue;
        }
        const std::size_t n = Utf8Sequence(p, static_cast<std::size_t>(end - p));
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++p;
            continue;
        }
        if (*p == '\\') {
            out += "\\\\";
        } else if (*p == '"') {
            out += "\\\"";
        } else if (*p == '\n') {
            out += "\\n";
        } else {
            out.append(reinterpret_cast<const char*>(p), n);
        }
        p += n;
    }
}

void AppendNumber(std::string& out, double value)
{
    AppendFloating(out, value);
}

void AppendNumber(std::string& out, float value)
{
    AppendFloating(out, value);
}

MetricsText::MetricsText()
    : manufacturer_(&RequiredField("UpsMnu")), model_(&RequiredField("UpsMod")),
      firmware_(&RequiredField("UpsVer")), output_source_(&RequiredField("OutptSrc"))
{
    for (const catalogue::AlarmMeaning& alarm : catalogue::kAlarmMeanings) {
        alarm_tails_.push_back(Tail({{"key", alarm.alarm->key},
                                     {"alarm_id", alarm.alarm->alarm_id},
                                     {"alarm", alarm.gloss}}));
    }
    for (const catalogue::OutputSource& source : catalogue::OutputSources()) {
        source_tails_.push_back(Tail({{"source", source.name}}));
    }
    for (const site::LineState state : kLineStates) {
        state_tails_.push_back(Tail({{"state", site::LineStateName(state)}}));
    }
    for (const catalogue::MetricFamily& family : catalogue::MetricFamilies()) {
        ValueFamily values{family.name, {}, {}};
        AppendHeader(values.header, family.name, "gauge", family.help);
        for (const catalogue::Quantity& q : catalogue::Quantities()) {
            if (q.metric == nullptr || std::strcmp(q.metric, family.name) != 0) {
                continue;
            }
            // Every metric of the catalogue is a record field times a factor
            // (its tests check the fields exist).
            const RecordField* field = catalogue::FindRecordField(q.field);
            if (q.derivation != catalogue::Derivation::Field || field == nullptr) {
                throw std::logic_error(std::string("metric ") + q.metric +
                                       " is not a record field");
            }
            int line_count = -1;
            if (q.line != 0 && q.lines != nullptr) {
                const RecordField& lines = RequiredField(q.lines);
                for (std::size_t i = 0; i < line_count_fields_.size(); ++i) {
                    if (line_count_fields_[i] == &lines) {
                        line_count = static_cast<int>(i);
                    }
                }
                if (line_count < 0) {
                    if (line_count_fields_.size() == kMaxLineCounts) {
                        throw std::logic_error("too many line-count fields");
                    }
                    line_count = static_cast<int>(line_count_fields_.size());
                    line_count_fields_.push_back(&lines);
                }
            }
            const std::string line = std::to_string(q.line);
            values.series.push_back({field, line_count, q.line, q.factor * q.metric_factor,
                                     q.line != 0 ? Tail({{"line", line.c_str()}}) : "} "});
        }
        value_families_.push_back(std::move(values));
    }
}

void MetricsText::Write(const std::vector<const site::UpsSnapshot*>& ups,
                        std::chrono::steady_clock::time_point now,
                        std::optional<std::uint64_t> outbox_depth, std::string& out)
{
    out.clear();
    now_ = now;
    count_ = ups.size();
    if (scratch_.size() < count_) {
        scratch_.resize(count_);
    }
    for (std::size_t i = 0; i < count_; ++i) {
        UpsScratch& u = scratch_[i];
        u.snapshot = ups[i];
        u.record = u.snapshot->last ? u.snapshot->last->record.data() : nullptr;
        u.fresh = !u.snapshot->Stale(now);
        u.labels.assign("{ups=\"");
        AppendLabelValue(u.labels, u.snapshot->name);
        u.labels += '"';
        if (u.fresh) {
            for (std::size_t c = 0; c < line_count_fields_.size(); ++c) {
                u.lines_in_use[c] = catalogue::LinesInUse(u.record, *line_count_fields_[c]);
            }
        }
    }
    WriteUpsFamilies(out);
    WriteValueFamilies(out);
    if (outbox_depth) {
        AppendHeader(out, "ups_mqtt_outbox_entries", "gauge",
                     "Rounds and alarm changes in the MQTT outbox, waiting for the broker.");
        out += "ups_mqtt_outbox_entries ";
        AppendInteger(out, *outbox_depth);
        out += '\n';
    }
}

void MetricsText::WriteUpsFamilies(std::string& out) const
{
    const UpsScratch* const first = scratch_.data();
    const UpsScratch* const last = first + count_;

    AppendHeader(out, "ups_info", "gauge",
                 "Identity of a UPS with fresh data: its configured description, and the "
                 "manufacturer, model and firmware texts it reports. Always 1.");
    for (const UpsScratch* u = first; u != last; ++u) {
        if (!u->fresh) {
            continue;
        }
        OpenSample(out, "ups_info", u->labels);
        out += ",description=\"";
        AppendLabelValue(out, u->snapshot->description);
        out += "\",manufacturer=\"";
        AppendLabelValue(out, TextField(u->record, *manufacturer_));
        out += "\",model=\"";
        AppendLabelValue(out, TextField(u->record, *model_));
        out += "\",firmware=\"";
        AppendLabelValue(out, TextField(u->record, *firmware_));
        out += "\"} 1\n";
    }

    AppendHeader(out, "ups_data_stale", "gauge",
                 "1 while a UPS has no round, or its last round is older than its staleness "
                 "limit (its values are not exported then); else 0.");
    for (const UpsScratch* u = first; u != last; ++u) {
        OpenSample(out, "ups_data_stale", u->labels);
        out.append(u->fresh ? "} 0\n" : "} 1\n", 4);
    }

    AppendHeader(out, "ups_data_age_seconds", "gauge",
                 "Seconds since the last completed round of a UPS (none before the first).");
    for (const UpsScratch* u = first; u != last; ++u) {
        if (u->record == nullptr) {
            continue;
        }
        OpenSample(out, "ups_data_age_seconds", u->labels);
        out += "} ";
        // Milliseconds are plenty, and keep the text short.
        AppendNumber(out, std::round(u->snapshot->AgeSeconds(now_) * 1000.0) / 1000.0);
        out += '\n';
    }

    AppendHeader(out, "ups_last_round_timestamp_seconds", "gauge",
                 "When the last round of a UPS completed, in seconds since the Unix epoch "
                 "(the host's clock).");
    for (const UpsScratch* u = first; u != last; ++u) {
        if (u->record == nullptr) {
            continue;
        }
        OpenSample(out, "ups_last_round_timestamp_seconds", u->labels);
        out += "} ";
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            u->snapshot->last->time.time_since_epoch());
        AppendNumber(out, static_cast<double>(ms.count()) / 1000.0);
        out += '\n';
    }

    AppendHeader(out, "ups_link_state", "gauge",
                 "State of the serial link to a UPS: 1 for the current state, 0 for the others.");
    for (const UpsScratch* u = first; u != last; ++u) {
        for (std::size_t i = 0; i < state_tails_.size(); ++i) {
            OpenSample(out, "ups_link_state", u->labels);
            out += state_tails_[i];
            out.append(u->snapshot->line == kLineStates[i] ? "1\n" : "0\n", 2);
        }
    }

    for (const CounterFamily& counter : kCounterFamilies) {
        AppendHeader(out, counter.name, "counter", counter.help);
        for (const UpsScratch* u = first; u != last; ++u) {
            OpenSample(out, counter.name, u->labels);
            out += "} ";
            AppendInteger(out, u->snapshot->counters.*counter.member);
            out += '\n';
        }
    }

    AppendHeader(out, "ups_output_source", "gauge",
                 "Source feeding the output of a UPS: 1 for the current source, 0 for the others.");
    for (const UpsScratch* u = first; u != last; ++u) {
        if (!u->fresh) {
            continue;
        }
        const catalogue::OutputSource& current = catalogue::OutputSourceOf(
            static_cast<int>(catalogue::NumberAt(u->record, *output_source_)));
        const auto sources = catalogue::OutputSources();
        for (std::size_t i = 0; i < sources.size(); ++i) {
            OpenSample(out, "ups_output_source", u->labels);
            out += source_tails_[i];
            out.append(&sources[i] == &current ? "1\n" : "0\n", 2);
        }
    }

    AppendHeader(out, "ups_alarm", "gauge",
                 "Status alarm of a UPS: 1 active, 0 inactive; no series while the UPS does not "
                 "report the flag.");
    for (const UpsScratch* u = first; u != last; ++u) {
        if (!u->fresh) {
            continue;
        }
        for (std::size_t i = 0; i < kStatusAlarmCount; ++i) {
            const catalogue::AlarmState state =
                catalogue::StateOf(u->record, catalogue::kAlarmMeanings[i]);
            if (state == catalogue::AlarmState::NotReported) {
                continue;
            }
            OpenSample(out, "ups_alarm", u->labels);
            out += alarm_tails_[i];
            out.append(state == catalogue::AlarmState::Active ? "1\n" : "0\n", 2);
        }
    }
}

void MetricsText::WriteValueFamilies(std::string& out) const
{
    const UpsScratch* const first = scratch_.data();
    const UpsScratch* const last = first + count_;
    for (const ValueFamily& family : value_families_) {
        out += family.header;
        for (const UpsScratch* u = first; u != last; ++u) {
            if (!u->fresh) {
                continue;
            }
            for (const ValueSeries& series : family.series) {
                if (series.line_count >= 0 &&
                    series.line > u->lines_in_use[static_cast<std::size_t>(series.line_count)]) {
                    continue;
                }
                OpenSample(out, family.name, u->labels);
                out += series.tail;
                const double value = catalogue::NumberAt(u->record, *series.field) * series.factor;
                if (series.field->type == FieldType::Float32) {
                    AppendNumber(out, static_cast<float>(value));
                } else {
                    AppendNumber(out, value);
                }
                out += '\n';
            }
        }
    }
}

} // namespace metrics

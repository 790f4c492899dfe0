#include "CatalogueMarkdown.h"

#include <sstream>

#include "Catalogue.h"
#include "MetricFamilies.h"
#include "UpsMib.h"

namespace catalogue
{
namespace
{

const char* DerivationText(const Quantity& q, std::string& scratch)
{
    switch (q.derivation) {
    case Derivation::Field:
        scratch = std::string("`") + q.field + "`";
        if (q.factor != 1) {
            scratch += " × " + FormatNumber(q.factor, 0);
        }
        return scratch.c_str();
    case Derivation::Text:
        scratch = std::string("`") + q.field + "` (text)";
        return scratch.c_str();
    case Derivation::SumOverLines:
        scratch = std::string("sum of `") + q.field + "1`..`" + q.field + "n`, n = lines in use";
        return scratch.c_str();
    case Derivation::MaxOverLines:
        scratch =
            std::string("highest of `") + q.field + "1`..`" + q.field + "n`, n = lines in use";
        return scratch.c_str();
    case Derivation::Status:
        return "flags and `OutptSrc` (below)";
    case Derivation::Alarms:
        return "glosses of the active alarms, \", \" between them (absent when none)";
    case Derivation::OutputSource:
        return "`OutptSrc` code, named (below)";
    case Derivation::Constant:
        scratch = std::string("always \"") + q.field + "\"";
        return scratch.c_str();
    }
    return "";
}

std::string Or(const char* text, const char* fallback = "")
{
    return text != nullptr ? text : fallback;
}

} // namespace

std::string Markdown()
{
    std::ostringstream out;
    out << "# The value catalogue\n\n"
           "What every field of the 338-byte device record and every status alarm means,\n"
           "and the names under which halx-host exports them: the UPS network protocol\n"
           "(upsd's variables on port 3493), Prometheus, MQTT, Home Assistant and the\n"
           "UPS-MIB over SNMP. This file is generated from `tools/catalogue/Catalogue.cpp`\n"
           "and `tools/catalogue/UpsMib.cpp` by `ups-catalogue --markdown`; a test fails\n"
           "when they differ.\n\n";

    out << "## Exported values\n\n"
           "Per-line values are exported for the lines in use: line n while the\n"
           "line-count field (`InptLines`, `OutptLines`, `BypssLines`) is at least n;\n"
           "a count outside 1..3 counts as 1. Protocol values are written with the\n"
           "decimals given. Prometheus metrics carry the labels `ups` and, per line,\n"
           "`line`; percentages become ratios (× 0.01). The type is the protocol's\n"
           "`GET TYPE`: a number, or a string of at most n characters.\n\n"
           "| Variable | Unit | From the record | Line | Decimals | Type | Prometheus | Home "
           "Assistant class | Description |\n"
           "|---|---|---|---|---|---|---|---|---|\n";
    for (const Quantity& q : Quantities()) {
        std::string scratch;
        out << "| `" << q.nut << "` | " << q.unit << " | " << DerivationText(q, scratch) << " | "
            << (q.line == 0 ? std::string() : std::to_string(q.line)) << " | "
            << (q.derivation == Derivation::Field || q.derivation == Derivation::SumOverLines ||
                        q.derivation == Derivation::MaxOverLines
                    ? std::to_string(q.decimals)
                    : std::string())
            << " | " << ProtocolType(q) << " | "
            << (q.metric != nullptr ? "`" + std::string(q.metric) + "`" : std::string())
            << (q.metric != nullptr && q.metric_factor != 1 ? " (× 0.01)" : "") << " | "
            << Or(q.ha_class) << " | " << q.description << " |\n";
    }

    out << "\n## Values of the round and of the line\n\n"
           "Not from the record: how old the data is and how the line is. The servers\n"
           "answer these while the record's values are stale (older than the UPS's\n"
           "staleness limit), so that clients can tell fresh data from stale.\n\n"
           "| Variable | Unit | Type | Prometheus | Description |\n|---|---|---|---|---|\n";
    for (const RoundQuantity& q : RoundQuantities()) {
        out << "| `" << q.nut << "` | " << q.unit << " | " << q.type << " | "
            << (q.metric != nullptr ? "`" + std::string(q.metric) + "`" : std::string()) << " | "
            << q.description << " |\n";
    }

    out << "\n## Prometheus metrics\n\n"
           "One family per metric, with this HELP text; all are gauges. The rows that\n"
           "share a metric differ by their `line` label.\n\n"
           "| Metric | Labels | HELP |\n|---|---|---|\n";
    for (const MetricFamily& family : MetricFamilies()) {
        bool per_line = false;
        for (const Quantity& q : Quantities()) {
            per_line = per_line ||
                       (q.metric != nullptr && q.line != 0 && std::string(q.metric) == family.name);
        }
        out << "| `" << family.name << "` | " << (per_line ? "`ups`, `line`" : "`ups`") << " | "
            << family.help << " |\n";
    }

    out << "\n## ups.status\n\n"
           "The tokens, always in this order:\n\n"
           "| Token | When |\n|---|---|\n"
           "| OL | neither OB nor OFF |\n"
           "| OB | `InptFail` active, or `OutptSrc` is battery |\n"
           "| LB | `ShtdwnImmnnt` active (the UPS announces its shutdown) |\n"
           "| BYPASS | `OutptSrc` is bypass or manual bypass |\n"
           "| TRIM | `OutptSrc` is reducer |\n"
           "| BOOST | `OutptSrc` is booster |\n"
           "| OFF | `OutptOff` or `UpsOff` active, or `OutptSrc` is none |\n"
           "| FSD | `ShttngDwn` active (the UPS is shutting down), or a client's forced "
           "shutdown (the protocol's `FSD`, see docs/NUT.md) |\n"
           "| OVER | `OutptOvrCrrent` active |\n"
           "| ALARM | any of the fifteen alarms active |\n\n"
           "A flag is active when its byte is 1; 255 means the UPS did not report it.\n";

    out << "\n## Output source (`OutptSrc`)\n\n"
           "Our reading of the codes; any other code reads as \"other\".\n\n"
           "| Code | Source | ups.status | UPS-MIB upsOutputSource |\n|---|---|---|---|\n";
    for (const OutputSource& s : OutputSources()) {
        out << "| " << s.code << " | " << s.name << " | " << Or(s.nut_status) << " | " << s.rfc1628
            << " |\n";
    }

    out << "\n## Status alarms\n\n"
           "| Row | Key | Alarm id | Name | Description | Flag | Gloss (ups.alarm) | ups.status "
           "|\n|---|---|---|---|---|---|---|---|\n";
    for (std::size_t row = 0; row < kStatusAlarmCount; ++row) {
        const AlarmMeaning& a = kAlarmMeanings[row];
        out << "| " << row << " | `" << a.alarm->key << "` | " << a.alarm->alarm_id << " | "
            << a.alarm->name << " | " << a.alarm->description << " | `" << a.field << "` | "
            << a.gloss << " | " << Or(a.nut_status) << " |\n";
    }

    out << UpsMibMarkdown();

    out << "\n## Record fields\n\n"
           "| Offset | Field | Type | Unit | Meaning |\n|---|---|---|---|---|\n";
    for (const RecordField& field : kRecordFields) {
        const FieldMeaning* meaning = FindFieldMeaning(field.name);
        static const char* const kTypes[] = {"uint32", "int32",  "float32", "int8",
                                             "text16", "stamp7", "reserved"};
        out << "| " << field.offset << " | `" << field.name << "` | "
            << kTypes[static_cast<int>(field.type)] << " | "
            << (meaning != nullptr ? meaning->unit : "") << " | "
            << (meaning != nullptr ? meaning->meaning : "") << " |\n";
    }
    return out.str();
}

} // namespace catalogue

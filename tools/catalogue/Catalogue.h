// The value catalogue: what every field of the device record and every
// status alarm means, with its unit, and under which name each system we
// export to knows it: the UPS network protocol's standard variables (upsd,
// port 3493), Prometheus metrics, MQTT topics and Home Assistant sensors.
// Every exporter takes its names and conversions from here, so the names
// agree everywhere.  docs/CATALOGUE.md is this table, printed by
// `ups-catalogue --markdown`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "RecordReader.h"
#include "alarms/StatusAlarms.h"

namespace catalogue
{

// A table of the catalogue, for range-for.
template <class T> struct Table {
    const T* first;
    std::size_t count;
    const T* begin() const { return first; }
    const T* end() const { return first + count; }
    std::size_t size() const { return count; }
    const T& operator[](std::size_t i) const { return first[i]; }
};

// --- Record fields ---

// What one record field holds, in the unit its decoded value has.
struct FieldMeaning {
    const char* field;   // the record field (record/RecordFields.h)
    const char* unit;    // "V", "A", "Hz", "W", "%", "s", "min", "°C", "" (none)
    const char* meaning; // for people
};

// One entry per record field, in record order.
Table<FieldMeaning> FieldMeanings();
const FieldMeaning* FindFieldMeaning(const char* field);

// --- The source feeding the output (OutptSrc) ---

// Our reading of the OutptSrc codes.  A code not listed reads as "other".
struct OutputSource {
    int code;               // OutptSrc as stored
    const char* name;       // "inverter", "battery", "bypass", ...
    const char* nut_status; // the ups.status token it adds, or nullptr
    int rfc1628;            // upsOutputSource of the UPS-MIB
};
Table<OutputSource> OutputSources();
const OutputSource& OutputSourceOf(int code);

// --- Status alarms ---

enum class AlarmState {
    NotReported, // the UPS left the flag out (255)
    Inactive,    // any value but 1 and 255
    Active,      // 1
};

struct AlarmMeaning {
    const StatusAlarm* alarm; // key, alarm id, Chinese name and description
    const char* field;        // the status flag
    const char* gloss;        // English, for people and for ups.alarm
    const char* nut_status;   // the ups.status token it adds while active, or nullptr
};
// The fifteen alarms, in table order.
extern const AlarmMeaning kAlarmMeanings[kStatusAlarmCount];

// The alarm whose key is `key` ("deltaNHNT_3"), or nullptr.
const AlarmMeaning* FindAlarmMeaning(const std::string& key);

AlarmState StateOf(const unsigned char* record, const AlarmMeaning& alarm);

// --- Exported values ---

// How a value is obtained from the record.
enum class Derivation {
    Field,        // the record field, times `factor`
    Text,         // a 16-byte text field
    SumOverLines, // the sum of `field`1..n over the lines in use
    MaxOverLines, // the largest of `field`1..n over the lines in use
    Status,       // ups.status: the tokens derived from the flags and OutptSrc
    Alarms,       // ups.alarm: the glosses of the active alarms
    OutputSource, // the name of the OutptSrc code
    Constant,     // `field` is the value itself
};

struct Quantity {
    const char* nut;         // the standard variable name
    Derivation derivation;   //
    const char* field;       // the record field (a stem for the *OverLines derivations)
    const char* lines;       // the line-count field that says how many lines are in use, or nullptr
    std::uint8_t line;       // 1..3: a per-line value, exported while that line is in use
    const char* unit;        // unit of the exported value, "" for none
    double factor;           // record value times this is the value in `unit`
    int decimals;            // digits after the point in the protocol's text form
    const char* metric;      // Prometheus metric (with its base-unit suffix), or nullptr
    double metric_factor;    // value in `unit` times this is the metric's value
    const char* ha_class;    // Home Assistant device_class, or nullptr
    const char* description; // one line for people (the protocol's GET DESC)
};

// Every exported value, in the order the exporters list them.
Table<Quantity> Quantities();
const Quantity* FindQuantity(const std::string& nut);

// The protocol's GET TYPE of a value: "NUMBER", or "STRING:n" with n the
// most characters its text can have.
std::string ProtocolType(const Quantity& quantity);

// One exported value of one record.
struct Value {
    const Quantity* quantity = nullptr;
    bool numeric = false;
    double number = 0.0; // in quantity->unit, when numeric
    std::string text;    // the protocol's text form (numbers with their decimals)
};

// The lines in use by a line-count field: 1 to 3; a count outside that range
// (0, negative, a short reply) counts as 1 so that line 1 is always there.
int LinesInUse(const unsigned char* record, const char* lines_field);
// The same for a line-count field already looked up.
int LinesInUse(const unsigned char* record, const RecordField& lines_field);

// Every exported value of the record, in catalogue order; per-line values only
// for the lines in use.
std::vector<Value> Values(const unsigned char* record);
// One value, or false when the quantity is not exported for this record (a
// line not in use; ups.alarm while no alarm is active).
bool ValueOf(const unsigned char* record, const Quantity& quantity, Value& value);

// ups.status tokens, in a fixed order: OL or OB, LB, BYPASS, TRIM, BOOST,
// OFF, FSD, OVER, ALARM.  `forced_shutdown` adds FSD whatever the flags say:
// a server's forced-shutdown mark, set by a client (the protocol's FSD).
std::vector<std::string> StatusTokens(const unsigned char* record, bool forced_shutdown = false);
// The glosses of the active alarms, in table order.
std::vector<std::string> ActiveAlarmGlosses(const unsigned char* record);

// The number written as the protocol writes it: fixed, `decimals` digits.
std::string FormatNumber(double value, int decimals);

// --- Values of the round and of the line ---

// What the site monitor knows of the data rather than of the UPS: how old
// the last completed round is, when it completed, how the line is.  Servers
// answer these while the record's values are stale, so that clients can
// tell fresh data from stale.
enum class RoundDerivation {
    Age,       // seconds since the last completed round
    Time,      // the host's clock when it completed, UTC, ISO 8601
    LineState, // starting, up, failing, silent or lost
};

struct RoundQuantity {
    const char* nut;            // the protocol's variable name
    RoundDerivation derivation; //
    const char* unit;           // "s" or "" (none)
    const char* type;           // the protocol's GET TYPE
    const char* metric;         // Prometheus metric, or nullptr
    const char* description;    // one line for people (GET DESC)
};

Table<RoundQuantity> RoundQuantities();
const RoundQuantity* FindRoundQuantity(const std::string& nut);

} // namespace catalogue

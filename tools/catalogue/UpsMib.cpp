#include "UpsMib.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

namespace catalogue
{
namespace
{

constexpr std::int64_t kInt32Min = -2147483648LL;
constexpr std::int64_t kInt32Max = 2147483647LL;
constexpr std::int64_t kUint32Max = 4294967295LL;

using S = MibSyntax;
using F = MibSource;

// clang-format off
#define M(name, group, item, column, syntax, units, source, field, lines, scale, low, high, measurement, derivation) \
    MibObject{name, group, item, column, S::syntax, units, F::source, field, lines, scale, low, high, measurement, derivation}

const MibObject kObjects[] = {
    // upsIdent.
    M("upsIdentManufacturer", 1, 1, 0, DisplayString, "", Text, "UpsMnu", nullptr, 1, 0, 31, false, nullptr),
    M("upsIdentModel", 1, 2, 0, DisplayString, "", Text, "UpsMod", nullptr, 1, 0, 63, false, nullptr),
    M("upsIdentUPSSoftwareVersion", 1, 3, 0, DisplayString, "", Text, "UpsVer", nullptr, 1, 0, 63, false, nullptr),
    M("upsIdentAgentSoftwareVersion", 1, 4, 0, DisplayString, "", Agent, nullptr, nullptr, 1, 0, 63, false,
      "\"halx-host\" and its version"),
    M("upsIdentName", 1, 5, 0, DisplayString, "", Agent, nullptr, nullptr, 1, 0, 63, false,
      "the UPS's name in the site configuration"),
    // upsBattery.
    M("upsBatteryStatus", 2, 1, 0, Integer, "", BatteryStatus, nullptr, nullptr, 1, 1, 4, false, nullptr),
    M("upsSecondsOnBattery", 2, 2, 0, Integer, "seconds", SecondsOnBattery, "SecOnBattry", nullptr, 1, 0, kInt32Max, true, nullptr),
    M("upsEstimatedMinutesRemaining", 2, 3, 0, Integer, "minutes", Field, "EstMinRmn", nullptr, 1, 1, kInt32Max, true, nullptr),
    M("upsEstimatedChargeRemaining", 2, 4, 0, Integer, "percent", Field, "EstChrgRmn", nullptr, 1, 0, 100, true, nullptr),
    M("upsBatteryVoltage", 2, 5, 0, Integer, "0.1 Volt DC", Field, "BattryVlt", nullptr, 10, 0, kInt32Max, true, nullptr),
    M("upsBatteryCurrent", 2, 6, 0, Integer, "0.1 Amp DC", Field, "BattryCrrent", nullptr, 10, kInt32Min, kInt32Max, true, nullptr),
    M("upsBatteryTemperature", 2, 7, 0, Integer, "degrees Centigrade", Field, "BattryTmp", nullptr, 1, kInt32Min, kInt32Max, true, nullptr),
    // upsInput.
    M("upsInputLineBads", 3, 1, 0, Counter32, "", Agent, nullptr, nullptr, 1, 0, kUint32Max, false,
      "times `InptFail` was raised since halx-host started"),
    M("upsInputNumLines", 3, 2, 0, Integer, "", LinesInUse, "InptLines", nullptr, 1, 0, kInt32Max, true, nullptr),
    M("upsInputFrequency", 3, 3, 2, Integer, "0.1 Hertz", Field, "InptFrq", "InptLines", 10, 0, kInt32Max, true, nullptr),
    M("upsInputVoltage", 3, 3, 3, Integer, "RMS Volts", Field, "InptVlt", "InptLines", 1, 0, kInt32Max, true, nullptr),
    M("upsInputCurrent", 3, 3, 4, Integer, "0.1 RMS Amp", Field, "InptCrrent", "InptLines", 10, 0, kInt32Max, true, nullptr),
    M("upsInputTruePower", 3, 3, 5, Integer, "Watts", Field, "InptPwr", "InptLines", 1, 0, kInt32Max, true, nullptr),
    // upsOutput.
    M("upsOutputSource", 4, 1, 0, Integer, "", OutputSource, "OutptSrc", nullptr, 1, 1, 7, true, nullptr),
    M("upsOutputFrequency", 4, 2, 0, Integer, "0.1 Hertz", Field, "OutptFrq", nullptr, 10, 0, kInt32Max, true, nullptr),
    M("upsOutputNumLines", 4, 3, 0, Integer, "", LinesInUse, "OutptLines", nullptr, 1, 0, kInt32Max, true, nullptr),
    M("upsOutputVoltage", 4, 4, 2, Integer, "RMS Volts", Field, "OutptVlt", "OutptLines", 1, 0, kInt32Max, true, nullptr),
    M("upsOutputCurrent", 4, 4, 3, Integer, "0.1 RMS Amp", Field, "OutptCrrent", "OutptLines", 10, 0, kInt32Max, true, nullptr),
    M("upsOutputPower", 4, 4, 4, Integer, "Watts", Field, "OutptPwr", "OutptLines", 1, 0, kInt32Max, true, nullptr),
    M("upsOutputPercentLoad", 4, 4, 5, Integer, "percent", Field, "OutptLd", "OutptLines", 1, 0, 200, true, nullptr),
    // upsBypass.
    M("upsBypassFrequency", 5, 1, 0, Integer, "0.1 Hertz", Field, "BypssFrq", nullptr, 10, 0, kInt32Max, true, nullptr),
    M("upsBypassNumLines", 5, 2, 0, Integer, "", LinesInUse, "BypssLines", nullptr, 1, 0, kInt32Max, true, nullptr),
    M("upsBypassVoltage", 5, 3, 2, Integer, "RMS Volts", Field, "BypssVlt", "BypssLines", 1, 0, kInt32Max, true, nullptr),
    M("upsBypassCurrent", 5, 3, 3, Integer, "0.1 RMS Amp", Field, "BypssCrrent", "BypssLines", 10, 0, kInt32Max, true, nullptr),
    M("upsBypassPower", 5, 3, 4, Integer, "Watts", Field, "BypssPwr", "BypssLines", 1, 0, kInt32Max, true, nullptr),
    // upsAlarm.
    M("upsAlarmsPresent", 6, 1, 0, Gauge32, "", Agent, nullptr, nullptr, 1, 0, kUint32Max, false,
      "the rows of the alarm table"),
    M("upsAlarmDescr", 6, 2, 2, ObjectIdentifier, "", Agent, nullptr, nullptr, 1, 0, 0, false,
      "the row's well-known alarm (below); rows indexed by upsAlarmId, 1 for the first"),
    M("upsAlarmTime", 6, 2, 3, TimeTicks, "", Agent, nullptr, nullptr, 1, 0, kUint32Max, false,
      "the agent's uptime when the row was created; 0 when present in the UPS's first round"),
};
#undef M

const WellKnownAlarm kWellKnown[] = {
    {1, "upsAlarmBatteryBad", "one or more batteries require replacement"},
    {2, "upsAlarmOnBattery", "the UPS is drawing power from the batteries"},
    {3, "upsAlarmLowBattery", "the remaining run-time is at most upsConfigLowBattTime"},
    {4, "upsAlarmDepletedBattery", "the UPS cannot sustain the load if utility power is lost"},
    {5, "upsAlarmTempBad", "a temperature is out of tolerance"},
    {6, "upsAlarmInputBad", "an input condition is out of tolerance"},
    {7, "upsAlarmOutputBad", "an output condition (other than overload) is out of tolerance"},
    {8, "upsAlarmOutputOverload", "the output load exceeds the UPS output capacity"},
    {9, "upsAlarmOnBypass", "the bypass is presently engaged"},
    {10, "upsAlarmBypassBad", "the bypass is out of tolerance"},
    {11, "upsAlarmOutputOffAsRequested", "the UPS has shut down as requested: the output is off"},
    {12, "upsAlarmUpsOffAsRequested", "the entire UPS has shut down as commanded"},
    {13, "upsAlarmChargerFailed", "a problem within the UPS charger subsystem"},
    {14, "upsAlarmUpsOutputOff", "the output of the UPS is in the off state"},
    {15, "upsAlarmUpsSystemOff", "the UPS system is in the off state"},
    {16, "upsAlarmFanFailure", "one or more fans have failed"},
    {17, "upsAlarmFuseFailure", "one or more fuses have failed"},
    {18, "upsAlarmGeneralFault", "a general fault in the UPS"},
    {19, "upsAlarmDiagnosticTestFailed", "the last diagnostic test failed"},
    {20, "upsAlarmCommunicationsLost", "a problem in the communications between agent and UPS"},
    {21, "upsAlarmAwaitingPower", "the output is off, awaiting the return of input power"},
    {22, "upsAlarmShutdownPending", "a shutdown countdown is underway"},
    {23, "upsAlarmShutdownImminent", "the UPS will turn off power to the load in less than 5 s"},
    {24, "upsAlarmTestInProgress", "a test is in progress"},
};

const MibTrap kTraps[] = {
    {"upsTrapOnBattery", kTrapOnBattery, "upsEstimatedMinutesRemaining.0, upsSecondsOnBattery.0, upsIdentName.0",
     "the status turns OB (fresh data), then once a minute while it stays OB"},
    {"upsTrapAlarmEntryAdded", kTrapAlarmEntryAdded, "upsAlarmId.<id>, upsAlarmDescr.<id>, upsIdentName.0",
     "a row is added to the alarm table"},
    {"upsTrapAlarmEntryRemoved", kTrapAlarmEntryRemoved, "upsAlarmId.<id>, upsAlarmDescr.<id>, upsIdentName.0",
     "a row is removed from the alarm table"},
};
// clang-format on

} // namespace

// clang-format off
const MibAlarm kMibAlarms[kStatusAlarmCount] = {
    {&kAlarmMeanings[0], kAlarmGeneralFault, "a fault of the sensor, not a temperature out of tolerance (upsAlarmTempBad)"},
    {&kAlarmMeanings[1], 6, "the input power is out of tolerance (gone)"},
    {&kAlarmMeanings[2], 7, "an output condition other than overload"},
    {&kAlarmMeanings[3], 8, "output current too high: overload"},
    {&kAlarmMeanings[4], 10, "the bypass is out of tolerance"},
    {&kAlarmMeanings[5], 14, "the output is off; not known to be requested"},
    {&kAlarmMeanings[6], 15, "the whole UPS is off; not known to be commanded"},
    {&kAlarmMeanings[7], 13, "a problem in the charger"},
    {&kAlarmMeanings[8], kAlarmGeneralFault, "a fault of its own, \"system off\": the UPS off is UpsOff's (upsAlarmUpsSystemOff)"},
    {&kAlarmMeanings[9], 16, "a fan has failed"},
    {&kAlarmMeanings[10], 17, "a fuse has failed"},
    {&kAlarmMeanings[11], kAlarmGeneralFault, "no more specific alarm applies"},
    {&kAlarmMeanings[12], kAlarmGeneralFault, "the UPS's own supply, not the input (upsAlarmInputBad is InptFail's)"},
    {&kAlarmMeanings[13], 22, "the UPS is shutting down: a shutdown is underway"},
    {&kAlarmMeanings[14], 23, "the UPS announces it will turn off the load"},
};
// clang-format on

Table<MibObject> UpsMibObjects()
{
    return {kObjects, sizeof(kObjects) / sizeof(kObjects[0])};
}

const MibObject* FindMibObject(const char* name)
{
    for (const MibObject& object : kObjects) {
        if (std::strcmp(object.name, name) == 0) {
            return &object;
        }
    }
    return nullptr;
}

std::vector<std::uint32_t> MibOid(const MibObject& object)
{
    std::vector<std::uint32_t> oid(kUpsMibOid, kUpsMibOid + kUpsMibOidLength);
    oid.insert(oid.end(), {1, object.group, object.item});
    if (object.column != 0) {
        oid.insert(oid.end(), {1, object.column});
    }
    return oid;
}

std::string OidText(const std::vector<std::uint32_t>& oid)
{
    std::string text;
    for (const std::uint32_t arc : oid) {
        text += (text.empty() ? "" : ".") + std::to_string(arc);
    }
    return text;
}

namespace
{

// The record field of a scalar, or of `line` of a column; nullptr when the
// record has none (InptPwr3).
const RecordField* FieldOf(const MibObject& object, int line)
{
    if (object.field == nullptr) {
        return nullptr;
    }
    if (object.column == 0 || object.lines == nullptr) {
        return FindRecordField(object.field);
    }
    const std::string name = std::string(object.field) + static_cast<char>('0' + line);
    return FindRecordField(name.c_str());
}

std::int64_t Clamp(const MibObject& object, std::int64_t value)
{
    return std::min(std::max(value, object.low), object.high);
}

bool HasToken(const std::vector<std::string>& tokens, const char* token)
{
    return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

} // namespace

bool MibInteger(const unsigned char* record, const MibObject& object, int line, std::int64_t& value)
{
    if (object.column != 0 && object.lines != nullptr &&
        (line < 1 || line > LinesInUse(record, object.lines))) {
        return false;
    }
    switch (object.source) {
    case MibSource::Field: {
        const RecordField* field = FieldOf(object, line);
        if (field == nullptr) {
            return false;
        }
        const double scaled = NumberAt(record, *field) * object.scale;
        if (!std::isfinite(scaled)) {
            return false;
        }
        // Beyond the 64-bit range every value clamps alike.
        const double bounded = std::min(std::max(scaled, -9.0e18), 9.0e18);
        value = Clamp(object, std::llround(bounded));
        return true;
    }
    case MibSource::LinesInUse:
        value = Clamp(object, LinesInUse(record, object.field));
        return true;
    case MibSource::OutputSource: {
        const RecordField* field = FieldOf(object, 0);
        value = OutputSourceOf(static_cast<int>(NumberAt(record, *field))).rfc1628;
        return true;
    }
    case MibSource::BatteryStatus:
        value = BatteryStatusOf(StatusTokens(record));
        return true;
    case MibSource::SecondsOnBattery: {
        if (!OnBattery(record)) {
            value = 0;
            return true;
        }
        const RecordField* field = FieldOf(object, 0);
        value = Clamp(object, static_cast<std::int64_t>(NumberAt(record, *field)));
        return true;
    }
    case MibSource::Text:
    case MibSource::Agent:
        break;
    }
    return false;
}

std::string MibText(const unsigned char* record, const MibObject& object)
{
    const RecordField* field = FieldOf(object, 0);
    if (field == nullptr || object.source != MibSource::Text) {
        return std::string();
    }
    std::string text = TextAt(record, *field);
    for (char& c : text) {
        if (c < 0x20 || c > 0x7e) {
            c = '?';
        }
    }
    if (text.size() > static_cast<std::size_t>(object.high)) {
        text.resize(static_cast<std::size_t>(object.high));
    }
    return text;
}

int BatteryStatusOf(const std::vector<std::string>& tokens)
{
    if (HasToken(tokens, "OB") && HasToken(tokens, "FSD")) {
        return kBatteryDepleted;
    }
    return HasToken(tokens, "LB") ? kBatteryLow : kBatteryNormal;
}

bool OnBattery(const unsigned char* record)
{
    return HasToken(StatusTokens(record), "OB");
}

Table<WellKnownAlarm> WellKnownAlarms()
{
    return {kWellKnown, sizeof(kWellKnown) / sizeof(kWellKnown[0])};
}

const WellKnownAlarm& WellKnownAlarmOf(std::uint8_t number)
{
    for (const WellKnownAlarm& alarm : kWellKnown) {
        if (alarm.number == number) {
            return alarm;
        }
    }
    return kWellKnown[kAlarmGeneralFault - 1];
}

Table<MibTrap> UpsMibTraps()
{
    return {kTraps, sizeof(kTraps) / sizeof(kTraps[0])};
}

namespace
{

std::string RangeText(const MibObject& object)
{
    switch (object.syntax) {
    case MibSyntax::DisplayString:
        return "0.." + std::to_string(object.high) + " characters";
    case MibSyntax::ObjectIdentifier:
        return "";
    default:
        return std::to_string(object.low) + ".." + std::to_string(object.high);
    }
}

const char* SyntaxText(MibSyntax syntax)
{
    switch (syntax) {
    case MibSyntax::Integer:
        return "INTEGER";
    case MibSyntax::Gauge32:
        return "Gauge32";
    case MibSyntax::Counter32:
        return "Counter32";
    case MibSyntax::TimeTicks:
        return "TimeStamp";
    case MibSyntax::DisplayString:
        return "DisplayString";
    case MibSyntax::ObjectIdentifier:
        return "AutonomousType";
    }
    return "";
}

std::string SourceText(const MibObject& object)
{
    const std::string field = object.field == nullptr   ? std::string()
                              : object.lines != nullptr ? "`" + std::string(object.field) + "n`"
                                                        : "`" + std::string(object.field) + "`";
    const std::string per_line = object.lines != nullptr ? "; n = 1..lines in use" : "";
    switch (object.source) {
    case MibSource::Field:
        return field + (object.scale != 1 ? " × " + FormatNumber(object.scale, 0) : "") +
               ", rounded" + per_line;
    case MibSource::Text:
        return field + " (text, bytes outside printable ASCII as '?')";
    case MibSource::LinesInUse:
        return "lines in use by " + field + " (1..3)";
    case MibSource::OutputSource:
        return field + " code, as the output source table says";
    case MibSource::BatteryStatus:
        return "the ups.status tokens (below); unknown(1) while the data is stale";
    case MibSource::SecondsOnBattery:
        return field + " while ups.status has OB, else 0";
    case MibSource::Agent:
        return object.derivation;
    }
    return "";
}

} // namespace

std::string UpsMibMarkdown()
{
    std::ostringstream out;
    out << "\n## UPS-MIB (RFC 1628)\n\n"
           "What the SNMP subagent serves under upsObjects (1.3.6.1.2.1.33.1), from the\n"
           "UPS's last completed round. Each value is the record's value in the MIB's UNITS, "
           "rounded to the nearest integer and clamped into the\n"
           "SYNTAX's range (a negative voltage reads 0, 0 minutes remaining reads 1, the\n"
           "MIB's PositiveInteger). Table columns have one row per line in use (the\n"
           "record has no `InptPwr3`: line 3 has no upsInputTruePower). While the UPS's\n"
           "data is stale (no round within its `stale_after`) the measurements are\n"
           "withheld (noSuchInstance, left out of walks), upsBatteryStatus is unknown(1)\n"
           "and the alarm table gains upsAlarmCommunicationsLost; the identity, the\n"
           "counters and the other alarm rows stay.\n\n"
           "| Object | OID | SYNTAX | UNITS | Range | From the record | Withheld when stale "
           "|\n|---|---|---|---|---|---|---|\n";
    for (const MibObject& object : UpsMibObjects()) {
        std::vector<std::uint32_t> oid = MibOid(object);
        out << "| " << object.name << " | " << OidText(oid) << (object.column != 0 ? ".n" : ".0")
            << " | " << SyntaxText(object.syntax) << " | " << object.units << " | "
            << RangeText(object) << " | " << SourceText(object) << " | "
            << (object.measurement ? "yes" : "") << " |\n";
    }

    out << "\n### upsBatteryStatus\n\n"
           "| Value | When |\n|---|---|\n"
           "| unknown(1) | the data is stale, or there is no round yet |\n"
           "| batteryDepleted(4) | ups.status has OB and FSD (shutting down on battery) |\n"
           "| batteryLow(3) | otherwise, ups.status has LB |\n"
           "| batteryNormal(2) | otherwise |\n";

    out << "\n### Alarms\n\n"
           "Each status alarm maps to the nearest of the MIB's well-known alarms\n"
           "(upsWellKnownAlarms, 1.3.6.1.2.1.33.1.6.3.n); one with no close match maps to\n"
           "upsAlarmGeneralFault and keeps its own description here and in ups.alarm. The alarm "
           "table has one row per\n"
           "well-known alarm in effect, as the MIB requires (no two rows with one\n"
           "upsAlarmDescr): the row is added when the first of its status alarms is\n"
           "raised and removed when the last of them clears.\n\n"
           "| Row | Key | Description | Gloss | Well-known alarm | Why |\n"
           "|---|---|---|---|---|---|\n";
    for (std::size_t row = 0; row < kStatusAlarmCount; ++row) {
        const MibAlarm& a = kMibAlarms[row];
        const WellKnownAlarm& known = WellKnownAlarmOf(a.well_known);
        out << "| " << row << " | `" << a.alarm->alarm->key << "` | " << a.alarm->alarm->description
            << " | " << a.alarm->gloss << " | " << known.name << " (" << int(known.number) << ") | "
            << a.why << " |\n";
    }
    out << "| | | | data stale | upsAlarmCommunicationsLost (20) | the agent's own: no round "
           "within `stale_after` |\n";

    out << "\n### Notifications\n\n"
           "Sent through the master agent to its trap sinks; the trap OID is upsTraps.n\n"
           "(1.3.6.1.2.1.33.2.n). upsIdentName.0 is appended to tell the UPSes apart.\n\n"
           "| Notification | n | Objects | When |\n|---|---|---|---|\n";
    for (const MibTrap& trap : UpsMibTraps()) {
        out << "| " << trap.name << " | " << int(trap.number) << " | " << trap.objects << " | "
            << trap.when << " |\n";
    }
    return out.str();
}

} // namespace catalogue

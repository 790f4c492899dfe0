#include "Catalogue.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "record/StatusFlags.h"

namespace catalogue
{

// clang-format off
namespace
{

const FieldMeaning kFieldMeanings[] = {
    {"DataId", "", "the host's data identifier of the device"},
    {"UpsMnu", "", "manufacturer text (MNU reply)"},
    {"UpsMod", "", "model text (MOD reply)"},
    {"RatInptVlt", "V", "rated input voltage"},
    {"RatValue1", "", "rating field 1 (tenths)"},
    {"RatOuptVlt", "V", "rated output voltage"},
    {"RatValue3", "", "rating field 3 (tenths)"},
    {"RatValue4", "", "rating field 4"},
    {"RatValue5", "", "rating field 5"},
    {"RatByte6", "", "rating field 6"},
    {"RatValue7", "", "rating field 7"},
    {"RatValue8", "", "rating field 8"},
    {"RatValue9", "", "rating field 9"},
    {"RatValue10", "", "rating field 10"},
    {"RatValue11", "", "rating field 11"},
    {"RatValue12", "", "rating field 12"},
    {"RatByte13", "", "rating field 13"},
    {"RatBttryVlt", "V", "rated battery voltage"},
    {"RatValue15", "", "rating field 15 (tenths)"},
    {"RatValue16", "", "rating field 16 (tenths)"},
    {"RatValue17", "", "rating field 17 (tenths)"},
    {"RatValue18", "", "rating field 18 (tenths)"},
    {"RatValue19", "", "rating field 19 (tenths)"},
    {"RatValue20", "", "rating field 20 (tenths)"},
    {"StbByte0", "", "battery reply field 0"},
    {"StbByte1", "", "battery reply field 1"},
    {"StbByte2", "", "battery reply field 2"},
    {"SecOnBattry", "s", "time on battery"},
    {"EstMinRmn", "min", "estimated battery time remaining"},
    {"EstChrgRmn", "%", "estimated battery charge remaining"},
    {"BattryVlt", "V", "battery voltage"},
    {"BattryCrrent", "A", "battery current"},
    {"BattryTmp", "°C", "battery temperature"},
    {"StbValue9", "", "battery reply field 9"},
    {"Reserved145", "", "reserved"},
    {"InptLines", "", "number of input lines"},
    {"InptFrq1", "Hz", "input line 1 frequency"},
    {"InptVlt1", "V", "input line 1 voltage"},
    {"InptCrrent1", "A", "input line 1 current"},
    {"InptPwr1", "W", "input line 1 power"},
    {"InptFrq2", "Hz", "input line 2 frequency"},
    {"InptVlt2", "V", "input line 2 voltage"},
    {"InptCrrent2", "A", "input line 2 current"},
    {"InptPwr2", "W", "input line 2 power"},
    {"InptFrq3", "Hz", "input line 3 frequency"},
    {"InptVlt3", "V", "input line 3 voltage"},
    {"InptCrrent3", "A", "input line 3 current"},
    {"Reserved194", "", "reserved"},
    {"OutptSrc", "", "code of the source feeding the output"},
    {"OutptFrq", "Hz", "output frequency"},
    {"OutptLines", "", "number of output lines"},
    {"OutptVlt1", "V", "output line 1 voltage"},
    {"OutptCrrent1", "A", "output line 1 current"},
    {"OutptPwr1", "W", "output line 1 power"},
    {"OutptLd1", "%", "output line 1 load"},
    {"OutptVlt2", "V", "output line 2 voltage"},
    {"OutptCrrent2", "A", "output line 2 current"},
    {"OutptPwr2", "W", "output line 2 power"},
    {"OutptLd2", "%", "output line 2 load"},
    {"OutptVlt3", "V", "output line 3 voltage"},
    {"OutptCrrent3", "A", "output line 3 current"},
    {"OutptPwr3", "W", "output line 3 power"},
    {"OutptLd3", "%", "output line 3 load"},
    {"BypssFrq", "Hz", "bypass frequency"},
    {"BypssLines", "", "number of bypass lines"},
    {"BypssVlt1", "V", "bypass line 1 voltage"},
    {"BypssCrrent1", "A", "bypass line 1 current"},
    {"BypssPwr1", "W", "bypass line 1 power"},
    {"BypssVlt2", "V", "bypass line 2 voltage"},
    {"BypssCrrent2", "A", "bypass line 2 current"},
    {"BypssPwr2", "W", "bypass line 2 power"},
    {"BypssVlt3", "V", "bypass line 3 voltage"},
    {"BypssCrrent3", "A", "bypass line 3 current"},
    {"BypssPwr3", "W", "bypass line 3 power"},
    {"TmpFault", "", "status flag: temperature sensor fault"},
    {"InptFail", "", "status flag: input power interrupted"},
    {"OutptFault", "", "status flag: output power fault"},
    {"OutptOvrCrrent", "", "status flag: AC output current too high"},
    {"BypssOutOfLmt", "", "status flag: bypass out of limits"},
    {"OutptOff", "", "status flag: UPS output stopped"},
    {"UpsOff", "", "status flag: UPS shut off"},
    {"ChrgrFault", "", "status flag: charger fault"},
    {"SysOff", "", "status flag: system off"},
    {"FanFault", "", "status flag: fan fault"},
    {"FuseFault", "", "status flag: fuse fault"},
    {"SysAbnrml", "", "status flag: system abnormal"},
    {"UpsPwrLost", "", "status flag: UPS lost power"},
    {"ShttngDwn", "", "status flag: UPS shutting down"},
    {"ShtdwnImmnnt", "", "status flag: shutdown imminent"},
    {"StaFlag15", "", "alarm reply flag 15"},
    {"StaFlag16", "", "alarm reply flag 16"},
    {"StaFlag17", "", "alarm reply flag 17"},
    {"StaFlag18", "", "alarm reply flag 18"},
    {"Reserved312", "", "reserved"},
    {"UpsVer", "", "version text (VER reply)"},
    {"RoundTime", "", "host time stamp of the cycle's completion"},
};
// clang-format on

} // namespace

Table<FieldMeaning> FieldMeanings()
{
    return {kFieldMeanings, sizeof(kFieldMeanings) / sizeof(kFieldMeanings[0])};
}

const FieldMeaning* FindFieldMeaning(const char* field)
{
    for (const FieldMeaning& meaning : kFieldMeanings) {
        if (std::strcmp(meaning.field, field) == 0) {
            return &meaning;
        }
    }
    return nullptr;
}

// The UPS-MIB's upsOutputSource: other(1), none(2), normal(3), bypass(4),
// battery(5), booster(6), reducer(7).
namespace
{

// clang-format off
const OutputSource kOutputSources[] = {
    {0, "inverter", nullptr, 3},
    {1, "battery", nullptr, 5},
    {2, "bypass", "BYPASS", 4},
    {3, "reducer", "TRIM", 7},
    {4, "booster", "BOOST", 6},
    {5, "manual bypass", "BYPASS", 4},
    {6, "other", nullptr, 1},
    {7, "none", nullptr, 2},
};
// clang-format on

} // namespace

Table<OutputSource> OutputSources()
{
    return {kOutputSources, sizeof(kOutputSources) / sizeof(kOutputSources[0])};
}

const OutputSource& OutputSourceOf(int code)
{
    for (const OutputSource& source : kOutputSources) {
        if (source.code == code) {
            return source;
        }
    }
    return kOutputSources[6]; // other
}

// clang-format off
const AlarmMeaning kAlarmMeanings[kStatusAlarmCount] = {
    {&kStatusAlarms[0], "TmpFault", "temperature sensor fault", nullptr},
    {&kStatusAlarms[1], "InptFail", "input power interrupted", "OB"},
    {&kStatusAlarms[2], "OutptFault", "output power fault", nullptr},
    {&kStatusAlarms[3], "OutptOvrCrrent", "AC output current too high", "OVER"},
    {&kStatusAlarms[4], "BypssOutOfLmt", "bypass out of limits", nullptr},
    {&kStatusAlarms[5], "OutptOff", "UPS output stopped", "OFF"},
    {&kStatusAlarms[6], "UpsOff", "UPS shut off", "OFF"},
    {&kStatusAlarms[7], "ChrgrFault", "charger fault", nullptr},
    {&kStatusAlarms[8], "SysOff", "system off", nullptr},
    {&kStatusAlarms[9], "FanFault", "fan fault", nullptr},
    {&kStatusAlarms[10], "FuseFault", "fuse fault", nullptr},
    {&kStatusAlarms[11], "SysAbnrml", "system abnormal", nullptr},
    {&kStatusAlarms[12], "UpsPwrLost", "UPS lost power", nullptr},
    {&kStatusAlarms[13], "ShttngDwn", "UPS shutting down", "FSD"},
    {&kStatusAlarms[14], "ShtdwnImmnnt", "shutdown imminent", "LB"},
};
// clang-format on

const AlarmMeaning* FindAlarmMeaning(const std::string& key)
{
    for (const AlarmMeaning& alarm : kAlarmMeanings) {
        if (key == alarm.alarm->key) {
            return &alarm;
        }
    }
    return nullptr;
}

AlarmState StateOf(const unsigned char* record, const AlarmMeaning& alarm)
{
    const std::uint8_t flag = record[alarm.alarm->offset];
    if (flag == kStatusFlagNotReported) {
        return AlarmState::NotReported;
    }
    return flag == kStatusFlagActive ? AlarmState::Active : AlarmState::Inactive;
}

namespace
{

using D = Derivation;

constexpr double kPercentToRatio = 0.01;

// clang-format off
#define Q(nut, derivation, field, lines, line, unit, factor, decimals, metric, metric_factor, ha, description) \
    Quantity{nut, D::derivation, field, lines, line, unit, factor, decimals, metric, metric_factor, ha, description}

const Quantity kQuantities[] = {
    // Identity.
    Q("device.mfr", Text, "UpsMnu", nullptr, 0, "", 1, 0, nullptr, 1, nullptr, "Device manufacturer"),
    Q("device.model", Text, "UpsMod", nullptr, 0, "", 1, 0, nullptr, 1, nullptr, "Device model"),
    Q("device.type", Constant, "ups", nullptr, 0, "", 1, 0, nullptr, 1, nullptr, "Device type"),
    Q("ups.mfr", Text, "UpsMnu", nullptr, 0, "", 1, 0, nullptr, 1, nullptr, "UPS manufacturer"),
    Q("ups.model", Text, "UpsMod", nullptr, 0, "", 1, 0, nullptr, 1, nullptr, "UPS model"),
    Q("ups.firmware", Text, "UpsVer", nullptr, 0, "", 1, 0, nullptr, 1, nullptr, "UPS firmware"),
    Q("driver.name", Constant, "deltanhnt", nullptr, 0, "", 1, 0, nullptr, 1, nullptr, "Driver name"),
    // State.
    Q("ups.status", Status, nullptr, nullptr, 0, "", 1, 0, nullptr, 1, nullptr, "UPS status"),
    Q("ups.alarm", Alarms, nullptr, nullptr, 0, "", 1, 0, nullptr, 1, nullptr, "UPS alarms"),
    Q("ups.load", MaxOverLines, "OutptLd", "OutptLines", 0, "%", 1, 0, nullptr, 1, nullptr, "Load on UPS (the highest output line)"),
    Q("ups.realpower", SumOverLines, "OutptPwr", "OutptLines", 0, "W", 1, 0, nullptr, 1, "power", "Current value of real power (all output lines)"),
    Q("experimental.output.source", OutputSource, "OutptSrc", nullptr, 0, "", 1, 0, nullptr, 1, nullptr, "Source feeding the output"),
    // Battery.
    Q("battery.charge", Field, "EstChrgRmn", nullptr, 0, "%", 1, 0, "ups_battery_charge_ratio", kPercentToRatio, "battery", "Battery charge"),
    Q("battery.runtime", Field, "EstMinRmn", nullptr, 0, "s", 60, 0, "ups_battery_runtime_seconds", 1, "duration", "Battery runtime"),
    Q("battery.voltage", Field, "BattryVlt", nullptr, 0, "V", 1, 1, "ups_battery_voltage_volts", 1, "voltage", "Battery voltage"),
    Q("battery.current", Field, "BattryCrrent", nullptr, 0, "A", 1, 1, "ups_battery_current_amperes", 1, "current", "Battery current"),
    Q("battery.temperature", Field, "BattryTmp", nullptr, 0, "°C", 1, 0, "ups_battery_temperature_celsius", 1, "temperature", "Battery temperature"),
    Q("battery.voltage.nominal", Field, "RatBttryVlt", nullptr, 0, "V", 1, 0, "ups_battery_voltage_nominal_volts", 1, "voltage", "Nominal battery voltage"),
    Q("experimental.battery.onbattery", Field, "SecOnBattry", nullptr, 0, "s", 1, 0, "ups_on_battery_seconds", 1, "duration", "Time on battery"),
    // Input.
    Q("input.phases", Field, "InptLines", nullptr, 0, "", 1, 0, "ups_input_phases", 1, nullptr, "Number of input lines"),
    Q("input.voltage.nominal", Field, "RatInptVlt", nullptr, 0, "V", 1, 0, "ups_input_voltage_nominal_volts", 1, "voltage", "Nominal input voltage"),
    Q("input.frequency", Field, "InptFrq1", "InptLines", 1, "Hz", 1, 1, "ups_input_frequency_hertz", 1, "frequency", "Input line frequency (line 1)"),
    Q("experimental.input.L2.frequency", Field, "InptFrq2", "InptLines", 2, "Hz", 1, 1, "ups_input_frequency_hertz", 1, "frequency", "Input line 2 frequency"),
    Q("experimental.input.L3.frequency", Field, "InptFrq3", "InptLines", 3, "Hz", 1, 1, "ups_input_frequency_hertz", 1, "frequency", "Input line 3 frequency"),
    Q("input.voltage", Field, "InptVlt1", nullptr, 0, "V", 1, 1, nullptr, 1, "voltage", "Input voltage (line 1)"),
    Q("input.L1-N.voltage", Field, "InptVlt1", "InptLines", 1, "V", 1, 1, "ups_input_voltage_volts", 1, "voltage", "Input line 1 voltage"),
    Q("input.L2-N.voltage", Field, "InptVlt2", "InptLines", 2, "V", 1, 1, "ups_input_voltage_volts", 1, "voltage", "Input line 2 voltage"),
    Q("input.L3-N.voltage", Field, "InptVlt3", "InptLines", 3, "V", 1, 1, "ups_input_voltage_volts", 1, "voltage", "Input line 3 voltage"),
    Q("input.current", Field, "InptCrrent1", nullptr, 0, "A", 1, 1, nullptr, 1, "current", "Input current (line 1)"),
    Q("input.L1.current", Field, "InptCrrent1", "InptLines", 1, "A", 1, 1, "ups_input_current_amperes", 1, "current", "Input line 1 current"),
    Q("input.L2.current", Field, "InptCrrent2", "InptLines", 2, "A", 1, 1, "ups_input_current_amperes", 1, "current", "Input line 2 current"),
    Q("input.L3.current", Field, "InptCrrent3", "InptLines", 3, "A", 1, 1, "ups_input_current_amperes", 1, "current", "Input line 3 current"),
    Q("input.L1.realpower", Field, "InptPwr1", "InptLines", 1, "W", 1, 0, "ups_input_realpower_watts", 1, "power", "Input line 1 real power"),
    Q("input.L2.realpower", Field, "InptPwr2", "InptLines", 2, "W", 1, 0, "ups_input_realpower_watts", 1, "power", "Input line 2 real power"),
    // Output.
    Q("output.phases", Field, "OutptLines", nullptr, 0, "", 1, 0, "ups_output_phases", 1, nullptr, "Number of output lines"),
    Q("output.voltage.nominal", Field, "RatOuptVlt", nullptr, 0, "V", 1, 0, "ups_output_voltage_nominal_volts", 1, "voltage", "Nominal output voltage"),
    Q("output.frequency", Field, "OutptFrq", nullptr, 0, "Hz", 1, 1, "ups_output_frequency_hertz", 1, "frequency", "Output frequency"),
    Q("output.voltage", Field, "OutptVlt1", nullptr, 0, "V", 1, 1, nullptr, 1, "voltage", "Output voltage (line 1)"),
    Q("output.L1-N.voltage", Field, "OutptVlt1", "OutptLines", 1, "V", 1, 1, "ups_output_voltage_volts", 1, "voltage", "Output line 1 voltage"),
    Q("output.L2-N.voltage", Field, "OutptVlt2", "OutptLines", 2, "V", 1, 1, "ups_output_voltage_volts", 1, "voltage", "Output line 2 voltage"),
    Q("output.L3-N.voltage", Field, "OutptVlt3", "OutptLines", 3, "V", 1, 1, "ups_output_voltage_volts", 1, "voltage", "Output line 3 voltage"),
    Q("output.current", Field, "OutptCrrent1", nullptr, 0, "A", 1, 1, nullptr, 1, "current", "Output current (line 1)"),
    Q("output.L1.current", Field, "OutptCrrent1", "OutptLines", 1, "A", 1, 1, "ups_output_current_amperes", 1, "current", "Output line 1 current"),
    Q("output.L2.current", Field, "OutptCrrent2", "OutptLines", 2, "A", 1, 1, "ups_output_current_amperes", 1, "current", "Output line 2 current"),
    Q("output.L3.current", Field, "OutptCrrent3", "OutptLines", 3, "A", 1, 1, "ups_output_current_amperes", 1, "current", "Output line 3 current"),
    Q("output.L1.realpower", Field, "OutptPwr1", "OutptLines", 1, "W", 1, 0, "ups_output_realpower_watts", 1, "power", "Output line 1 real power"),
    Q("output.L2.realpower", Field, "OutptPwr2", "OutptLines", 2, "W", 1, 0, "ups_output_realpower_watts", 1, "power", "Output line 2 real power"),
    Q("output.L3.realpower", Field, "OutptPwr3", "OutptLines", 3, "W", 1, 0, "ups_output_realpower_watts", 1, "power", "Output line 3 real power"),
    Q("output.L1.power.percent", Field, "OutptLd1", "OutptLines", 1, "%", 1, 0, "ups_output_load_ratio", kPercentToRatio, nullptr, "Output line 1 load"),
    Q("output.L2.power.percent", Field, "OutptLd2", "OutptLines", 2, "%", 1, 0, "ups_output_load_ratio", kPercentToRatio, nullptr, "Output line 2 load"),
    Q("output.L3.power.percent", Field, "OutptLd3", "OutptLines", 3, "%", 1, 0, "ups_output_load_ratio", kPercentToRatio, nullptr, "Output line 3 load"),
    // Bypass.
    Q("input.bypass.phases", Field, "BypssLines", nullptr, 0, "", 1, 0, "ups_bypass_phases", 1, nullptr, "Number of bypass lines"),
    Q("input.bypass.frequency", Field, "BypssFrq", nullptr, 0, "Hz", 1, 1, "ups_bypass_frequency_hertz", 1, "frequency", "Bypass frequency"),
    Q("input.bypass.voltage", Field, "BypssVlt1", nullptr, 0, "V", 1, 1, nullptr, 1, "voltage", "Bypass voltage (line 1)"),
    Q("input.bypass.L1-N.voltage", Field, "BypssVlt1", "BypssLines", 1, "V", 1, 1, "ups_bypass_voltage_volts", 1, "voltage", "Bypass line 1 voltage"),
    Q("input.bypass.L2-N.voltage", Field, "BypssVlt2", "BypssLines", 2, "V", 1, 1, "ups_bypass_voltage_volts", 1, "voltage", "Bypass line 2 voltage"),
    Q("input.bypass.L3-N.voltage", Field, "BypssVlt3", "BypssLines", 3, "V", 1, 1, "ups_bypass_voltage_volts", 1, "voltage", "Bypass line 3 voltage"),
    Q("input.bypass.current", Field, "BypssCrrent1", nullptr, 0, "A", 1, 1, nullptr, 1, "current", "Bypass current (line 1)"),
    Q("input.bypass.L1.current", Field, "BypssCrrent1", "BypssLines", 1, "A", 1, 1, "ups_bypass_current_amperes", 1, "current", "Bypass line 1 current"),
    Q("input.bypass.L2.current", Field, "BypssCrrent2", "BypssLines", 2, "A", 1, 1, "ups_bypass_current_amperes", 1, "current", "Bypass line 2 current"),
    Q("input.bypass.L3.current", Field, "BypssCrrent3", "BypssLines", 3, "A", 1, 1, "ups_bypass_current_amperes", 1, "current", "Bypass line 3 current"),
    Q("input.bypass.L1.realpower", Field, "BypssPwr1", "BypssLines", 1, "W", 1, 0, "ups_bypass_realpower_watts", 1, "power", "Bypass line 1 real power"),
    Q("input.bypass.L2.realpower", Field, "BypssPwr2", "BypssLines", 2, "W", 1, 0, "ups_bypass_realpower_watts", 1, "power", "Bypass line 2 real power"),
    Q("input.bypass.L3.realpower", Field, "BypssPwr3", "BypssLines", 3, "W", 1, 0, "ups_bypass_realpower_watts", 1, "power", "Bypass line 3 real power"),
};
#undef Q
// clang-format on

} // namespace

Table<Quantity> Quantities()
{
    return {kQuantities, sizeof(kQuantities) / sizeof(kQuantities[0])};
}

const Quantity* FindQuantity(const std::string& nut)
{
    for (const Quantity& quantity : kQuantities) {
        if (nut == quantity.nut) {
            return &quantity;
        }
    }
    return nullptr;
}

namespace
{

const RecordField& Field(const char* name)
{
    // The tables name only fields that exist (checked by the tests).
    const RecordField* field = FindRecordField(name);
    return field != nullptr ? *field : kRecordFields[0];
}

double NumberOf(const unsigned char* record, const char* name)
{
    return NumberAt(record, Field(name));
}

// "OutptLd" and line 2: "OutptLd2".
std::string LineField(const char* stem, int line)
{
    return std::string(stem) + static_cast<char>('0' + line);
}

std::string Join(const std::vector<std::string>& words, const char* separator)
{
    std::string text;
    for (const std::string& word : words) {
        if (!text.empty()) {
            text += separator;
        }
        text += word;
    }
    return text;
}

void AddToken(std::vector<std::string>& tokens, const char* token)
{
    if (std::find(tokens.begin(), tokens.end(), token) == tokens.end()) {
        tokens.emplace_back(token);
    }
}

} // namespace

int LinesInUse(const unsigned char* record, const RecordField& lines_field)
{
    const double count = NumberAt(record, lines_field);
    return count >= 1 && count <= 3 ? static_cast<int>(count) : 1;
}

int LinesInUse(const unsigned char* record, const char* lines_field)
{
    return LinesInUse(record, Field(lines_field));
}

std::string FormatNumber(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    // No "-0.0": a negative value that rounds to zero is written as zero.
    if (text[0] == '-' && std::strspn(text + 1, "0.") == std::strlen(text + 1)) {
        return std::string(text + 1);
    }
    return text;
}

namespace
{

// The order of the ups.status tokens.
const char* const kStatusOrder[] = {"OL",    "OB",  "LB",  "BYPASS", "TRIM",
                                    "BOOST", "OFF", "FSD", "OVER",   "ALARM"};

} // namespace

std::vector<std::string> StatusTokens(const unsigned char* record, bool forced_shutdown)
{
    std::vector<std::string> raised;
    if (forced_shutdown) {
        raised.emplace_back("FSD");
    }
    bool any_alarm = false;
    for (const AlarmMeaning& alarm : kAlarmMeanings) {
        if (StateOf(record, alarm) == AlarmState::Active) {
            any_alarm = true;
            if (alarm.nut_status != nullptr) {
                AddToken(raised, alarm.nut_status);
            }
        }
    }
    const OutputSource& source = OutputSourceOf(static_cast<int>(NumberOf(record, "OutptSrc")));
    if (source.code == 1) {
        AddToken(raised, "OB");
    } else if (source.code == 7) {
        AddToken(raised, "OFF");
    }
    if (source.nut_status != nullptr) {
        AddToken(raised, source.nut_status);
    }
    const bool on_battery = std::find(raised.begin(), raised.end(), "OB") != raised.end();
    const bool off = std::find(raised.begin(), raised.end(), "OFF") != raised.end();
    if (!on_battery && !off) {
        raised.emplace_back("OL");
    }
    if (any_alarm) {
        raised.emplace_back("ALARM");
    }
    std::vector<std::string> tokens;
    for (const char* token : kStatusOrder) {
        if (std::find(raised.begin(), raised.end(), token) != raised.end()) {
            tokens.emplace_back(token);
        }
    }
    return tokens;
}

std::vector<std::string> ActiveAlarmGlosses(const unsigned char* record)
{
    std::vector<std::string> glosses;
    for (const AlarmMeaning& alarm : kAlarmMeanings) {
        if (StateOf(record, alarm) == AlarmState::Active) {
            glosses.emplace_back(alarm.gloss);
        }
    }
    return glosses;
}

bool ValueOf(const unsigned char* record, const Quantity& q, Value& value)
{
    value = Value();
    value.quantity = &q;
    if (q.line != 0 && q.lines != nullptr && q.line > LinesInUse(record, q.lines)) {
        return false;
    }
    const auto number = [&](double n) {
        value.numeric = true;
        value.number = n;
        value.text = FormatNumber(n, q.decimals);
    };
    switch (q.derivation) {
    case D::Field:
        number(NumberOf(record, q.field) * q.factor);
        break;
    case D::Text:
        value.text = TextAt(record, Field(q.field));
        break;
    case D::SumOverLines:
    case D::MaxOverLines: {
        const int lines = LinesInUse(record, q.lines);
        double result = 0.0;
        for (int line = 1; line <= lines; ++line) {
            const double n = NumberOf(record, LineField(q.field, line).c_str()) * q.factor;
            result = q.derivation == D::SumOverLines ? result + n
                     : line == 1                     ? n
                                                     : std::max(result, n);
        }
        number(result);
        break;
    }
    case D::Status:
        value.text = Join(StatusTokens(record), " ");
        break;
    case D::Alarms:
        // Present only while an alarm is active.
        value.text = Join(ActiveAlarmGlosses(record), ", ");
        if (value.text.empty()) {
            return false;
        }
        break;
    case D::OutputSource:
        value.text = OutputSourceOf(static_cast<int>(NumberOf(record, q.field))).name;
        break;
    case D::Constant:
        value.text = q.field;
        break;
    }
    return true;
}

std::vector<Value> Values(const unsigned char* record)
{
    std::vector<Value> values;
    values.reserve(Quantities().size());
    for (const Quantity& quantity : kQuantities) {
        Value value;
        if (ValueOf(record, quantity, value)) {
            values.push_back(std::move(value));
        }
    }
    return values;
}

std::string ProtocolType(const Quantity& q)
{
    std::size_t longest = 0;
    switch (q.derivation) {
    case D::Field:
    case D::SumOverLines:
    case D::MaxOverLines:
        return "NUMBER";
    case D::Text:
        longest = Field(q.field).width;
        break;
    case D::Status:
        // Every token, though OL and OB, say, never come together.
        for (const char* token : kStatusOrder) {
            longest += std::strlen(token) + 1;
        }
        longest -= 1;
        break;
    case D::Alarms:
        for (const AlarmMeaning& alarm : kAlarmMeanings) {
            longest += std::strlen(alarm.gloss) + 2;
        }
        longest -= 2;
        break;
    case D::OutputSource:
        for (const OutputSource& source : kOutputSources) {
            longest = std::max(longest, std::strlen(source.name));
        }
        break;
    case D::Constant:
        longest = std::strlen(q.field);
        break;
    }
    return "STRING:" + std::to_string(longest);
}

namespace
{

// clang-format off
const RoundQuantity kRoundQuantities[] = {
    {"experimental.data.age", RoundDerivation::Age, "s", "NUMBER", "ups_data_age_seconds",
     "Seconds since the last completed round"},
    {"experimental.data.time", RoundDerivation::Time, "", "STRING:20", "ups_data_timestamp_seconds",
     "Time of the last completed round (UTC)"},
    {"experimental.line.state", RoundDerivation::LineState, "", "STRING:8", nullptr,
     "State of the line to the UPS (starting, up, failing, silent, lost)"},
};
// clang-format on

} // namespace

Table<RoundQuantity> RoundQuantities()
{
    return {kRoundQuantities, sizeof(kRoundQuantities) / sizeof(kRoundQuantities[0])};
}

const RoundQuantity* FindRoundQuantity(const std::string& nut)
{
    for (const RoundQuantity& quantity : kRoundQuantities) {
        if (nut == quantity.nut) {
            return &quantity;
        }
    }
    return nullptr;
}

} // namespace catalogue

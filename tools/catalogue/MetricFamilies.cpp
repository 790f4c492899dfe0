#include "MetricFamilies.h"

#include <cstring>

namespace catalogue
{
namespace
{

// clang-format off
const MetricFamily kMetricFamilies[] = {
    {"ups_battery_charge_ratio", "Estimated battery charge remaining (1 = full)."},
    {"ups_battery_runtime_seconds", "Estimated battery runtime remaining, in seconds."},
    {"ups_battery_voltage_volts", "Battery voltage, in volts."},
    {"ups_battery_current_amperes", "Battery current, in amperes."},
    {"ups_battery_temperature_celsius", "Battery temperature, in degrees Celsius."},
    {"ups_battery_voltage_nominal_volts", "Rated battery voltage, in volts."},
    {"ups_on_battery_seconds", "Time the UPS has been running on battery, in seconds."},
    {"ups_input_phases", "Number of input lines the UPS reports."},
    {"ups_input_voltage_nominal_volts", "Rated input voltage, in volts."},
    {"ups_input_frequency_hertz", "Input frequency per input line, in hertz."},
    {"ups_input_voltage_volts", "Input voltage per input line (line to neutral), in volts."},
    {"ups_input_current_amperes", "Input current per input line, in amperes."},
    {"ups_input_realpower_watts", "Input real power per input line, in watts."},
    {"ups_output_phases", "Number of output lines the UPS reports."},
    {"ups_output_voltage_nominal_volts", "Rated output voltage, in volts."},
    {"ups_output_frequency_hertz", "Output frequency, in hertz."},
    {"ups_output_voltage_volts", "Output voltage per output line (line to neutral), in volts."},
    {"ups_output_current_amperes", "Output current per output line, in amperes."},
    {"ups_output_realpower_watts", "Output real power per output line, in watts."},
    {"ups_output_load_ratio", "Load per output line as a share of its rating (1 = full load)."},
    {"ups_bypass_phases", "Number of bypass lines the UPS reports."},
    {"ups_bypass_frequency_hertz", "Bypass frequency, in hertz."},
    {"ups_bypass_voltage_volts", "Bypass voltage per bypass line (line to neutral), in volts."},
    {"ups_bypass_current_amperes", "Bypass current per bypass line, in amperes."},
    {"ups_bypass_realpower_watts", "Bypass real power per bypass line, in watts."},
};
// clang-format on

} // namespace

Table<MetricFamily> MetricFamilies()
{
    return {kMetricFamilies, sizeof(kMetricFamilies) / sizeof(kMetricFamilies[0])};
}

const MetricFamily* FindMetricFamily(const char* name)
{
    for (const MetricFamily& family : kMetricFamilies) {
        if (std::strcmp(family.name, name) == 0) {
            return &family;
        }
    }
    return nullptr;
}

} // namespace catalogue

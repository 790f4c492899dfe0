// The fifteen status alarms raised from the "STA" flags of the record.
#pragma once

#include <cstddef>

#include "record/DeltanhntCmdsRply.h"
#include "record/StatusFlags.h"

struct StatusAlarm {
    std::size_t offset;      // the status flag byte in the record
    const char* key;         // the host's signal key
    const char* alarm_id;    // the upstream alarm identifier
    const char* name;        // alarm name
    const char* description; // what the UPS reported
};

// clang-format off
#define DELTANHNT_ALARM(field, row, id, name, description) \
    {offsetof(DeltanhntCmdsRply_t, field), "deltaNHNT_" #row, id, name, description}

// In evaluation order; the key of row n is "deltaNHNT_<n>".
inline constexpr StatusAlarm kStatusAlarms[] = {
    DELTANHNT_ALARM(TmpFault, 0, "2A1460201", "温度传感器故障告警", "温度传感器故障告警"),
    DELTANHNT_ALARM(InptFail, 1, "2A1415001", "输入电源中断告警", "输入电源中断告警"),
    DELTANHNT_ALARM(OutptFault, 2, "2A1417201", "输出电源故障告警", "输出电源故障告警"),
    DELTANHNT_ALARM(OutptOvrCrrent, 3, "2A1211804", "交流输出电流过高", "交流输出电流过高"),
    DELTANHNT_ALARM(BypssOutOfLmt, 4, "2A1400101", "其它故障告警", "旁路超限"),
    DELTANHNT_ALARM(OutptOff, 5, "2A1400101", "UPS停机输出", "UPS停机输出"),
    DELTANHNT_ALARM(UpsOff, 6, "2A1400101", "其它故障告警", "UPS关机"),
    DELTANHNT_ALARM(ChrgrFault, 7, "2A1431801", "充电器故障告警", "充电器故障告警"),
    DELTANHNT_ALARM(SysOff, 8, "2A1400101", "其它故障告警", "告警系统关闭"),
    DELTANHNT_ALARM(FanFault, 9, "2A1431C01", "风机故障告警", "风机故障告警"),
    DELTANHNT_ALARM(FuseFault, 10, "2A1420301", "熔丝故障告警", "熔丝故障告警"),
    DELTANHNT_ALARM(SysAbnrml, 11, "2A1400101", "其它故障告警", "系统异常告警"),
    DELTANHNT_ALARM(UpsPwrLost, 12, "2A1400101", "其它故障告警", "UPS掉电"),
    DELTANHNT_ALARM(ShttngDwn, 13, "2A1433701", "即将停机告警", "正在关机"),
    DELTANHNT_ALARM(ShtdwnImmnnt, 14, "2A1433701", "即将停机告警", "即将停机告警"),
};
// clang-format on

#undef DELTANHNT_ALARM

inline constexpr std::size_t kStatusAlarmCount = sizeof(kStatusAlarms) / sizeof(kStatusAlarms[0]);
static_assert(kStatusAlarmCount == 15, "fifteen status alarms");

// Walks the table over a record: for each row whose flag the UPS reported,
// in table order, calls report(alarm, active), active when the flag is 1.
// A row whose flag is "not reported" is skipped.  An exception from report
// ends the walk.
template <class Report>
void ForEachReportedAlarm(const DeltanhntCmdsRply_t& record, Report&& report)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    for (const StatusAlarm& alarm : kStatusAlarms) {
        const unsigned char flag = bytes[alarm.offset];
        if (flag == kStatusFlagNotReported) {
            continue;
        }
        report(alarm, flag == kStatusFlagActive);
    }
}

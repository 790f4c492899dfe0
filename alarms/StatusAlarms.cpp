// Once per completed cycle: the status flags become two-state alarms.
#include <string>

#include "alarms/StatusAlarms.h"
#include "device/DeltaNHNT.h"

void DeltaNHNT::RunCheckThreshold()
{
    const auto* record = reinterpret_cast<const unsigned char*>(&record_);
    for (const StatusAlarm& alarm : kStatusAlarms) {
        const unsigned char flag = record[alarm.offset];
        // A flag the UPS did not report raises nothing and takes no number.
        if (flag == kFlagNotReported) {
            continue;
        }
        const unsigned short sequence = alarm_seq_++;
        CheckThresholdBool(1, alarm.key, alarm.alarm_id, alarm.name, alarm.description,
                           flag == kFlagActive, sequence);
    }
}

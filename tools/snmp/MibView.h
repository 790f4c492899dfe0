// One UPS as the UPS-MIB shows it: every instance the subagent serves, in
// OID order, computed at request time from the UPS's snapshot, its alarm
// table and its counters.  No net-snmp here: the subagent turns these into
// varbinds.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "AlarmTable.h"
#include "UpsMib.h"
#include "UpsSnapshot.h"

namespace snmp
{

using Oid = std::vector<std::uint32_t>;

// One varbind's name and value.
struct Instance {
    Oid oid;
    catalogue::MibSyntax syntax = catalogue::MibSyntax::Integer;
    std::int64_t number = 0; // Integer, Gauge32, Counter32, TimeTicks
    std::string text;        // DisplayString
    Oid object;              // ObjectIdentifier
};

// What the subagent knows of one served UPS.
struct UpsData {
    site::UpsSnapshot snapshot;
    std::vector<AlarmRow> alarms; // the alarm table, in upsAlarmId order
    std::uint32_t line_bads = 0;  // upsInputLineBads
};

// Every instance of the UPS at `now`, in OID order.  While the data is stale
// the measurements are left out and upsBatteryStatus is unknown(1).
std::vector<Instance> Render(const UpsData& ups, std::chrono::steady_clock::time_point now,
                             const std::string& agent_version);

// The OID of upsTraps.<number>.
Oid TrapOid(std::uint8_t number);
// The varbinds of upsTrapAlarmEntryAdded/Removed after snmpTrapOID.0.
std::vector<Instance> AlarmTrapVarbinds(const std::string& ups_name, const AlarmRow& row);
// The varbinds of upsTrapOnBattery after snmpTrapOID.0.
std::vector<Instance> OnBatteryTrapVarbinds(const UpsData& ups);

} // namespace snmp

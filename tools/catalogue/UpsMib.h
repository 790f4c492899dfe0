// The UPS-MIB (RFC 1628, 1.3.6.1.2.1.33) as the SNMP subagent serves it:
// every object with its OID, SYNTAX and UNITS as the MIB defines them, where
// its value comes from in the record and how the record's value is scaled
// and clamped into the SYNTAX; the battery status derived from the status
// tokens; and each of the fifteen status alarms mapped to the nearest of the
// MIB's well-known alarms.  docs/CATALOGUE.md prints these tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Catalogue.h"

namespace catalogue
{

// upsMIB ::= { mib-2 33 }; upsObjects is upsMIB.1, upsTraps upsMIB.2.
inline constexpr std::uint32_t kUpsMibOid[] = {1, 3, 6, 1, 2, 1, 33};
inline constexpr std::size_t kUpsMibOidLength = sizeof(kUpsMibOid) / sizeof(kUpsMibOid[0]);

// The SYNTAX of a served object, as the SNMP agent encodes it.
enum class MibSyntax : std::uint8_t {
    Integer,          // INTEGER / Integer32 and the MIB's ranged textual conventions
    Gauge32,          //
    Counter32,        //
    TimeTicks,        // TimeStamp: hundredths of a second of the agent's uptime
    DisplayString,    // printable ASCII
    ObjectIdentifier, // AutonomousType
};

// Where an object's value comes from.
enum class MibSource : std::uint8_t {
    Field,            // the record field × scale, rounded to the nearest integer, clamped
    Text,             // a text field as a DisplayString
    LinesInUse,       // the lines in use by the line-count field (1 to 3)
    OutputSource,     // OutptSrc's upsOutputSource (OutputSources())
    BatteryStatus,    // from the status tokens (BatteryStatusOf)
    SecondsOnBattery, // SecOnBattry while the status says OB, else 0
    Agent,            // kept by the agent, not the record (names, counters, alarms)
};

struct MibObject {
    const char* name;    // the MIB's descriptor, "upsBatteryVoltage"
    std::uint8_t group;  // upsObjects.<group>: 1 ident, 2 battery, ... 6 alarm
    std::uint8_t item;   // <group>.<item>: the scalar, or the table
    std::uint8_t column; // 0: a scalar (instance .0); else the table column (instance .<row>)
    MibSyntax syntax;
    const char* units; // the MIB's UNITS clause, "" when it has none
    MibSource source;
    const char* field; // the record field; for a column the stem that the line number completes
    const char* lines; // for a per-line column: the line-count field
    double scale;      // Field: the record value times this is the value in `units`
    std::int64_t low;  // the SYNTAX's range: values outside are clamped to it
    std::int64_t high; // (DisplayString: its largest size)
    bool measurement;  // withheld while the UPS's data is stale
    const char* derivation; // for people, where `source` is Agent
};

// Every served object, in OID order.
Table<MibObject> UpsMibObjects();
const MibObject* FindMibObject(const char* name);

// The object's OID without its instance: upsMIB.1.<group>.<item>[.1.<column>].
std::vector<std::uint32_t> MibOid(const MibObject& object);
std::string OidText(const std::vector<std::uint32_t>& oid);

// The value of a numeric object of the record (Field, LinesInUse, OutputSource,
// BatteryStatus, SecondsOnBattery), for `line` (1 to 3) of a column or 0 for a
// scalar.  False when the record holds no such value: a line not in use, a
// field the record lacks (there is no InptPwr3), a number that is not finite.
bool MibInteger(const unsigned char* record, const MibObject& object, int line,
                std::int64_t& value);
// A Text object: the bytes of the field up to its first zero, each byte outside
// printable ASCII written as '?', at most `high` characters.
std::string MibText(const unsigned char* record, const MibObject& object);

// --- upsBatteryStatus ---

enum BatteryStatusValue : int {
    kBatteryUnknown = 1,  // the agent's answer while the data is stale
    kBatteryNormal = 2,   //
    kBatteryLow = 3,      //
    kBatteryDepleted = 4, //
};
// From the ups.status tokens: OB with FSD (the UPS is shutting down on battery)
// is batteryDepleted, else LB is batteryLow, else batteryNormal.
int BatteryStatusOf(const std::vector<std::string>& tokens);

// True when the status tokens say the UPS is on battery (OB).
bool OnBattery(const unsigned char* record);

// --- Alarms ---

// upsWellKnownAlarms ::= { upsAlarm 3 }: the alarm OIDs upsAlarmDescr takes.
inline constexpr std::uint32_t kWellKnownAlarmsOid[] = {1, 3, 6, 1, 2, 1, 33, 1, 6, 3};

struct WellKnownAlarm {
    std::uint8_t number; // upsWellKnownAlarms.<number>
    const char* name;
    const char* description; // the MIB's DESCRIPTION, shortened
};
// The MIB's twenty-four, by number.
Table<WellKnownAlarm> WellKnownAlarms();
const WellKnownAlarm& WellKnownAlarmOf(std::uint8_t number);

inline constexpr std::uint8_t kAlarmGeneralFault = 18;
inline constexpr std::uint8_t kAlarmCommunicationsLost = 20;

struct MibAlarm {
    const AlarmMeaning* alarm; // the status alarm (its key, texts and gloss)
    std::uint8_t well_known;   // the nearest well-known alarm
    const char* why;           // the reason for the choice, for people
};
// The fifteen status alarms, in table order.
extern const MibAlarm kMibAlarms[kStatusAlarmCount];

// --- Notifications (upsTraps ::= { upsMIB 2 }) ---

struct MibTrap {
    const char* name;
    std::uint8_t number; // upsTraps.<number>
    const char* objects; // the varbinds after sysUpTime.0 and snmpTrapOID.0
    const char* when;    // when the agent sends it
};
Table<MibTrap> UpsMibTraps();
inline constexpr std::uint8_t kTrapOnBattery = 1;
inline constexpr std::uint8_t kTrapAlarmEntryAdded = 3;
inline constexpr std::uint8_t kTrapAlarmEntryRemoved = 4;

// The section of docs/CATALOGUE.md.
std::string UpsMibMarkdown();

} // namespace catalogue

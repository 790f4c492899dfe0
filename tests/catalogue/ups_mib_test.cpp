// The UPS-MIB part of the catalogue: the objects sit at RFC 1628's OIDs in
// walk order, every conversion lands on the MIB's units and inside its
// SYNTAX at the edges, the battery status follows the status tokens, and
// the alarm mapping keeps the alarm table's rows distinct.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "UpsMib.h"
#include "support/ParamNames.h"
#include "support/RecordBuilder.h"

namespace
{

using namespace catalogue;

TEST(UpsMib, ObjectsSitAtTheRfcOidsInWalkOrder)
{
    // RFC 1628, section 4, written out here rather than taken from the table.
    const std::map<std::string, std::string> rfc = {
        {"upsIdentManufacturer", "1.3.6.1.2.1.33.1.1.1"},
        {"upsIdentModel", "1.3.6.1.2.1.33.1.1.2"},
        {"upsIdentUPSSoftwareVersion", "1.3.6.1.2.1.33.1.1.3"},
        {"upsIdentAgentSoftwareVersion", "1.3.6.1.2.1.33.1.1.4"},
        {"upsIdentName", "1.3.6.1.2.1.33.1.1.5"},
        {"upsBatteryStatus", "1.3.6.1.2.1.33.1.2.1"},
        {"upsSecondsOnBattery", "1.3.6.1.2.1.33.1.2.2"},
        {"upsEstimatedMinutesRemaining", "1.3.6.1.2.1.33.1.2.3"},
        {"upsEstimatedChargeRemaining", "1.3.6.1.2.1.33.1.2.4"},
        {"upsBatteryVoltage", "1.3.6.1.2.1.33.1.2.5"},
        {"upsBatteryCurrent", "1.3.6.1.2.1.33.1.2.6"},
        {"upsBatteryTemperature", "1.3.6.1.2.1.33.1.2.7"},
        {"upsInputLineBads", "1.3.6.1.2.1.33.1.3.1"},
        {"upsInputNumLines", "1.3.6.1.2.1.33.1.3.2"},
        {"upsInputFrequency", "1.3.6.1.2.1.33.1.3.3.1.2"},
        {"upsInputVoltage", "1.3.6.1.2.1.33.1.3.3.1.3"},
        {"upsInputCurrent", "1.3.6.1.2.1.33.1.3.3.1.4"},
        {"upsInputTruePower", "1.3.6.1.2.1.33.1.3.3.1.5"},
        {"upsOutputSource", "1.3.6.1.2.1.33.1.4.1"},
        {"upsOutputFrequency", "1.3.6.1.2.1.33.1.4.2"},
        {"upsOutputNumLines", "1.3.6.1.2.1.33.1.4.3"},
        {"upsOutputVoltage", "1.3.6.1.2.1.33.1.4.4.1.2"},
        {"upsOutputCurrent", "1.3.6.1.2.1.33.1.4.4.1.3"},
        {"upsOutputPower", "1.3.6.1.2.1.33.1.4.4.1.4"},
        {"upsOutputPercentLoad", "1.3.6.1.2.1.33.1.4.4.1.5"},
        {"upsBypassFrequency", "1.3.6.1.2.1.33.1.5.1"},
        {"upsBypassNumLines", "1.3.6.1.2.1.33.1.5.2"},
        {"upsBypassVoltage", "1.3.6.1.2.1.33.1.5.3.1.2"},
        {"upsBypassCurrent", "1.3.6.1.2.1.33.1.5.3.1.3"},
        {"upsBypassPower", "1.3.6.1.2.1.33.1.5.3.1.4"},
        {"upsAlarmsPresent", "1.3.6.1.2.1.33.1.6.1"},
        {"upsAlarmDescr", "1.3.6.1.2.1.33.1.6.2.1.2"},
        {"upsAlarmTime", "1.3.6.1.2.1.33.1.6.2.1.3"},
    };
    ASSERT_EQ(UpsMibObjects().size(), rfc.size());
    std::vector<std::uint32_t> previous;
    for (const MibObject& object : UpsMibObjects()) {
        SCOPED_TRACE(object.name);
        ASSERT_EQ(rfc.count(object.name), 1U);
        EXPECT_EQ(OidText(MibOid(object)), rfc.at(object.name));
        EXPECT_TRUE(previous < MibOid(object)) << "not in OID order";
        previous = MibOid(object);
        EXPECT_EQ(FindMibObject(object.name), &object);
    }
}

TEST(UpsMib, EveryRecordFieldNamedExists)
{
    for (const MibObject& object : UpsMibObjects()) {
        SCOPED_TRACE(object.name);
        if (object.source == MibSource::Agent) {
            EXPECT_NE(object.derivation, nullptr);
            continue;
        }
        if (object.source == MibSource::BatteryStatus) {
            continue;
        }
        ASSERT_NE(object.field, nullptr);
        if (object.lines == nullptr) {
            EXPECT_NE(FindRecordField(object.field), nullptr);
            continue;
        }
        EXPECT_NE(FindRecordField(object.lines), nullptr);
        for (int line = 1; line <= 3; ++line) {
            const std::string name = object.field + std::to_string(line);
            const bool missing = name == "InptPwr3"; // the record has no line 3 input power
            EXPECT_EQ(FindRecordField(name.c_str()) == nullptr, missing) << name;
        }
    }
}

struct ConversionRow {
    const char* name;
    const char* object;
    std::vector<std::pair<const char*, double>> fields;
    int line;                          // 0: a scalar
    std::optional<std::int64_t> value; // nullopt: not served
};

class Conversion : public testing::TestWithParam<ConversionRow>
{
};

TEST_P(Conversion, LandsOnTheMibUnitsInsideTheSyntax)
{
    RecordBuilder record;
    record.Set("InptLines", 3).Set("OutptLines", 3).Set("BypssLines", 3);
    for (const auto& field : GetParam().fields) {
        record.Set(field.first, field.second);
    }
    const MibObject* object = FindMibObject(GetParam().object);
    ASSERT_NE(object, nullptr);
    std::int64_t value = -999;
    const bool served = MibInteger(record.data(), *object, GetParam().line, value);
    ASSERT_EQ(served, GetParam().value.has_value());
    if (served) {
        EXPECT_EQ(value, *GetParam().value);
    }
}

const ConversionRow kConversions[] = {
    {"BatteryVoltageTenths", "upsBatteryVoltage", {{"BattryVlt", 271.2}}, 0, 2712},
    {"BatteryVoltageNegativeIsZero", "upsBatteryVoltage", {{"BattryVlt", -1.5}}, 0, 0},
    {"BatteryCurrentNoNegativeZero", "upsBatteryCurrent", {{"BattryCrrent", -0.04}}, 0, 0},
    {"BatteryCurrentDischarging", "upsBatteryCurrent", {{"BattryCrrent", -12.5}}, 0, -125},
    {"BatteryCurrentHalfTenthAway", "upsBatteryCurrent", {{"BattryCrrent", -1.25}}, 0, -13},
    {"BatteryTemperatureBelowZero", "upsBatteryTemperature", {{"BattryTmp", -10}}, 0, -10},
    {"MinutesRemaining", "upsEstimatedMinutesRemaining", {{"EstMinRmn", 120}}, 0, 120},
    {"ZeroMinutesIsThePositiveOne", "upsEstimatedMinutesRemaining", {{"EstMinRmn", 0}}, 0, 1},
    {"NegativeMinutesIsOne", "upsEstimatedMinutesRemaining", {{"EstMinRmn", -5}}, 0, 1},
    {"ChargeFull", "upsEstimatedChargeRemaining", {{"EstChrgRmn", 100}}, 0, 100},
    {"ChargeAboveFullClamped", "upsEstimatedChargeRemaining", {{"EstChrgRmn", 101}}, 0, 100},
    {"ChargeNegativeClamped", "upsEstimatedChargeRemaining", {{"EstChrgRmn", -3}}, 0, 0},
    {"SecondsOnBatteryWhileOnLine", "upsSecondsOnBattery", {{"SecOnBattry", 300}}, 0, 0},
    {"SecondsOnBatteryMainsFailed",
     "upsSecondsOnBattery",
     {{"SecOnBattry", 300}, {"InptFail", 1}},
     0,
     300},
    {"SecondsOnBatterySourceBattery",
     "upsSecondsOnBattery",
     {{"SecOnBattry", 42}, {"OutptSrc", 1}},
     0,
     42},
    {"SecondsOnBatteryNegative",
     "upsSecondsOnBattery",
     {{"SecOnBattry", -5}, {"InptFail", 1}},
     0,
     0},
    {"InputFrequencyTenths", "upsInputFrequency", {{"InptFrq1", 50.0}}, 1, 500},
    {"InputFrequencyLine3", "upsInputFrequency", {{"InptFrq3", 59.9}}, 3, 599},
    {"InputVoltageRmsWholeVolts", "upsInputVoltage", {{"InptVlt2", 229.4}}, 2, 229},
    {"InputVoltageHalfVoltUp", "upsInputVoltage", {{"InptVlt1", 220.5}}, 1, 221},
    {"InputCurrentTenths", "upsInputCurrent", {{"InptCrrent1", 12.7}}, 1, 127},
    {"InputTruePowerLine2", "upsInputTruePower", {{"InptPwr2", 2300}}, 2, 2300},
    {"InputTruePowerNoLine3", "upsInputTruePower", {}, 3, std::nullopt},
    {"InputLineNotInUse",
     "upsInputVoltage",
     {{"InptLines", 1}, {"InptVlt2", 230}},
     2,
     std::nullopt},
    {"InputLineZeroIsNoRow", "upsInputVoltage", {}, 0, std::nullopt},
    {"InputLinesZeroCountsOne", "upsInputNumLines", {{"InptLines", 0}}, 0, 1},
    {"InputLinesSevenCountsOne", "upsInputNumLines", {{"InptLines", 7}}, 0, 1},
    {"InputLinesThree", "upsInputNumLines", {}, 0, 3},
    {"OutputSourceInverterIsNormal", "upsOutputSource", {{"OutptSrc", 0}}, 0, 3},
    {"OutputSourceBattery", "upsOutputSource", {{"OutptSrc", 1}}, 0, 5},
    {"OutputSourceBypass", "upsOutputSource", {{"OutptSrc", 2}}, 0, 4},
    {"OutputSourceReducer", "upsOutputSource", {{"OutptSrc", 3}}, 0, 7},
    {"OutputSourceUnknownIsOther", "upsOutputSource", {{"OutptSrc", 42}}, 0, 1},
    {"OutputFrequency", "upsOutputFrequency", {{"OutptFrq", 49.9}}, 0, 499},
    {"OutputLoadOverTwiceClamped", "upsOutputPercentLoad", {{"OutptLd3", 250}}, 3, 200},
    {"OutputPowerNegativeIsZero", "upsOutputPower", {{"OutptPwr1", -20}}, 1, 0},
    {"OutputCurrentTenths", "upsOutputCurrent", {{"OutptCrrent2", 8.3}}, 2, 83},
    {"BypassVoltage", "upsBypassVoltage", {{"BypssVlt3", 231.6}}, 3, 232},
    {"BypassLinesFromTheByte", "upsBypassNumLines", {{"BypssLines", 2}}, 0, 2},
    {"BatteryVoltageHugeClamped", "upsBatteryVoltage", {{"BattryVlt", 3.0e38}}, 0, 2147483647},
};
INSTANTIATE_TEST_SUITE_P(Edges, Conversion, testing::ValuesIn(kConversions), RowName());

TEST(UpsMib, NotANumberIsNotServed)
{
    RecordBuilder record;
    record.Bits("BattryVlt", 0x7fc00000U); // a quiet NaN
    std::int64_t value = 0;
    EXPECT_FALSE(MibInteger(record.data(), *FindMibObject("upsBatteryVoltage"), 0, value));
}

TEST(UpsMib, TextsArePrintableAndNeedNoTerminator)
{
    RecordBuilder record;
    record.Text("UpsMnu", std::string("DEL\x01TA\xff", 7)).Text("UpsMod", "0123456789ABCDEFGH");
    EXPECT_EQ(MibText(record.data(), *FindMibObject("upsIdentManufacturer")), "DEL?TA?");
    EXPECT_EQ(MibText(record.data(), *FindMibObject("upsIdentModel")), "0123456789ABCDEF");
    EXPECT_EQ(MibText(record.data(), *FindMibObject("upsIdentUPSSoftwareVersion")), "");
}

struct BatteryRow {
    const char* name;
    std::vector<const char*> flags; // set to 1
    int source;
    int status;
};

class BatteryStatus : public testing::TestWithParam<BatteryRow>
{
};

TEST_P(BatteryStatus, FollowsTheStatusTokens)
{
    RecordBuilder record;
    for (const char* flag : GetParam().flags) {
        record.Set(flag, 1);
    }
    record.Set("OutptSrc", GetParam().source);
    std::int64_t value = 0;
    ASSERT_TRUE(MibInteger(record.data(), *FindMibObject("upsBatteryStatus"), 0, value));
    EXPECT_EQ(value, GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BatteryStatus,
    testing::Values(
        BatteryRow{"OnLine", {}, 0, kBatteryNormal},
        BatteryRow{"OnBattery", {"InptFail"}, 1, kBatteryNormal},
        BatteryRow{"LowBattery", {"InptFail", "ShtdwnImmnnt"}, 1, kBatteryLow},
        BatteryRow{"LowWhileOnLine", {"ShtdwnImmnnt"}, 0, kBatteryLow},
        BatteryRow{"ShuttingDownOnBattery", {"InptFail", "ShttngDwn"}, 1, kBatteryDepleted},
        BatteryRow{"ShuttingDownLowOnBattery", {"ShttngDwn", "ShtdwnImmnnt"}, 1, kBatteryDepleted},
        BatteryRow{"ShuttingDownOnLine", {"ShttngDwn"}, 0, kBatteryNormal}),
    RowName());

TEST(UpsMib, WellKnownAlarmsAreTheRfcTwentyFour)
{
    ASSERT_EQ(WellKnownAlarms().size(), 24U);
    for (std::size_t i = 0; i < WellKnownAlarms().size(); ++i) {
        EXPECT_EQ(WellKnownAlarms()[i].number, i + 1);
    }
    EXPECT_STREQ(WellKnownAlarmOf(kAlarmGeneralFault).name, "upsAlarmGeneralFault");
    EXPECT_STREQ(WellKnownAlarmOf(kAlarmCommunicationsLost).name, "upsAlarmCommunicationsLost");
    EXPECT_STREQ(WellKnownAlarmOf(8).name, "upsAlarmOutputOverload");
    EXPECT_STREQ(WellKnownAlarmOf(23).name, "upsAlarmShutdownImminent");
}

TEST(UpsMib, AlarmMappingKeepsRowsDistinct)
{
    std::map<int, int> uses;
    for (std::size_t row = 0; row < kStatusAlarmCount; ++row) {
        const MibAlarm& a = kMibAlarms[row];
        SCOPED_TRACE(a.alarm->field);
        EXPECT_EQ(a.alarm, &kAlarmMeanings[row]);
        EXPECT_GE(a.well_known, 1);
        EXPECT_LE(a.well_known, 24);
        EXPECT_NE(a.well_known, kAlarmCommunicationsLost) << "the agent's own";
        EXPECT_NE(std::string(a.why), "");
        ++uses[a.well_known];
    }
    // Only the general fault stands for several alarms (one row for all of them).
    for (const auto& use : uses) {
        if (use.first != kAlarmGeneralFault) {
            EXPECT_EQ(use.second, 1) << WellKnownAlarmOf(static_cast<std::uint8_t>(use.first)).name;
        }
    }
    EXPECT_EQ(kMibAlarms[1].well_known, 6) << "InptFail: upsAlarmInputBad";
    EXPECT_EQ(kMibAlarms[3].well_known, 8) << "OutptOvrCrrent: upsAlarmOutputOverload";
    EXPECT_EQ(kMibAlarms[14].well_known, 23) << "ShtdwnImmnnt: upsAlarmShutdownImminent";
}

TEST(UpsMib, TrapsAreTheRfcNotifications)
{
    const std::map<std::string, int> rfc = {
        {"upsTrapOnBattery", 1}, {"upsTrapAlarmEntryAdded", 3}, {"upsTrapAlarmEntryRemoved", 4}};
    ASSERT_EQ(UpsMibTraps().size(), rfc.size());
    for (const MibTrap& trap : UpsMibTraps()) {
        ASSERT_EQ(rfc.count(trap.name), 1U) << trap.name;
        EXPECT_EQ(trap.number, rfc.at(trap.name));
    }
}

} // namespace

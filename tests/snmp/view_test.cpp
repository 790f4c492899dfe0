// The agent's model without net-snmp: the alarm table's rows (one per
// well-known alarm, ids as the MIB numbers them) and the instances of one
// UPS (OID order for the walk, nothing stale, the alarm rows, the traps'
// varbinds).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "AlarmTable.h"
#include "MibView.h"
#include "support/RecordBuilder.h"

namespace
{

using snmp::AlarmTable;
using snmp::Instance;
using snmp::UpsData;

constexpr std::size_t kTmpFault = 0, kOverload = 3, kSysAbnrml = 11, kPwrLost = 12;

TEST(AlarmTable, OneRowPerWellKnownAlarmHeldByAnyOfItsSources)
{
    AlarmTable table;
    const auto first = table.Set(kOverload, true, 100);
    ASSERT_TRUE(first && first->added);
    EXPECT_EQ(first->row.id, 1U);
    EXPECT_EQ(first->row.well_known, 8);
    EXPECT_EQ(first->row.time, 100U);
    EXPECT_FALSE(table.Set(kOverload, true, 200)) << "raised twice is one row";

    const auto general = table.Set(kSysAbnrml, true, 300);
    ASSERT_TRUE(general && general->added);
    EXPECT_EQ(general->row.id, 2U);
    EXPECT_EQ(general->row.well_known, catalogue::kAlarmGeneralFault);
    EXPECT_FALSE(table.Set(kPwrLost, true, 400)) << "the general fault's row is there";
    EXPECT_FALSE(table.Set(kTmpFault, true, 400));
    EXPECT_FALSE(table.Set(kSysAbnrml, false, 500)) << "still held by two others";
    EXPECT_FALSE(table.Set(kTmpFault, false, 500));
    const auto gone = table.Set(kPwrLost, false, 600);
    ASSERT_TRUE(gone && !gone->added);
    EXPECT_EQ(gone->row.id, 2U);
    EXPECT_EQ(gone->row.time, 300U) << "the row as it was added";
    ASSERT_EQ(table.Rows().size(), 1U);
    EXPECT_EQ(table.Rows()[0].id, 1U);
    EXPECT_FALSE(table.Set(kPwrLost, false, 700)) << "cleared twice";

    const auto lost = table.Set(AlarmTable::kCommunicationsLost, true, 800);
    ASSERT_TRUE(lost && lost->added);
    EXPECT_EQ(lost->row.id, 3U) << "ids are not reused";
    EXPECT_EQ(lost->row.well_known, catalogue::kAlarmCommunicationsLost);
    EXPECT_FALSE(table.Set(AlarmTable::kSources, true, 900)) << "no such source";
}

TEST(AlarmTable, IdsWrapToTheFirstFreeValue)
{
    AlarmTable table(AlarmTable::kMaxId - 1);
    ASSERT_EQ(table.Set(kOverload, true, 0)->row.id, AlarmTable::kMaxId);
    ASSERT_EQ(table.Set(9, true, 0)->row.id, 1U); // wrapped
    table.Set(kOverload, false, 0);
    ASSERT_EQ(table.Set(10, true, 0)->row.id, 2U);
    ASSERT_EQ(table.Rows().size(), 2U);
    EXPECT_EQ(table.Rows()[0].id, 1U) << "rows in id order";
    EXPECT_EQ(table.Rows()[1].id, 2U);
}

UpsData Fresh(const RecordBuilder& record, std::chrono::steady_clock::time_point at)
{
    UpsData ups;
    ups.snapshot.name = "ups7";
    ups.snapshot.stale_after = std::chrono::seconds(10);
    site::Round round;
    round.record = record.bytes();
    round.steady = at;
    round.sequence = 4;
    ups.snapshot.last = round;
    return ups;
}

std::string Text(const snmp::Oid& oid)
{
    return catalogue::OidText(oid);
}

const Instance* Find(const std::vector<Instance>& instances, const std::string& suffix)
{
    const std::string oid = "1.3.6.1.2.1.33.1." + suffix;
    for (const Instance& instance : instances) {
        if (Text(instance.oid) == oid) {
            return &instance;
        }
    }
    return nullptr;
}

TEST(MibView, InstancesInStrictOidOrder)
{
    const auto now = std::chrono::steady_clock::now();
    RecordBuilder record;
    record.Set("InptLines", 3).Set("OutptLines", 3).Set("BypssLines", 3);
    UpsData ups = Fresh(record, now);
    AlarmTable table;
    table.Set(kOverload, true, 5);
    table.Set(kTmpFault, true, 6);
    table.Set(AlarmTable::kCommunicationsLost, true, 7);
    ups.alarms = table.Rows();
    const auto instances = snmp::Render(ups, now, "v");
    for (std::size_t i = 1; i < instances.size(); ++i) {
        EXPECT_TRUE(instances[i - 1].oid < instances[i].oid)
            << Text(instances[i - 1].oid) << " then " << Text(instances[i].oid);
    }
    // Columns before rows: every upsAlarmDescr before the first upsAlarmTime.
    ASSERT_NE(Find(instances, "6.2.1.2.3"), nullptr);
    EXPECT_EQ(Text(Find(instances, "6.2.1.2.3")->object), "1.3.6.1.2.1.33.1.6.3.20");
    EXPECT_EQ(Find(instances, "6.2.1.3.2")->number, 6);
    EXPECT_EQ(Find(instances, "6.1.0")->number, 3);
    EXPECT_EQ(Find(instances, "3.3.1.5.3"), nullptr) << "no InptPwr3";
    EXPECT_NE(Find(instances, "3.3.1.4.3"), nullptr);
}

TEST(MibView, StaleOrNoRoundWithholdsMeasurements)
{
    const auto now = std::chrono::steady_clock::now();
    RecordBuilder record;
    record.Text("UpsMnu", "DELTA").Set("BattryVlt", 270.0);
    const UpsData fresh = Fresh(record, now - std::chrono::seconds(9));
    const UpsData stale = Fresh(record, now - std::chrono::seconds(11));
    UpsData none = fresh;
    none.snapshot.last.reset();

    EXPECT_EQ(Find(snmp::Render(fresh, now, "v"), "2.5.0")->number, 2700);
    EXPECT_EQ(Find(snmp::Render(fresh, now, "v"), "2.1.0")->number, catalogue::kBatteryNormal);
    for (const UpsData* ups : std::vector<const UpsData*>{&stale, &none}) {
        const auto instances = snmp::Render(*ups, now, "v");
        EXPECT_EQ(Find(instances, "2.1.0")->number, catalogue::kBatteryUnknown);
        for (const catalogue::MibObject& object : catalogue::UpsMibObjects()) {
            if (!object.measurement) {
                continue;
            }
            const std::string base = Text(catalogue::MibOid(object));
            EXPECT_TRUE(std::none_of(instances.begin(), instances.end(), [&](const Instance& i) {
                return Text(i.oid).rfind(base + ".", 0) == 0;
            })) << object.name;
        }
        EXPECT_EQ(Find(instances, "1.5.0")->text, "ups7");
        EXPECT_EQ(Find(instances, "1.4.0")->text, "v");
        EXPECT_NE(Find(instances, "3.1.0"), nullptr) << "the counter stays";
    }
    EXPECT_EQ(Find(snmp::Render(stale, now, "v"), "1.1.0")->text, "DELTA")
        << "the identity of the last round stays";
    EXPECT_EQ(Find(snmp::Render(none, now, "v"), "1.1.0"), nullptr) << "no round, no identity";
}

TEST(MibView, TrapVarbinds)
{
    snmp::AlarmRow row;
    row.id = 42;
    row.well_known = 16;
    const auto alarm = snmp::AlarmTrapVarbinds("ups7", row);
    ASSERT_EQ(alarm.size(), 3U);
    EXPECT_EQ(Text(alarm[0].oid), "1.3.6.1.2.1.33.1.6.2.1.1.42");
    EXPECT_EQ(alarm[0].number, 42);
    EXPECT_EQ(Text(alarm[1].oid), "1.3.6.1.2.1.33.1.6.2.1.2.42");
    EXPECT_EQ(Text(alarm[1].object), "1.3.6.1.2.1.33.1.6.3.16");
    EXPECT_EQ(alarm[2].text, "ups7");
    EXPECT_EQ(Text(snmp::TrapOid(catalogue::kTrapAlarmEntryAdded)), "1.3.6.1.2.1.33.2.3");

    RecordBuilder record;
    record.Set("InptFail", 1).Set("SecOnBattry", 90).Set("EstMinRmn", 0);
    const auto battery =
        snmp::OnBatteryTrapVarbinds(Fresh(record, std::chrono::steady_clock::now()));
    ASSERT_EQ(battery.size(), 3U);
    EXPECT_EQ(Text(battery[0].oid), "1.3.6.1.2.1.33.1.2.3.0");
    EXPECT_EQ(battery[0].number, 1) << "PositiveInteger";
    EXPECT_EQ(battery[1].number, 90);
}

} // namespace

// The site monitor with its SNMP subagent: the real halx-host --config
// attached to Debian's snmpd on a private AgentX socket, a simulated UPS
// whose script raises and clears an alarm, snmpget of the identity and
// snmptrapd receiving the alarm's row added and removed: the alarms reach
// the agent from the host's own CheckThresholdBool calls.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "SiteRun.h"
#include "snmp/SnmpHarness.h"

namespace
{

using namespace std::chrono_literals;

bool HaveSnmpd()
{
    struct stat st;
    return ::stat("/usr/sbin/snmpd", &st) == 0 && ::stat("/usr/sbin/snmptrapd", &st) == 0;
}

TEST(SiteSnmp, AlarmOfASimulatedUpsBecomesTrapsAndRows)
{
    if (sitetest::UnderEmulator()) {
        GTEST_SKIP() << "the site monitor's server tests run natively only (here halx-host "
                        "runs under an emulator)";
    }
    if (!HaveSnmpd()) {
        GTEST_SKIP() << "Debian's snmpd and snmptrapd are not installed (scripts/install-deps.sh)";
    }
    snmptest::TempDir dir;
    ::mkdir((dir.path() + "/trapd").c_str(), 0700);
    snmptest::Trapd trapd(dir.path() + "/trapd");
    ASSERT_TRUE(trapd.Start()) << "snmptrapd did not start";
    snmptest::Snmpd snmpd(dir.path(), {}, trapd.port());
    ASSERT_TRUE(snmpd.Start()) << snmpd.Log();

    const std::vector<sitetest::SimUps> ups = {
        {"ups1", R"({ "drift": false, "script": "overload.script" })", 0.5}};
    sitetest::SiteRun run(
        sitetest::SiteConfigText(ups, "@DIR@/site.db", sitetest::FreePort(),
                                 ",\n  \"snmp\": { \"agentx\": \"" + snmpd.socket() + "\" }"),
        {},
        {{"overload.script", "wait 4s\nflag OutptOvrCrrent 1\nwait 4s\nflag OutptOvrCrrent 0\n"}});

    const std::string identity = "1.3.6.1.2.1.33.1.1.1.0"; // upsIdentManufacturer
    ASSERT_TRUE(snmptest::WaitFor(
        [&] {
            const auto got = snmptest::ParseVarbinds(snmpd.Get("public", {identity}).out);
            return got.count(identity) != 0 && got.at(identity).value == "DELTA";
        },
        15s))
        << run.Output() << snmpd.Log();

    const std::string trap_oid = "1.3.6.1.6.3.1.1.4.1.0";
    const auto traps_of = [&](const std::string& oid) {
        std::vector<std::map<std::string, snmptest::Varbind>> found;
        for (const auto& trap : trapd.Traps()) {
            if (trap.count(trap_oid) != 0 && trap.at(trap_oid).value == oid) {
                found.push_back(trap);
            }
        }
        return found;
    };
    const std::string added = "1.3.6.1.2.1.33.2.3";        // upsTrapAlarmEntryAdded
    const std::string removed = "1.3.6.1.2.1.33.2.4";      // upsTrapAlarmEntryRemoved
    const std::string overload = "1.3.6.1.2.1.33.1.6.3.8"; // upsAlarmOutputOverload
    ASSERT_TRUE(snmptest::WaitFor([&] { return !traps_of(added).empty(); }, 15s)) << run.Output();
    EXPECT_EQ(traps_of(added)[0].at("1.3.6.1.2.1.33.1.6.2.1.2.1").value, overload);
    const std::string present = "1.3.6.1.2.1.33.1.6.1.0"; // upsAlarmsPresent
    EXPECT_TRUE(snmptest::WaitFor([&] { return !traps_of(removed).empty(); }, 15s)) << run.Output();
    const auto after = snmptest::ParseVarbinds(snmpd.Get("public", {present}).out);
    ASSERT_EQ(after.count(present), 1U);
    EXPECT_EQ(after.at(present).value, "0");
    EXPECT_EQ(run.Stop(), 0) << run.Output();
}

} // namespace

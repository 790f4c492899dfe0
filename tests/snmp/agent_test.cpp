// The SNMP agent against the real thing: Debian's snmpd as master agent on a
// private AgentX socket and a free UDP port, snmpwalk/snmpget/snmpset with
// numeric OIDs compared with the record of the same round, snmptrapd
// receiving the notifications, and snmpd missing at start or restarted under
// the running subagent while the shared io_context keeps its timers.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "SiteConfig.h"
#include "SnmpAgent.h"
#include "SnmpHarness.h"
#include "support/RecordBuilder.h"

namespace
{

using namespace snmptest;
using std::chrono::milliseconds;

const std::string kUps = "1.3.6.1.2.1.33.1.";

bool HaveSnmpd()
{
    struct stat st;
    return ::stat("/usr/sbin/snmpd", &st) == 0 && ::stat("/usr/sbin/snmptrapd", &st) == 0;
}

#define REQUIRE_SNMPD()                                                                            \
    do {                                                                                           \
        if (!HaveSnmpd()) {                                                                        \
            GTEST_SKIP() << "Debian's snmpd and snmptrapd are not installed "                      \
                            "(scripts/install-deps.sh)";                                           \
        }                                                                                          \
        if (snmp::Subagent::UsedInThisProcess()) {                                                 \
            GTEST_SKIP() << "net-snmp's agent starts once per process: run the tests "             \
                            "through ctest, one process each";                                     \
        }                                                                                          \
    } while (0)

// The site as the agent sees it: the snapshots, touched on the io_context's
// thread only, an io_context running on a thread of its own, and the agent.
class Site
{
public:
    Site(const std::string& config_text, const std::string& agentx,
         milliseconds on_battery_repeat = milliseconds(60000))
    {
        std::string text = config_text;
        const std::size_t at = text.find("AGENTX");
        if (at != std::string::npos) {
            text.replace(at, 6, agentx);
        }
        config_ = site::ParseSiteConfig(text, "site.conf");
        for (const site::UpsConfig& ups : config_.ups) {
            site::UpsSnapshot snapshot;
            snapshot.name = ups.name;
            snapshot.stale_after = ups.stale_after;
            snapshots_.push_back(snapshot);
        }
        snmp::AgentOptions options;
        options.agent_version = "halx-host test";
        options.tick = milliseconds(100);
        options.on_battery_repeat = on_battery_repeat;
        options.retry_first = milliseconds(100);
        options.retry_max = milliseconds(400);
        options.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(log_mutex_);
            log_.push_back(line);
        };
        agent_ = std::make_unique<snmp::SnmpAgent>(
            io_, config_, [this] { return snapshots_; }, options);
        thread_ = std::thread([this] {
            auto guard = boost::asio::make_work_guard(io_);
            io_.run();
        });
        OnIo([this] { agent_->Start(); });
    }
    ~Site()
    {
        OnIo([this] { agent_->Stop(); });
        io_.stop();
        thread_.join();
    }

    template <class F> void OnIo(F&& f)
    {
        std::packaged_task<void()> task(std::forward<F>(f));
        std::future<void> done = task.get_future();
        boost::asio::post(io_, [&task] { task(); });
        done.get();
    }

    // A completed round of UPS `ups` with this record.
    void Round(std::size_t ups, const RecordBuilder& record)
    {
        OnIo([&] {
            site::Round round;
            round.record = record.bytes();
            round.time = std::chrono::system_clock::now();
            round.steady = std::chrono::steady_clock::now();
            round.sequence = snapshots_[ups].last ? snapshots_[ups].last->sequence + 1 : 1;
            snapshots_[ups].last = round;
            snapshots_[ups].line = site::LineState::Up;
            agent_->RoundCompleted(ups);
        });
    }
    void Alarm(std::size_t ups, std::size_t row, bool active)
    {
        OnIo([&] { agent_->AlarmChanged(ups, row, active); });
    }
    bool Connected() { return agent_->Connected(); }
    std::vector<std::string> Log()
    {
        std::lock_guard<std::mutex> lock(log_mutex_);
        return log_;
    }
    std::size_t LogLinesWith(const std::string& text)
    {
        std::size_t n = 0;
        for (const std::string& line : Log()) {
            n += line.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }
    boost::asio::io_context& io() { return io_; }

private:
    boost::asio::io_context io_;
    site::SiteConfig config_;
    std::vector<site::UpsSnapshot> snapshots_;
    std::unique_ptr<snmp::SnmpAgent> agent_;
    std::thread thread_;
    std::mutex log_mutex_;
    std::vector<std::string> log_;
};

const char* const kOneUps = R"({"ups": [{"name": "ups1", "sim": true}],
    "snmp": {"agentx": "AGENTX"}})";

const char* const kTwoUps = R"({"ups": [
        {"name": "ups1", "sim": true, "stale_after": 1},
        {"name": "ups2", "sim": true},
        {"name": "ups3", "sim": true}],
    "snmp": {"agentx": "AGENTX", "contexts": {"ups1": "ups1", "row-b": "ups2"}}})";

// A three-phase input, two output lines, one bypass line, on line.
RecordBuilder Sample()
{
    RecordBuilder r;
    r.FlagsNotReported()
        .Text("UpsMnu", "DELTA")
        .Text("UpsMod", "NH-PLUS 20K")
        .Text("UpsVer", "V1.23")
        .Set("SecOnBattry", 0)
        .Set("EstMinRmn", 120)
        .Set("EstChrgRmn", 100)
        .Set("BattryVlt", 271.2)
        .Set("BattryCrrent", -1.3)
        .Set("BattryTmp", 25)
        .Set("InptLines", 3)
        .Set("InptFrq1", 50.0)
        .Set("InptVlt1", 220.5)
        .Set("InptCrrent1", 12.7)
        .Set("InptPwr1", 2600)
        .Set("InptFrq2", 49.9)
        .Set("InptVlt2", 229.4)
        .Set("InptCrrent2", 11.0)
        .Set("InptPwr2", 2400)
        .Set("InptFrq3", 50.1)
        .Set("InptVlt3", 231.0)
        .Set("InptCrrent3", 10.5)
        .Set("OutptSrc", 0)
        .Set("OutptFrq", 50.0)
        .Set("OutptLines", 2)
        .Set("OutptVlt1", 230.0)
        .Set("OutptCrrent1", 8.3)
        .Set("OutptPwr1", 1900)
        .Set("OutptLd1", 45)
        .Set("OutptVlt2", 229.6)
        .Set("OutptCrrent2", 9.1)
        .Set("OutptPwr2", 2050)
        .Set("OutptLd2", 61)
        .Set("BypssFrq", 50.0)
        .Set("BypssLines", 1)
        .Set("BypssVlt1", 231.6)
        .Set("BypssCrrent1", 0.0)
        .Set("BypssPwr1", 0);
    return r;
}

// What a walk of that round shows, worked out by hand from the MIB's units.
const std::map<std::string, std::pair<std::string, std::string>> kSampleWalk = {
    {"1.1.0", {"STRING", "DELTA"}},     {"1.2.0", {"STRING", "NH-PLUS 20K"}},
    {"1.3.0", {"STRING", "V1.23"}},     {"1.4.0", {"STRING", "halx-host test"}},
    {"1.5.0", {"STRING", "ups1"}},      {"2.1.0", {"INTEGER", "2"}}, // batteryNormal
    {"2.2.0", {"INTEGER", "0"}},                                     // not on battery
    {"2.3.0", {"INTEGER", "120"}},                                   // minutes
    {"2.4.0", {"INTEGER", "100"}},                                   // percent
    {"2.5.0", {"INTEGER", "2712"}},                                  // 0.1 V
    {"2.6.0", {"INTEGER", "-13"}},                                   // 0.1 A
    {"2.7.0", {"INTEGER", "25"}},       {"3.1.0", {"Counter32", "0"}},
    {"3.2.0", {"INTEGER", "3"}},        {"3.3.1.2.1", {"INTEGER", "500"}}, // 0.1 Hz
    {"3.3.1.2.2", {"INTEGER", "499"}},  {"3.3.1.2.3", {"INTEGER", "501"}},
    {"3.3.1.3.1", {"INTEGER", "221"}}, // RMS volts
    {"3.3.1.3.2", {"INTEGER", "229"}},  {"3.3.1.3.3", {"INTEGER", "231"}},
    {"3.3.1.4.1", {"INTEGER", "127"}}, // 0.1 A
    {"3.3.1.4.2", {"INTEGER", "110"}},  {"3.3.1.4.3", {"INTEGER", "105"}},
    {"3.3.1.5.1", {"INTEGER", "2600"}},                              // W; no line 3 in the record
    {"3.3.1.5.2", {"INTEGER", "2400"}}, {"4.1.0", {"INTEGER", "3"}}, // normal
    {"4.2.0", {"INTEGER", "500"}},      {"4.3.0", {"INTEGER", "2"}},
    {"4.4.1.2.1", {"INTEGER", "230"}},  {"4.4.1.2.2", {"INTEGER", "230"}},
    {"4.4.1.3.1", {"INTEGER", "83"}},   {"4.4.1.3.2", {"INTEGER", "91"}},
    {"4.4.1.4.1", {"INTEGER", "1900"}}, {"4.4.1.4.2", {"INTEGER", "2050"}},
    {"4.4.1.5.1", {"INTEGER", "45"}},   {"4.4.1.5.2", {"INTEGER", "61"}},
    {"5.1.0", {"INTEGER", "500"}},      {"5.2.0", {"INTEGER", "1"}},
    {"5.3.1.2.1", {"INTEGER", "232"}},  {"5.3.1.3.1", {"INTEGER", "0"}},
    {"5.3.1.4.1", {"INTEGER", "0"}},    {"6.1.0", {"Gauge32", "0"}},
};

// The UPS-MIB part of a walk, keys relative to upsObjects.
std::map<std::string, std::pair<std::string, std::string>> UpsPart(const std::string& out)
{
    std::map<std::string, std::pair<std::string, std::string>> part;
    for (const auto& varbind : ParseVarbinds(out)) {
        if (varbind.first.rfind(kUps, 0) == 0) {
            part[varbind.first.substr(kUps.size())] = {varbind.second.type, varbind.second.value};
        }
    }
    return part;
}

struct Master {
    TempDir dir;
    std::unique_ptr<Trapd> trapd;
    std::unique_ptr<Snmpd> snmpd;
    explicit Master(std::vector<std::string> contexts = {}, bool traps = false)
    {
        if (traps) {
            ::mkdir((dir.path() + "/trapd").c_str(), 0700);
            trapd = std::make_unique<Trapd>(dir.path() + "/trapd");
            EXPECT_TRUE(trapd->Start()) << "snmptrapd did not start";
        }
        snmpd = std::make_unique<Snmpd>(dir.path(), contexts, traps ? trapd->port() : 0);
    }
};

TEST(SnmpAgent, WalkAndBulkWalkShowTheRoundInTheMibsUnits)
{
    REQUIRE_SNMPD();
    Master master;
    ASSERT_TRUE(master.snmpd->Start()) << master.snmpd->Log();
    Site site(kOneUps, master.snmpd->socket());
    ASSERT_TRUE(WaitFor([&] { return site.Connected(); }, milliseconds(5000)));
    site.Round(0, Sample());

    const CommandResult walk = master.snmpd->Walk("public", "1.3.6.1.2.1.33");
    ASSERT_EQ(walk.status, 0) << walk.err;
    EXPECT_EQ(walk.err.find("not increasing"), std::string::npos) << walk.err;
    EXPECT_EQ(UpsPart(walk.out), kSampleWalk);

    const CommandResult bulk = master.snmpd->Walk("public", "1.3.6.1.2.1.33", true);
    ASSERT_EQ(bulk.status, 0) << bulk.err;
    EXPECT_EQ(UpsPart(bulk.out), kSampleWalk);

    // The next round is what the next walk shows.
    RecordBuilder next = Sample();
    next.Set("BattryVlt", 262.4).Set("InptFail", 1).Set("OutptSrc", 1).Set("SecOnBattry", 75);
    site.Round(0, next);
    const auto values = ParseVarbinds(
        master.snmpd->Get("public", {kUps + "2.5.0", kUps + "2.2.0", kUps + "4.1.0"}).out);
    EXPECT_EQ(values.at(kUps + "2.5.0").value, "2624");
    EXPECT_EQ(values.at(kUps + "2.2.0").value, "75") << "on battery now";
    EXPECT_EQ(values.at(kUps + "4.1.0").value, "5") << "battery(5)";
}

TEST(SnmpAgent, GetsSetsAndTheWholeTree)
{
    REQUIRE_SNMPD();
    Master master;
    ASSERT_TRUE(master.snmpd->Start()) << master.snmpd->Log();
    Site site(kOneUps, master.snmpd->socket());
    ASSERT_TRUE(WaitFor([&] { return site.Connected(); }, milliseconds(5000)));
    site.Round(0, Sample());

    const auto got = ParseVarbinds(master.snmpd
                                       ->Get("public", {kUps + "1.5.0", kUps + "3.3.1.5.3",
                                                        kUps + "4.4.1.2.3", kUps + "9.1.0"})
                                       .out);
    EXPECT_EQ(got.at(kUps + "1.5.0").value, "ups1");
    EXPECT_EQ(got.at(kUps + "3.3.1.5.3").type.rfind("No Such Instance", 0), 0U)
        << "the record has no line 3 input power";
    EXPECT_EQ(got.at(kUps + "4.4.1.2.3").type.rfind("No Such Instance", 0), 0U)
        << "output line 3 not in use";
    EXPECT_EQ(got.at(kUps + "9.1.0").type.rfind("No Such Object", 0), 0U) << "upsConfig not served";

    // upsIdentName is read-write in the MIB; here every object is read-only.
    for (const auto& set : std::vector<std::pair<std::string, std::string>>{
             {kUps + "1.5.0", "s"}, {kUps + "2.5.0", "i"}, {kUps + "4.4.1.2.1", "i"}}) {
        const CommandResult result =
            master.snmpd->Set("public", set.first, set.second, set.second == "s" ? "renamed" : "1");
        EXPECT_NE(result.status, 0) << set.first;
        EXPECT_NE(result.err.find("notWritable"), std::string::npos) << result.err;
    }
    EXPECT_EQ(
        ParseVarbinds(master.snmpd->Get("public", {kUps + "1.5.0"}).out).at(kUps + "1.5.0").value,
        "ups1");

    // A walk of everything the master has ends, our part in order within it.
    const CommandResult all = master.snmpd->Walk("public", "1");
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.err.find("not increasing"), std::string::npos) << all.err;
    EXPECT_EQ(UpsPart(all.out), kSampleWalk);
}

TEST(SnmpAgent, EachContextServesItsUpsAndTheDefaultTheFirst)
{
    REQUIRE_SNMPD();
    Master master({"ups1", "row-b"});
    ASSERT_TRUE(master.snmpd->Start()) << master.snmpd->Log();
    Site site(kTwoUps, master.snmpd->socket());
    ASSERT_TRUE(WaitFor([&] { return site.Connected(); }, milliseconds(5000)));
    RecordBuilder second = Sample();
    second.Set("BattryVlt", 540.0);
    site.Round(0, Sample());
    site.Round(1, second);
    site.Round(2, Sample());

    const auto name_and_volts = [&](const std::string& community) {
        const auto v =
            ParseVarbinds(master.snmpd->Get(community, {kUps + "1.5.0", kUps + "2.5.0"}).out);
        return v.count(kUps + "1.5.0") != 0
                   ? v.at(kUps + "1.5.0").value + " " + v.at(kUps + "2.5.0").value
                   : std::string("none");
    };
    EXPECT_EQ(name_and_volts("public"), "ups1 2712") << "the default context: the first UPS";
    EXPECT_EQ(name_and_volts("ups1"), "ups1 2712");
    EXPECT_EQ(name_and_volts("row-b"), "ups2 5400");
    // ups3 is in no context; a walk of a context holds one UPS only.
    const CommandResult walk = master.snmpd->Walk("row-b", "1.3.6.1.2.1.33");
    ASSERT_EQ(walk.status, 0) << walk.err;
    EXPECT_EQ(UpsPart(walk.out).at("1.5.0").second, "ups2");
    EXPECT_EQ(UpsPart(walk.out).size(), kSampleWalk.size());
}

TEST(SnmpAgent, StaleDataAnswersUnknownWithoutMeasurements)
{
    REQUIRE_SNMPD();
    Master master({"ups1"}, true);
    ASSERT_TRUE(master.snmpd->Start()) << master.snmpd->Log();
    Site site(kTwoUps, master.snmpd->socket()); // ups1 is stale after 1 s
    ASSERT_TRUE(WaitFor([&] { return site.Connected(); }, milliseconds(5000)));
    site.Round(0, Sample());
    ASSERT_EQ(
        ParseVarbinds(master.snmpd->Get("ups1", {kUps + "2.1.0"}).out).at(kUps + "2.1.0").value,
        "2");

    const auto stale = [&] { return UpsPart(master.snmpd->Walk("ups1", "1.3.6.1.2.1.33").out); };
    ASSERT_TRUE(WaitFor([&] { return stale().at("2.1.0").second == "1"; }, milliseconds(4000)))
        << "upsBatteryStatus unknown(1)";
    // The agent's tick adds the row within its period.
    ASSERT_TRUE(WaitFor([&] { return stale().at("6.1.0").second == "1"; }, milliseconds(4000)));
    const auto walk = stale();
    for (const char* measurement :
         {"2.2.0", "2.3.0", "2.5.0", "3.2.0", "3.3.1.3.1", "4.1.0", "4.4.1.5.1", "5.1.0"}) {
        EXPECT_EQ(walk.count(measurement), 0U) << measurement << " shown while stale";
    }
    EXPECT_EQ(walk.at("1.1.0").second, "DELTA") << "the identity stays";
    EXPECT_EQ(walk.at("6.1.0").second, "1");
    EXPECT_EQ(walk.at("6.2.1.2.1").second, "1.3.6.1.2.1.33.1.6.3.20")
        << "upsAlarmCommunicationsLost";

    site.Round(0, Sample());
    const auto fresh = stale();
    EXPECT_EQ(fresh.at("2.1.0").second, "2");
    EXPECT_EQ(fresh.at("2.5.0").second, "2712");
    EXPECT_EQ(fresh.at("6.1.0").second, "0");
    // snmpd's own coldStart aside, the row's addition and removal.
    const auto ours = [&] {
        std::vector<std::map<std::string, Varbind>> found;
        for (const auto& trap : master.trapd->Traps()) {
            if (trap.count("1.3.6.1.2.1.33.1.1.5.0") != 0) {
                found.push_back(trap);
            }
        }
        return found;
    };
    ASSERT_TRUE(WaitFor([&] { return ours().size() >= 2; }, milliseconds(4000)));
    const auto traps = ours();
    EXPECT_EQ(traps[0].at("1.3.6.1.6.3.1.1.4.1.0").value, "1.3.6.1.2.1.33.2.3");
    EXPECT_EQ(traps[1].at("1.3.6.1.6.3.1.1.4.1.0").value, "1.3.6.1.2.1.33.2.4");
    EXPECT_EQ(traps[1].at(kUps + "6.2.1.2.1").value, "1.3.6.1.2.1.33.1.6.3.20");
    EXPECT_EQ(traps[1].at("1.3.6.1.2.1.33.1.1.5.0").value, "ups1");
}

TEST(SnmpAgent, AlarmsRaiseAndClearTableRowsWithTraps)
{
    REQUIRE_SNMPD();
    Master master({}, true);
    ASSERT_TRUE(master.snmpd->Start()) << master.snmpd->Log();
    Site site(kOneUps, master.snmpd->socket(), milliseconds(300));
    ASSERT_TRUE(WaitFor([&] { return site.Connected(); }, milliseconds(5000)));
    site.Round(0, Sample());
    site.Round(0, Sample()); // past the first round: alarm times are not 0

    const std::string trap_oid = "1.3.6.1.6.3.1.1.4.1.0";
    const auto traps_of = [&](const std::string& oid) {
        std::vector<std::map<std::string, Varbind>> found;
        for (const auto& trap : master.trapd->Traps()) {
            if (trap.count(trap_oid) != 0 && trap.at(trap_oid).value == oid) {
                found.push_back(trap);
            }
        }
        return found;
    };
    const std::string added = "1.3.6.1.2.1.33.2.3";
    const std::string removed = "1.3.6.1.2.1.33.2.4";

    // OutptOvrCrrent (row 3): upsAlarmOutputOverload.
    site.Alarm(0, 3, true);
    ASSERT_TRUE(WaitFor([&] { return traps_of(added).size() == 1; }, milliseconds(4000)));
    auto trap = traps_of(added)[0];
    EXPECT_EQ(trap.at(kUps + "6.2.1.1.1").value, "1") << "upsAlarmId";
    EXPECT_EQ(trap.at(kUps + "6.2.1.2.1").value, "1.3.6.1.2.1.33.1.6.3.8");
    EXPECT_EQ(trap.at(kUps + "1.5.0").value, "ups1");
    auto walk = UpsPart(master.snmpd->Walk("public", "1.3.6.1.2.1.33.1.6").out);
    EXPECT_EQ(walk.at("6.1.0").second, "1");
    EXPECT_EQ(walk.at("6.2.1.2.1").second, "1.3.6.1.2.1.33.1.6.3.8");
    EXPECT_EQ(walk.at("6.2.1.3.1").first, "Timeticks");
    EXPECT_NE(walk.at("6.2.1.3.1").second, "0");

    // SysAbnrml and UpsPwrLost are both general faults: one row, one trap.
    site.Alarm(0, 11, true);
    site.Alarm(0, 12, true);
    ASSERT_TRUE(WaitFor([&] { return traps_of(added).size() == 2; }, milliseconds(4000)));
    walk = UpsPart(master.snmpd->Walk("public", "1.3.6.1.2.1.33.1.6").out);
    EXPECT_EQ(walk.at("6.1.0").second, "2");
    EXPECT_EQ(walk.at("6.2.1.2.2").second, "1.3.6.1.2.1.33.1.6.3.18");
    site.Alarm(0, 11, false);
    EXPECT_EQ(UpsPart(master.snmpd->Walk("public", "1.3.6.1.2.1.33.1.6").out).at("6.1.0").second,
              "2")
        << "UpsPwrLost keeps the general fault";
    site.Alarm(0, 3, false);
    site.Alarm(0, 12, false);
    ASSERT_TRUE(WaitFor([&] { return traps_of(removed).size() == 2; }, milliseconds(4000)));
    EXPECT_EQ(traps_of(removed)[0].at(kUps + "6.2.1.2.1").value, "1.3.6.1.2.1.33.1.6.3.8");
    EXPECT_EQ(traps_of(removed)[1].at(kUps + "6.2.1.2.2").value, "1.3.6.1.2.1.33.1.6.3.18");
    EXPECT_EQ(UpsPart(master.snmpd->Walk("public", "1.3.6.1.2.1.33.1.6").out).at("6.1.0").second,
              "0");
    EXPECT_EQ(traps_of(added).size(), 2U);

    // On battery: upsTrapOnBattery, repeated while it lasts; InptFail counts
    // as a line bad.
    RecordBuilder on_battery = Sample();
    on_battery.Set("InptFail", 1).Set("OutptSrc", 1).Set("SecOnBattry", 12).Set("EstMinRmn", 30);
    site.Alarm(0, 1, true);
    site.Round(0, on_battery);
    ASSERT_TRUE(
        WaitFor([&] { return traps_of("1.3.6.1.2.1.33.2.1").size() >= 2; }, milliseconds(4000)))
        << "resent while on battery";
    trap = traps_of("1.3.6.1.2.1.33.2.1")[0];
    EXPECT_EQ(trap.at(kUps + "2.3.0").value, "30");
    EXPECT_EQ(trap.at(kUps + "2.2.0").value, "12");
    EXPECT_EQ(
        ParseVarbinds(master.snmpd->Get("public", {kUps + "3.1.0"}).out).at(kUps + "3.1.0").value,
        "1");
    site.Round(0, Sample());
    const std::size_t sent = traps_of("1.3.6.1.2.1.33.2.1").size();
    ::usleep(800 * 1000);
    EXPECT_EQ(traps_of("1.3.6.1.2.1.33.2.1").size(), sent) << "none once back on line";
}

TEST(SnmpAgent, MasterAbsentAtStartIsOneLineThenConnects)
{
    REQUIRE_SNMPD();
    Master master;
    Site site(kOneUps, master.snmpd->socket());
    site.Round(0, Sample());
    ::usleep(1500 * 1000); // several attempts, each 100 to 400 ms apart
    EXPECT_FALSE(site.Connected());
    EXPECT_EQ(site.Log().size(), 1U);
    EXPECT_EQ(site.LogLinesWith("no AgentX master agent at " + master.snmpd->socket()), 1U);

    ASSERT_TRUE(master.snmpd->Start()) << master.snmpd->Log();
    ASSERT_TRUE(WaitFor([&] { return site.Connected(); }, milliseconds(5000)));
    EXPECT_EQ(site.LogLinesWith("connected to the AgentX master agent"), 1U);
    const CommandResult walk = master.snmpd->Walk("public", "1.3.6.1.2.1.33");
    EXPECT_EQ(UpsPart(walk.out), kSampleWalk);
}

TEST(SnmpAgent, SnmpdRestartedUnderTheSubagent)
{
    REQUIRE_SNMPD();
    Master master;
    ASSERT_TRUE(master.snmpd->Start()) << master.snmpd->Log();
    Site site(kOneUps, master.snmpd->socket());
    ASSERT_TRUE(WaitFor([&] { return site.Connected(); }, milliseconds(5000)));
    site.Round(0, Sample());

    // A periodic timer on the shared io_context, as the pollers have.
    std::atomic<int> fired{0};
    std::atomic<long> longest_gap_ms{0};
    boost::asio::steady_timer timer(site.io());
    auto last = std::chrono::steady_clock::now();
    std::function<void()> arm = [&] {
        timer.expires_after(milliseconds(20));
        timer.async_wait([&](const boost::system::error_code& error) {
            if (error) {
                return;
            }
            const auto now = std::chrono::steady_clock::now();
            const long gap =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
            longest_gap_ms = std::max<long>(longest_gap_ms, gap);
            last = now;
            ++fired;
            arm();
        });
    };
    site.OnIo([&] {
        last = std::chrono::steady_clock::now();
        arm();
    });

    master.snmpd->Stop();
    ASSERT_TRUE(WaitFor([&] { return !site.Connected(); }, milliseconds(5000)));
    const int before = fired;
    site.Round(0, Sample()); // polling goes on meanwhile
    ::usleep(700 * 1000);
    EXPECT_GT(fired, before) << "the io_context's timer stopped while snmpd was away";
    EXPECT_EQ(site.LogLinesWith("lost the AgentX master agent"), 1U);

    ASSERT_TRUE(master.snmpd->Start()) << master.snmpd->Log();
    ASSERT_TRUE(WaitFor([&] { return site.Connected(); }, milliseconds(5000)));
    EXPECT_EQ(site.LogLinesWith("connected again to the AgentX master agent"), 1U);
    const CommandResult walk = master.snmpd->Walk("public", "1.3.6.1.2.1.33");
    EXPECT_EQ(UpsPart(walk.out), kSampleWalk);
    site.OnIo([&] { timer.cancel(); });
    // Generous: a subagent blocking the io_context would stall it for seconds.
    EXPECT_LT(longest_gap_ms, 1000);
    std::string lines;
    for (const std::string& line : site.Log()) {
        lines += line + "\n";
    }
    EXPECT_EQ(site.Log().size(), 3U) << "one line per event:\n" << lines;
}

} // namespace

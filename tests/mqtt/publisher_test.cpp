// The MQTT publisher against a real mosquitto broker, driven by mqtt-tool
// (the real Publisher and outbox in a real SQLite file) and watched by
// mosquitto_sub: every round and alarm change arrives with the record's
// values; a broker stopped for 30 s, killed mid-publish or refusing us; the
// tool killed while the broker is down; the outbox's bound; Home Assistant
// discovery.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <bitset>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "Broker.h"
#include "Catalogue.h"
#include "Messages.h"
#include "Sqlite.h"
#include "TestRounds.h"
#include "common/Format.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace
{

using namespace std::chrono_literals;
using mqtttest::Broker;
using mqtttest::Received;
using mqtttest::Subscriber;
using mqtttest::WaitFor;

#define SKIP_WITHOUT_MOSQUITTO()                                                                   \
    if (!mqtttest::HaveMosquitto()) {                                                              \
        GTEST_SKIP() << "mosquitto and mosquitto-clients are not installed "                       \
                        "(scripts/install-deps.sh test)";                                          \
    }

Json::Value Parse(const std::string& text)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
        ADD_FAILURE() << "not JSON: " << errors << text;
    }
    return value;
}

struct Site {
    std::string conf;
    std::string db;
};

// A site of `ups` UPSes named ups1.. with data ids 5035, 5036 ...
Site WriteSite(const TempDir& dir, int port, int ups, const std::string& mqtt_extra = "")
{
    std::string list;
    for (int i = 1; i <= ups; ++i) {
        list += std::string(i > 1 ? ", " : "") + "{\"name\": \"ups" + std::to_string(i) +
                "\", \"sim\": true, \"data_id\": " + std::to_string(5034 + i) + "}";
    }
    Site site{dir.File("site.conf"), dir.File("site.db")};
    mqtttest::WriteFile(
        site.conf, "{\"site\": \"t1\", \"database\": \"" + site.db + "\", \"ups\": [" + list +
                       "], \"mqtt\": {\"host\": \"127.0.0.1\", \"port\": " + std::to_string(port) +
                       mqtt_extra + "}}");
    return site;
}

std::vector<std::string> Tool(const Site& site, const std::vector<std::string>& more)
{
    std::vector<std::string> args = {"--config", site.conf};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

std::uint64_t OutboxRows(const Site& site)
{
    sitedb::Connection c(site.db, SQLITE_OPEN_READONLY);
    return static_cast<std::uint64_t>(c.QueryInt("SELECT count(*) FROM mqtt_outbox"));
}

// The rounds received, by UPS, in arrival order, each (sequence, payload).
std::map<std::string, std::vector<std::pair<std::uint64_t, Json::Value>>>
Rounds(const std::vector<Received>& messages)
{
    std::map<std::string, std::vector<std::pair<std::uint64_t, Json::Value>>> out;
    for (const Received& m : messages) {
        if (m.topic.size() > 6 && m.topic.compare(m.topic.size() - 6, 6, "/round") == 0) {
            Json::Value v = Parse(m.payload);
            out[v["ups"].asString()].emplace_back(v["sequence"].asUInt64(), v);
        }
    }
    return out;
}

// What a consumer does: drop duplicates by (ups, sequence); counts what it
// dropped and whether the rest came in order.
struct Deduplicated {
    std::vector<std::uint64_t> sequences;
    std::size_t duplicates = 0;
    bool in_order = true;
};
Deduplicated Dedup(const std::vector<std::pair<std::uint64_t, Json::Value>>& rounds)
{
    Deduplicated d;
    std::set<std::uint64_t> seen;
    for (const auto& r : rounds) {
        if (!seen.insert(r.first).second) {
            ++d.duplicates;
            continue;
        }
        if (!d.sequences.empty() && r.first < d.sequences.back()) {
            d.in_order = false;
        }
        d.sequences.push_back(r.first);
    }
    return d;
}

std::vector<std::uint64_t> Range(std::uint64_t first, std::uint64_t last)
{
    std::vector<std::uint64_t> out;
    for (std::uint64_t s = first; s <= last; ++s) {
        out.push_back(s);
    }
    return out;
}

TEST(Delivery, EveryRoundAndAlarmChangeArrivesWithTheRecordsValues)
{
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir.Path());
    ASSERT_TRUE(broker.Start()) << broker.Log();
    Subscriber sub(dir.Path(), broker.port(), {"ups/t1/+/round", "ups/t1/+/alarm"});
    ASSERT_TRUE(sub.WaitSubscribed(broker.port()));
    const Site site = WriteSite(dir, broker.port(), 3);
    const RunResult run = RunProgram(
        MQTT_TOOL, Tool(site, {"--rate", "20", "--rounds", "24", "--alarm-every", "4"}), 60s);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("acknowledged=90 dropped=0"), std::string::npos) << run.out;
    ASSERT_TRUE(WaitFor([&] { return sub.Messages().size() >= 1 + 3 * 24 + 3 * 6; }, 10s));

    const auto rounds = Rounds(sub.Messages());
    std::map<std::string, std::vector<Json::Value>> alarms;
    for (const Received& m : sub.Messages()) {
        if (m.topic.find("/alarm") != std::string::npos) {
            const Json::Value v = Parse(m.payload);
            alarms[v["ups"].asString()].push_back(v);
        }
    }
    for (int i = 0; i < 3; ++i) {
        const std::string ups = "ups" + std::to_string(i + 1);
        SCOPED_TRACE(ups);
        ASSERT_EQ(rounds.count(ups), 1U);
        const auto& got = rounds.at(ups);
        ASSERT_EQ(got.size(), 24U) << "each round once";
        std::bitset<kStatusAlarmCount> raised;
        std::size_t alarm_at = 0;
        for (std::uint64_t s = 1; s <= 24; ++s) {
            std::size_t changed = kStatusAlarmCount;
            if (s % 4 == 0) {
                changed = (s / 4 + static_cast<std::uint64_t>(i)) % kStatusAlarmCount;
                raised.flip(changed);
            }
            const auto record = mqtt::TestRecord(ups, s, 5035U + static_cast<unsigned>(i), raised);
            const Json::Value& v = got[s - 1].second;
            EXPECT_EQ(got[s - 1].first, s);
            EXPECT_EQ(v["data_id"].asUInt(), 5035U + static_cast<unsigned>(i));
            EXPECT_EQ(v["record"].asString(), tools::Hex(record.data(), record.size()));
            EXPECT_EQ(v["time"].asString().size(), 24U) << v["time"].asString();
            const auto values = catalogue::Values(record.data());
            EXPECT_EQ(v["fields"].size(), values.size());
            for (const catalogue::Value& value : values) {
                const Json::Value& f = v["fields"][value.quantity->nut];
                EXPECT_EQ(f["unit"].asString(), value.quantity->unit) << value.quantity->nut;
                if (value.numeric) {
                    EXPECT_NEAR(f["value"].asDouble(), value.number, 0.051) << value.quantity->nut;
                } else {
                    EXPECT_EQ(f["value"].asString(), value.text) << value.quantity->nut;
                }
            }
            if (changed < kStatusAlarmCount) {
                ASSERT_LT(alarm_at, alarms[ups].size());
                const Json::Value& a = alarms[ups][alarm_at++];
                const auto& meaning = catalogue::kAlarmMeanings[changed];
                EXPECT_EQ(a["key"].asString(), meaning.alarm->key);
                EXPECT_EQ(a["alarm_id"].asString(), meaning.alarm->alarm_id);
                EXPECT_EQ(a["name"].asString(), meaning.alarm->name) << "UTF-8 Chinese name";
                EXPECT_EQ(a["description"].asString(), meaning.alarm->description);
                EXPECT_EQ(a["state"].asString(), raised[changed] ? "raised" : "cleared");
                EXPECT_EQ(a["sequence"].asUInt64(), s);
            }
        }
        EXPECT_EQ(alarm_at, alarms[ups].size()) << "no alarm change more than made";
    }
    EXPECT_EQ(OutboxRows(site), 0U) << "acknowledged entries are deleted";
}

TEST(Outage, BrokerStoppedThirtySecondsEveryRoundArrivesInOrderOnce)
{
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir.Path());
    ASSERT_TRUE(broker.Start()) << broker.Log();
    Subscriber sub(dir.Path(), broker.port(), {"ups/t1/+/round"});
    ASSERT_TRUE(sub.WaitSubscribed(broker.port()));
    const Site site = WriteSite(dir, broker.port(), 2);
    // 10 rounds a second per UPS for 40 s; the broker away from 5 s to 35 s.
    ChildProcess tool(MQTT_TOOL, Tool(site, {"--rate", "10", "--rounds", "400", "--linger", "60"}));
    std::this_thread::sleep_for(5s);
    const std::size_t before = sub.Messages().size();
    broker.Stop();
    const auto stopped = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(30s);
    const std::uint64_t backlog = OutboxRows(site);
    ASSERT_TRUE(broker.Start()) << broker.Log();
    const double outage =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count();
    ASSERT_EQ(tool.Wait(90s), 0) << tool.Stderr();
    ASSERT_TRUE(WaitFor(
        [&] { return Dedup(Rounds(sub.Messages())["ups2"]).sequences.size() >= 400; }, 20s));
    const auto rounds = Rounds(sub.Messages());
    std::size_t delivered = 0, duplicates = 0, lost = 0;
    for (const std::string ups : {"ups1", "ups2"}) {
        const Deduplicated d = Dedup(rounds.at(ups));
        EXPECT_TRUE(d.in_order) << ups;
        EXPECT_EQ(d.sequences, Range(1, 400)) << ups;
        delivered += d.sequences.size();
        duplicates += d.duplicates;
        lost += 400 - std::min<std::size_t>(400, d.sequences.size());
    }
    std::printf("outage: broker away %.1f s, rounds during the outage %llu (outbox), "
                "received before %zu, delivered %zu of 800, duplicates dropped %zu, lost %zu\n",
                outage, static_cast<unsigned long long>(backlog), before, delivered, duplicates,
                lost);
    std::printf("outage: %s", tool.Stdout().c_str());
    EXPECT_GT(backlog, 500U) << "about 30 s of two UPSes at 10 rounds a second";
    EXPECT_EQ(lost, 0U);
    // Told once, not once per retry.
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = tool.Stderr().find("cannot connect", at)) != std::string::npos;
         ++at) {
        ++lines;
    }
    EXPECT_EQ(lines, 1U) << tool.Stderr();
    EXPECT_NE(
        tool.Stderr().find("connection to 127.0.0.1:" + std::to_string(broker.port()) + " lost"),
        std::string::npos)
        << tool.Stderr();
}

TEST(Restart, KilledWhileTheBrokerIsDownTheBacklogStillArrives)
{
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir.Path());
    const Site site = WriteSite(dir, broker.port(), 2);
    {
        ChildProcess tool(MQTT_TOOL, Tool(site, {"--rate", "50", "--rounds", "30"}));
        ASSERT_TRUE(WaitFor(
            [&] {
                try {
                    return OutboxRows(site) == 60U;
                } catch (const sitedb::Error&) {
                    return false;
                }
            },
            20s));
        tool.Signal(SIGKILL);
        EXPECT_EQ(tool.Wait(5s), 128 + SIGKILL);
    }
    ASSERT_TRUE(broker.Start()) << broker.Log();
    Subscriber sub(dir.Path(), broker.port(), {"ups/t1/+/round"});
    ASSERT_TRUE(sub.WaitSubscribed(broker.port()));
    const RunResult run = RunProgram(
        MQTT_TOOL, Tool(site, {"--rate", "20", "--rounds", "5", "--first-sequence", "31"}), 60s);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("the outbox holds 60 entries from before"), std::string::npos)
        << run.err;
    ASSERT_TRUE(WaitFor([&] { return Rounds(sub.Messages())["ups2"].size() >= 35; }, 10s));
    const auto rounds = Rounds(sub.Messages());
    for (const std::string ups : {"ups1", "ups2"}) {
        const Deduplicated d = Dedup(rounds.at(ups));
        EXPECT_EQ(d.sequences, Range(1, 35)) << ups << ": the backlog first, in order";
    }
    EXPECT_EQ(OutboxRows(site), 0U);
}

// The broker drops our connection while rounds flow (another client takes
// over our client id, as a second halx-host with the same id would): what
// was in flight goes again, nothing is lost, the drop is told.
TEST(Restart, BrokerDroppingTheConnectionMidPublishLosesNothing)
{
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir.Path());
    ASSERT_TRUE(broker.Start()) << broker.Log();
    Subscriber sub(dir.Path(), broker.port(), {"ups/t1/+/round"});
    ASSERT_TRUE(sub.WaitSubscribed(broker.port()));
    const Site site = WriteSite(dir, broker.port(), 4);
    ChildProcess tool(MQTT_TOOL, Tool(site, {"--rate", "100", "--rounds", "300"}));
    for (const std::size_t after : {200U, 600U}) {
        ASSERT_TRUE(WaitFor([&] { return sub.Messages().size() > after; }, 20s));
        ASSERT_TRUE(mqtttest::Publish(broker.port(), "probe/x", "takeover", false, "halx-host-t1"));
    }
    ASSERT_EQ(tool.Wait(60s), 0) << tool.Stderr();
    ASSERT_TRUE(
        WaitFor([&] { return Dedup(Rounds(sub.Messages())["ups4"]).sequences.size() >= 300; }, 20s))
        << tool.Stdout() << tool.Stderr();
    const auto rounds = Rounds(sub.Messages());
    std::size_t duplicates = 0;
    for (const std::string ups : {"ups1", "ups2", "ups3", "ups4"}) {
        const Deduplicated d = Dedup(rounds.at(ups));
        EXPECT_EQ(d.sequences, Range(1, 300)) << ups;
        EXPECT_TRUE(d.in_order) << ups;
        duplicates += d.duplicates;
    }
    std::printf("connection dropped twice mid-publish: duplicates dropped %zu; %s", duplicates,
                tool.Stdout().c_str());
    EXPECT_NE(tool.Stderr().find(" lost: "), std::string::npos) << tool.Stderr();
    EXPECT_NE(tool.Stdout().find("acknowledged=1200 dropped=0"), std::string::npos)
        << tool.Stdout();
}

// The broker killed with SIGKILL while rounds flow, and started again: the
// publisher tells it once, reconnects and delivers the rest in order.  (What
// the dead broker had acknowledged but not yet passed on is gone with it:
// its acknowledgement is where our guarantee ends.)
TEST(Restart, BrokerKilledMidPublishIsToldOnceAndTheRestArrivesInOrder)
{
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir.Path());
    ASSERT_TRUE(broker.Start()) << broker.Log();
    Subscriber sub(dir.Path(), broker.port(), {"ups/t1/+/round"});
    ASSERT_TRUE(sub.WaitSubscribed(broker.port()));
    const Site site = WriteSite(dir, broker.port(), 2);
    ChildProcess tool(MQTT_TOOL, Tool(site, {"--rate", "100", "--rounds", "300"}));
    ASSERT_TRUE(WaitFor([&] { return sub.Messages().size() > 100; }, 20s));
    broker.Stop(SIGKILL);
    std::this_thread::sleep_for(1500ms);
    const std::size_t before = Rounds(sub.Messages())["ups2"].size();
    ASSERT_TRUE(broker.Start()) << broker.Log();
    ASSERT_EQ(tool.Wait(60s), 0) << tool.Stderr();
    ASSERT_TRUE(
        WaitFor([&] { return Dedup(Rounds(sub.Messages())["ups2"]).sequences.size() >= 290; }, 20s))
        << tool.Stdout() << tool.Stderr();
    const auto rounds = Rounds(sub.Messages());
    for (const std::string ups : {"ups1", "ups2"}) {
        const Deduplicated d = Dedup(rounds.at(ups));
        EXPECT_TRUE(d.in_order) << ups;
        ASSERT_FALSE(d.sequences.empty());
        EXPECT_EQ(d.sequences.back(), 300U) << ups;
        std::printf("broker killed: %s: %zu of 300 rounds received (%zu before the kill)\n",
                    ups.c_str(), d.sequences.size(), before);
    }
    std::size_t lost_lines = 0;
    for (std::size_t at = 0; (at = tool.Stderr().find(" lost: ", at)) != std::string::npos; ++at) {
        ++lost_lines;
    }
    EXPECT_EQ(lost_lines, 1U) << tool.Stderr();
    EXPECT_NE(tool.Stdout().find("acknowledged=600 dropped=0"), std::string::npos) << tool.Stdout();
    EXPECT_EQ(OutboxRows(site), 0U);
}

// A broker that will not have us: one line, retried, the outbox kept.
struct RefusalRow {
    const char* name;
    std::string (*broker)(const TempDir& dir); // extra mosquitto.conf lines
    std::string (*client)(const TempDir& dir); // extra mqtt section keys
    const char* line;                          // what the one line says
};

// Runs a program of this machine (openssl, mosquitto_passwd): not under the
// cross build's emulator, as mqtt-tool is.
int Run(const std::vector<std::string>& argv)
{
    TempDir scratch;
    pid_t pid = mqtttest::Spawn(argv, scratch.File("log"));
    int status = 0;
    ::waitpid(pid, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    if (code != 0) {
        ADD_FAILURE() << argv[0] << ": " << mqtttest::ReadFile(scratch.File("log"));
    }
    return code;
}

// A CA and a broker certificate for 127.0.0.1 signed by it, and a second CA
// that signed nothing.
void MakeCertificates(const TempDir& dir)
{
    const std::string d = dir.Path() + "/";
    for (const std::string ca : {"ca", "other-ca"}) {
        Run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=" + ca, "-keyout", d + ca + ".key", "-out", d + ca + ".pem"});
    }
    Run({"/usr/bin/openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
         "-keyout", d + "server.key", "-out", d + "server.csr"});
    mqtttest::WriteFile(d + "san.ext", "subjectAltName=IP:127.0.0.1\n");
    Run({"/usr/bin/openssl", "x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.pem", "-CAkey",
         d + "ca.key", "-CAcreateserial", "-days", "2", "-extfile", d + "san.ext", "-out",
         d + "server.pem"});
}

std::string TlsBroker(const TempDir& dir)
{
    MakeCertificates(dir);
    return "allow_anonymous true\ncafile " + dir.File("ca.pem") + "\ncertfile " +
           dir.File("server.pem") + "\nkeyfile " + dir.File("server.key") + "\n";
}

class Refusal : public testing::TestWithParam<RefusalRow>
{
};

TEST_P(Refusal, IsToldOnceRetriedAndTheOutboxKept)
{
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir.Path(), GetParam().broker(dir));
    ASSERT_TRUE(broker.Start()) << broker.Log();
    const Site site = WriteSite(dir, broker.port(), 1, GetParam().client(dir));
    // 4 s of rounds: the back-off tries at 0, 0.5, 1.5 and 3.5 s.
    const RunResult run =
        RunProgram(MQTT_TOOL, Tool(site, {"--rate", "5", "--rounds", "20", "--linger", "0"}), 60s);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = run.ErrLines();
    ASSERT_EQ(lines.size(), 1U) << run.err;
    EXPECT_EQ(lines[0].rfind("halx-host: mqtt: ", 0), 0U) << lines[0];
    EXPECT_NE(lines[0].find(GetParam().line), std::string::npos) << lines[0];
    EXPECT_NE(run.out.find("queued=20 published=0 acknowledged=0"), std::string::npos) << run.out;
    EXPECT_EQ(OutboxRows(site), 20U) << "nothing lost";
    const std::size_t at = run.out.find("failures=");
    ASSERT_NE(at, std::string::npos) << run.out;
    EXPECT_GE(std::stoul(run.out.substr(at + 9)), 3U) << "retried with back-off: " << run.out;
}

const RefusalRow kRefusals[] = {
    {"WrongPassword",
     [](const TempDir& dir) {
         mqtttest::WriteFile(dir.File("passwords"), "");
         Run({"/usr/bin/mosquitto_passwd", "-b", dir.File("passwords"), "site", "right"});
         return "allow_anonymous false\npassword_file " + dir.File("passwords") + "\n";
     },
     [](const TempDir&) {
         return std::string(", \"username\": \"site\", \"password\": \"wrong\"");
     },
     "refused the connection: Connection Refused: not authorised"},
    {"CertificateSignedByAnotherCa", TlsBroker,
     [](const TempDir& dir) {
         return ", \"tls\": {\"ca_file\": \"" + dir.File("other-ca.pem") + "\"}";
     },
     "certificate verify failed"},
};
INSTANTIATE_TEST_SUITE_P(Broker, Refusal, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<RefusalRow>& row) {
                             return std::string(row.param.name);
                         });

TEST(Tls, CertificateThatVerifiesDelivers)
{
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir.Path(), TlsBroker(dir));
    ASSERT_TRUE(broker.Start()) << broker.Log();
    const Site site = WriteSite(dir, broker.port(), 1,
                                ", \"tls\": {\"ca_file\": \"" + dir.File("ca.pem") + "\"}");
    const RunResult run =
        RunProgram(MQTT_TOOL, Tool(site, {"--rate", "20", "--rounds", "10"}), 60s);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("acknowledged=10 dropped=0"), std::string::npos) << run.out << run.err;
}

TEST(Outbox, BoundDropsTheOldestCountsThemAndSaysSoOnce)
{
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir.Path());
    const Site site = WriteSite(dir, broker.port(), 1, ", \"outbox_max\": 50");
    const RunResult fill = RunProgram(MQTT_TOOL, Tool(site, {"--fill", "120"}), 60s);
    ASSERT_EQ(fill.status, 0) << fill.err;
    EXPECT_NE(fill.out.find("queued=120 published=0 acknowledged=0 dropped=70"), std::string::npos)
        << fill.out;
    ASSERT_EQ(fill.ErrLines().size(), 1U) << fill.err;
    EXPECT_NE(fill.err.find("the outbox is full (50 entries): the oldest are dropped"),
              std::string::npos)
        << fill.err;
    EXPECT_EQ(OutboxRows(site), 50U);

    ASSERT_TRUE(broker.Start()) << broker.Log();
    Subscriber sub(dir.Path(), broker.port(), {"ups/t1/+/round"});
    ASSERT_TRUE(sub.WaitSubscribed(broker.port()));
    const RunResult run = RunProgram(
        MQTT_TOOL, Tool(site, {"--rate", "20", "--rounds", "1", "--first-sequence", "121"}), 60s);
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(WaitFor([&] { return Rounds(sub.Messages())["ups1"].size() >= 51; }, 10s));
    EXPECT_EQ(Dedup(Rounds(sub.Messages())["ups1"]).sequences, Range(71, 121))
        << "the newest 50 kept, then the live round";
}

// Units Home Assistant accepts per sensor device class (its documentation).
const std::map<std::string, std::set<std::string>> kHaUnits = {
    {"voltage", {"V", "mV"}},
    {"current", {"A", "mA"}},
    {"frequency", {"Hz", "kHz"}},
    {"power", {"W", "kW"}},
    {"temperature", {"°C", "°F"}},
    {"battery", {"%"}},
    {"duration", {"d", "h", "min", "s", "ms"}},
};

TEST(Discovery, ConfigsAreValidAndRepublishedWhenHomeAssistantComesOnline)
{
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir.Path());
    ASSERT_TRUE(broker.Start()) << broker.Log();
    Subscriber sub(dir.Path(), broker.port(), {"homeassistant/#", "ups/t1/#"});
    ASSERT_TRUE(sub.WaitSubscribed(broker.port()));
    const Site site = WriteSite(dir, broker.port(), 2);
    ChildProcess tool(MQTT_TOOL, Tool(site, {"--rate", "2", "--rounds", "0"}));
    const auto configs = [&] {
        std::vector<Received> out;
        for (const Received& m : sub.Messages()) {
            if (m.topic.rfind("homeassistant/", 0) == 0) {
                out.push_back(m);
            }
        }
        return out;
    };
    ASSERT_TRUE(WaitFor([&] { return configs().size() > 40; }, 10s));
    std::this_thread::sleep_for(500ms);
    const std::vector<Received> first = configs();
    std::set<std::string> state_topics;
    for (const Received& m : sub.Messages()) {
        state_topics.insert(m.topic);
    }
    std::size_t sensors = 0, binary = 0;
    std::set<std::string> unique;
    for (const Received& m : first) {
        SCOPED_TRACE(m.topic);
        const Json::Value c = Parse(m.payload);
        // <prefix>/<component>/<node>/<object>/config, ids of [A-Za-z0-9_-].
        std::vector<std::string> levels;
        std::size_t start = 0;
        for (std::size_t at; (at = m.topic.find('/', start)) != std::string::npos; start = at + 1) {
            levels.push_back(m.topic.substr(start, at - start));
        }
        levels.push_back(m.topic.substr(start));
        ASSERT_EQ(levels.size(), 5U);
        EXPECT_EQ(levels[4], "config");
        for (const std::size_t i : {2U, 3U}) {
            EXPECT_EQ(
                levels[i].find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                            "0123456789_-"),
                std::string::npos);
        }
        EXPECT_TRUE(unique.insert(c["unique_id"].asString()).second) << "unique ids";
        EXPECT_TRUE(c["device"]["identifiers"].isArray());
        EXPECT_EQ(c["device"]["manufacturer"].asString(), "DELTA");
        EXPECT_EQ(c["device"]["model"].asString(), "NH PLUS 20K");
        EXPECT_EQ(c["availability"].size(), 2U);
        EXPECT_EQ(state_topics.count(c["state_topic"].asString()), 1U)
            << "the state topic is published: " << c["state_topic"].asString();
        if (levels[1] == "binary_sensor") {
            ++binary;
            EXPECT_EQ(c["device_class"].asString(), "problem");
            continue;
        }
        ASSERT_EQ(levels[1], "sensor");
        ++sensors;
        const std::string cls = c.get("device_class", "").asString();
        const std::string unit = c.get("unit_of_measurement", "").asString();
        if (!cls.empty()) {
            ASSERT_EQ(kHaUnits.count(cls), 1U) << cls;
            EXPECT_EQ(kHaUnits.at(cls).count(unit), 1U) << cls << " in " << unit;
            EXPECT_EQ(c["state_class"].asString(), "measurement");
        }
        if (c.isMember("state_class")) {
            EXPECT_EQ(c["state_class"].asString(), "measurement");
        }
    }
    EXPECT_EQ(binary, 2 * kStatusAlarmCount);
    EXPECT_GT(sensors, 2 * 30U);

    ASSERT_TRUE(mqtttest::Publish(broker.port(), "homeassistant/status", "online"));
    ASSERT_TRUE(WaitFor([&] { return configs().size() >= 2 * first.size(); }, 10s))
        << configs().size() << " of " << 2 * first.size();
    tool.Signal(SIGTERM);
    EXPECT_EQ(tool.Wait(10s), 0);
    ASSERT_TRUE(WaitFor(
        [&] {
            const auto all = sub.Messages();
            return !all.empty() && all.back().topic == "ups/t1/availability" &&
                   all.back().payload == "offline";
        },
        5s))
        << "the site says offline when it stops";
}

TEST(Availability, LastWillShowsADeadSiteOffline)
{
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir.Path());
    ASSERT_TRUE(broker.Start()) << broker.Log();
    Subscriber sub(dir.Path(), broker.port(), {"ups/t1/availability", "ups/t1/+/availability"});
    ASSERT_TRUE(sub.WaitSubscribed(broker.port()));
    const Site site = WriteSite(dir, broker.port(), 1, ", \"keepalive\": 5");
    ChildProcess tool(MQTT_TOOL, Tool(site, {"--rate", "5", "--rounds", "0"}));
    const auto has = [&](const std::string& topic, const std::string& payload) {
        for (const Received& m : sub.Messages()) {
            if (m.topic == topic && m.payload == payload) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(WaitFor([&] { return has("ups/t1/ups1/availability", "online"); }, 10s));
    EXPECT_TRUE(has("ups/t1/availability", "online"));
    tool.Signal(SIGKILL);
    tool.Wait(5s);
    // The broker notices the closed connection at once and sends the will.
    ASSERT_TRUE(WaitFor([&] { return has("ups/t1/availability", "offline"); }, 10s));
}

} // namespace

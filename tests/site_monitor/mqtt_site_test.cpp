// halx-host --config publishing to a real mosquitto broker: what a consumer
// receives is what the site database holds, round for round, and rounds
// polled while the broker is away (even across a SIGKILL of halx-host)
// arrive once it is back, in order.
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "Broker.h"
#include "SiteRun.h"
#include "common/Format.h"

namespace
{

using namespace std::chrono_literals;
using mqtttest::Broker;
using mqtttest::Received;
using mqtttest::Subscriber;
using sitetest::SimUps;
using sitetest::SiteRun;

#define SKIP_UNLESS_BROKER_AND_NATIVE()                                                            \
    do {                                                                                           \
        if (sitetest::UnderEmulator()) {                                                           \
            GTEST_SKIP() << "the site's MQTT tests run natively only (halx-host under an "         \
                            "emulator is too slow for the broker's timings)";                      \
        }                                                                                          \
        if (!mqtttest::HaveMosquitto()) {                                                          \
            GTEST_SKIP() << "mosquitto and mosquitto_sub are not installed "                       \
                            "(scripts/install-deps.sh test)";                                      \
        }                                                                                          \
    } while (0)

std::string MqttSection(int port)
{
    return ",\n  \"mqtt\": { \"host\": \"127.0.0.1\", \"port\": " + std::to_string(port) +
           ", \"discovery\": false }";
}

const std::vector<SimUps> kTwoUps = {{"ups1", "{ \"drift\": true, \"seed\": 3 }", 0.5},
                                     {"ups2", "{ \"drift\": true, \"seed\": 4 }", 0.5, 60, 2}};

// The rounds received per UPS in arrival order: sequence and record hex.
std::map<std::string, std::vector<std::pair<std::uint64_t, std::string>>>
ReceivedRounds(const std::vector<Received>& messages)
{
    std::map<std::string, std::vector<std::pair<std::uint64_t, std::string>>> out;
    for (const Received& m : messages) {
        if (m.topic.size() < 6 || m.topic.compare(m.topic.size() - 6, 6, "/round") != 0) {
            continue;
        }
        Json::Value v;
        Json::CharReaderBuilder builder;
        std::string errors;
        std::istringstream in(m.payload);
        if (Json::parseFromStream(builder, in, &v, &errors)) {
            out[v["ups"].asString()].emplace_back(v["sequence"].asUInt64(), v["record"].asString());
        }
    }
    return out;
}

// What a consumer keeps after dropping duplicates by (UPS, sequence).
struct Kept {
    std::map<std::uint64_t, std::string> rounds;
    std::size_t duplicates = 0;
    bool in_order = true;
};
Kept Deduplicate(const std::vector<std::pair<std::uint64_t, std::string>>& received)
{
    Kept k;
    std::uint64_t last = 0;
    for (const auto& [sequence, record] : received) {
        if (!k.rounds.emplace(sequence, record).second) {
            ++k.duplicates;
            continue;
        }
        k.in_order = k.in_order && sequence > last;
        last = sequence;
    }
    return k;
}

// Every round the database holds for the UPS, by sequence, as hex.
std::map<std::uint64_t, std::string> Stored(SiteRun& run, const std::string& ups)
{
    std::map<std::uint64_t, std::string> out;
    for (const history::Entry& e : run.Rounds(ups)) {
        out[e.sequence] = tools::Hex(e.record.data(), e.record.size());
    }
    return out;
}

TEST(SiteMqtt, EveryStoredRoundReachesTheConsumerAsStored)
{
    SKIP_UNLESS_BROKER_AND_NATIVE();
    nuttest::TempDir dir;
    Broker broker(dir.path());
    ASSERT_TRUE(broker.Start()) << broker.Log();
    Subscriber sub(dir.path(), broker.port(), {"ups/test-site/+/round"});
    ASSERT_TRUE(sub.WaitSubscribed(broker.port()));

    SiteRun run(sitetest::SiteConfigText(kTwoUps, "@DIR@/site.db", sitetest::FreePort(),
                                         MqttSection(broker.port())));
    ASSERT_TRUE(run.WaitForRounds({"ups1", "ups2"}, 6, 30s)) << run.Output();
    EXPECT_EQ(run.Stop(), 0) << run.Output();

    for (const std::string ups : {"ups1", "ups2"}) {
        const auto stored = Stored(run, ups);
        ASSERT_GE(stored.size(), 6U);
        ASSERT_TRUE(mqtttest::WaitFor(
            [&] {
                return Deduplicate(ReceivedRounds(sub.Messages())[ups]).rounds.size() >=
                       stored.size();
            },
            10s))
            << ups << "\n"
            << run.Output();
        const Kept kept = Deduplicate(ReceivedRounds(sub.Messages())[ups]);
        EXPECT_TRUE(kept.in_order) << ups;
        EXPECT_EQ(kept.rounds, stored) << ups << ": every stored round, with its record";
    }
}

TEST(SiteMqtt, RoundsPolledWhileTheBrokerIsAwayArriveAfterAKillAndRestart)
{
    SKIP_UNLESS_BROKER_AND_NATIVE();
    nuttest::TempDir dir;
    Broker broker(dir.path()); // not started: the broker is away
    const std::string db = dir.File("site.db");
    const std::string config =
        sitetest::SiteConfigText(kTwoUps, db, sitetest::FreePort(), MqttSection(broker.port()));
    {
        SiteRun first(config);
        first.UseDatabase(db);
        ASSERT_TRUE(first.WaitForRounds({"ups1", "ups2"}, 5, 30s)) << first.Output();
        EXPECT_EQ(first.Kill(), 128 + SIGKILL);
        EXPECT_NE(first.Output().find("mqtt: "), std::string::npos)
            << "the missing broker is told: " << first.Output();
    }

    ASSERT_TRUE(broker.Start()) << broker.Log();
    Subscriber sub(dir.path(), broker.port(), {"ups/test-site/+/round"});
    ASSERT_TRUE(sub.WaitSubscribed(broker.port()));
    SiteRun second(config);
    second.UseDatabase(db);
    const std::size_t before = second.Rounds("ups1").size();
    ASSERT_TRUE(second.WaitForRounds({"ups1", "ups2"}, before + 4, 30s)) << second.Output();
    EXPECT_EQ(second.Stop(), 0) << second.Output();

    for (const std::string ups : {"ups1", "ups2"}) {
        const auto stored = Stored(second, ups);
        ASSERT_TRUE(mqtttest::WaitFor(
            [&] {
                return Deduplicate(ReceivedRounds(sub.Messages())[ups]).rounds.size() >=
                       stored.size();
            },
            15s))
            << ups << "\n"
            << second.Output();
        const Kept kept = Deduplicate(ReceivedRounds(sub.Messages())[ups]);
        EXPECT_TRUE(kept.in_order) << ups << ": the backlog first, then live rounds";
        EXPECT_EQ(kept.rounds, stored) << ups << ": nothing lost across the kill";
        std::cout << ups << ": " << stored.size() << " rounds stored, " << kept.rounds.size()
                  << " delivered, " << kept.duplicates << " duplicates dropped\n";
    }
}

} // namespace

// The site configuration: a complete file read as written, the defaults, and
// every mistake a person makes reported with the file, the line and what is
// wrong.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "SiteConfig.h"
#include "support/ParamNames.h"

namespace
{

using site::ConfigError;
using site::ParseSiteConfig;

const char* const kGood = R"(// A site of two UPSes.
{
    "site": "exchange-7",
    "database": "/var/lib/halx-host/site.db",
    /* The first on a USB adapter,
       the second simulated. */
    "ups": [
        {
            "name": "ups1",
            "description": "Row A, rack 3",
            "port": "/dev/ttyUSB0",
            "data_id": 7,
            "settings": { "appSetting": { "b_mode": 3 } },
            "interval": 2.5,
            "reply_timeout": 1,
            "stale_after": 30,
        },
        {
            "name": "ups2",
            "sim": { "values": { "BattryVlt": "265.0", "InptFail": 1 }, "noise": 16,
                     "chunk": 3, "pace": true, "drift": false, "seed": 9,
                     "script": "mains-failure.ups" }
        }
    ],
    "nut": {
        "listen": ["127.0.0.1:3493", "[::1]:13493"],
        "users": [ { "name": "monuser", "password": "secret", "role": "secondary" },
                   { "name": "admin", "password": "s3cret", "role": "primary" } ]
    },
    "prometheus": {
        "listen": ["0.0.0.0:9583", "[::1]:19583"],
        "max_connections": 4,
        "request_timeout": 2.5
    }
}
)";

TEST(SiteConfig, ReadsEverySettingOfAGoodFile)
{
    const site::SiteConfig c = ParseSiteConfig(kGood, "site.conf");
    EXPECT_EQ(c.site, "exchange-7");
    EXPECT_EQ(c.database, "/var/lib/halx-host/site.db");
    ASSERT_EQ(c.ups.size(), 2U);
    const site::UpsConfig& a = c.ups[0];
    EXPECT_EQ(a.name, "ups1");
    EXPECT_EQ(a.description, "Row A, rack 3");
    EXPECT_EQ(a.port, "/dev/ttyUSB0");
    EXPECT_FALSE(a.sim);
    EXPECT_EQ(a.data_id, 7U);
    EXPECT_EQ(a.settings["appSetting"]["b_mode"].asInt(), 3);
    EXPECT_EQ(a.interval.count(), 2500);
    EXPECT_EQ(a.reply_timeout.count(), 1000);
    EXPECT_EQ(a.stale_after.count(), 30);
    EXPECT_EQ(a.line, 8); // the entry's opening brace
    const site::UpsConfig& b = c.ups[1];
    ASSERT_TRUE(b.sim);
    EXPECT_TRUE(b.port.empty());
    EXPECT_EQ(b.sim->values.at("BattryVlt"), "265.0");
    EXPECT_EQ(b.sim->values.at("InptFail"), "1");
    EXPECT_EQ(b.sim->noise, 16U);
    EXPECT_EQ(b.sim->chunk, 3U);
    EXPECT_TRUE(b.sim->pace);
    EXPECT_FALSE(b.sim->drift);
    EXPECT_EQ(b.sim->seed, 9U);
    EXPECT_EQ(b.sim->script, "mains-failure.ups");
    // Defaults.
    EXPECT_EQ(b.data_id, 1U);
    EXPECT_EQ(b.interval.count(), 5000);
    EXPECT_EQ(b.reply_timeout.count(), 2000);
    EXPECT_EQ(b.stale_after.count(), 60);
    EXPECT_TRUE(b.settings.isObject() && b.settings.empty());
    ASSERT_EQ(c.nut.listen.size(), 2U);
    EXPECT_EQ(c.nut.listen[0].host, "127.0.0.1");
    EXPECT_EQ(c.nut.listen[0].port, 3493);
    EXPECT_EQ(c.nut.listen[1].host, "::1");
    EXPECT_EQ(c.nut.listen[1].port, 13493);
    ASSERT_EQ(c.nut.users.size(), 2U);
    EXPECT_FALSE(c.nut.users[0].primary);
    EXPECT_TRUE(c.nut.users[1].primary);
    EXPECT_TRUE(c.prometheus.enabled);
    ASSERT_EQ(c.prometheus.listen.size(), 2U);
    EXPECT_EQ(c.prometheus.listen[0].host, "0.0.0.0");
    EXPECT_EQ(c.prometheus.listen[0].port, 9583);
    EXPECT_EQ(c.prometheus.listen[1].host, "::1");
    EXPECT_EQ(c.prometheus.max_connections, 4U);
    EXPECT_EQ(c.prometheus.request_timeout.count(), 2500);
    EXPECT_EQ(c.prometheus.line, 30); // the section's opening brace
}

TEST(SiteConfig, SmallestFileTakesTheDefaults)
{
    const site::SiteConfig c = ParseSiteConfig(R"({"ups": [{"name": "u", "sim": true}]})", "s");
    ASSERT_EQ(c.ups.size(), 1U);
    EXPECT_TRUE(c.ups[0].sim);
    EXPECT_FALSE(c.site.empty()) << "the host name";
    EXPECT_TRUE(c.database.empty());
    EXPECT_TRUE(c.nut.enabled);
    ASSERT_EQ(c.nut.listen.size(), 1U);
    EXPECT_EQ(c.nut.listen[0].text, "127.0.0.1:3493");
    EXPECT_TRUE(c.nut.users.empty());
    EXPECT_FALSE(c.prometheus.enabled) << "served only when configured";
}

TEST(SiteConfig, HistoryKeepsEverythingUnlessTold)
{
    const site::SiteConfig all = ParseSiteConfig(R"({"ups": [{"name": "u", "sim": true}]})", "s");
    EXPECT_EQ(all.history.keep_days, 0U);
    EXPECT_EQ(all.history.max_bytes, 0U);
    const site::SiteConfig some = ParseSiteConfig(
        R"({"ups": [{"name": "u", "sim": true}], "history": {"keep_days": 90, "max_bytes": 1e9}})",
        "s");
    EXPECT_EQ(some.history.keep_days, 90U);
    EXPECT_EQ(some.history.max_bytes, 1000000000U);
}

TEST(SiteConfig, EmptyPrometheusSectionServesOnTheLocalDefault)
{
    const site::SiteConfig c =
        ParseSiteConfig(R"({"ups": [{"name": "u", "sim": true}], "prometheus": {}})", "s");
    EXPECT_TRUE(c.prometheus.enabled);
    ASSERT_EQ(c.prometheus.listen.size(), 1U);
    EXPECT_EQ(c.prometheus.listen[0].text, "127.0.0.1:9583");
    EXPECT_EQ(c.prometheus.max_connections, 16U);
    EXPECT_EQ(c.prometheus.request_timeout.count(), 5000);
    const site::SiteConfig off = ParseSiteConfig(
        R"({"ups": [{"name": "u", "sim": true}], "prometheus": {"enabled": false}})", "s");
    EXPECT_FALSE(off.prometheus.enabled);
}

struct BadRow {
    const char* name;
    const char* text;
    const char* message; // what the one line says, from the file name on
};

class BadConfig : public testing::TestWithParam<BadRow>
{
};

TEST_P(BadConfig, IsReportedWithFileLineAndProblem)
{
    try {
        ParseSiteConfig(GetParam().text, "site.conf");
        FAIL() << "accepted";
    } catch (const ConfigError& e) {
        const std::string what = e.what();
        EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        EXPECT_EQ(what.rfind(GetParam().message, 0), 0U) << what;
    }
}

const BadRow kBad[] = {
    {"Syntax", "{\n \"ups\": [\n {\"name\": \"a\" \"sim\": true}]}", "site.conf:3: "},
    {"NotAnObject", "[1, 2]", "site.conf:1: the file: expected an object"},
    {"Empty", "", "site.conf:1: "},
    {"UnknownTopKey", "{\"ups\": [{\"name\": \"a\", \"sim\": true}],\n \"mqtt2\": 1}",
     "site.conf:2: the file: unknown key \"mqtt2\""},
    {"UnknownUpsKey", "{\"ups\": [{\"name\": \"a\",\n \"sim\": true,\n \"intervl\": 3}]}",
     "site.conf:3: ups \"a\": unknown key \"intervl\""},
    {"NoUps", "{}", "site.conf:1: no \"ups\" list"},
    {"EmptyUps", "{\"ups\": []}", "site.conf:1: ups: expected a list of at least one UPS"},
    {"NoName", "{\"ups\": [{\"sim\": true}]}", "site.conf:1: ups entry 1: needs a \"name\""},
    {"BadName", "{\"ups\": [{\"name\": \"a b\", \"sim\": true}]}",
     "site.conf:1: ups entry 1: name \"a b\" must be"},
    {"DuplicateName",
     "{\"ups\": [\n{\"name\": \"a\", \"sim\": true},\n{\"name\": \"a\", \"sim\": true}]}",
     "site.conf:3: ups \"a\" appears twice (first at line 2)"},
    {"TwoOnOnePort",
     "{\"ups\": [\n{\"name\": \"a\", \"port\": \"/dev/ttyS9\"},\n"
     "{\"name\": \"b\", \"port\": \"/dev/ttyS9\"}]}",
     "site.conf:3: ups \"b\": port /dev/ttyS9 is already polled by the entry at line 2"},
    {"NeitherPortNorSim", "{\"ups\": [{\"name\": \"a\"}]}",
     "site.conf:1: ups \"a\": give either a \"port\""},
    {"BothPortAndSim", "{\"ups\": [{\"name\": \"a\", \"port\": \"/dev/x\", \"sim\": true}]}",
     "site.conf:1: ups \"a\": give either a \"port\""},
    {"SimFalse", "{\"ups\": [{\"name\": \"a\", \"sim\": false}]}",
     "site.conf:1: ups \"a\": \"sim\": true, or an object"},
    {"IntervalText", "{\"ups\": [{\"name\": \"a\", \"sim\": true, \"interval\": \"5\"}]}",
     "site.conf:1: ups \"a\" interval (seconds): expected a number"},
    {"IntervalZero", "{\"ups\": [{\"name\": \"a\", \"sim\": true, \"interval\": 0}]}",
     "site.conf:1: ups \"a\" interval (seconds): 0 is out of range"},
    {"DataIdNegative", "{\"ups\": [{\"name\": \"a\", \"sim\": true, \"data_id\": -1}]}",
     "site.conf:1: ups \"a\" data_id: -1 is out of range"},
    {"DataIdFraction", "{\"ups\": [{\"name\": \"a\", \"sim\": true, \"data_id\": 1.5}]}",
     "site.conf:1: ups \"a\" data_id: expected a whole number"},
    {"SettingsNotObject", "{\"ups\": [{\"name\": \"a\", \"sim\": true, \"settings\": []}]}",
     "site.conf:1: ups \"a\" settings: expected an object"},
    {"SimNoiseTooMuch", "{\"ups\": [{\"name\": \"a\", \"sim\": {\"noise\": 9000}}]}",
     "site.conf:1: ups \"a\" sim noise: 9000 is out of range"},
    {"SimUnknownKey", "{\"ups\": [{\"name\": \"a\", \"sim\": {\"nosie\": 1}}]}",
     "site.conf:1: ups \"a\" sim: unknown key \"nosie\""},
    {"SimValueArray", "{\"ups\": [{\"name\": \"a\", \"sim\": {\"values\": {\"X\": []}}}]}",
     "site.conf:1: ups \"a\" sim value X: expected a number"},
    {"ListenNoPort",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"nut\": {\"listen\": [\"x\"]}}",
     "site.conf:1: nut listen: \"x\": expected HOST:PORT"},
    {"ListenPortTooBig",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"nut\": {\"listen\": [\"h:70000\"]}}",
     "site.conf:1: nut listen: \"h:70000\": the port must be a number"},
    {"UserWithoutPassword",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"nut\": {\"users\": [{\"name\": \"m\"}]}}",
     "site.conf:1: nut user: needs a \"name\" and a \"password\""},
    {"UserBadRole",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"nut\": {\"users\": "
     "[{\"name\": \"m\", \"password\": \"p\", \"role\": \"master\"}]}}",
     "site.conf:1: nut user role: \"primary\" or \"secondary\", not \"master\""},
    {"PrometheusNotObject", "{\"ups\": [{\"name\": \"a\", \"sim\": true}],\n \"prometheus\": 9583}",
     "site.conf:2: \"prometheus\": expected an object"},
    {"PrometheusUnknownKey",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"prometheus\": {\n\"port\": 9583}}",
     "site.conf:2: prometheus: unknown key \"port\""},
    {"PrometheusListenText",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"prometheus\": {\"listen\": \"h:1\"}}",
     "site.conf:1: prometheus listen: expected a list"},
    {"PrometheusListenNoHost",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"prometheus\": {\"listen\": [\":9583\"]}}",
     "site.conf:1: prometheus listen: \":9583\": no host"},
    {"PrometheusNoConnections",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"prometheus\": {\"max_connections\": 0}}",
     "site.conf:1: prometheus max_connections: 0 is out of range"},
    {"PrometheusTimeoutText",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"prometheus\": {\"request_timeout\": \"5\"}}",
     "site.conf:1: prometheus request_timeout (seconds): expected a number"},
    {"PrometheusEnabledText",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"prometheus\": {\"enabled\": \"yes\"}}",
     "site.conf:1: prometheus enabled: expected true or false"},
    {"DuplicateKey", "{\"ups\": [{\"name\": \"a\", \"name\": \"b\", \"sim\": true}]}",
     "site.conf:1: "},
    {"SnmpUnknownKey", "{\"ups\": [{\"name\": \"a\", \"sim\": true}],\n\"snmp\": {\"agentX\": 1}}",
     "site.conf:2: snmp: unknown key \"agentX\""},
    {"SnmpNotAnObject", "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"snmp\": true}",
     "site.conf:1: \"snmp\": expected an object"},
    {"SnmpAgentxRelative",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"snmp\": "
     "{\"agentx\": \"agentx.sock\"}}",
     "site.conf:1: snmp agentx: \"agentx.sock\": a socket path"},
    {"SnmpAgentxTcpNoPort",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"snmp\": "
     "{\"agentx\": \"tcp:localhost\"}}",
     "site.conf:1: snmp agentx: \"tcp:localhost\": a socket path"},
    {"SnmpAgentxUdp",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"snmp\": "
     "{\"agentx\": \"udp:127.0.0.1:705\"}}",
     "site.conf:1: snmp agentx: \"udp:127.0.0.1:705\": a socket path"},
    {"SnmpDefaultUnknownUps",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"snmp\": "
     "{\"default_context\": \"b\"}}",
     "site.conf:1: snmp default_context: no ups \"b\" in this file"},
    {"SnmpContextsList",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"snmp\": "
     "{\"contexts\": [\"a\"]}}",
     "site.conf:1: snmp contexts: expected an object"},
    {"SnmpContextUnknownUps",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"snmp\": "
     "{\"contexts\": {\n\"c1\": \"b\"}}}",
     "site.conf:2: snmp context c1: no ups \"b\" in this file"},
    {"SnmpContextTooLong",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"snmp\": "
     "{\"contexts\": {\"c23456789012345678901234567890123\": \"a\"}}}",
     "site.conf:1: snmp context \"c23456789012345678901234567890123\" must be 1 to 32"},
    {"SnmpContextEmpty",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"snmp\": "
     "{\"contexts\": {\"\": \"a\"}}}",
     "site.conf:1: snmp context \"\" must be 1 to 32"},
    {"SnmpUpsInTwoContexts",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"snmp\": "
     "{\"contexts\": {\"c1\": \"a\",\n \"c2\": \"a\"}}}",
     "site.conf:2: snmp context c2: ups \"a\" is already served in context c1"},
    {"SnmpServesNothing",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}],\n\"snmp\": "
     "{\"default_context\": \"\"}}",
     "site.conf:2: snmp: serves no UPS"},
    {"HistoryUnknownKey",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}],\n\"history\": {\"keep\": 3}}",
     "site.conf:2: history: unknown key \"keep\""},
    {"HistoryKeepDaysNotWhole",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"history\": {\n\"keep_days\": 1.5}}",
     "site.conf:2: history keep_days: expected a whole number"},
    {"HistoryMaxBytesNegative",
     "{\"ups\": [{\"name\": \"a\", \"sim\": true}], \"history\": {\"max_bytes\": -1}}",
     "site.conf:1: history max_bytes: -1 is out of range"},
    {"MqttWithoutDatabase", "{\"ups\": [{\"name\": \"a\", \"sim\": true}],\n\"mqtt\": {}}",
     "site.conf:2: mqtt: needs the site's \"database\""},
    {"MqttUnknownKey",
     "{\"database\": \"d\", \"ups\": [{\"name\": \"a\", \"sim\": true}], \"mqtt\": "
     "{\n\"brokr\": \"x\"}}",
     "site.conf:2: mqtt: unknown key \"brokr\""},
    {"MqttQosThree",
     "{\"database\": \"d\", \"ups\": [{\"name\": \"a\", \"sim\": true}], \"mqtt\": "
     "{\"qos\":\n 3}}",
     "site.conf:2: mqtt qos: 3 is out of range (0 to 2)"},
    {"MqttPortZero",
     "{\"database\": \"d\", \"ups\": [{\"name\": \"a\", \"sim\": true}], \"mqtt\": "
     "{\"port\": 0}}",
     "site.conf:1: mqtt port: 0 is out of range (1 to 65535)"},
    {"MqttWildcardPrefix",
     "{\"database\": \"d\", \"ups\": [{\"name\": \"a\", \"sim\": true}], \"mqtt\": "
     "{\"topic_prefix\": \"ups/#\"}}",
     "site.conf:1: mqtt topic_prefix: \"ups/#\": topic levels without"},
    {"MqttTrailingSlashDiscovery",
     "{\"database\": \"d\", \"ups\": [{\"name\": \"a\", \"sim\": true}], \"mqtt\": "
     "{\"discovery_prefix\": \"ha/\"}}",
     "site.conf:1: mqtt discovery_prefix: \"ha/\""},
    {"MqttPasswordWithoutUser",
     "{\"database\": \"d\", \"ups\": [{\"name\": \"a\", \"sim\": true}], \"mqtt\": "
     "{\n\"password\": \"p\"}}",
     "site.conf:2: mqtt password: needs a username"},
    {"MqttCertWithoutKey",
     "{\"database\": \"d\", \"ups\": [{\"name\": \"a\", \"sim\": true}], \"mqtt\": "
     "{\"tls\":\n {\"cert_file\": \"c.pem\"}}}",
     "site.conf:2: mqtt tls: cert_file and key_file go together"},
    {"MqttOutboxZero",
     "{\"database\": \"d\", \"ups\": [{\"name\": \"a\", \"sim\": true}], \"mqtt\": "
     "{\"outbox_max\": 0}}",
     "site.conf:1: mqtt outbox_max: 0 is out of range"},
    {"MqttTlsNotObject",
     "{\"database\": \"d\", \"ups\": [{\"name\": \"a\", \"sim\": true}], \"mqtt\": "
     "{\"tls\": true}}",
     "site.conf:1: mqtt tls: expected an object"},
};
INSTANTIATE_TEST_SUITE_P(Files, BadConfig, testing::ValuesIn(kBad), RowName());

TEST(SiteConfig, SnmpSection)
{
    const char* const two =
        R"({"ups": [{"name": "ups1", "sim": true}, {"name": "ups2", "sim": true}])";
    const site::SiteConfig none = ParseSiteConfig(std::string(two) + "}", "s");
    EXPECT_FALSE(none.snmp.enabled) << "no section: no subagent";

    const site::SiteConfig least = ParseSiteConfig(std::string(two) + R"(, "snmp": {}})", "s");
    EXPECT_TRUE(least.snmp.enabled);
    EXPECT_EQ(least.snmp.agentx, "/var/agentx/master");
    EXPECT_EQ(least.snmp.default_ups, "ups1") << "the first UPS in the default context";
    EXPECT_TRUE(least.snmp.contexts.empty());

    const site::SiteConfig full = ParseSiteConfig(std::string(two) + R"(, "snmp": {
        "agentx": "tcp:127.0.0.1:705", "default_context": "ups2",
        "contexts": {"row-b": "ups2", "row-a": "ups1"}}})",
                                                  "s");
    EXPECT_EQ(full.snmp.agentx, "tcp:127.0.0.1:705");
    EXPECT_EQ(full.snmp.default_ups, "ups2");
    ASSERT_EQ(full.snmp.contexts.size(), 2U);
    EXPECT_EQ(full.snmp.contexts[0].context, "row-a");
    EXPECT_EQ(full.snmp.contexts[0].ups, "ups1");
    EXPECT_EQ(full.snmp.contexts[1].context, "row-b");

    const site::SiteConfig only_contexts = ParseSiteConfig(
        std::string(two) +
            R"(, "snmp": {"agentx": "unix:/run/agentx", "default_context": "", "contexts": {"u1": "ups1"}}})",
        "s");
    EXPECT_EQ(only_contexts.snmp.default_ups, "");
    EXPECT_EQ(only_contexts.snmp.agentx, "unix:/run/agentx");

    const site::SiteConfig off = ParseSiteConfig(
        std::string(two) + R"(, "snmp": {"enabled": false, "default_context": ""}})", "s");
    EXPECT_FALSE(off.snmp.enabled);
}

TEST(SiteConfig, MqttSection)
{
    const char* const base =
        R"({"site": "s7", "database": "/tmp/s.db", "ups": [{"name": "ups1", "sim": true}])";
    EXPECT_FALSE(ParseSiteConfig(std::string(base) + "}", "s").mqtt.enabled);

    const site::MqttConfig least =
        ParseSiteConfig(std::string(base) + R"(, "mqtt": {}})", "s").mqtt;
    EXPECT_TRUE(least.enabled);
    EXPECT_EQ(least.host, "localhost");
    EXPECT_EQ(least.port, 1883);
    EXPECT_FALSE(least.tls.enabled);
    EXPECT_EQ(least.client_id, "halx-host-s7");
    EXPECT_EQ(least.topic_prefix, "ups/s7");
    EXPECT_EQ(least.qos, 1);
    EXPECT_EQ(least.keepalive, std::chrono::seconds(30));
    EXPECT_EQ(least.outbox_max, 100000U);
    EXPECT_TRUE(least.discovery);
    EXPECT_EQ(least.discovery_prefix, "homeassistant");

    const site::MqttConfig tls =
        ParseSiteConfig(std::string(base) + R"(, "mqtt": {"tls": {"ca_file": "ca.pem"}}})", "s")
            .mqtt;
    EXPECT_TRUE(tls.tls.enabled);
    EXPECT_EQ(tls.tls.ca_file, "ca.pem");
    EXPECT_EQ(tls.port, 8883) << "TLS's port unless one is given";

    const site::MqttConfig full = ParseSiteConfig(std::string(base) + R"(, "mqtt": {
        "host": "10.0.0.5", "port": 18883, "username": "u", "password": "p",
        "tls": {"ca_file": "ca.pem", "cert_file": "c.pem", "key_file": "k.pem", "insecure": true},
        "client_id": "me", "topic_prefix": "fleet/north/s7", "qos": 2, "keepalive": 10,
        "outbox_max": 500, "max_in_flight": 8, "discovery": false, "discovery_prefix": "ha"}})",
                                                  "s")
                                      .mqtt;
    EXPECT_EQ(full.host, "10.0.0.5");
    EXPECT_EQ(full.port, 18883);
    EXPECT_EQ(full.username, "u");
    EXPECT_EQ(full.password, "p");
    EXPECT_EQ(full.tls.cert_file, "c.pem");
    EXPECT_EQ(full.tls.key_file, "k.pem");
    EXPECT_TRUE(full.tls.insecure);
    EXPECT_EQ(full.client_id, "me");
    EXPECT_EQ(full.topic_prefix, "fleet/north/s7");
    EXPECT_EQ(full.qos, 2);
    EXPECT_EQ(full.keepalive, std::chrono::seconds(10));
    EXPECT_EQ(full.outbox_max, 500U);
    EXPECT_EQ(full.max_in_flight, 8U);
    EXPECT_FALSE(full.discovery);
    EXPECT_EQ(full.discovery_prefix, "ha");

    EXPECT_FALSE(
        ParseSiteConfig(R"({"ups": [{"name": "a", "sim": true}], "mqtt": {"enabled": false}})", "s")
            .mqtt.enabled)
        << "a section switched off needs no database";
}

TEST(SiteConfig, TwoNamesOfOnePortAreOnePort)
{
    char dir[] = "/tmp/site-config-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string device = std::string(dir) + "/ttyFAKE";
    const std::string alias = std::string(dir) + "/by-id";
    std::ofstream(device).put('x');
    ASSERT_EQ(::symlink(device.c_str(), alias.c_str()), 0);
    const std::string text = "{\"ups\": [{\"name\": \"a\", \"port\": \"" + device +
                             "\"},\n{\"name\": \"b\", \"port\": \"" + alias + "\"}]}";
    EXPECT_THROW(ParseSiteConfig(text, "s"), ConfigError);
    ::unlink(alias.c_str());
    ::unlink(device.c_str());
    ::rmdir(dir);
}

TEST(SiteConfig, MissingFileNamesItAndTheReason)
{
    try {
        site::LoadSiteConfig("/nonexistent/site.conf");
        FAIL();
    } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "/nonexistent/site.conf: cannot read the site configuration: No such file or "
                  "directory");
    }
}

TEST(SiteConfig, ShippedExampleIsValid)
{
    const site::SiteConfig c = site::LoadSiteConfig(SITE_CONF_EXAMPLE);
    EXPECT_GE(c.ups.size(), 2U);
    EXPECT_TRUE(c.snmp.enabled);
    EXPECT_EQ(c.snmp.contexts.size(), 2U);
    EXPECT_TRUE(c.prometheus.enabled);
    EXPECT_TRUE(c.prometheus.enabled);
}

} // namespace

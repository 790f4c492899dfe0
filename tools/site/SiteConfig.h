// The site configuration: one file a person edits, JSON with comments
// (// and /* */), naming every UPS of the site and the listeners that serve
// their data.  Read with jsoncpp; every mistake is reported as
// "FILE:LINE: what is wrong" and nothing starts.  docs/SITE.md describes the
// file; tools/site/site.conf.example is a complete example.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

namespace site
{

// A configuration that cannot be used; what() is one line,
// "FILE:LINE: problem" (or "FILE: problem" where no line applies).
class ConfigError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The built-in simulated UPS of an entry, instead of a serial port.
struct SimConfig {
    // Reply fields by name, as text: a wire integer ("2650") or, for a
    // tenths field, a decimal ("265.0").  Checked by the simulator.
    std::map<std::string, std::string> values;
    std::size_t noise = 0;  // random bytes before every reply
    std::size_t chunk = 0;  // replies in pieces of this size (0: whole)
    bool pace = false;      // bytes at the line's real rate
    bool drift = true;      // measurements wander around their nominal values
    std::uint32_t seed = 1; // drift and noise repeatable
    std::string script;     // a scenario script file, empty: none
};

struct UpsConfig {
    std::string name;        // unique in the site: [A-Za-z0-9_.-]+
    std::string description; // for people and the protocol's UPSDESC
    std::string port;        // serial device; empty when `sim` is set
    std::optional<SimConfig> sim;
    std::uint32_t data_id = 1;
    Json::Value settings = Json::Value(Json::objectValue); // handed to InitSetting
    std::chrono::milliseconds interval{5000};              // between poll cycles
    std::chrono::milliseconds reply_timeout{2000};         // silence that ends a cycle as stalled
    std::chrono::seconds stale_after{60};                  // data older than this is not served
    int line = 0;                                          // where the entry starts in the file
};

// A listen address, "HOST:PORT" ("127.0.0.1:3493", "[::1]:3493").
struct ListenAddress {
    std::string host;
    std::uint16_t port = 0;
    std::string text; // as written
};

struct NutUser {
    std::string name;
    std::string password;
    bool primary = false; // may attach as primary (FSD); else secondary only
};

struct NutConfig {
    bool enabled = true;
    std::vector<ListenAddress> listen; // default 127.0.0.1:3493
    std::vector<NutUser> users;
};

// One UPS served in a named SNMP context.
struct SnmpContext {
    std::string context; // 1 to 32 letters, digits, '_', '-' or '.'
    std::string ups;     // a UPS of the site
};

// The UPS-MIB (RFC 1628) served by an AgentX subagent of the host's SNMP
// master agent (snmpd).
struct SnmpConfig {
    bool enabled = false; // on when the section is there, unless "enabled": false
    // The master agent's AgentX socket: a path, "unix:PATH" or "tcp:HOST:PORT".
    std::string agentx = "/var/agentx/master";
    // The UPS served in the default context (no context, as SNMPv1/v2c
    // communities without one see it): the first UPS unless the file names
    // one; empty: none.
    std::string default_ups;
    std::vector<SnmpContext> contexts; // each UPS at most once, by context name
};

// The Prometheus metrics listener (HTTP, GET /metrics).  Off unless the
// file has a "prometheus" section.
struct PrometheusConfig {
    bool enabled = false;
    std::vector<ListenAddress> listen; // default 127.0.0.1:9583
    std::size_t max_connections = 16;  // more at once are closed on accept
    // A request must arrive in full, and its answer be taken, within this;
    // an idle kept-alive connection is closed after it too.
    std::chrono::milliseconds request_timeout{5000};
    int line = 0; // where the section starts in the file
};

// What happens to the history in the database.
struct HistoryConfig {
    // Rounds older than this many days are deleted (from a timer, a few
    // hundred at a time); 0 keeps every round.
    std::uint32_t keep_days = 0;
    // Largest size of the database file in bytes; rounds beyond it are lost
    // (counted and told) until old ones are deleted.  0: no limit but the
    // file system's.
    std::uint64_t max_bytes = 0;
};

// TLS towards the MQTT broker.  On when the "tls" object is there.
struct MqttTls {
    bool enabled = false;
    std::string ca_file;   // CA certificates that sign the broker's; empty: the system's
    std::string cert_file; // client certificate, with key_file, or empty
    std::string key_file;
    bool insecure = false; // the broker's host name is not checked against its certificate
};

// The MQTT output (docs/MQTT.md).  Off unless the file has an "mqtt" section.
struct MqttConfig {
    bool enabled = false;
    std::string host = "localhost";
    std::uint16_t port = 1883; // 8883 by default with TLS
    MqttTls tls;
    std::string username;     // empty: none
    std::string password;     // only with a username
    std::string client_id;    // default "halx-host-<site>"
    std::string topic_prefix; // default "ups/<site>"
    int qos = 1;              // of the rounds and alarm changes: 0, 1 or 2
    std::chrono::seconds keepalive{30};
    // Entries the outbox holds at most; beyond, the oldest is dropped (and
    // counted).
    std::size_t outbox_max = 100000;
    // Outbox entries handed to the broker before their acknowledgement.
    std::size_t max_in_flight = 64;
    bool discovery = true; // Home Assistant MQTT discovery
    std::string discovery_prefix = "homeassistant";
    int line = 0; // where the section starts in the file
};

struct SiteConfig {
    std::string path;     // the file it was read from
    std::string site;     // the site's name (default: the host name)
    std::string database; // the site's SQLite database (history); empty: none
    HistoryConfig history;
    std::vector<UpsConfig> ups;
    NutConfig nut;
    SnmpConfig snmp;
    PrometheusConfig prometheus;
    MqttConfig mqtt;
};

// Reads and checks the file.  Throws ConfigError: syntax errors (with
// jsoncpp's own description), unknown keys, values of the wrong type or out
// of range, a duplicate UPS name, two entries on one port, a bad listen
// address, an entry with neither a port nor a simulated UPS or both.
SiteConfig LoadSiteConfig(const std::string& path);
// The same from text already read; `path` names it in messages.
SiteConfig ParseSiteConfig(const std::string& text, const std::string& path);

// "HOST:PORT"; throws ConfigError (message without file and line).
ListenAddress ParseListenAddress(const std::string& text);

} // namespace site

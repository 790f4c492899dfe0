#include "SiteConfig.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <sstream>

#include <json/reader.h>
#include <json/writer.h>

namespace site
{
namespace
{

// Limits the simulated UPS accepts.
constexpr double kMaxNoise = 8192;
constexpr double kMaxChunk = 4096;

class Reader
{
public:
    Reader(const std::string& text, const std::string& path) : text_(text), path_(path) {}

    [[noreturn]] void Fail(const Json::Value& at, const std::string& problem) const
    {
        throw ConfigError(path_ + ":" + std::to_string(LineOf(at)) + ": " + problem);
    }

    int LineOf(const Json::Value& value) const
    {
        const std::ptrdiff_t offset = value.getOffsetStart();
        if (offset <= 0) {
            return 1;
        }
        const auto end = text_.begin() + std::min<std::ptrdiff_t>(offset, text_.size());
        return 1 + static_cast<int>(std::count(text_.begin(), end, '\n'));
    }

    // Every member of `object` must be one of `known`; `where` names the
    // object in messages ("ups \"ups1\"").
    void OnlyKnownKeys(const Json::Value& object, const std::set<std::string>& known,
                       const std::string& where) const
    {
        for (auto it = object.begin(); it != object.end(); ++it) {
            const std::string key = it.name();
            if (known.count(key) == 0) {
                std::string list;
                for (const std::string& k : known) {
                    list += (list.empty() ? "" : ", ") + k;
                }
                Fail(*it, where + ": unknown key \"" + key + "\" (known: " + list + ")");
            }
        }
    }

    const Json::Value& Object(const Json::Value& value, const std::string& what) const
    {
        if (!value.isObject()) {
            Fail(value, what + ": expected an object { ... }");
        }
        return value;
    }

    std::string Text(const Json::Value& value, const std::string& what) const
    {
        if (!value.isString()) {
            Fail(value, what + ": expected a text in double quotes");
        }
        return value.asString();
    }

    bool Bool(const Json::Value& value, const std::string& what) const
    {
        if (!value.isBool()) {
            Fail(value, what + ": expected true or false");
        }
        return value.asBool();
    }

    double Number(const Json::Value& value, const std::string& what, double low, double high) const
    {
        if (!value.isNumeric() || value.isBool()) {
            Fail(value, what + ": expected a number");
        }
        const double number = value.asDouble();
        if (!std::isfinite(number) || number < low || number > high) {
            std::ostringstream message;
            message << what << ": " << number << " is out of range (" << low << " to " << high
                    << ")";
            Fail(value, message.str());
        }
        return number;
    }

    std::uint64_t Whole(const Json::Value& value, const std::string& what, double low,
                        double high) const
    {
        const double number = Number(value, what, low, high);
        if (std::floor(number) != number) {
            Fail(value, what + ": expected a whole number");
        }
        return static_cast<std::uint64_t>(number);
    }

    std::chrono::milliseconds Seconds(const Json::Value& value, const std::string& what, double low,
                                      double high) const
    {
        const double seconds = Number(value, what, low, high);
        return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(seconds * 1000)));
    }

private:
    const std::string& text_;
    const std::string& path_;
};

bool ValidName(const std::string& name)
{
    return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-' || c == '.';
    });
}

SimConfig ReadSim(const Reader& r, const Json::Value& object, const std::string& where)
{
    SimConfig sim;
    if (object.isBool()) {
        if (!object.asBool()) {
            r.Fail(object, where + ": \"sim\": true, or an object of simulator settings");
        }
        return sim;
    }
    r.Object(object, where + ": \"sim\"");
    r.OnlyKnownKeys(object, {"values", "noise", "chunk", "pace", "drift", "seed", "script"},
                    where + " sim");
    if (object.isMember("values")) {
        const Json::Value& values = r.Object(object["values"], where + " sim values");
        for (auto it = values.begin(); it != values.end(); ++it) {
            const std::string field = it.name();
            if (it->isString()) {
                sim.values[field] = it->asString();
            } else if (it->isNumeric() && !it->isBool()) {
                sim.values[field] = it->isIntegral()
                                        ? std::to_string(it->asInt64())
                                        : Json::writeString(Json::StreamWriterBuilder(), *it);
            } else {
                r.Fail(*it, where + " sim value " + field +
                                ": expected a number (2650, 265.0) or a text (\"265.0\")");
            }
        }
    }
    if (object.isMember("noise")) {
        sim.noise = r.Whole(object["noise"], where + " sim noise", 0, kMaxNoise);
    }
    if (object.isMember("chunk")) {
        sim.chunk = r.Whole(object["chunk"], where + " sim chunk", 0, kMaxChunk);
    }
    if (object.isMember("pace")) {
        sim.pace = r.Bool(object["pace"], where + " sim pace");
    }
    if (object.isMember("drift")) {
        sim.drift = r.Bool(object["drift"], where + " sim drift");
    }
    if (object.isMember("seed")) {
        sim.seed = static_cast<std::uint32_t>(r.Whole(object["seed"], where + " sim seed", 0,
                                                      std::numeric_limits<std::uint32_t>::max()));
    }
    if (object.isMember("script")) {
        sim.script = r.Text(object["script"], where + " sim script");
    }
    return sim;
}

UpsConfig ReadUps(const Reader& r, const Json::Value& object, std::size_t index)
{
    const std::string position = "ups entry " + std::to_string(index + 1);
    r.Object(object, position);
    UpsConfig ups;
    ups.line = r.LineOf(object);
    if (!object.isMember("name")) {
        r.Fail(object, position + ": needs a \"name\"");
    }
    ups.name = r.Text(object["name"], position + " name");
    if (!ValidName(ups.name)) {
        r.Fail(object["name"], position + ": name \"" + ups.name +
                                   "\" must be 1 to 64 letters, digits, '_', '-' or '.'");
    }
    const std::string where = "ups \"" + ups.name + "\"";
    r.OnlyKnownKeys(object,
                    {"name", "description", "port", "sim", "data_id", "settings", "interval",
                     "reply_timeout", "stale_after"},
                    where);
    if (object.isMember("description")) {
        ups.description = r.Text(object["description"], where + " description");
    }
    const bool has_port = object.isMember("port");
    const bool has_sim = object.isMember("sim");
    if (has_port == has_sim) {
        r.Fail(object, where +
                           ": give either a \"port\" (a serial device) or \"sim\" (the "
                           "built-in simulated UPS), not " +
                           (has_port ? "both" : "neither"));
    }
    if (has_port) {
        ups.port = r.Text(object["port"], where + " port");
        if (ups.port.empty()) {
            r.Fail(object["port"], where + ": port is empty");
        }
    } else {
        ups.sim = ReadSim(r, object["sim"], where);
    }
    if (object.isMember("data_id")) {
        ups.data_id = static_cast<std::uint32_t>(r.Whole(
            object["data_id"], where + " data_id", 0, std::numeric_limits<std::uint32_t>::max()));
    }
    if (object.isMember("settings")) {
        ups.settings = r.Object(object["settings"], where + " settings");
    }
    if (object.isMember("interval")) {
        ups.interval = r.Seconds(object["interval"], where + " interval (seconds)", 0.1, 86400);
    }
    if (object.isMember("reply_timeout")) {
        ups.reply_timeout =
            r.Seconds(object["reply_timeout"], where + " reply_timeout (seconds)", 0.05, 3600);
    }
    if (object.isMember("stale_after")) {
        ups.stale_after = std::chrono::seconds(
            r.Whole(object["stale_after"], where + " stale_after (seconds)", 1, 86400 * 7));
    }
    return ups;
}

NutConfig ReadNut(const Reader& r, const Json::Value& object)
{
    NutConfig nut;
    r.Object(object, "\"nut\"");
    r.OnlyKnownKeys(object, {"enabled", "listen", "users"}, "nut");
    if (object.isMember("enabled")) {
        nut.enabled = r.Bool(object["enabled"], "nut enabled");
    }
    if (object.isMember("listen")) {
        const Json::Value& listen = object["listen"];
        if (!listen.isArray()) {
            r.Fail(listen, "nut listen: expected a list of \"HOST:PORT\" texts");
        }
        for (const Json::Value& item : listen) {
            const std::string text = r.Text(item, "nut listen");
            try {
                nut.listen.push_back(ParseListenAddress(text));
            } catch (const ConfigError& e) {
                r.Fail(item, std::string("nut listen: ") + e.what());
            }
        }
    }
    if (nut.listen.empty()) {
        nut.listen.push_back(ParseListenAddress("127.0.0.1:3493"));
    }
    if (object.isMember("users")) {
        const Json::Value& users = object["users"];
        if (!users.isArray()) {
            r.Fail(users, "nut users: expected a list of users");
        }
        std::set<std::string> names;
        for (const Json::Value& item : users) {
            r.Object(item, "nut user");
            r.OnlyKnownKeys(item, {"name", "password", "role"}, "nut user");
            NutUser user;
            if (!item.isMember("name") || !item.isMember("password")) {
                r.Fail(item, "nut user: needs a \"name\" and a \"password\"");
            }
            user.name = r.Text(item["name"], "nut user name");
            user.password = r.Text(item["password"], "nut user password");
            if (user.name.empty() || user.password.empty()) {
                r.Fail(item, "nut user: name and password cannot be empty");
            }
            if (item.isMember("role")) {
                const std::string role = r.Text(item["role"], "nut user role");
                if (role != "primary" && role != "secondary") {
                    r.Fail(item["role"],
                           "nut user role: \"primary\" or \"secondary\", not \"" + role + "\"");
                }
                user.primary = role == "primary";
            }
            if (!names.insert(user.name).second) {
                r.Fail(item, "nut user \"" + user.name + "\" appears twice");
            }
            nut.users.push_back(std::move(user));
        }
    }
    return nut;
}

bool ValidContext(const std::string& name)
{
    return ValidName(name) && name.size() <= 32;
}

// "/path", "unix:/path" or "tcp:HOST:PORT", as net-snmp names AgentX sockets.
bool ValidAgentX(const std::string& text)
{
    if (text.rfind("unix:", 0) == 0) {
        return text.size() > 5;
    }
    if (text.rfind("tcp:", 0) == 0) {
        try {
            const ListenAddress address = ParseListenAddress(text.substr(4));
            return address.port != 0;
        } catch (const ConfigError&) {
            return false;
        }
    }
    return !text.empty() && text[0] == '/';
}

SnmpConfig ReadSnmp(const Reader& r, const Json::Value& object, const std::vector<UpsConfig>& ups)
{
    SnmpConfig snmp;
    r.Object(object, "\"snmp\"");
    r.OnlyKnownKeys(object, {"enabled", "agentx", "default_context", "contexts"}, "snmp");
    snmp.enabled = true;
    if (object.isMember("enabled")) {
        snmp.enabled = r.Bool(object["enabled"], "snmp enabled");
    }
    const auto known = [&](const std::string& name) {
        return std::any_of(ups.begin(), ups.end(),
                           [&](const UpsConfig& u) { return u.name == name; });
    };
    if (object.isMember("agentx")) {
        snmp.agentx = r.Text(object["agentx"], "snmp agentx");
        if (!ValidAgentX(snmp.agentx)) {
            r.Fail(object["agentx"], "snmp agentx: \"" + snmp.agentx +
                                         "\": a socket path (/var/agentx/master), unix:PATH "
                                         "or tcp:HOST:PORT");
        }
    }
    snmp.default_ups = ups.empty() ? std::string() : ups.front().name;
    if (object.isMember("default_context")) {
        snmp.default_ups = r.Text(object["default_context"], "snmp default_context");
        if (!snmp.default_ups.empty() && !known(snmp.default_ups)) {
            r.Fail(object["default_context"],
                   "snmp default_context: no ups \"" + snmp.default_ups + "\" in this file");
        }
    }
    if (object.isMember("contexts")) {
        const Json::Value& contexts = object["contexts"];
        if (!contexts.isObject()) {
            r.Fail(contexts, "snmp contexts: expected an object { \"CONTEXT\": \"UPS\", ... }");
        }
        std::map<std::string, std::string> context_of;
        for (auto it = contexts.begin(); it != contexts.end(); ++it) {
            SnmpContext entry;
            entry.context = it.name();
            if (!ValidContext(entry.context)) {
                r.Fail(*it, "snmp context \"" + entry.context +
                                "\" must be 1 to 32 letters, digits, '_', '-' or '.'");
            }
            entry.ups = r.Text(*it, "snmp context " + entry.context);
            if (!known(entry.ups)) {
                r.Fail(*it, "snmp context " + entry.context + ": no ups \"" + entry.ups +
                                "\" in this file");
            }
            if (!context_of.emplace(entry.ups, entry.context).second) {
                r.Fail(*it, "snmp context " + entry.context + ": ups \"" + entry.ups +
                                "\" is already served in context " + context_of[entry.ups]);
            }
            snmp.contexts.push_back(std::move(entry));
        }
    }
    if (snmp.enabled && snmp.default_ups.empty() && snmp.contexts.empty()) {
        r.Fail(object, "snmp: serves no UPS (default_context is empty and there are no "
                       "contexts)");
    }
    return snmp;
}

PrometheusConfig ReadPrometheus(const Reader& r, const Json::Value& object)
{
    PrometheusConfig prometheus;
    r.Object(object, "\"prometheus\"");
    r.OnlyKnownKeys(object, {"enabled", "listen", "max_connections", "request_timeout"},
                    "prometheus");
    prometheus.line = r.LineOf(object);
    prometheus.enabled = true;
    if (object.isMember("enabled")) {
        prometheus.enabled = r.Bool(object["enabled"], "prometheus enabled");
    }
    if (object.isMember("listen")) {
        const Json::Value& listen = object["listen"];
        if (!listen.isArray()) {
            r.Fail(listen, "prometheus listen: expected a list of \"HOST:PORT\" texts");
        }
        for (const Json::Value& item : listen) {
            const std::string text = r.Text(item, "prometheus listen");
            try {
                prometheus.listen.push_back(ParseListenAddress(text));
            } catch (const ConfigError& e) {
                r.Fail(item, std::string("prometheus listen: ") + e.what());
            }
        }
    }
    if (prometheus.listen.empty()) {
        prometheus.listen.push_back(ParseListenAddress("127.0.0.1:9583"));
    }
    if (object.isMember("max_connections")) {
        prometheus.max_connections = static_cast<std::size_t>(
            r.Whole(object["max_connections"], "prometheus max_connections", 1, 1024));
    }
    if (object.isMember("request_timeout")) {
        prometheus.request_timeout =
            r.Seconds(object["request_timeout"], "prometheus request_timeout (seconds)", 0.1, 300);
    }
    return prometheus;
}

// A topic level path we publish under: no wildcards, no empty levels.
bool ValidTopicPrefix(const std::string& prefix)
{
    if (prefix.empty() || prefix.size() > 200 || prefix.front() == '/' || prefix.back() == '/' ||
        prefix.find("//") != std::string::npos) {
        return false;
    }
    return std::none_of(prefix.begin(), prefix.end(), [](char c) {
        return c == '+' || c == '#' || c == '\0' || static_cast<unsigned char>(c) < 0x20;
    });
}

MqttConfig ReadMqtt(const Reader& r, const Json::Value& object, const std::string& site)
{
    MqttConfig mqtt;
    r.Object(object, "\"mqtt\"");
    r.OnlyKnownKeys(object,
                    {"enabled", "host", "port", "tls", "username", "password", "client_id",
                     "topic_prefix", "qos", "keepalive", "outbox_max", "max_in_flight", "discovery",
                     "discovery_prefix"},
                    "mqtt");
    mqtt.line = r.LineOf(object);
    mqtt.enabled = true;
    if (object.isMember("enabled")) {
        mqtt.enabled = r.Bool(object["enabled"], "mqtt enabled");
    }
    if (object.isMember("host")) {
        mqtt.host = r.Text(object["host"], "mqtt host");
        if (mqtt.host.empty()) {
            r.Fail(object["host"], "mqtt host: empty (the broker's name or address)");
        }
    }
    if (object.isMember("tls")) {
        const Json::Value& tls = r.Object(object["tls"], "mqtt tls");
        r.OnlyKnownKeys(tls, {"ca_file", "cert_file", "key_file", "insecure"}, "mqtt tls");
        mqtt.tls.enabled = true;
        if (tls.isMember("ca_file")) {
            mqtt.tls.ca_file = r.Text(tls["ca_file"], "mqtt tls ca_file");
        }
        if (tls.isMember("cert_file")) {
            mqtt.tls.cert_file = r.Text(tls["cert_file"], "mqtt tls cert_file");
        }
        if (tls.isMember("key_file")) {
            mqtt.tls.key_file = r.Text(tls["key_file"], "mqtt tls key_file");
        }
        if (mqtt.tls.cert_file.empty() != mqtt.tls.key_file.empty()) {
            r.Fail(tls, "mqtt tls: cert_file and key_file go together");
        }
        if (tls.isMember("insecure")) {
            mqtt.tls.insecure = r.Bool(tls["insecure"], "mqtt tls insecure");
        }
        mqtt.port = 8883;
    }
    if (object.isMember("port")) {
        mqtt.port = static_cast<std::uint16_t>(r.Whole(object["port"], "mqtt port", 1, 65535));
    }
    if (object.isMember("username")) {
        mqtt.username = r.Text(object["username"], "mqtt username");
    }
    if (object.isMember("password")) {
        mqtt.password = r.Text(object["password"], "mqtt password");
        if (mqtt.username.empty()) {
            r.Fail(object["password"], "mqtt password: needs a username");
        }
    }
    mqtt.client_id = "halx-host-" + site;
    if (object.isMember("client_id")) {
        mqtt.client_id = r.Text(object["client_id"], "mqtt client_id");
        if (mqtt.client_id.empty() || mqtt.client_id.size() > 128) {
            r.Fail(object["client_id"], "mqtt client_id: 1 to 128 characters");
        }
    }
    mqtt.topic_prefix = "ups/" + site;
    if (object.isMember("topic_prefix")) {
        mqtt.topic_prefix = r.Text(object["topic_prefix"], "mqtt topic_prefix");
        if (!ValidTopicPrefix(mqtt.topic_prefix)) {
            r.Fail(object["topic_prefix"],
                   "mqtt topic_prefix: \"" + mqtt.topic_prefix +
                       "\": topic levels without '+', '#', empty levels or a '/' at either end");
        }
    }
    if (object.isMember("qos")) {
        mqtt.qos = static_cast<int>(r.Whole(object["qos"], "mqtt qos", 0, 2));
    }
    if (object.isMember("keepalive")) {
        mqtt.keepalive =
            std::chrono::seconds(r.Whole(object["keepalive"], "mqtt keepalive (seconds)", 5, 3600));
    }
    if (object.isMember("outbox_max")) {
        mqtt.outbox_max = static_cast<std::size_t>(
            r.Whole(object["outbox_max"], "mqtt outbox_max", 1, 100000000));
    }
    if (object.isMember("max_in_flight")) {
        mqtt.max_in_flight = static_cast<std::size_t>(
            r.Whole(object["max_in_flight"], "mqtt max_in_flight", 1, 65535));
    }
    if (object.isMember("discovery")) {
        mqtt.discovery = r.Bool(object["discovery"], "mqtt discovery");
    }
    if (object.isMember("discovery_prefix")) {
        mqtt.discovery_prefix = r.Text(object["discovery_prefix"], "mqtt discovery_prefix");
        if (!ValidTopicPrefix(mqtt.discovery_prefix)) {
            r.Fail(object["discovery_prefix"],
                   "mqtt discovery_prefix: \"" + mqtt.discovery_prefix +
                       "\": topic levels without '+', '#', empty levels or a '/' at either end");
        }
    }
    return mqtt;
}

// Two names of one device (/dev/ttyUSB0 and its /dev/serial/by-id/ link) are
// one port.
std::string SamePortKey(const std::string& port)
{
    char resolved[PATH_MAX];
    return ::realpath(port.c_str(), resolved) != nullptr ? std::string(resolved) : port;
}

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "site";
    }
    return name;
}

} // namespace

ListenAddress ParseListenAddress(const std::string& text)
{
    ListenAddress address;
    address.text = text;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            throw ConfigError("\"" + text + "\": expected [IPv6]:PORT");
        }
        address.host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            throw ConfigError("\"" + text + "\": expected HOST:PORT, e.g. 127.0.0.1:3493");
        }
        address.host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (address.host.empty()) {
        throw ConfigError("\"" + text + "\": no host (0.0.0.0 for every address)");
    }
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) > 65535) {
        throw ConfigError("\"" + text + "\": the port must be a number from 0 to 65535");
    }
    address.port = static_cast<std::uint16_t>(std::stoul(port));
    return address;
}

SiteConfig ParseSiteConfig(const std::string& text, const std::string& path)
{
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["allowComments"] = true;
    builder["allowTrailingCommas"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
        // jsoncpp: "* Line 3, Column 5\n  Missing ',' or '}' in object declaration\n..."
        std::istringstream lines(errors);
        std::string first, second;
        std::getline(lines, first);
        std::getline(lines, second);
        int line = 0;
        if (std::sscanf(first.c_str(), "* Line %d", &line) == 1) {
            const std::size_t start = second.find_first_not_of(' ');
            throw ConfigError(path + ":" + std::to_string(line) + ": " +
                              (start == std::string::npos ? first : second.substr(start)));
        }
        throw ConfigError(path + ": " + first);
    }
    const Reader r(text, path);
    r.Object(root, "the file");
    r.OnlyKnownKeys(root,
                    {"site", "database", "history", "ups", "nut", "snmp", "prometheus", "mqtt"},
                    "the file");

    SiteConfig config;
    config.path = path;
    config.site = root.isMember("site") ? r.Text(root["site"], "site") : HostName();
    if (!ValidName(config.site)) {
        r.Fail(root["site"],
               "site: \"" + config.site + "\" must be 1 to 64 letters, digits, '_', '-' or '.'");
    }
    if (root.isMember("database")) {
        config.database = r.Text(root["database"], "database");
    }
    if (root.isMember("history")) {
        const Json::Value& history = r.Object(root["history"], "\"history\"");
        r.OnlyKnownKeys(history, {"keep_days", "max_bytes"}, "history");
        if (history.isMember("keep_days")) {
            config.history.keep_days = static_cast<std::uint32_t>(
                r.Whole(history["keep_days"], "history keep_days", 0, 36500));
        }
        if (history.isMember("max_bytes")) {
            config.history.max_bytes = r.Whole(history["max_bytes"], "history max_bytes", 0, 1e15);
        }
    }
    if (!root.isMember("ups")) {
        r.Fail(root, "no \"ups\" list: a site needs at least one UPS");
    }
    const Json::Value& entries = root["ups"];
    if (!entries.isArray() || entries.empty()) {
        r.Fail(entries, "ups: expected a list of at least one UPS [ { ... } ]");
    }
    std::map<std::string, int> names, ports;
    for (Json::ArrayIndex i = 0; i < entries.size(); ++i) {
        UpsConfig ups = ReadUps(r, entries[i], i);
        if (!names.emplace(ups.name, ups.line).second) {
            r.Fail(entries[i], "ups \"" + ups.name + "\" appears twice (first at line " +
                                   std::to_string(names[ups.name]) + ")");
        }
        if (!ups.port.empty() && !ports.emplace(SamePortKey(ups.port), ups.line).second) {
            r.Fail(entries[i], "ups \"" + ups.name + "\": port " + ups.port +
                                   " is already polled by the entry at line " +
                                   std::to_string(ports[SamePortKey(ups.port)]));
        }
        config.ups.push_back(std::move(ups));
    }
    config.nut =
        root.isMember("nut") ? ReadNut(r, root["nut"]) : ReadNut(r, Json::Value(Json::objectValue));
    if (root.isMember("snmp")) {
        config.snmp = ReadSnmp(r, root["snmp"], config.ups);
    }
    if (root.isMember("prometheus")) {
        config.prometheus = ReadPrometheus(r, root["prometheus"]);
    }
    if (root.isMember("mqtt")) {
        config.mqtt = ReadMqtt(r, root["mqtt"], config.site);
        if (config.mqtt.enabled && config.database.empty()) {
            r.Fail(root["mqtt"], "mqtt: needs the site's \"database\" (the outbox is kept there)");
        }
    }
    return config;
}

SiteConfig LoadSiteConfig(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ConfigError(path + ": cannot read the site configuration: " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseSiteConfig(text.str(), path);
}

} // namespace site

#include "Site.h"

#include <array>
#include <chrono>
#include <csignal>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "ConsoleCapture.h"
#include "HostEvents.h"
#include "JsonReport.h"
#include "LineMonitor.h"
#include "Plugin.h"
#include "Poller.h"
#include "SimulatedUps.h"
#include "alarms/StatusAlarms.h"
#include "catalogue/Catalogue.h"
#include "common/Errors.h"
#include "common/Format.h"
#include "common/Version.h"
#include "history/HistoryWriter.h"
#include "metrics/MetricsServer.h"
#ifdef HALX_HOST_WITH_MQTT
#include "mqtt/Publisher.h"
#endif
#include "nut/Server.h"
#include "site/SiteConfig.h"
#include "site/SiteEvents.h"
#ifdef HALX_HOST_WITH_SNMP
#include "snmp/SnmpAgent.h"
#endif
#ifdef HALX_HOST_WITH_SIM
#include "upssim/Script.h"
#endif

namespace halxhost
{

using tools::BadInput;
using Steady = std::chrono::steady_clock;

namespace
{

double Seconds(std::chrono::milliseconds ms)
{
    return std::chrono::duration<double>(ms).count();
}

// The readable view of a site: one line per completed round of each UPS
// (the line's state changes and summaries go to standard error, as for a
// single port), and one line per UPS at the end.
class SiteLineReport : public Report
{
public:
    SiteLineReport(std::ostream& out, std::string ups, const LineMonitor& monitor)
        : out_(out), ups_(std::move(ups)), monitor_(monitor)
    {
    }

    void Console(const std::string& /*text*/) override {}
    void Tx(const unsigned char* /*data*/, std::size_t /*length*/) override {}
    void Reset(bool /*by_host*/, int /*awaited*/) override {}
    void Record(int /*data_id*/, const unsigned char* data, std::size_t length) override
    {
        record_.assign(data, data + length);
    }
    void Alarm(const AlarmCall& /*alarm*/) override {}
    void History(const unsigned char* /*data*/, std::size_t /*length*/) override {}
    void Round(const RoundReport& round) override
    {
        const site::UpsSnapshot& snapshot = monitor_.Snapshot();
        out_ << tools::LocalTime(round.time) << " " << ups_ << " round "
             << (snapshot.last ? snapshot.last->sequence : round.counters.completed);
        if (record_.size() == site::kRecordBytes) {
            std::string status;
            for (const std::string& token : catalogue::StatusTokens(record_.data())) {
                status += (status.empty() ? "" : " ") + token;
            }
            out_ << ": " << status;
            for (const char* name : {"input.voltage", "output.voltage", "ups.load",
                                     "battery.charge", "battery.runtime"}) {
                catalogue::Value value;
                const catalogue::Quantity* quantity = catalogue::FindQuantity(name);
                if (quantity != nullptr && catalogue::ValueOf(record_.data(), *quantity, value)) {
                    out_ << ", " << name << " " << value.text
                         << (*quantity->unit != '\0' ? " " : "") << quantity->unit;
                }
            }
        }
        out_ << std::endl;
    }
    void Abandoned(const Abandonment& /*abandoned*/, const Counters& /*counters*/) override {}
    void Notice(const LineNotice& /*notice*/, const Counters& /*counters*/) override {}
    void Status(const LineStatus& /*status*/) override {}
    void CacheLoaded(std::size_t /*length*/, bool /*accepted*/,
                     const std::string& /*cached_stamp*/) override
    {
    }
    void Decoded(std::size_t /*index*/, std::size_t /*count*/, const unsigned char* /*data*/,
                 std::size_t /*length*/, const std::vector<const RecordField*>& /*fields*/) override
    {
    }
    void Finished(const Counters& c, StopReason reason) override
    {
        out_ << ups_ << ": stopped (" << StopReasonName(reason) << "): " << c.completed
             << " rounds completed, " << c.abandoned << " cycles abandoned, " << c.stalls
             << " stalls, " << c.reopenings << " reopenings" << std::endl;
    }

private:
    std::ostream& out_;
    std::string ups_;
    const LineMonitor& monitor_;
    std::vector<unsigned char> record_;
};

// One UPS of the site and everything that polls it.  Destroyed in reverse
// order: the poller before the device, the device before its events.
struct SiteUps {
    std::size_t index = 0;
    const site::UpsConfig* config = nullptr;
    std::unique_ptr<SimulatedUps> sim;
    std::unique_ptr<Report> report;
    std::unique_ptr<LineMonitor> monitor;
    std::unique_ptr<HostEvents> events;
    std::unique_ptr<HalxSPDevice> dev;
    std::unique_ptr<Poller> poller;

    // What the observers have been told.
    std::uint64_t told_sequence = 0;
    site::LineState told_line = site::LineState::Starting;
    std::array<bool, kStatusAlarmCount> active{};
    std::vector<std::pair<std::size_t, bool>> alarm_changes; // not told yet
};

// The snapshots as the servers read them: each UPS's line monitor keeps
// its own up to date.
class SiteSnapshots : public nut::SnapshotSource
{
public:
    explicit SiteSnapshots(const std::vector<std::unique_ptr<SiteUps>>& ups) : ups_(ups) {}

    std::vector<std::string> Names() const override
    {
        std::vector<std::string> names;
        for (const auto& u : ups_) {
            names.push_back(u->config->name);
        }
        return names;
    }
    const site::UpsSnapshot* Find(std::string_view name) const override
    {
        for (const auto& u : ups_) {
            if (u->config->name == name) {
                return &u->monitor->Snapshot();
            }
        }
        return nullptr;
    }
    void Pointers(std::vector<const site::UpsSnapshot*>& out) const
    {
        for (const auto& u : ups_) {
            out.push_back(&u->monitor->Snapshot());
        }
    }
    std::vector<site::UpsSnapshot> Copies() const
    {
        std::vector<site::UpsSnapshot> copies;
        copies.reserve(ups_.size());
        for (const auto& u : ups_) {
            copies.push_back(u->monitor->Snapshot());
        }
        return copies;
    }

private:
    const std::vector<std::unique_ptr<SiteUps>>& ups_;
};

std::string Directory(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// What the entry's simulator is told.  Values are checked here, as the
// simulator reads them; a bad one is the configuration's fault.
SimSettings SimFor(const site::SiteConfig& site, const site::UpsConfig& ups)
{
    SimSettings settings;
    const site::SimConfig& sim = *ups.sim;
    const std::string where =
        site.path + ":" + std::to_string(ups.line) + ": ups \"" + ups.name + "\" sim ";
#ifdef HALX_HOST_WITH_SIM
    for (const auto& [name, value] : sim.values) {
        try {
            const upssim::ScriptCommand set = upssim::ParseAssignment("set", name + "=" + value);
            settings.values[set.name] = static_cast<std::int32_t>(set.number);
        } catch (const upssim::ScriptError& error) {
            throw site::ConfigError(where + "value " + name + ": " + error.what());
        }
    }
#else
    if (!sim.values.empty()) {
        throw site::ConfigError(where + "values: this halx-host has no simulated UPS");
    }
#endif
    settings.noise = sim.noise;
    settings.chunk = sim.chunk;
    settings.pace = sim.pace;
    settings.drift = sim.drift;
    settings.seed = sim.seed;
    if (!sim.script.empty()) {
        settings.script =
            sim.script.front() == '/' ? sim.script : Directory(site.path) + "/" + sim.script;
    }
    return settings;
}

nut::ServerOptions NutOptions(const site::NutConfig& config)
{
    nut::ServerOptions options;
    options.listen.clear();
    for (const site::ListenAddress& address : config.listen) {
        options.listen.push_back(nut::ListenAddress{address.host, address.port});
    }
    for (const site::NutUser& user : config.users) {
        options.users.push_back(nut::User{
            user.name, user.password, user.primary ? nut::Role::Primary : nut::Role::Secondary});
    }
    options.version = std::string("halx-host ") + tools::ProjectVersion() +
                      " UPS network protocol server (read-only)";
    return options;
}

// The row of the alarm table of a key ("deltaNHNT_3"), or kStatusAlarmCount.
std::size_t AlarmRow(const std::string& key)
{
    for (std::size_t row = 0; row < kStatusAlarmCount; ++row) {
        if (key == kStatusAlarms[row].key) {
            return row;
        }
    }
    return kStatusAlarmCount;
}

// Deletes rounds older than the configured days from a timer, a batch at a
// time, each batch its own transaction, the next one posted behind whatever
// else the io_context has to do.
class Retention
{
public:
    Retention(boost::asio::io_context& io, history::HistoryWriter& writer, std::uint32_t days)
        : io_(io), writer_(writer), days_(days), timer_(io)
    {
    }
    // The first pass soon after start, then every hour.
    void Start() { Arm(std::chrono::seconds(2)); }
    void Stop()
    {
        stopped_ = true;
        timer_.cancel();
    }

private:
    static constexpr std::size_t kBatch = 500;

    void Arm(std::chrono::seconds after)
    {
        timer_.expires_after(after);
        timer_.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) {
                Batch();
            }
        });
    }
    void Batch()
    {
        if (stopped_) {
            return;
        }
        const auto cutoff = std::chrono::system_clock::now() - std::chrono::hours(24) * days_;
        const std::size_t deleted = writer_.DeleteBefore(cutoff, kBatch);
        if (deleted == kBatch) {
            boost::asio::post(io_, [this] { Batch(); });
            return;
        }
        Arm(std::chrono::hours(1));
    }

    boost::asio::io_context& io_;
    history::HistoryWriter& writer_;
    std::uint32_t days_;
    boost::asio::steady_timer timer_;
    bool stopped_ = false;
};

void LogLine(const std::string& line)
{
    std::cerr << "halx-host: " << line << std::endl;
}

} // namespace

int RunSite(const SiteRunOptions& o, ConsoleCapture& console)
{
    site::SiteConfig config;
    std::vector<SimSettings> sims;
    try {
        config = site::LoadSiteConfig(o.config_file);
        for (const site::UpsConfig& ups : config.ups) {
            sims.push_back(ups.sim ? SimFor(config, ups) : SimSettings());
        }
    } catch (const site::ConfigError& e) {
        std::cerr << "halx-host: " << e.what() << std::endl;
        return tools::kExitUsage;
    }

    // A peer that goes away mid-write (a broker, a client of a server) is
    // an error of that write, never the end of the site.
    std::signal(SIGPIPE, SIG_IGN);

    boost::asio::io_context io;
    // Before the devices: they go before the library that made them.
    std::unique_ptr<PluginLibrary> plugin;
    std::vector<std::unique_ptr<SiteUps>> ups;
    SiteSnapshots snapshots(ups);

    // The consumers that react to events: the MQTT publisher and the SNMP
    // agent.
    std::vector<site::SiteEvents*> observers;

    // The MQTT publisher before the listeners: its outbox is in the site's
    // database, and Prometheus shows the outbox's depth.
#ifdef HALX_HOST_WITH_MQTT
    std::unique_ptr<mqtt::Publisher> publisher;
    if (config.mqtt.enabled) {
        try {
            publisher = std::make_unique<mqtt::Publisher>(
                io, config, [&snapshots] { return snapshots.Copies(); }, config.database);
        } catch (const std::exception& e) {
            std::cerr << "halx-host: " << config.database << ": mqtt outbox: " << e.what()
                      << std::endl;
            return tools::kExitBadInput;
        }
        observers.push_back(publisher.get());
    }
#else
    if (config.mqtt.enabled) {
        std::cerr << "halx-host: " << config.path
                  << ": mqtt: this halx-host was built without libmosquitto" << std::endl;
        return tools::kExitUsage;
    }
#endif

    // The listeners first: one that cannot be opened stops the site before
    // any port is touched.
    std::unique_ptr<nut::Server> nut_server;
    std::unique_ptr<metrics::MetricsServer> metrics_server;
#ifdef HALX_HOST_WITH_SNMP
    std::unique_ptr<snmp::SnmpAgent> snmp_agent;
#endif
    try {
        if (config.nut.enabled) {
            nut_server = std::make_unique<nut::Server>(io, snapshots, NutOptions(config.nut));
            nut_server->Start();
        }
        if (config.prometheus.enabled) {
            metrics::MetricsSource source;
            source.snapshots = [&snapshots](std::vector<const site::UpsSnapshot*>& out) {
                snapshots.Pointers(out);
            };
#ifdef HALX_HOST_WITH_MQTT
            if (publisher) {
                mqtt::Publisher* p = publisher.get();
                source.outbox_depth = [p] {
                    return std::optional<std::uint64_t>(p->OutboxDepth());
                };
            }
#endif
            metrics_server =
                std::make_unique<metrics::MetricsServer>(io, config.prometheus, source);
            metrics_server->Start();
        }
    } catch (const std::exception& e) {
        std::cerr << "halx-host: " << config.path << ": " << e.what() << std::endl;
        return tools::kExitUsage;
    }
    if (config.snmp.enabled) {
#ifdef HALX_HOST_WITH_SNMP
        snmp_agent = std::make_unique<snmp::SnmpAgent>(io, config,
                                                       [&snapshots] { return snapshots.Copies(); });
        observers.push_back(snmp_agent.get());
#else
        std::cerr << "halx-host: " << config.path
                  << ": snmp: this halx-host was built without net-snmp's agent library"
                  << std::endl;
        return tools::kExitUsage;
#endif
    }

    std::unique_ptr<history::HistoryWriter> writer;
    std::unique_ptr<Retention> retention;
    if (!config.database.empty()) {
        history::WriterOptions options;
        options.database.max_bytes = config.history.max_bytes;
        options.log = LogLine;
        writer = std::make_unique<history::HistoryWriter>(config.database, options);
        if (config.history.keep_days > 0) {
            retention = std::make_unique<Retention>(io, *writer, config.history.keep_days);
        }
    }

    plugin = std::make_unique<PluginLibrary>(o.plugin.empty() ? DefaultPluginPath() : o.plugin);
    std::uint64_t json_seq = 0;
    std::ostream& out = console.Output();

    for (std::size_t i = 0; i < config.ups.size(); ++i) {
        const site::UpsConfig& entry = config.ups[i];
        auto u = std::make_unique<SiteUps>();
        SiteUps& up = *u;
        up.index = i;
        up.config = &entry;

        PollConfig poll;
        poll.port = entry.port;
        if (entry.sim) {
            up.sim = std::make_unique<SimulatedUps>(sims[i]);
            poll.port = up.sim->SlavePath();
            SimulatedUps* sim = up.sim.get();
            poll.current_port = [sim] { return sim->SlavePath(); };
        } else {
            poll.lock_dir = o.lock_dir;
        }
        poll.interval_s = Seconds(entry.interval);
        poll.reply_timeout_s = Seconds(entry.reply_timeout);
        poll.reopen_interval_s = o.reopen_interval_s;
        poll.cycles = o.cycles;
        poll.wait_for_port = true;
        poll.pace_reads = true;
        poll.log_prefix = entry.name + ": ";

        LineSettings line;
        line.port = poll.port;
        line.simulated = entry.sim.has_value();
        line.data_id = entry.data_id;
        line.interval_s = poll.interval_s;
        line.reply_timeout_s = poll.reply_timeout_s;
        line.reopen_interval_s = o.reopen_interval_s;
        line.summary_interval_s = o.summary_interval_s;
        up.monitor = std::make_unique<LineMonitor>(line, Moment::Now());
        const std::uint64_t last = writer ? writer->LastSequence(entry.name) : 0;
        up.monitor->Identify(entry.name, entry.description, entry.stale_after, last);
        up.told_sequence = last;

        if (o.json) {
            up.report = std::make_unique<JsonReport>(out, entry.name, json_seq);
        } else {
            up.report = std::make_unique<SiteLineReport>(out, entry.name, *up.monitor);
        }
        // The plug-in's console lines are events in --json, taken in after
        // every call so that they keep their place; the readable view of a
        // site shows none, and they are emptied from a timer instead (a
        // system call less for every chunk of every line).
        up.events = std::make_unique<HostEvents>(*up.report, nullptr, *up.monitor,
                                                 o.json ? &console : nullptr);
        up.events->on_alarm = [&up](const AlarmCall& alarm) {
            const std::size_t row = AlarmRow(alarm.key);
            if (row < kStatusAlarmCount && up.active[row] != alarm.active) {
                up.active[row] = alarm.active;
                up.alarm_changes.emplace_back(row, alarm.active);
            }
        };
        if (writer) {
            history::HistoryWriter* w = writer.get();
            up.events->on_history = [w, &up](const unsigned char* data, std::size_t length) {
                const site::UpsSnapshot& snapshot = up.monitor->Snapshot();
                if (!snapshot.last) {
                    return;
                }
                w->Append(up.config->name, up.config->data_id, snapshot.last->sequence,
                          snapshot.last->time, Steady::now(), data, length);
            };
        }

        up.dev = plugin->CreateDevice();
        up.dev->SetObserver(up.events.get());
        up.dev->SetDataId(entry.data_id);
        SessionInfo info;
        info.version = tools::ProjectVersion();
        info.plugin = plugin->Path();
        info.plugin_build_id = plugin->BuildId();
        info.device_type = up.dev->DeviceType();
        info.data_id = entry.data_id;
        info.baud = up.dev->BaudRate();
        info.init_setting_ok = up.dev->InitSetting(entry.settings);
        info.port = poll.port;
        info.simulated = entry.sim.has_value();
        info.interval_s = poll.interval_s;

        up.poller = std::make_unique<Poller>(io, *up.dev, *up.events, *up.report, nullptr, poll);
        up.poller->on_activity = [&up, &observers] {
            const site::UpsSnapshot& snapshot = up.monitor->Snapshot();
            if (snapshot.last && snapshot.last->sequence != up.told_sequence) {
                up.told_sequence = snapshot.last->sequence;
                for (site::SiteEvents* observer : observers) {
                    observer->RoundCompleted(up.index);
                }
            }
            std::vector<std::pair<std::size_t, bool>> changes;
            changes.swap(up.alarm_changes);
            for (const auto& [row, active] : changes) {
                for (site::SiteEvents* observer : observers) {
                    observer->AlarmChanged(up.index, row, active);
                }
            }
            if (snapshot.line != up.told_line) {
                up.told_line = snapshot.line;
                for (site::SiteEvents* observer : observers) {
                    observer->LineChanged(up.index);
                }
            }
        };
        up.poller->Open();
        up.events->DrainConsole(true);
        up.report->Started(info);
        ups.push_back(std::move(u));
    }

    std::vector<Poller*> pollers;
    for (const auto& u : ups) {
        pollers.push_back(u->poller.get());
    }
    std::cerr << "halx-host: site " << config.site << ": " << ups.size() << " UPS"
              << (ups.size() == 1 ? "" : "es") << " from " << config.path
              << (writer ? ", history in " + config.database : std::string()) << std::endl;
#ifdef HALX_HOST_WITH_SNMP
    if (snmp_agent) {
        snmp_agent->Start();
    }
#endif
#ifdef HALX_HOST_WITH_MQTT
    if (publisher) {
        publisher->Start();
    }
#endif
    if (retention) {
        retention->Start();
    }
    boost::asio::steady_timer console_timer(io);
    std::function<void()> drain_console = [&] {
        console_timer.expires_after(std::chrono::seconds(5));
        console_timer.async_wait([&](const boost::system::error_code& ec) {
            if (!ec) {
                console.Take(true);
                drain_console();
            }
        });
    };
    if (!o.json) {
        drain_console();
    }

    PollSession session(io, pollers, o.timeout_s);
    session.extra_stop = [&] {
        console_timer.cancel();
        if (retention) {
            retention->Stop();
        }
        if (nut_server) {
            nut_server->Stop();
        }
        if (metrics_server) {
            metrics_server->Stop();
        }
#ifdef HALX_HOST_WITH_SNMP
        if (snmp_agent) {
            snmp_agent->Stop();
        }
#endif
#ifdef HALX_HOST_WITH_MQTT
        if (publisher) {
            publisher->Stop();
        }
#endif
    };
    const StopReason reason = session.Run();
    if (writer) {
        std::cerr << "halx-host: history database " << config.database << ": " << writer->written()
                  << " rounds stored, " << writer->lost() << " lost" << std::endl;
    }

    if (reason == StopReason::Cycles) {
        return tools::kExitOk;
    }
    bool any = false;
    bool short_of_cycles = false;
    for (const auto& u : ups) {
        const std::uint64_t completed = u->events->counters().completed;
        any = any || completed > 0;
        short_of_cycles = short_of_cycles || (o.cycles != 0 && completed < o.cycles);
    }
    if (!any) {
        return tools::kExitNoCycle;
    }
    return short_of_cycles ? tools::kExitIncomplete : tools::kExitOk;
}

} // namespace halxhost

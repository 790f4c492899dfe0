// halx-host: the stand-in host application.  Loads a device plug-in as the
// monitoring unit's host does and polls a UPS through it over a serial line
// (or the simulated UPS on a pseudo-terminal), showing every host operation
// the device calls, the values it serves, the alarms it raises, and what
// goes wrong on the line.
#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>

#include <boost/asio/io_context.hpp>
#include <json/value.h>

#include "ConsoleCapture.h"
#include "HostEvents.h"
#include "Inputs.h"
#include "JsonReport.h"
#include "LineMonitor.h"
#include "Options.h"
#include "Plugin.h"
#include "Poller.h"
#include "RecordFormat.h"
#include "SimulatedUps.h"
#include "Site.h"
#include "TextReport.h"
#include "TraceFile.h"
#include "common/Errors.h"
#include "common/Version.h"
#include "history/HistoryCsv.h"
#include "history/HistoryReader.h"
#include "history/SiteDatabase.h"
#include "history/TimeText.h"

namespace halxhost
{

using tools::BadInput;
using tools::kExitBadInput;
using tools::kExitOk;
namespace
{

Json::Value Settings(const Options& o)
{
    return o.settings_file.empty() ? Json::Value(Json::objectValue) : LoadSettings(o.settings_file);
}

std::unique_ptr<HistoryFile> History(const Options& o)
{
    return o.history_file.empty() ? nullptr : std::make_unique<HistoryFile>(o.history_file);
}

std::string PluginPath(const Options& o)
{
    return o.plugin.empty() ? DefaultPluginPath() : o.plugin;
}

// Creates the device and applies its identifier and settings, as the host
// does before the first poll cycle.
std::unique_ptr<HalxSPDevice> CreateDevice(const PluginLibrary& plugin, HostEvents& events,
                                           const Options& o, const Json::Value& settings,
                                           SessionInfo& info)
{
    std::unique_ptr<HalxSPDevice> dev = plugin.CreateDevice();
    dev->SetObserver(&events);
    dev->SetDataId(o.data_id);
    info.version = tools::ProjectVersion();
    info.plugin = plugin.Path();
    info.plugin_build_id = plugin.BuildId();
    info.device_type = dev->DeviceType();
    info.data_id = o.data_id;
    info.baud = dev->BaudRate();
    info.init_setting_ok = dev->InitSetting(settings);
    return dev;
}

int Version(const Options& o)
{
    std::cout << "halx-host " << tools::ProjectVersion() << " (deltanhnt)\n";
    try {
        const PluginLibrary plugin(PluginPath(o));
        const std::string id = plugin.BuildId();
        std::cout << "plug-in: " << plugin.Path()
                  << "\nplug-in build id: " << (id.empty() ? "none" : id) << "\n";
    } catch (const std::exception& e) {
        std::cout << "plug-in: " << e.what() << "\n";
    }
    return kExitOk;
}

std::vector<const RecordField*> DecodeFields(const Options& o)
{
    std::vector<const RecordField*> fields;
    for (const RecordField& field : kRecordFields) {
        if (o.decode_fields.empty() || std::find(o.decode_fields.begin(), o.decode_fields.end(),
                                                 field.name) != o.decode_fields.end()) {
            fields.push_back(&field);
        }
    }
    return fields;
}

// A history read through history::OpenHistory: a site database, or a flat
// file read by UPS, time, the newest rounds or as CSV.  A history that
// cannot be read so is one line and exit status 2.
int DecodeHistory(const Options& o, Report& report, std::ostream& out)
{
    history::Filter filter;
    filter.ups = o.decode_ups;
    const std::pair<const std::string*, std::optional<history::Clock::time_point>*> times[] = {
        {&o.decode_since, &filter.since}, {&o.decode_until, &filter.until}};
    for (const auto& [text, into] : times) {
        if (text->empty()) {
            continue;
        }
        history::Clock::time_point t;
        std::string why;
        if (!history::ParseTime(*text, t, why)) {
            throw tools::UsageError(std::string(text == &o.decode_since ? "--since " : "--until ") +
                                    *text + ": " + why);
        }
        *into = t;
    }
    if (o.decode_newest != 0) {
        filter.order = history::Order::NewestFirst;
        filter.limit = o.decode_newest;
    } else {
        filter.limit = o.decode_limit;
    }
    std::vector<history::Entry> entries;
    try {
        const std::unique_ptr<history::HistorySource> source = history::OpenHistory(o.decode_file);
        entries = history::ReadAll(*source, filter);
        if (!source->Warning().empty()) {
            std::cerr << "halx-host: " << source->Warning() << std::endl;
        }
    } catch (const history::ReadError& e) {
        std::cout << std::flush;
        std::cerr << "halx-host: " << e.what() << std::endl;
        return tools::kExitUsage;
    }
    if (filter.order == history::Order::NewestFirst) {
        std::reverse(entries.begin(), entries.end());
    }
    const std::size_t count = entries.size();
    for (const std::size_t n : o.decode_records) {
        if (n > count) {
            throw BadInput("history " + o.decode_file + " holds " + std::to_string(count) +
                           " selected rounds, not " + std::to_string(n));
        }
    }
    std::optional<history::CsvWriter> csv;
    if (o.csv) {
        csv.emplace(out);
        csv->Header();
    }
    const std::vector<const RecordField*> fields = DecodeFields(o);
    for (std::size_t i = 0; i < count; ++i) {
        if (!o.decode_records.empty() && std::find(o.decode_records.begin(), o.decode_records.end(),
                                                   i + 1) == o.decode_records.end()) {
            continue;
        }
        const history::Entry& e = entries[i];
        if (csv) {
            csv->Row(e);
            continue;
        }
        if (e.time) {
            report.Origin(DecodedOrigin{e.ups, e.sequence, history::Rfc3339(*e.time)});
        }
        report.Decoded(i, count, e.record.data(), e.record.size(), fields);
    }
    out << std::flush;
    return kExitOk;
}

int Decode(const Options& o, Report& report, std::ostream& out)
{
    if (sitedb::Probe(o.decode_file) == sitedb::FileKind::Sqlite || !o.decode_ups.empty() ||
        !o.decode_since.empty() || !o.decode_until.empty() || o.decode_newest != 0 ||
        o.decode_limit != 0 || o.csv) {
        return DecodeHistory(o, report, out);
    }
    const std::vector<unsigned char> bytes = ReadBinaryFile(o.decode_file, "record file");
    if (bytes.size() % kRecordSize != 0) {
        throw BadInput("record file " + o.decode_file + " is " + std::to_string(bytes.size()) +
                       " bytes, not a whole number of " + std::to_string(kRecordSize) +
                       "-byte records");
    }
    const std::size_t count = bytes.size() / kRecordSize;
    for (const std::size_t n : o.decode_records) {
        if (n > count) {
            throw BadInput("record file " + o.decode_file + " holds " + std::to_string(count) +
                           " records, not " + std::to_string(n));
        }
    }
    const std::vector<const RecordField*> fields = DecodeFields(o);
    for (std::size_t i = 0; i < count; ++i) {
        if (o.decode_records.empty() || std::find(o.decode_records.begin(), o.decode_records.end(),
                                                  i + 1) != o.decode_records.end()) {
            report.Decoded(i, count, bytes.data() + i * kRecordSize, kRecordSize, fields);
        }
    }
    return kExitOk;
}

int LoadCache(const Options& o, Report& report, ConsoleCapture& console)
{
    const std::vector<unsigned char> bytes = ReadBinaryFile(o.load_cache_file, "cache file");
    if (bytes.size() != kRecordSize) {
        throw BadInput("cache file " + o.load_cache_file + " is " + std::to_string(bytes.size()) +
                       " bytes; a cached record is exactly " + std::to_string(kRecordSize) +
                       " bytes");
    }
    const Json::Value settings = Settings(o);
    const std::unique_ptr<HistoryFile> history = History(o);
    const PluginLibrary plugin(PluginPath(o));
    LineSettings line;
    line.data_id = o.data_id;
    LineMonitor monitor(line, Moment::Now());
    HostEvents events(report, history.get(), monitor, &console);
    SessionInfo info;
    const std::unique_ptr<HalxSPDevice> dev = CreateDevice(plugin, events, o, settings, info);
    events.DrainConsole(true);
    report.Started(info);

    const RecordField& stamp = kRecordFields[std::size(kRecordFields) - 1];
    const std::string cached_stamp = StampText(bytes.data() + stamp.offset);
    const bool accepted = dev->LoadFromCache(bytes.data(), static_cast<int>(bytes.size()));
    events.DrainConsole(true);
    report.CacheLoaded(bytes.size(), accepted, cached_stamp);
    while (events.TakeCompletedRound()) {
        RoundReport round;
        round.values = ReadValues(*dev);
        round.age_s = DataAgeSeconds(*dev);
        round.time = monitor.Snapshot().last ? monitor.Snapshot().last->time
                                             : std::chrono::system_clock::now();
        round.counters = events.counters();
        events.DrainConsole(true);
        report.Round(round);
    }
    return accepted ? kExitOk : kExitBadInput;
}

int Poll(const Options& o, Report& report, ConsoleCapture& console)
{
    const Json::Value settings = Settings(o);
    const std::unique_ptr<HistoryFile> history = History(o);
    const PluginLibrary plugin(PluginPath(o));

    const bool simulated = o.mode == Mode::Sim;
    std::unique_ptr<SimulatedUps> sim;
    PollConfig config;
    config.port = o.port;
    if (simulated) {
        sim = std::make_unique<SimulatedUps>(o.sim_settings);
        config.port = sim->SlavePath();
        config.current_port = [&sim] { return sim->SlavePath(); };
        config.lock_dir.clear(); // a terminal of our own
    } else {
        config.lock_dir = o.lock_dir;
    }
    config.interval_s = o.interval_s;
    config.reply_timeout_s = o.reply_timeout_s;
    config.reopen_interval_s = o.reopen_interval_s;
    config.cycles = o.cycles;
    config.wait_for_port = o.wait_for_port;

    std::unique_ptr<TraceFile> trace;
    if (!o.trace_file.empty()) {
        trace = std::make_unique<TraceFile>(o.trace_file, o.trace_limit,
                                            (simulated ? "the simulated UPS on " : "port ") +
                                                config.port + " at 2400 8N1");
    }

    LineSettings line;
    line.port = config.port;
    line.simulated = simulated;
    line.data_id = o.data_id;
    line.interval_s = o.interval_s;
    line.reply_timeout_s = o.reply_timeout_s;
    line.reopen_interval_s = o.reopen_interval_s;
    line.summary_interval_s = o.summary_interval_s;
    LineMonitor monitor(line, Moment::Now());
    HostEvents events(report, history.get(), monitor, &console);
    SessionInfo info;
    const std::unique_ptr<HalxSPDevice> dev = CreateDevice(plugin, events, o, settings, info);
    info.port = config.port;
    info.simulated = simulated;
    info.interval_s = o.interval_s;

    boost::asio::io_context io;
    Poller poller(io, *dev, events, report, trace.get(), config);
    poller.Open();
    events.DrainConsole(true);
    report.Started(info);
    PollSession session(io, {&poller}, o.timeout_s);
    const StopReason reason = session.Run();
    const Counters& counters = events.counters();
    if (reason == StopReason::Cycles) {
        return kExitOk;
    }
    if (counters.completed == 0) {
        return tools::kExitNoCycle;
    }
    return o.cycles != 0 && counters.completed < o.cycles ? tools::kExitIncomplete : kExitOk;
}

int Main(int argc, const char* const argv[])
{
    Options options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const std::exception& e) {
        return tools::Failed("halx-host", e);
    }
    if (options.help) {
        std::cout << Usage();
        return kExitOk;
    }
    if (options.version) {
        return Version(options);
    }

    try {
        // From here on standard output carries only the report: what the
        // plug-in writes there is taken in and reported as console events.
        ConsoleCapture console;
        std::unique_ptr<Report> report;
        if (options.json) {
            report = std::make_unique<JsonReport>(console.Output());
        } else {
            report = std::make_unique<TextReport>(console.Output(), options.verbose,
                                                  console.OutputIsTerminal());
        }
        switch (options.mode) {
        case Mode::Decode:
            return Decode(options, *report, console.Output());
        case Mode::Site: {
            SiteRunOptions site;
            site.config_file = options.config_file;
            site.plugin = options.plugin;
            site.cycles = options.cycles;
            site.timeout_s = options.timeout_s;
            site.reopen_interval_s = options.reopen_interval_s;
            site.summary_interval_s = options.summary_interval_s;
            site.lock_dir = options.lock_dir;
            site.json = options.json;
            return RunSite(site, console);
        }
        case Mode::LoadCache:
            return LoadCache(options, *report, console);
        case Mode::Port:
        case Mode::Sim:
            return Poll(options, *report, console);
        }
        return kExitOk;
    } catch (const std::exception& e) {
        return tools::Failed("halx-host", e);
    }
}

} // namespace
} // namespace halxhost

int main(int argc, char* argv[])
{
    return halxhost::Main(argc, argv);
}

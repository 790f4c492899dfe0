// halx-host: the stand-in host application.  Loads a device plug-in as the
// monitoring unit's host does and polls a UPS through it over a serial line
// (or the simulated UPS on a pseudo-terminal), showing every host operation
// the device calls, the values it serves and the alarms it raises.
#include <iostream>
#include <memory>
#include <optional>

#include <json/value.h>

#include "HostEvents.h"
#include "Inputs.h"
#include "JsonReport.h"
#include "Options.h"
#include "Plugin.h"
#include "Poller.h"
#include "RecordFormat.h"
#include "SimulatedUps.h"
#include "TextReport.h"
#include "TraceFile.h"
#include "common/Errors.h"

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

// Creates the device and applies its identifier and settings, as the host
// does before the first poll cycle.
std::unique_ptr<HalxSPDevice> CreateDevice(const PluginLibrary& plugin, HostEvents& events,
                                           const Options& o, const Json::Value& settings,
                                           SessionInfo& info)
{
    std::unique_ptr<HalxSPDevice> dev = plugin.CreateDevice();
    dev->SetObserver(&events);
    dev->SetDataId(o.data_id);
    info.plugin = plugin.Path();
    info.device_type = dev->DeviceType();
    info.data_id = o.data_id;
    info.baud = dev->BaudRate();
    info.init_setting_ok = dev->InitSetting(settings);
    return dev;
}

int Decode(const Options& o, Report& report)
{
    const std::vector<unsigned char> bytes = ReadBinaryFile(o.decode_file, "record file");
    if (bytes.size() % kRecordSize != 0) {
        throw BadInput("record file " + o.decode_file + " is " + std::to_string(bytes.size()) +
                       " bytes, not a whole number of " + std::to_string(kRecordSize) +
                       "-byte records");
    }
    const std::size_t count = bytes.size() / kRecordSize;
    for (std::size_t i = 0; i < count; ++i) {
        report.Decoded(i, count, bytes.data() + i * kRecordSize, kRecordSize);
    }
    return kExitOk;
}

int LoadCache(const Options& o, Report& report)
{
    const std::vector<unsigned char> bytes = ReadBinaryFile(o.load_cache_file, "cache file");
    if (bytes.size() != kRecordSize) {
        throw BadInput("cache file " + o.load_cache_file + " is " + std::to_string(bytes.size()) +
                       " bytes; a cached record is exactly " + std::to_string(kRecordSize) +
                       " bytes");
    }
    const Json::Value settings = Settings(o);
    const std::unique_ptr<HistoryFile> history = History(o);
    const PluginLibrary plugin(o.plugin.empty() ? DefaultPluginPath() : o.plugin);
    HostEvents events(report, history.get());
    SessionInfo info;
    const std::unique_ptr<HalxSPDevice> dev = CreateDevice(plugin, events, o, settings, info);
    report.Started(info);

    const bool accepted = dev->LoadFromCache(bytes.data(), static_cast<int>(bytes.size()));
    report.CacheLoaded(bytes.size(), accepted);
    while (events.TakeCompletedRound()) {
        report.Round(ReadValues(*dev), DataAgeSeconds(*dev), events.counters());
    }
    return accepted ? kExitOk : kExitBadInput;
}

int Poll(const Options& o, Report& report)
{
    const Json::Value settings = Settings(o);
    const std::unique_ptr<HistoryFile> history = History(o);
    const PluginLibrary plugin(o.plugin.empty() ? DefaultPluginPath() : o.plugin);

    std::unique_ptr<SimulatedUps> sim;
    PollConfig config;
    config.port = o.port;
    if (o.sim) {
        sim = std::make_unique<SimulatedUps>(o.sim_settings);
        config.port = sim->SlavePath();
        config.current_port = [&sim] { return sim->SlavePath(); };
    }
    config.interval_s = o.interval_s;
    config.reply_timeout_s = o.reply_timeout_s;
    config.reopen_interval_s = o.reopen_interval_s;
    config.cycles = o.cycles;

    std::unique_ptr<TraceFile> trace;
    if (!o.trace_file.empty()) {
        trace = std::make_unique<TraceFile>(o.trace_file, o.trace_limit,
                                            (o.sim ? "the simulated UPS on " : "port ") +
                                                config.port + " at 2400 8N1");
    }

    HostEvents events(report, history.get());
    SessionInfo info;
    const std::unique_ptr<HalxSPDevice> dev = CreateDevice(plugin, events, o, settings, info);
    info.port = config.port;
    info.interval_s = o.interval_s;

    Poller poller(*dev, events, report, trace.get(), config);
    poller.Open();
    report.Started(info);
    poller.Run();
    return kExitOk;
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

    std::unique_ptr<Report> report;
    if (options.json) {
        report = std::make_unique<JsonReport>(std::cout);
    } else {
        report = std::make_unique<TextReport>(std::cout);
    }
    try {
        if (!options.decode_file.empty()) {
            return Decode(options, *report);
        }
        if (!options.load_cache_file.empty()) {
            return LoadCache(options, *report);
        }
        return Poll(options, *report);
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

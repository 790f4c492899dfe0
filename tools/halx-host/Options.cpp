#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <strings.h>
#include <vector>

#include <boost/program_options.hpp>

#include "common/Errors.h"
#include "record/RecordFields.h"

#ifdef HALX_HOST_WITH_SIM
#include "upssim/Script.h"
#endif

namespace po = boost::program_options;

namespace halxhost
{

using tools::UsageError;
namespace
{

po::options_description Description()
{
    po::options_description desc("Options");
    // clang-format off
    desc.add_options()
        ("help,h", "show this text and exit")
        ("version", "show the version, the plug-in's path and its build id, and exit")
        ("plugin", po::value<std::string>()->value_name("PATH"),
         "device plug-in to load (default: deltanhnt.so beside the tool, or in "
         "../lib/deltanhnt/)")
        ("config", po::value<std::string>()->value_name("FILE"),
         "run the site of this configuration: every UPS it names polled by this one "
         "process, with its history, network protocol server and exporters (docs/SITE.md)")
        ("port", po::value<std::string>()->value_name("DEVICE"),
         "serial device of the UPS, e.g. /dev/ttyUSB0 (2400 baud, 8N1)")
        ("sim", "poll the built-in simulated UPS through a pseudo-terminal: no real UPS "
         "(the default when neither --port, --load-cache nor --decode is given)")
        ("sim-value", po::value<std::vector<std::string>>()->value_name("NAME=VALUE"),
         "simulated UPS: reply field NAME sends VALUE, a wire integer or, for a tenths "
         "field, one decimal: BattryVlt=2650 or BattryVlt=265.0, OutptOvrCrrent=1 "
         "(repeatable; as ups-sim --set)")
        ("sim-noise", po::value<std::string>()->value_name("BYTES"),
         "simulated UPS: random bytes before every reply, never a \"~\" (see --sim-noise-sync)")
        ("sim-noise-sync", "simulated UPS: the noise may hold the frame start \"~\", which "
         "begins a false frame and makes the plug-in give up the cycle")
        ("sim-chunk", po::value<std::string>()->value_name("BYTES"),
         "simulated UPS: write replies in pieces of at most BYTES")
        ("sim-pace", "simulated UPS: send at the real rate of 2400 baud")
        ("settings", po::value<std::string>()->value_name("FILE"),
         "JSON object handed to InitSetting (default: {})")
        ("data-id", po::value<std::string>()->value_name("N"),
         "the device's own data identifier, unsigned 32-bit, stamped into the record's "
         "DataId (default: 1); the record itself is reported under the plug-in's 5035")
        ("interval", po::value<std::string>()->value_name("SECONDS"),
         "time between poll cycles (default: 5)")
        ("reply-timeout", po::value<std::string>()->value_name("SECONDS"),
         "silence after which a cycle counts as stalled (default: 2)")
        ("reopen-interval", po::value<std::string>()->value_name("SECONDS"),
         "time between attempts to open a lost or missing port (default: 1)")
        ("cycles", po::value<std::string>()->value_name("N"),
         "exit after N completed cycles (default: run until interrupted)")
        ("timeout", po::value<std::string>()->value_name("SECONDS"),
         "stop after SECONDS however many cycles completed (see the exit status)")
        ("wait-for-port", "a port missing at start-up is waited for, as a lost one is "
         "(the default)")
        ("no-wait-for-port", "a port missing at start-up is an error (exit status 1)")
        ("lock-dir", po::value<std::string>()->value_name("DIR"),
         "where the port's lock file LCK..NAME goes (default: /run/lock; \"\" for none)")
        ("summary-interval", po::value<std::string>()->value_name("SECONDS"),
         "while the line is down, how often its state is summed up (default: 60)")
        ("history", po::value<std::string>()->value_name("FILE"),
         "append every record stored as history (338 bytes each)")
        ("load-cache", po::value<std::string>()->value_name("FILE"),
         "hand a 338-byte record to LoadFromCache, show what happens, exit")
        ("decode", po::value<std::string>()->value_name("FILE"),
         "print every 338-byte record of FILE field by field with units, exit")
        ("record", po::value<std::vector<std::string>>()->value_name("N"),
         "--decode: only record N, counted from 1 (repeatable)")
        ("field", po::value<std::vector<std::string>>()->value_name("NAME"),
         "--decode: only this record field, e.g. BattryVlt (repeatable)")
        ("ups", po::value<std::string>()->value_name("NAME"),
         "--decode of a site database: only this UPS's rounds")
        ("since", po::value<std::string>()->value_name("TIME"),
         "--decode of a site database: rounds at or after TIME (RFC 3339, local time "
         "without a zone, or a date)")
        ("until", po::value<std::string>()->value_name("TIME"),
         "--decode of a site database: rounds before TIME")
        ("newest", po::value<std::string>()->value_name("N"),
         "--decode: only the newest N rounds (still shown oldest first)")
        ("limit", po::value<std::string>()->value_name("N"),
         "--decode: only the first N rounds")
        ("csv", "--decode: CSV (a header line, then one line per round) instead of the view")
        ("json", "one JSON object per line on stdout instead of the readable view")
        ("verbose", "readable view: show the plug-in's own console lines too")
        ("trace", po::value<std::string>()->value_name("FILE"),
         "log every chunk sent and received, timestamped, in hex")
        ("trace-limit", po::value<std::string>()->value_name("BYTES"),
         "size at which the trace moves to FILE.1 and starts anew (default: 8 MiB)");
    // clang-format on
    return desc;
}

// Where each option applies.
enum : unsigned {
    kPort = 1U << static_cast<unsigned>(Mode::Port),
    kSim = 1U << static_cast<unsigned>(Mode::Sim),
    kCache = 1U << static_cast<unsigned>(Mode::LoadCache),
    kDecode = 1U << static_cast<unsigned>(Mode::Decode),
    kSite = 1U << static_cast<unsigned>(Mode::Site),
    kPoll = kPort | kSim,
    kDevice = kPoll | kCache,
};

struct Applies {
    const char* option;
    unsigned modes;
};

// clang-format off
constexpr Applies kApplies[] = {
    {"plugin", kDevice | kSite}, {"settings", kDevice}, {"data-id", kDevice},
    {"history", kDevice}, {"verbose", kDevice},
    {"sim-value", kSim}, {"sim-noise", kSim}, {"sim-noise-sync", kSim}, {"sim-chunk", kSim},
    {"sim-pace", kSim},
    {"interval", kPoll}, {"reply-timeout", kPoll}, {"reopen-interval", kPoll | kSite},
    {"cycles", kPoll | kSite}, {"timeout", kPoll | kSite}, {"summary-interval", kPoll | kSite},
    {"trace", kPoll}, {"trace-limit", kPoll},
    {"wait-for-port", kPort}, {"no-wait-for-port", kPort}, {"lock-dir", kPort | kSite},
    {"record", kDecode}, {"field", kDecode}, {"ups", kDecode}, {"since", kDecode},
    {"until", kDecode}, {"newest", kDecode}, {"limit", kDecode}, {"csv", kDecode},
};
// clang-format on

const char* ModeText(Mode mode)
{
    switch (mode) {
    case Mode::Port:
        return "--port";
    case Mode::Sim:
        return "the simulated UPS (--sim)";
    case Mode::LoadCache:
        return "--load-cache";
    case Mode::Decode:
        return "--decode";
    case Mode::Site:
        return "--config";
    }
    return "?";
}

std::uint64_t ParseUnsigned(const std::string& option, const std::string& text, std::uint64_t min,
                            std::uint64_t max)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(begin, &end, 10);
    const bool digits_only =
        !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    if (!digits_only || errno == ERANGE || *end != '\0' || value < min || value > max) {
        std::ostringstream msg;
        msg << "--" << option << " " << text << ": expected a whole number from " << min << " to "
            << max;
        throw UsageError(msg.str());
    }
    return value;
}

double ParseSeconds(const std::string& option, const std::string& text)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(begin, &end);
    constexpr double kMax = 24.0 * 3600.0;
    if (text.empty() || end == begin || *end != '\0' || errno == ERANGE || !std::isfinite(value) ||
        value < 0.001 || value > kMax) {
        throw UsageError("--" + option + " " + text +
                         ": expected seconds, a decimal number from 0.001 to 86400");
    }
    return value;
}

// NAME=VALUE for the simulated UPS, read as ups-sim --set reads it.
void SimValue(const std::string& item, SimSettings& sim)
{
#ifdef HALX_HOST_WITH_SIM
    try {
        const upssim::ScriptCommand set = upssim::ParseAssignment("set", item);
        sim.values[set.name] = static_cast<std::int32_t>(set.number);
    } catch (const upssim::ScriptError& error) {
        throw UsageError("--sim-value " + item + ": " + error.what());
    }
#else
    (void)sim;
    throw UsageError("--sim-value " + item + ": this halx-host has no simulated UPS");
#endif
}

// The record field a --field names, in any case.
std::string FieldNamed(const std::string& name)
{
    for (const RecordField& field : kRecordFields) {
        if (strcasecmp(field.name, name.c_str()) == 0) {
            return field.name;
        }
    }
    throw UsageError("--field " + name +
                     ": not a field of the record (they are listed in docs/CATALOGUE.md)");
}

} // namespace

std::string Usage()
{
    std::ostringstream out;
    out << "usage: halx-host --port DEVICE [options]        poll a UPS on a serial line\n"
           "       halx-host --sim [options]                poll the built-in simulated UPS\n"
           "       halx-host --load-cache FILE [options]    what LoadFromCache does with a "
           "record\n"
           "       halx-host --config FILE [options]        run a site: every UPS of FILE\n"
           "       halx-host --decode FILE [--ups NAME] [--since T] [--until T]\n"
           "                 [--newest N | --limit N] [--record N] [--field NAME] [--json | "
           "--csv]\n"
           "       halx-host --version | --help\n\n"
           "Loads a device plug-in as the monitoring unit's host does and polls a UPS\n"
           "through it: one cycle every --interval seconds, each received chunk handed\n"
           "to the plug-in as it arrives.  Without --port, --load-cache or --decode it\n"
           "polls the built-in simulated UPS, and says so in every view and JSON event.\n"
           "Options that do not apply to the chosen mode are refused.\n\n"
        << Description()
        << "\nExit status:\n"
           "  0  done: the requested --cycles completed (without --cycles: stopped after at\n"
           "     least one completed), --decode or an accepted --load-cache\n"
           "  1  an input named cannot be used: the plug-in, a settings, record, history or\n"
           "     trace file, the port (not a tty, busy, no permission, missing with\n"
           "     --no-wait-for-port), a record LoadFromCache refuses\n"
           "  2  the command line is wrong; with --config: the configuration cannot be used\n"
           "     (FILE:LINE: what is wrong) or a listener cannot be opened\n"
           "  3  stopped (Ctrl-C, SIGTERM, SIGHUP, --timeout) before any cycle completed\n"
           "  4  stopped after some cycles completed, but fewer than --cycles\n";
    return out.str();
}

Options ParseOptions(int argc, const char* const argv[])
{
    // Arguments without an option are a mistake (halx-host /dev/ttyUSB0 meant
    // --port /dev/ttyUSB0), and options are never guessed from a prefix.
    std::vector<std::string> stray;
    po::options_description hidden;
    hidden.add_options()("stray", po::value(&stray));
    po::options_description all;
    all.add(Description()).add(hidden);
    po::positional_options_description positional;
    positional.add("stray", -1);
    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv)
                      .options(all)
                      .positional(positional)
                      .style(po::command_line_style::default_style &
                             ~po::command_line_style::allow_guessing)
                      .run(),
                  vm);
        po::notify(vm);
    } catch (const po::error& e) {
        throw UsageError(e.what());
    }
    if (!stray.empty()) {
        const std::string& first = stray.front();
        throw UsageError("unexpected argument '" + first + "'" +
                         (first.rfind("/dev/", 0) == 0 || first.find("tty") != std::string::npos
                              ? " (to poll that port: --port " + first + ")"
                              : ""));
    }

    Options o;
    o.help = vm.count("help") > 0;
    o.version = vm.count("version") > 0;
    if (o.help || o.version) {
        return o;
    }
    auto text = [&vm](const char* name, std::string& into) {
        if (vm.count(name) > 0) {
            into = vm[name].as<std::string>();
            if (into.empty()) {
                throw UsageError(std::string("--") + name + " needs a value");
            }
        }
    };
    text("plugin", o.plugin);
    text("port", o.port);
    text("settings", o.settings_file);
    text("history", o.history_file);
    text("load-cache", o.load_cache_file);
    text("decode", o.decode_file);
    text("config", o.config_file);
    text("ups", o.decode_ups);
    text("since", o.decode_since);
    text("until", o.decode_until);
    o.csv = vm.count("csv") > 0;
    text("trace", o.trace_file);
    if (vm.count("lock-dir") > 0) {
        o.lock_dir = vm["lock-dir"].as<std::string>(); // "" is allowed: no lock file
    }
    o.json = vm.count("json") > 0;
    o.verbose = vm.count("verbose") > 0;

    // The mode, then what applies to it.
    const bool sim = vm.count("sim") > 0;
    const std::vector<std::pair<const char*, bool>> modes = {
        {"--port", !o.port.empty()},
        {"--sim", sim},
        {"--load-cache", !o.load_cache_file.empty()},
        {"--decode", !o.decode_file.empty()},
        {"--config", !o.config_file.empty()}};
    const char* chosen = nullptr;
    for (const auto& [name, given] : modes) {
        if (!given) {
            continue;
        }
        if (chosen != nullptr) {
            throw UsageError(std::string(chosen) + " and " + name + " exclude each other");
        }
        chosen = name;
    }
    if (!o.port.empty()) {
        o.mode = Mode::Port;
    } else if (!o.load_cache_file.empty()) {
        o.mode = Mode::LoadCache;
    } else if (!o.decode_file.empty()) {
        o.mode = Mode::Decode;
    } else if (!o.config_file.empty()) {
        o.mode = Mode::Site;
    } else {
        o.mode = Mode::Sim;
    }
    const unsigned mode_bit = 1U << static_cast<unsigned>(o.mode);
    for (const Applies& applies : kApplies) {
        if (vm.count(applies.option) > 0 && (applies.modes & mode_bit) == 0) {
            throw UsageError(std::string("--") + applies.option + " does not apply to " +
                             ModeText(o.mode));
        }
    }
    if (vm.count("wait-for-port") > 0 && vm.count("no-wait-for-port") > 0) {
        throw UsageError("--wait-for-port and --no-wait-for-port exclude each other");
    }
    o.wait_for_port = vm.count("no-wait-for-port") == 0;

    if (vm.count("data-id") > 0) {
        o.data_id =
            static_cast<std::uint32_t>(ParseUnsigned("data-id", vm["data-id"].as<std::string>(), 0,
                                                     std::numeric_limits<std::uint32_t>::max()));
    }
    if (vm.count("cycles") > 0) {
        o.cycles = ParseUnsigned("cycles", vm["cycles"].as<std::string>(), 1,
                                 std::numeric_limits<std::uint32_t>::max());
    }
    if (vm.count("newest") > 0) {
        o.decode_newest = ParseUnsigned("newest", vm["newest"].as<std::string>(), 1,
                                        std::numeric_limits<std::uint32_t>::max());
    }
    if (vm.count("limit") > 0) {
        o.decode_limit = ParseUnsigned("limit", vm["limit"].as<std::string>(), 1,
                                       std::numeric_limits<std::uint32_t>::max());
    }
    if (o.csv && o.json) {
        throw UsageError("--csv and --json exclude each other");
    }
    if (o.decode_newest != 0 && o.decode_limit != 0) {
        throw UsageError("--newest and --limit exclude each other");
    }
    if (vm.count("trace-limit") > 0) {
        o.trace_limit = ParseUnsigned("trace-limit", vm["trace-limit"].as<std::string>(), 1024,
                                      std::numeric_limits<std::uint64_t>::max() / 2);
    }
    const std::pair<const char*, double*> seconds[] = {{"interval", &o.interval_s},
                                                       {"reply-timeout", &o.reply_timeout_s},
                                                       {"reopen-interval", &o.reopen_interval_s},
                                                       {"timeout", &o.timeout_s},
                                                       {"summary-interval", &o.summary_interval_s}};
    for (const auto& [name, into] : seconds) {
        if (vm.count(name) > 0) {
            *into = ParseSeconds(name, vm[name].as<std::string>());
        }
    }

    if (vm.count("sim-value") > 0) {
        for (const std::string& item : vm["sim-value"].as<std::vector<std::string>>()) {
            SimValue(item, o.sim_settings);
        }
    }
    if (vm.count("sim-noise") > 0) {
        o.sim_settings.noise =
            ParseUnsigned("sim-noise", vm["sim-noise"].as<std::string>(), 0, 8192);
    }
    o.sim_settings.noise_sync = vm.count("sim-noise-sync") > 0;
    if (vm.count("sim-chunk") > 0) {
        o.sim_settings.chunk =
            ParseUnsigned("sim-chunk", vm["sim-chunk"].as<std::string>(), 0, 4096);
    }
    o.sim_settings.pace = vm.count("sim-pace") > 0;

    if (vm.count("record") > 0) {
        for (const std::string& n : vm["record"].as<std::vector<std::string>>()) {
            o.decode_records.push_back(static_cast<std::size_t>(
                ParseUnsigned("record", n, 1, std::numeric_limits<std::uint32_t>::max())));
        }
    }
    if (vm.count("field") > 0) {
        for (const std::string& name : vm["field"].as<std::vector<std::string>>()) {
            o.decode_fields.push_back(FieldNamed(name));
        }
    }
    return o;
}

} // namespace halxhost

#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <vector>

#include <boost/program_options.hpp>

#include "common/Errors.h"

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
        ("plugin", po::value<std::string>()->value_name("PATH"),
         "device plug-in to load (default: deltanhnt.so beside the tool, in "
         "../lib/deltanhnt/, or in the build tree)")
        ("port", po::value<std::string>()->value_name("DEVICE"),
         "serial device of the UPS, e.g. /dev/ttyUSB0 (2400 baud, 8N1)")
        ("sim", "poll the built-in simulated UPS through a pseudo-terminal "
         "(the default when no --port is given)")
        ("sim-value", po::value<std::vector<std::string>>()->value_name("NAME=N"),
         "simulated UPS: reply field NAME sends the wire value N, e.g. "
         "OutptOvrCrrent=1 or BattryVlt=2650 (repeatable)")
        ("sim-noise", po::value<std::string>()->value_name("BYTES"),
         "simulated UPS: random bytes before every reply")
        ("sim-chunk", po::value<std::string>()->value_name("BYTES"),
         "simulated UPS: write replies in pieces of at most BYTES")
        ("sim-pace", "simulated UPS: send at the real rate of 2400 baud")
        ("settings", po::value<std::string>()->value_name("FILE"),
         "JSON object handed to InitSetting (default: {})")
        ("data-id", po::value<std::string>()->value_name("N"),
         "the device's data identifier, unsigned 32-bit (default: 1)")
        ("interval", po::value<std::string>()->value_name("SECONDS"),
         "time between poll cycles (default: 5)")
        ("reply-timeout", po::value<std::string>()->value_name("SECONDS"),
         "silence after which a cycle counts as stalled (default: 2)")
        ("reopen-interval", po::value<std::string>()->value_name("SECONDS"),
         "time between attempts to reopen a lost port (default: 1)")
        ("cycles", po::value<std::string>()->value_name("N"),
         "exit after N completed cycles (default: run until interrupted)")
        ("history", po::value<std::string>()->value_name("FILE"),
         "append every record stored as history (338 bytes each)")
        ("load-cache", po::value<std::string>()->value_name("FILE"),
         "hand a 338-byte record to LoadFromCache, show what happens, exit")
        ("decode", po::value<std::string>()->value_name("FILE"),
         "print every 338-byte record of FILE field by field, exit")
        ("json", "one JSON object per line on stdout instead of the readable view")
        ("trace", po::value<std::string>()->value_name("FILE"),
         "log every chunk sent and received, timestamped, in hex")
        ("trace-limit", po::value<std::string>()->value_name("BYTES"),
         "size at which the trace moves to FILE.1 and starts anew (default: 8 MiB)");
    // clang-format on
    return desc;
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

} // namespace

std::string Usage()
{
    std::ostringstream out;
    out << "usage: halx-host [--port DEVICE | --sim] [options]\n"
           "       halx-host --load-cache FILE [options]\n"
           "       halx-host --decode FILE [--json]\n\n"
           "Loads a device plug-in as the monitoring unit's host does and polls a UPS\n"
           "through it: one cycle every --interval seconds, each received chunk handed\n"
           "to the plug-in as it arrives.\n\n"
        << Description();
    return out.str();
}

Options ParseOptions(int argc, const char* const argv[])
{
    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(Description()).run(), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        throw UsageError(e.what());
    }

    Options o;
    o.help = vm.count("help") > 0;
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
    text("trace", o.trace_file);
    o.sim = vm.count("sim") > 0;
    o.json = vm.count("json") > 0;

    if (vm.count("data-id") > 0) {
        o.data_id =
            static_cast<std::uint32_t>(ParseUnsigned("data-id", vm["data-id"].as<std::string>(), 0,
                                                     std::numeric_limits<std::uint32_t>::max()));
    }
    if (vm.count("cycles") > 0) {
        o.cycles = ParseUnsigned("cycles", vm["cycles"].as<std::string>(), 1,
                                 std::numeric_limits<std::uint32_t>::max());
    }
    if (vm.count("trace-limit") > 0) {
        o.trace_limit = ParseUnsigned("trace-limit", vm["trace-limit"].as<std::string>(), 1024,
                                      std::numeric_limits<std::uint64_t>::max() / 2);
    }
    if (vm.count("interval") > 0) {
        o.interval_s = ParseSeconds("interval", vm["interval"].as<std::string>());
    }
    if (vm.count("reply-timeout") > 0) {
        o.reply_timeout_s = ParseSeconds("reply-timeout", vm["reply-timeout"].as<std::string>());
    }
    if (vm.count("reopen-interval") > 0) {
        o.reopen_interval_s =
            ParseSeconds("reopen-interval", vm["reopen-interval"].as<std::string>());
    }

    if (vm.count("sim-value") > 0) {
        for (const std::string& item : vm["sim-value"].as<std::vector<std::string>>()) {
            const std::size_t eq = item.find('=');
            const std::string name = item.substr(0, eq);
            const std::string number = eq == std::string::npos ? "" : item.substr(eq + 1);
            char* end = nullptr;
            errno = 0;
            const long value = std::strtol(number.c_str(), &end, 10);
            if (name.empty() || number.empty() || *end != '\0' || errno == ERANGE ||
                value < std::numeric_limits<std::int32_t>::min() ||
                value > std::numeric_limits<std::int32_t>::max()) {
                throw UsageError("--sim-value " + item + ": expected NAME=N, N a whole number");
            }
            o.sim_settings.values[name] = static_cast<std::int32_t>(value);
        }
    }
    if (vm.count("sim-noise") > 0) {
        o.sim_settings.noise =
            ParseUnsigned("sim-noise", vm["sim-noise"].as<std::string>(), 0, 8192);
    }
    if (vm.count("sim-chunk") > 0) {
        o.sim_settings.chunk =
            ParseUnsigned("sim-chunk", vm["sim-chunk"].as<std::string>(), 0, 4096);
    }
    o.sim_settings.pace = vm.count("sim-pace") > 0;

    if (!o.port.empty() && o.sim) {
        throw UsageError("--port and --sim exclude each other");
    }
    if (!o.decode_file.empty() && !o.load_cache_file.empty()) {
        throw UsageError("--decode and --load-cache exclude each other");
    }
    if (o.port.empty()) {
        o.sim = true;
    }
    return o;
}

} // namespace halxhost

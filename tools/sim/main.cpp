// ups-sim: plays a UPS on a serial line for the deltanhnt plug-in and the
// tools around it.  Serves a new pseudo-terminal (printing its slave path) or
// a real tty; answers queries from a healthy, slowly drifting UPS model or
// from a recorded trace, with the faults and the scenario it is told.
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include <sys/time.h>

#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>

#include "upssim/LineServer.h"

namespace po = boost::program_options;

namespace
{

constexpr const char* kUsage = "usage: ups-sim [--pty | --port DEV] [options]";

// "NAME=VALUE" (or "NAME" with a default value) as a script line.
upssim::ScriptCommand Assignment(const std::string& verb, const std::string& text,
                                 const char* fallback)
{
    const std::size_t equals = text.find('=');
    std::string line = verb + " ";
    if (equals != std::string::npos) {
        line += text.substr(0, equals) + " " + text.substr(equals + 1);
    } else if (fallback != nullptr) {
        line += text + " " + fallback;
    } else {
        throw upssim::ScriptError("--" + verb + ": expected NAME=VALUE, found \"" + text + "\"");
    }
    upssim::ScriptCommand command;
    try {
        upssim::ParseScriptLine(line, command);
    } catch (const upssim::ScriptError& error) {
        throw upssim::ScriptError("--" + std::string(error.what()));
    }
    return command;
}

std::chrono::milliseconds Duration(const char* option, const std::string& text)
{
    try {
        return upssim::ParseDuration(text);
    } catch (const upssim::ScriptError& error) {
        throw upssim::ScriptError(std::string("--") + option + ": " + error.what());
    }
}

void PrintLine(const std::string& line)
{
    timeval now{};
    ::gettimeofday(&now, nullptr);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<long>(now.tv_usec / 1000));
    std::cout << stamp << ' ' << line << std::endl;
}

struct Command {
    upssim::Options options;
    upssim::Endpoint endpoint;
    bool help = false;
};

Command Parse(int argc, char** argv, po::options_description& all)
{
    Command command;
    upssim::Options& o = command.options;
    std::string script, replay, delay, gap;
    std::vector<std::string> flags, sets;
    po::options_description line("Line");
    line.add_options()("pty", "serve a new pseudo-terminal and print its slave path (the default)")(
        "port", po::value(&command.endpoint.port)->value_name("DEV"),
        "serve a tty device instead, e.g. /dev/ttyUSB0 (raw, --baud, 8N1)")(
        "link", po::value(&command.endpoint.link)->value_name("PATH"),
        "keep a symbolic link at PATH to the pseudo-terminal's slave")(
        "baud", po::value(&o.baud)->value_name("N")->default_value(2400),
        "line speed: the tty's speed and the --pace rate")(
        "pace", po::bool_switch(&o.pace), "send at the line's real byte rate (8N1)")(
        "chunk", po::value(&o.chunk)->value_name("N"),
        "write replies in pieces of N bytes")("chunk-gap", po::value(&gap)->value_name("DURATION"),
                                              "idle time between pieces (default 2ms)");
    po::options_description ups("UPS");
    ups.add_options()("set", po::value(&sets)->value_name("NAME=VALUE")->composing(),
                      "fix a reply field's wire value, e.g. BattryVlt=2650 or BattryVlt=265.0")(
        "flag", po::value(&flags)->value_name("NAME[=V]")->composing(),
        "set a status flag by name or index 0..18 (V defaults to 1)")(
        "manufacturer", po::value(&o.manufacturer)->value_name("TEXT"),
        "MNU answer (DELTA)")("model", po::value(&o.model)->value_name("TEXT"), "MOD answer")(
        "version-text", po::value(&o.version)->value_name("TEXT"),
        "VER answer")("no-drift", "keep every measurement at its nominal value")(
        "seed", po::value(&o.seed)->value_name("N"), "seed of drift and noise (default 1)");
    po::options_description faults("Faults");
    faults.add_options()("delay", po::value(&delay)->value_name("DURATION"),
                         "answer each query after DURATION")(
        "drop-all", po::bool_switch(&o.drop_all),
        "answer nothing")("drop-every", po::value(&o.drop_every)->value_name("N"),
                          "leave every Nth query unanswered")(
        "drop", po::value(&o.drop_codes)->value_name("CODE")->composing(),
        "never answer this query (MNU, ..., VER); repeatable")(
        "noise", po::value(&o.noise)->value_name("BYTES"), "random bytes before every reply")(
        "truncate-every", po::value(&o.truncate_every)->value_name("N"),
        "cut every Nth reply short")("address", po::value(&o.address)->value_name("AA"),
                                     "address in reply headers (00)");
    po::options_description run("Scenario and output");
    run.add_options()("script", po::value(&script)->value_name("FILE"), "run a scenario script")(
        "replay", po::value(&replay)->value_name("TRACE"),
        "answer from a halx-host --trace file")("log", "print every query and reply")(
        "quiet", "print only the serving line and errors")("help,h", "this help");
    all.add(line).add(ups).add(faults).add(run);

    po::variables_map vm;
    po::store(po::parse_command_line(argc, argv, all), vm);
    po::notify(vm);
    command.help = vm.count("help") > 0;
    if (vm.count("pty") && vm.count("port")) {
        throw po::error("--pty and --port exclude each other");
    }
    if (!delay.empty()) {
        o.delay = Duration("delay", delay);
    }
    if (!gap.empty()) {
        o.chunk_gap = Duration("chunk-gap", gap);
    }
    o.drift = vm.count("no-drift") == 0;
    for (const std::string& text : sets) {
        const upssim::ScriptCommand set = Assignment("set", text, nullptr);
        o.values[set.name] = static_cast<std::int32_t>(set.number);
    }
    for (const std::string& text : flags) {
        const upssim::ScriptCommand flag = Assignment("flag", text, "1");
        if (flag.op != upssim::ScriptCommand::Op::Flag) {
            throw upssim::ScriptError("--flag: expected a flag name or index, found \"" + text +
                                      "\"");
        }
        o.values[flag.name] = static_cast<std::int32_t>(flag.number);
    }
    if (!script.empty()) {
        o.script = upssim::LoadScript(script);
    }
    if (!replay.empty()) {
        o.replay = std::make_shared<upssim::ReplayBook>(upssim::LoadReplay(replay));
    }
    o.log_traffic = vm.count("log") > 0;
    if (vm.count("quiet") == 0 || o.log_traffic) {
        o.log = PrintLine;
    }
    upssim::ValidateOptions(o);
    return command;
}

} // namespace

int main(int argc, char** argv)
{
    po::options_description all(kUsage);
    Command command;
    try {
        command = Parse(argc, argv, all);
    } catch (const std::exception& error) {
        std::cerr << "ups-sim: " << error.what() << std::endl;
        return 2;
    }
    if (command.help) {
        std::cout << all << std::endl;
        return 0;
    }

    try {
        upssim::LineServer server(command.options, command.endpoint);
        const auto announce = [](const std::string& path) {
            std::cout << "ups-sim: serving on " << path << std::endl;
        };
        announce(server.Path());
        server.on_reopen = announce;
        boost::asio::signal_set signals(server.Context(), SIGINT, SIGTERM);
        signals.async_wait([&server](const boost::system::error_code& ec, int) {
            if (!ec) {
                server.Stop();
            }
        });
        server.Run();
    } catch (const std::exception& error) {
        std::cerr << "ups-sim: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}

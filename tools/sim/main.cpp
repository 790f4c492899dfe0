// ups-sim: plays a UPS on a serial line for the deltanhnt plug-in and the
// tools around it.  Serves a new pseudo-terminal (printing its slave path) or
// a real tty; answers queries from a healthy, slowly drifting UPS model or
// from a recorded trace, with the faults and the scenario it is told.
#include <chrono>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>

#include "common/Errors.h"
#include "common/Format.h"
#include "common/Version.h"
#include "record/StatusFlags.h"
#include "upssim/LineServer.h"

namespace po = boost::program_options;
using tools::UsageError;

namespace
{

constexpr const char* kUsage = "usage: ups-sim [--pty | --port DEV] [options]";

// "NAME=VALUE" (or "NAME" with a default value) as a script command.
upssim::ScriptCommand Assignment(const std::string& verb, const std::string& text,
                                 const std::string& fallback)
{
    try {
        return upssim::ParseAssignment(verb, text, fallback);
    } catch (const upssim::ScriptError& error) {
        throw UsageError("--" + verb + ": " + error.what());
    }
}

std::chrono::milliseconds Duration(const char* option, const std::string& text)
{
    try {
        return upssim::ParseDuration(text);
    } catch (const upssim::ScriptError& error) {
        throw UsageError(std::string("--") + option + ": " + error.what());
    }
}

// Standard output: the serving line ("ups-sim: serving on PATH", again after
// each reopening), then one line per event, or one JSON object per event.
void Print(const upssim::Event& event, bool json, bool quiet)
{
    using Kind = upssim::Event::Kind;
    const bool serving = event.kind == Kind::Serving || event.kind == Kind::Reopen;
    if (quiet && !serving) {
        return;
    }
    const auto now = std::chrono::system_clock::now();
    if (json) {
        std::cout << upssim::EventJson(event, now) << std::endl;
    } else if (serving) {
        std::cout << "ups-sim: " << upssim::EventText(event) << std::endl;
    } else {
        // The time of day, to the millisecond.
        std::cout << tools::LocalTimestamp(now).substr(11, 12) << ' ' << upssim::EventText(event)
                  << std::endl;
    }
}

struct Command {
    upssim::Options options;
    upssim::Endpoint endpoint;
    bool help = false;
    bool version = false;
};

// What --version prints.
std::string VersionText()
{
    const std::string id = tools::BuildIdAt(reinterpret_cast<const void*>(&VersionText));
    return std::string("ups-sim ") + tools::ProjectVersion() +
           " (deltanhnt)\nbuild id: " + (id.empty() ? "none" : id) + "\n";
}

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
        "lock-dir", po::value(&command.endpoint.lock_dir)->value_name("DIR"),
        "where the --port's lock file goes (default /run/lock; \"\" for none)")(
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
        "noise-without-start", po::bool_switch(&o.noise_without_start),
        "noise never holds the frame start \"~\"")("truncate-every",
                                                   po::value(&o.truncate_every)->value_name("N"),
                                                   "cut every Nth reply short")(
        "address", po::value(&o.address)->value_name("AA"), "address in reply headers (00)");
    po::options_description run("Scenario and output");
    run.add_options()("script", po::value(&script)->value_name("FILE"), "run a scenario script")(
        "replay", po::value(&replay)->value_name("TRACE"),
        "answer from a halx-host --trace file")("log", "print every query and reply")(
        "json", "one JSON object per line on stdout instead of the log lines")(
        "quiet", "print only the serving line and errors")("help,h", "this help")(
        "version", "print the version and build id");
    all.add(line).add(ups).add(faults).add(run);

    // Arguments without an option are a mistake (ups-sim /dev/ttyUSB0 meant
    // --port /dev/ttyUSB0); options are never guessed from a prefix.
    std::vector<std::string> stray;
    po::options_description hidden;
    hidden.add_options()("stray", po::value(&stray));
    po::options_description parsed;
    parsed.add(all).add(hidden);
    po::positional_options_description positional;
    positional.add("stray", -1);
    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv)
                      .options(parsed)
                      .positional(positional)
                      .style(po::command_line_style::default_style &
                             ~po::command_line_style::allow_guessing)
                      .run(),
                  vm);
        po::notify(vm);
    } catch (const po::error& error) {
        throw UsageError(error.what());
    }
    if (!stray.empty()) {
        throw UsageError("unexpected argument '" + stray.front() + "'" +
                         (stray.front().rfind("/dev/", 0) == 0
                              ? " (to serve that port: --port " + stray.front() + ")"
                              : ""));
    }
    command.help = vm.count("help") > 0;
    command.version = vm.count("version") > 0;
    if (vm.count("pty") && vm.count("port")) {
        throw UsageError("--pty and --port exclude each other");
    }
    if (!delay.empty()) {
        o.delay = Duration("delay", delay);
    }
    if (!gap.empty()) {
        o.chunk_gap = Duration("chunk-gap", gap);
    }
    o.drift = vm.count("no-drift") == 0;
    for (const std::string& text : sets) {
        const upssim::ScriptCommand set = Assignment("set", text, "");
        o.values[set.name] = static_cast<std::int32_t>(set.number);
    }
    for (const std::string& text : flags) {
        const upssim::ScriptCommand flag =
            Assignment("flag", text, std::to_string(kStatusFlagActive));
        if (flag.op != upssim::ScriptCommand::Op::Flag) {
            throw UsageError("--flag: expected a flag name or index, found \"" + text + "\"");
        }
        o.values[flag.name] = static_cast<std::int32_t>(flag.number);
    }
    try {
        upssim::ValidateOptions(o);
    } catch (const std::invalid_argument& error) {
        throw UsageError(error.what());
    }
    // The files named: unreadable or wrong, they are bad input.
    if (!script.empty()) {
        o.script = upssim::LoadScript(script);
    }
    if (!replay.empty()) {
        o.replay = std::make_shared<upssim::ReplayBook>(upssim::LoadReplay(replay));
    }
    o.log_traffic = vm.count("log") > 0;
    const bool json = vm.count("json") > 0;
    const bool quiet = vm.count("quiet") > 0 && !o.log_traffic;
    o.on_event = [json, quiet](const upssim::Event& event) { Print(event, json, quiet); };
    return command;
}

int Serve(int argc, char** argv)
{
    po::options_description all(kUsage);
    const Command command = Parse(argc, argv, all);
    if (command.help) {
        std::cout << all
                  << "\nExit status: 0 when serving ended (a signal, a scripted exit), 1 when "
                     "a file or port named cannot be used, 2 when the command line is wrong.\n";
        return tools::kExitOk;
    }
    if (command.version) {
        std::cout << VersionText();
        return tools::kExitOk;
    }
    upssim::LineServer server(command.options, command.endpoint);
    bool signalled = false;
    boost::asio::signal_set signals(server.Context(), SIGINT, SIGTERM);
    signals.async_wait([&server, &signalled](const boost::system::error_code& ec, int) {
        if (!ec) {
            signalled = true;
            server.Stop();
        }
    });
    server.Run();
    // The counters at the end, also without --log.
    upssim::Event exit{upssim::Event::Kind::Exit, signalled ? "signal" : "script"};
    const upssim::Counters counters = server.Stats();
    exit.count = counters.cycles;
    exit.tally = counters;
    command.options.on_event(exit);
    return tools::kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return Serve(argc, argv);
    } catch (const std::exception& error) {
        return tools::Failed("ups-sim", error);
    }
}

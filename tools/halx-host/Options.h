// The command line of halx-host.
#pragma once

#include <cstdint>
#include <string>

#include "SimulatedUps.h"

namespace halxhost
{

struct Options {
    bool help = false;

    std::string plugin;        // empty: the plug-in installed or built beside the tool
    std::string port;          // serial device; empty with sim
    bool sim = false;          // poll the built-in simulated UPS on a pseudo-terminal
    SimSettings sim_settings;  // what the simulated UPS answers and how
    std::string settings_file; // empty: the settings are {}
    std::uint32_t data_id = 1;
    double interval_s = 5.0;        // between RefreshStatus calls
    double reply_timeout_s = 2.0;   // silence that ends a cycle as stalled
    double reopen_interval_s = 1.0; // between attempts to reopen a lost port
    std::uint64_t cycles = 0;       // 0: until interrupted

    std::string history_file;    // append every SaveDeviceHistory record
    std::string load_cache_file; // hand a record to LoadFromCache, then exit
    std::string decode_file;     // print records field by field, then exit

    bool json = false;
    std::string trace_file;
    std::uint64_t trace_limit = 8ULL * 1024 * 1024;
};

// Parses argv; throws UsageError with a one-line reason.
Options ParseOptions(int argc, const char* const argv[]);

// The --help text.
std::string Usage();

} // namespace halxhost

// The command line of halx-host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "SimulatedUps.h"
#include "common/PortLock.h"

namespace halxhost
{

enum class Mode {
    Port,      // poll a UPS on a serial line (--port)
    Sim,       // poll the built-in simulated UPS (--sim, or no --port)
    LoadCache, // hand a record to LoadFromCache (--load-cache)
    Decode,    // print records field by field (--decode)
    Site,      // poll every UPS of a site configuration (--config)
};

struct Options {
    bool help = false;
    bool version = false;
    Mode mode = Mode::Sim;

    std::string plugin;        // empty: the plug-in installed or built beside the tool
    std::string port;          // serial device (Mode::Port)
    SimSettings sim_settings;  // what the simulated UPS answers and how
    std::string settings_file; // empty: the settings are {}
    std::uint32_t data_id = 1;
    double interval_s = 5.0;                       // between RefreshStatus calls
    double reply_timeout_s = 2.0;                  // silence that ends a cycle as stalled
    double reopen_interval_s = 1.0;                // between attempts to reopen a lost port
    std::uint64_t cycles = 0;                      // 0: until interrupted
    double timeout_s = 0.0;                        // 0: no time limit
    bool wait_for_port = true;                     // a port missing at start-up is waited for
    std::string lock_dir = tools::kDefaultLockDir; // "": no lock file
    double summary_interval_s = 60.0;

    std::string history_file;                // append every SaveDeviceHistory record
    std::string load_cache_file;             // hand a record to LoadFromCache, then exit
    std::string decode_file;                 // print records field by field, then exit
    std::vector<std::size_t> decode_records; // 1-based; empty: all
    std::vector<std::string> decode_fields;  // record field names; empty: all
    // --decode of a site database: by UPS and time (RFC 3339 or local
    // time, as given), the newest N or the first N, as CSV.
    std::string decode_ups;
    std::string decode_since, decode_until;
    std::size_t decode_newest = 0; // 0: not asked
    std::size_t decode_limit = 0;  // 0: all
    bool csv = false;

    std::string config_file; // the site configuration (Mode::Site)

    bool json = false;
    bool verbose = false; // the plug-in's console lines in the readable view
    std::string trace_file;
    std::uint64_t trace_limit = 8ULL * 1024 * 1024;

    bool Polls() const { return mode == Mode::Port || mode == Mode::Sim; }
};

// Parses argv; throws UsageError with a one-line reason.
Options ParseOptions(int argc, const char* const argv[]);

// The --help text.
std::string Usage();

} // namespace halxhost

// halx-host --config FILE: the site monitor.  Every UPS of the site
// configuration polled by one process on one io_context (one thread): one
// device per entry created through the plug-in's provider, each with its own
// poller, line monitor and host events, so that a fault on one line never
// holds up another.  Beside them on the same io_context: the history in the
// site database, the UPS network protocol server, the Prometheus listener
// and the SNMP subagent, all reading the UPSes' snapshots.  docs/SITE.md
// describes the configuration and what runs.
#pragma once

#include <cstdint>
#include <string>

namespace halxhost
{

class ConsoleCapture;

struct SiteRunOptions {
    std::string config_file;
    std::string plugin;             // empty: the default plug-in
    std::uint64_t cycles = 0;       // per UPS; 0: until stopped
    double timeout_s = 0.0;         // 0: none
    double reopen_interval_s = 1.0; // between attempts to open a lost port
    double summary_interval_s = 60.0;
    std::string lock_dir;
    bool json = false;
};

// Runs the site until a signal, the time limit or every UPS's cycles; the
// exit status (tools/common/Errors.h).  A configuration that cannot be used
// or a listener that cannot be opened is one line and status 2, before
// anything starts.
int RunSite(const SiteRunOptions& options, ConsoleCapture& console);

} // namespace halxhost

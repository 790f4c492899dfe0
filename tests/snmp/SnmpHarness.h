// The real SNMP components the agent tests use: Debian's snmpd as the master
// agent and snmptrapd as the trap sink, started on 127.0.0.1, free UDP ports
// and a private AgentX socket in a temporary folder, stopped at the end; and
// Debian's snmp tools (snmpget, snmpwalk, snmpset) run with numeric OIDs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace snmptest
{

// A temporary folder, removed with its contents.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A UDP port on 127.0.0.1 nobody listens on right now.
int FreeUdpPort();

struct CommandResult {
    int status = -1; // exit status, or -1 when killed at the time limit
    std::string out;
    std::string err;
};
// Runs a program with the environment the tests give the snmp tools (their
// configuration folder: no MIB files read).
CommandResult Run(const std::vector<std::string>& argv, const std::string& confdir,
                  std::chrono::milliseconds limit = std::chrono::seconds(20));

// One varbind as the tools print it with -On -Ot: ".1.3... = TYPE: VALUE".
struct Varbind {
    std::string type;  // "INTEGER", "STRING", "Gauge32", "Timeticks", "OID", ...
    std::string value; // STRING without its quotes
};
// Every varbind of the output, by numeric OID without the leading dot.
std::map<std::string, Varbind> ParseVarbinds(const std::string& out);

// snmpd as master agent: UDP on 127.0.0.1:port, AgentX on a socket in the
// folder, community "public" for the default context and one community per
// named context (the context's name), traps (v2c) to 127.0.0.1:trap_port.
class Snmpd
{
public:
    Snmpd(const std::string& dir, std::vector<std::string> contexts, int trap_port);
    ~Snmpd();
    // Starts it and waits until it answers.  False if it did not.
    bool Start();
    void Stop();
    bool Running() const { return pid_ > 0; }
    int port() const { return port_; }
    const std::string& socket() const { return socket_; }
    const std::string& dir() const { return dir_; }
    std::string Log() const;

    // The tools against it: "-v2c -c COMMUNITY -On -Ot 127.0.0.1:PORT ...".
    CommandResult Get(const std::string& community, const std::vector<std::string>& oids) const;
    CommandResult Walk(const std::string& community, const std::string& oid,
                       bool bulk = false) const;
    CommandResult Set(const std::string& community, const std::string& oid, const std::string& type,
                      const std::string& value) const;

private:
    std::vector<std::string> Tool(const char* tool, const std::string& community) const;

    std::string dir_;
    std::string socket_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// snmptrapd writing every notification it receives to a file.
class Trapd
{
public:
    explicit Trapd(const std::string& dir);
    ~Trapd();
    bool Start();
    void Stop();
    int port() const { return port_; }
    // The notifications received so far, each its varbinds.
    std::vector<std::map<std::string, Varbind>> Traps() const;

private:
    std::string dir_;
    std::string log_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Waits up to `limit` for `done`, looking every 50 ms.
template <class Done> bool WaitFor(Done&& done, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        struct timespec pause = {0, 50 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

} // namespace snmptest

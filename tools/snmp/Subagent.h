// The net-snmp side of the SNMP agent: an AgentX subagent of the host's
// master agent (snmpd) that serves the UPS-MIB of the site's UPSes and sends
// their notifications.
//
// net-snmp has its own select loop and is not thread-safe, and its AgentX
// code talks to the master synchronously (the session open, every
// registration, each reconnect wait for the master's answer; a TCP master
// that is down can hold a connect for minutes).  So it does not share the
// site's io_context: it runs on a thread of its own, and every net-snmp call
// is made on that thread.  The io_context's thread hands data across through
// Shared (a copy of each served UPS's snapshot, alarm table and counters, and
// a queue of notifications to send) under one mutex held only to copy, and
// wakes the thread through an eventfd that the thread's select loop watches
// next to net-snmp's own descriptors.  Requests are answered on the
// subagent's thread from the latest copy; nothing on the io_context waits
// for net-snmp.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MibView.h"

// net-snmp's, declared in its agent headers.
struct netsnmp_mib_handler_s;
struct netsnmp_handler_registration_s;
struct netsnmp_agent_request_info_s;
struct netsnmp_request_info_s;

namespace snmp
{

// One line for people, without its end of line.
using LogFn = std::function<void(const std::string&)>;

// A UPS the agent serves, and where.
struct Served {
    std::size_t index = 0;             // in the site's configured order
    std::string name;                  // the UPS's name
    std::vector<std::string> contexts; // "" is the default context
};

struct Notification {
    std::uint8_t trap = 0; // upsTraps.<trap>
    std::vector<Instance> varbinds;
};

// What the io_context's thread hands to the subagent's.
struct Shared {
    std::mutex mutex;
    std::vector<UpsData> ups; // by position in the served list
    std::deque<Notification> notifications;
};

struct SubagentOptions {
    std::string agentx;        // the master's AgentX socket, as net-snmp names it
    std::string agent_version; // upsIdentAgentSoftwareVersion
    LogFn log;
    std::chrono::milliseconds retry_first{500}; // the first wait before reconnecting
    std::chrono::milliseconds retry_max{30000}; // the wait doubles up to this
};

class Subagent
{
public:
    Subagent(std::vector<Served> served, Shared& shared, SubagentOptions options);
    ~Subagent();
    Subagent(const Subagent&) = delete;
    Subagent& operator=(const Subagent&) = delete;

    // Starts the thread (which connects to the master, or keeps trying).
    // Once per process: net-snmp keeps its state in globals and does not
    // come back after its shutdown (std::logic_error the second time).
    void Start();
    // Closes the AgentX session and joins the thread.
    void Stop();
    // Has the thread look at the notification queue.
    void Wake();

    bool Connected() const { return connected_; }
    static bool UsedInThisProcess();

private:
    struct Registration {
        Subagent* self;
        std::size_t served;
    };

    void Run();
    void Init();
    void Loop();
    void TryConnect();
    void SendNotifications();
    void OnConnected();
    void OnDisconnected();
    void Log(const std::string& line);
    void LibraryLog(int priority, const char* text);

    static int Handle(::netsnmp_mib_handler_s* handler,
                      ::netsnmp_handler_registration_s* registration,
                      ::netsnmp_agent_request_info_s* info, ::netsnmp_request_info_s* requests);
    static int LogCallback(int major, int minor, void* server, void* client);
    static int StartCallback(int major, int minor, void* server, void* client);
    static int StopCallback(int major, int minor, void* server, void* client);

    const std::vector<Served> served_;
    Shared& shared_;
    const SubagentOptions options_;
    std::vector<std::unique_ptr<Registration>> registrations_;

    std::thread thread_;
    int wake_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> connected_{false};

    // The subagent's thread only.
    std::chrono::steady_clock::time_point retry_at_{};
    std::chrono::milliseconds retry_delay_{0};
    bool ever_connected_ = false;
    std::uint64_t dropped_ = 0; // notifications while the master was away
    std::string partial_log_;   // net-snmp writes some lines in pieces
    std::string last_log_;
};

} // namespace snmp

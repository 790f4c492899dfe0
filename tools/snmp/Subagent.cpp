#include "Subagent.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>
#include <net-snmp/library/large_fd_set.h>
// clang-format on

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

// Exported by libnetsnmpagent, declared in a header Debian does not ship
// (agent/mibgroup/agentx/subagent.h): opens the AgentX session to the
// master, 0 on success.  net-snmp's own reconnect (agentxPingInterval) tries
// at a fixed period and logs each failure; this agent reconnects with
// back-off and says so once.
extern "C" int subagent_open_master_session(void);

namespace snmp
{
namespace
{

constexpr const char* kAppName = "halx-host";

// snmpTrapOID.0
const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

std::vector<oid> ToNetSnmp(const Oid& in)
{
    return std::vector<oid>(in.begin(), in.end());
}

Oid FromNetSnmp(const oid* name, std::size_t length)
{
    Oid out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(static_cast<std::uint32_t>(name[i]));
    }
    return out;
}

u_char TypeOf(catalogue::MibSyntax syntax)
{
    switch (syntax) {
    case catalogue::MibSyntax::Integer:
        return ASN_INTEGER;
    case catalogue::MibSyntax::Gauge32:
        return ASN_GAUGE;
    case catalogue::MibSyntax::Counter32:
        return ASN_COUNTER;
    case catalogue::MibSyntax::TimeTicks:
        return ASN_TIMETICKS;
    case catalogue::MibSyntax::DisplayString:
        return ASN_OCTET_STR;
    case catalogue::MibSyntax::ObjectIdentifier:
        return ASN_OBJECT_ID;
    }
    return ASN_NULL;
}

void SetValue(netsnmp_variable_list* var, const Instance& instance)
{
    const u_char type = TypeOf(instance.syntax);
    switch (instance.syntax) {
    case catalogue::MibSyntax::DisplayString:
        snmp_set_var_typed_value(var, type, reinterpret_cast<const u_char*>(instance.text.data()),
                                 instance.text.size());
        break;
    case catalogue::MibSyntax::ObjectIdentifier: {
        const std::vector<oid> value = ToNetSnmp(instance.object);
        snmp_set_var_typed_value(var, type, reinterpret_cast<const u_char*>(value.data()),
                                 value.size() * sizeof(oid));
        break;
    }
    default:
        snmp_set_var_typed_integer(var, type, static_cast<long>(instance.number));
        break;
    }
}

bool Less(const Oid& a, const Oid& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

bool IsPrefix(const Oid& prefix, const Oid& oid)
{
    return prefix.size() <= oid.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

// True when `oid` names an instance of an object we serve (noSuchInstance
// rather than noSuchObject).
bool KnownObject(const Oid& oid)
{
    for (const catalogue::MibObject& object : catalogue::UpsMibObjects()) {
        if (IsPrefix(catalogue::MibOid(object), oid)) {
            return true;
        }
    }
    return false;
}

// One net-snmp agent per process lifetime: the library keeps its state in
// globals, and once shut down it does not serve its registrations again.
std::atomic<bool> g_used{false};

} // namespace

Subagent::Subagent(std::vector<Served> served, Shared& shared, SubagentOptions options)
    : served_(std::move(served)), shared_(shared), options_(std::move(options))
{
}

Subagent::~Subagent()
{
    Stop();
}

void Subagent::Start()
{
    if (thread_.joinable()) {
        return;
    }
    if (g_used.exchange(true)) {
        throw std::logic_error("snmp: net-snmp's agent starts once per process");
    }
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        throw std::runtime_error(std::string("snmp: eventfd: ") + std::strerror(errno));
    }
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void Subagent::Stop()
{
    if (!thread_.joinable()) {
        return;
    }
    stop_ = true;
    Wake();
    thread_.join();
    ::close(wake_fd_);
    wake_fd_ = -1;
    connected_ = false;
}

bool Subagent::UsedInThisProcess()
{
    return g_used;
}

void Subagent::Wake()
{
    if (wake_fd_ >= 0) {
        const std::uint64_t one = 1;
        // A full counter already wakes the thread; nothing to do on EAGAIN.
        [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
    }
}

void Subagent::Log(const std::string& line)
{
    if (options_.log) {
        options_.log(line);
    }
}

// net-snmp's own messages: warnings and errors, one line each; a line
// repeated at once is left out.  Its informational lines (connected,
// disconnected, directories created) are left to this agent's own.
void Subagent::LibraryLog(int priority, const char* text)
{
    partial_log_ += text;
    for (std::size_t end; (end = partial_log_.find('\n')) != std::string::npos;) {
        std::string line = partial_log_.substr(0, end);
        partial_log_.erase(0, end + 1);
        if (priority > LOG_WARNING || line.empty() || line == last_log_) {
            continue;
        }
        last_log_ = line;
        Log("net-snmp: " + line);
    }
}

int Subagent::LogCallback(int, int, void* server, void* client)
{
    const auto* message = static_cast<const snmp_log_message*>(server);
    if (message != nullptr && message->msg != nullptr) {
        static_cast<Subagent*>(client)->LibraryLog(message->priority, message->msg);
    }
    return 0;
}

int Subagent::StartCallback(int, int, void*, void* client)
{
    static_cast<Subagent*>(client)->OnConnected();
    return 0;
}

int Subagent::StopCallback(int, int, void*, void* client)
{
    static_cast<Subagent*>(client)->OnDisconnected();
    return 0;
}

void Subagent::OnConnected()
{
    // Registrations made while no master was there are sent now (net-snmp's
    // own reconnect does the same).
    register_mib_reattach();
    connected_ = true;
    retry_delay_ = std::chrono::milliseconds(0);
    std::string line = (ever_connected_ ? "connected again to the AgentX master agent at "
                                        : "connected to the AgentX master agent at ") +
                       options_.agentx;
    if (dropped_ != 0) {
        line += "; " + std::to_string(dropped_) +
                " notification(s) could not be sent while it was away";
        dropped_ = 0;
    }
    ever_connected_ = true;
    Log(line);
}

void Subagent::OnDisconnected()
{
    connected_ = false;
    if (stop_) {
        return;
    }
    retry_delay_ = options_.retry_first;
    retry_at_ = std::chrono::steady_clock::now() + retry_delay_;
    Log("lost the AgentX master agent at " + options_.agentx + "; reconnecting with back-off");
}

void Subagent::TryConnect()
{
    if (subagent_open_master_session() == 0) {
        return; // OnConnected has run
    }
    retry_delay_ = std::min(retry_delay_ * 2, options_.retry_max);
    retry_at_ = std::chrono::steady_clock::now() + retry_delay_;
}

void Subagent::Init()
{
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET,
                          options_.agentx.c_str());
    // No reading of /etc/snmp/halx-host.conf and the like, no persistent
    // state written on exit, no MIB files parsed (numbers are all we need),
    // no SIGALRM: the loop below runs net-snmp's alarms.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
    static char no_mibs[] = "mibs :";
    netsnmp_config_remember(no_mibs);
    // This agent reconnects and reports the failures itself.
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL, 0);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_CONNECTION_WARNINGS, 1);
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_TIMEOUT, 1);
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_RETRIES, 1);

    // Its log lines come here, and go where halx-host's go.
    snmp_disable_log();
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, LOG_DEBUG);
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, LogCallback, this);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, StartCallback,
                           this);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, StopCallback,
                           this);

    init_agent(kAppName);
    const std::vector<oid> root = ToNetSnmp([] {
        Oid objects(catalogue::kUpsMibOid, catalogue::kUpsMibOid + catalogue::kUpsMibOidLength);
        objects.push_back(1); // upsObjects
        return objects;
    }());
    for (std::size_t i = 0; i < served_.size(); ++i) {
        for (const std::string& context : served_[i].contexts) {
            registrations_.push_back(std::make_unique<Registration>(Registration{this, i}));
            netsnmp_handler_registration* registration = netsnmp_create_handler_registration(
                "upsMIB", Handle, root.data(), root.size(), HANDLER_CAN_RONLY);
            registration->my_reg_void = registrations_.back().get();
            if (!context.empty()) {
                registration->contextName = ::strdup(context.c_str());
            }
            if (netsnmp_register_handler(registration) != MIB_REGISTERED_OK) {
                Log("net-snmp: cannot register the UPS-MIB for " + served_[i].name +
                    (context.empty() ? std::string(" in the default context")
                                     : " in context " + context));
            }
        }
    }
    // Connects (once) to the master; OnConnected runs if it is there.
    init_snmp(kAppName);
    if (!connected_) {
        retry_delay_ = options_.retry_first;
        retry_at_ = std::chrono::steady_clock::now() + retry_delay_;
        Log("no AgentX master agent at " + options_.agentx +
            " yet; trying again with back-off (up to " +
            std::to_string(options_.retry_max.count() / 1000) + " s)");
    }
}

void Subagent::Run()
{
    Init();
    Loop();
    // net-snmp's shutdown frees the client argument of every callback still
    // registered: ours is this object.
    snmp_unregister_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, LogCallback, this, 1);
    snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, StartCallback,
                             this, 1);
    snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, StopCallback,
                             this, 1);
    snmp_shutdown(kAppName);
    shutdown_agent();
    registrations_.clear();
    partial_log_.clear();
}

void Subagent::Loop()
{
    // At most this long in select: the connection retry and the stop flag are
    // looked at after every wake-up anyway.
    constexpr auto kMaxWait = std::chrono::milliseconds(1000);
    while (!stop_) {
        netsnmp_large_fd_set fds;
        netsnmp_large_fd_set_init(&fds, FD_SETSIZE);
        int numfds = 0;
        int block = 1;
        timeval timeout{0, 0};
        snmp_select_info2(&numfds, &fds, &timeout, &block);

        auto wait = kMaxWait;
        if (!block) {
            wait = std::min<std::chrono::milliseconds>(
                wait, std::chrono::milliseconds(timeout.tv_sec * 1000 + timeout.tv_usec / 1000));
        }
        const auto now = std::chrono::steady_clock::now();
        if (!connected_) {
            wait = std::min(wait, std::max(std::chrono::milliseconds(0),
                                           std::chrono::duration_cast<std::chrono::milliseconds>(
                                               retry_at_ - now)));
        }
        NETSNMP_LARGE_FD_SET(wake_fd_, &fds);
        numfds = std::max(numfds, wake_fd_ + 1);
        timeval tv{static_cast<time_t>(wait.count() / 1000),
                   static_cast<suseconds_t>((wait.count() % 1000) * 1000)};
        int count = netsnmp_large_fd_set_select(numfds, &fds, nullptr, nullptr, &tv);
        if (count < 0 && errno != EINTR) {
            Log(std::string("select: ") + std::strerror(errno));
        }
        if (count > 0 && NETSNMP_LARGE_FD_ISSET(wake_fd_, &fds)) {
            std::uint64_t value = 0;
            [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &value, sizeof value);
            NETSNMP_LARGE_FD_CLR(wake_fd_, &fds);
            --count;
        }
        if (count > 0) {
            snmp_read2(&fds);
        } else if (count == 0) {
            snmp_timeout();
        }
        netsnmp_large_fd_set_cleanup(&fds);
        run_alarms();
        netsnmp_check_outstanding_agent_requests();
        SendNotifications();
        if (!connected_ && !stop_ && std::chrono::steady_clock::now() >= retry_at_) {
            TryConnect();
        }
    }
}

void Subagent::SendNotifications()
{
    std::deque<Notification> pending;
    {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        pending.swap(shared_.notifications);
    }
    for (const Notification& notification : pending) {
        if (!connected_) {
            ++dropped_;
            continue;
        }
        netsnmp_variable_list* vars = nullptr;
        const std::vector<oid> trap = ToNetSnmp(TrapOid(notification.trap));
        snmp_varlist_add_variable(&vars, kSnmpTrapOid, sizeof kSnmpTrapOid / sizeof(oid),
                                  ASN_OBJECT_ID, reinterpret_cast<const u_char*>(trap.data()),
                                  trap.size() * sizeof(oid));
        for (const Instance& instance : notification.varbinds) {
            const std::vector<oid> name = ToNetSnmp(instance.oid);
            netsnmp_variable_list* var = snmp_varlist_add_variable(
                &vars, name.data(), name.size(), TypeOf(instance.syntax), nullptr, 0);
            if (var != nullptr) {
                SetValue(var, instance);
            }
        }
        send_v2trap(vars);
        snmp_free_varbind(vars);
    }
}

int Subagent::Handle(netsnmp_mib_handler*, netsnmp_handler_registration* registration,
                     netsnmp_agent_request_info* info, netsnmp_request_info* requests)
{
    const auto* where = static_cast<const Registration*>(registration->my_reg_void);
    Subagent& self = *where->self;
    if (info->mode != MODE_GET && info->mode != MODE_GETNEXT) {
        // Every object here is read-only, the MIB's read-write ones included.
        for (netsnmp_request_info* request = requests; request != nullptr;
             request = request->next) {
            netsnmp_set_request_error(info, request, SNMP_ERR_NOTWRITABLE);
        }
        return SNMP_ERR_NOERROR;
    }
    UpsData ups;
    {
        std::lock_guard<std::mutex> lock(self.shared_.mutex);
        ups = self.shared_.ups[where->served];
    }
    const std::vector<Instance> instances =
        Render(ups, std::chrono::steady_clock::now(), self.options_.agent_version);
    for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
        if (request->processed) {
            continue;
        }
        netsnmp_variable_list* var = request->requestvb;
        const Oid asked = FromNetSnmp(var->name, var->name_length);
        if (info->mode == MODE_GET) {
            const auto found = std::find_if(instances.begin(), instances.end(),
                                            [&](const Instance& i) { return i.oid == asked; });
            if (found != instances.end()) {
                SetValue(var, *found);
            } else {
                netsnmp_set_request_error(
                    info, request, KnownObject(asked) ? SNMP_NOSUCHINSTANCE : SNMP_NOSUCHOBJECT);
            }
            continue;
        }
        // GETNEXT (GETBULK comes as GETNEXTs): the first instance after the
        // asked OID, or at it when the master's search range includes it.
        // None: the request stays unanswered and the master looks further.
        const auto next = std::find_if(instances.begin(), instances.end(), [&](const Instance& i) {
            return request->inclusive ? !Less(i.oid, asked) : Less(asked, i.oid);
        });
        if (next != instances.end()) {
            const std::vector<oid> name = ToNetSnmp(next->oid);
            snmp_set_var_objid(var, name.data(), name.size());
            SetValue(var, *next);
        }
    }
    return SNMP_ERR_NOERROR;
}

} // namespace snmp

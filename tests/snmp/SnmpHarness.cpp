#include "SnmpHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace snmptest
{
namespace
{

const char* const kSnmpd = "/usr/sbin/snmpd";
const char* const kTrapd = "/usr/sbin/snmptrapd";

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The library configuration every net-snmp program here reads: no MIB files
// (numeric OIDs only), persistent state inside the folder.
void WriteLibraryConfig(const std::string& dir)
{
    WriteFile(dir + "/snmp.conf", "mibs :\npersistentDir " + dir + "/persist\n");
}

std::vector<char*> Argv(const std::vector<std::string>& argv)
{
    std::vector<char*> out;
    for (const std::string& arg : argv) {
        out.push_back(const_cast<char*>(arg.c_str()));
    }
    out.push_back(nullptr);
    return out;
}

// Starts a program with SNMPCONFPATH set to `confdir`; its output to `log`.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& confdir,
            const std::string& log)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Nothing is left running if the test dies.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::setenv("SNMPCONFPATH", confdir.c_str(), 1);
        ::setenv("SNMP_PERSISTENT_DIR", (confdir + "/persist").c_str(), 1);
        ::setenv("MIBS", "", 1);
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        std::vector<char*> args = Argv(argv);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

void Kill(pid_t& pid)
{
    if (pid <= 0) {
        return;
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        ::usleep(20000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    pid = -1;
}

} // namespace

TempDir::TempDir()
{
    char pattern[] = "/tmp/snmp-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    }
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

int FreeUdpPort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("no free UDP port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

CommandResult Run(const std::vector<std::string>& argv, const std::string& confdir,
                  std::chrono::milliseconds limit)
{
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("SNMPCONFPATH", confdir.c_str(), 1);
        ::setenv("SNMP_PERSISTENT_DIR", (confdir + "/persist").c_str(), 1);
        ::setenv("MIBS", "", 1);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        std::vector<char*> args = Argv(argv);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    CommandResult result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    const auto end = std::chrono::steady_clock::now() + limit;
    int open = 2;
    bool killed = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
                char buffer[4096];
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                } else {
                    (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
    }
    for (pollfd& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = killed || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
    return result;
}

std::map<std::string, Varbind> ParseVarbinds(const std::string& out)
{
    std::map<std::string, Varbind> varbinds;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line, '\n')) {
        // A trap line holds several, tab-separated.
        std::istringstream parts(line);
        std::string part;
        while (std::getline(parts, part, '\t')) {
            const std::size_t start = part.find('.');
            const std::size_t equals = part.find(" = ");
            if (start == std::string::npos || equals == std::string::npos || start > equals) {
                continue;
            }
            const std::string oid = part.substr(start + 1, equals - start - 1);
            const std::string rest = part.substr(equals + 3);
            const std::size_t colon = rest.find(": ");
            Varbind varbind;
            if (!rest.empty() && rest.find_first_not_of("0123456789") == std::string::npos) {
                varbind.type = "Timeticks"; // -Ot writes them as a bare number
                varbind.value = rest;
            } else if (colon == std::string::npos) {
                varbind.type = rest; // "No Such Instance ..." and the like
            } else {
                varbind.type = rest.substr(0, colon);
                varbind.value = rest.substr(colon + 2);
                if (varbind.type == "STRING" && varbind.value.size() >= 2 &&
                    varbind.value.front() == '"' && varbind.value.back() == '"') {
                    varbind.value = varbind.value.substr(1, varbind.value.size() - 2);
                }
                if (varbind.type == "OID" && !varbind.value.empty() && varbind.value[0] == '.') {
                    varbind.value.erase(0, 1);
                }
            }
            if (varbind.type.rfind("No more variables", 0) == 0) {
                continue; // the end of a walk, named after its last OID
            }
            varbinds[oid] = varbind;
        }
    }
    return varbinds;
}

Snmpd::Snmpd(const std::string& dir, std::vector<std::string> contexts, int trap_port)
    : dir_(dir), socket_(dir + "/agentx.sock"), port_(FreeUdpPort())
{
    ::mkdir((dir + "/persist").c_str(), 0700);
    WriteLibraryConfig(dir);
    std::ostringstream conf;
    conf << "agentaddress udp:127.0.0.1:" << port_ << "\n"
         << "master agentx\n"
         << "agentXSocket " << socket_ << "\n"
         << "agentXPerms 0600 0700\n"
         << "view all included .1\n"
         << "com2sec sec_default 127.0.0.1 public\n"
         << "group grp_default v2c sec_default\n"
         << "access grp_default \"\" any noauth exact all all none\n";
    for (const std::string& context : contexts) {
        conf << "com2sec -Cn " << context << " sec_" << context << " 127.0.0.1 " << context << "\n"
             << "group grp_" << context << " v2c sec_" << context << "\n"
             << "access grp_" << context << " " << context << " any noauth exact all all none\n";
    }
    if (trap_port != 0) {
        conf << "trap2sink 127.0.0.1:" << trap_port << " public\n";
    }
    WriteFile(dir + "/snmpd.conf", conf.str());
}

Snmpd::~Snmpd()
{
    Stop();
}

bool Snmpd::Start()
{
    if (pid_ > 0) {
        return true;
    }
    pid_ = Spawn({kSnmpd, "-f", "-C", "-c", dir_ + "/snmpd.conf", "-Lf", dir_ + "/snmpd.log", "-p",
                  dir_ + "/snmpd.pid"},
                 dir_, dir_ + "/snmpd.out");
    // Ready: the AgentX socket is there and it answers for sysUpTime.
    return WaitFor(
        [&] {
            struct stat st;
            return ::stat(socket_.c_str(), &st) == 0 &&
                   Get("public", {"1.3.6.1.2.1.1.3.0"}).status == 0;
        },
        std::chrono::seconds(10));
}

void Snmpd::Stop()
{
    Kill(pid_);
}

std::string Snmpd::Log() const
{
    return ReadFile(dir_ + "/snmpd.log");
}

std::vector<std::string> Snmpd::Tool(const char* tool, const std::string& community) const
{
    return {tool,
            "-v2c",
            "-c",
            community,
            "-On",
            "-Ot",
            "-r",
            "1",
            "-t",
            "2",
            "127.0.0.1:" + std::to_string(port_)};
}

CommandResult Snmpd::Get(const std::string& community, const std::vector<std::string>& oids) const
{
    std::vector<std::string> argv = Tool("snmpget", community);
    argv.insert(argv.end(), oids.begin(), oids.end());
    return Run(argv, dir_);
}

CommandResult Snmpd::Walk(const std::string& community, const std::string& oid, bool bulk) const
{
    std::vector<std::string> argv = Tool(bulk ? "snmpbulkwalk" : "snmpwalk", community);
    argv.push_back(oid);
    return Run(argv, dir_);
}

CommandResult Snmpd::Set(const std::string& community, const std::string& oid,
                         const std::string& type, const std::string& value) const
{
    std::vector<std::string> argv = Tool("snmpset", community);
    argv.insert(argv.end(), {oid, type, value});
    return Run(argv, dir_);
}

Trapd::Trapd(const std::string& dir) : dir_(dir), log_(dir + "/traps.log"), port_(FreeUdpPort())
{
    ::mkdir((dir + "/persist").c_str(), 0700);
    WriteLibraryConfig(dir);
    WriteFile(dir + "/snmptrapd.conf", "disableAuthorization yes\n");
}

Trapd::~Trapd()
{
    Stop();
}

bool Trapd::Start()
{
    pid_ = Spawn({kTrapd, "-f", "-C", "-c", dir_ + "/snmptrapd.conf", "-On", "-Lf", log_, "-F",
                  "TRAP %V\t%v\n", "udp:127.0.0.1:" + std::to_string(port_)},
                 dir_, dir_ + "/snmptrapd.out");
    // Ready once it has written its banner.
    return WaitFor([&] { return ReadFile(log_).find("NET-SNMP version") != std::string::npos; },
                   std::chrono::seconds(10));
}

void Trapd::Stop()
{
    Kill(pid_);
}

std::vector<std::map<std::string, Varbind>> Trapd::Traps() const
{
    std::vector<std::map<std::string, Varbind>> traps;
    std::istringstream lines(ReadFile(log_));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("TRAP ", 0) == 0) {
            traps.push_back(ParseVarbinds(line.substr(5)));
        }
    }
    return traps;
}

} // namespace snmptest

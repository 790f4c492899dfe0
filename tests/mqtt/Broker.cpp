#include "Broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace mqtttest
{

const char* const kMosquitto = "/usr/sbin/mosquitto";
const char* const kSub = "/usr/bin/mosquitto_sub";
const char* const kPub = "/usr/bin/mosquitto_pub";

bool HaveMosquitto()
{
    return ::access(kMosquitto, X_OK) == 0 && ::access(kSub, X_OK) == 0 &&
           ::access(kPub, X_OK) == 0;
}

int FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

static bool Accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& log)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

void Stop(pid_t& pid, int signal)
{
    if (pid <= 0) {
        return;
    }
    ::kill(pid, signal);
    int status = 0;
    for (int i = 0; i < 250; ++i) {
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

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

Broker::Broker(const std::string& dir, std::string extra)
    : dir_(dir), log_(dir + "/mosquitto.log"), port_(FreePort())
{
    // Started as root, mosquitto would become the user "mosquitto", who
    // cannot read the test's folder.
    const struct passwd* me = ::getpwuid(::getuid());
    WriteFile(dir_ + "/mosquitto.conf", std::string("user ") +
                                            (me != nullptr ? me->pw_name : "root") +
                                            "\n"
                                            "per_listener_settings false\n"
                                            "persistence true\n"
                                            "persistence_location " +
                                            dir_ +
                                            "/\n"
                                            "autosave_interval 1\n"
                                            "log_dest stdout\n"
                                            "listener " +
                                            std::to_string(port_) + " 127.0.0.1\n" +
                                            (extra.empty() ? "allow_anonymous true\n" : extra));
}

Broker::~Broker()
{
    Stop();
}

bool Broker::Start()
{
    pid_ = Spawn({kMosquitto, "-c", dir_ + "/mosquitto.conf"}, log_);
    return WaitFor([&] { return Accepts(port_); }, std::chrono::seconds(10));
}

void Broker::Stop(int signal)
{
    mqtttest::Stop(pid_, signal);
}

Subscriber::Subscriber(const std::string& dir, int port, const std::vector<std::string>& topics,
                       const std::string& id)
    : out_(dir + "/" + id + ".out")
{
    std::vector<std::string> argv = {kSub, "-h", "127.0.0.1",  "-p", std::to_string(port),
                                     "-q", "1",  "-c",         "-i", id,
                                     "-v", "-t", "probe/" + id};
    for (const std::string& t : topics) {
        argv.push_back("-t");
        argv.push_back(t);
    }
    pid_ = Spawn(argv, out_);
}

Subscriber::~Subscriber()
{
    Stop();
}

void Subscriber::Stop()
{
    mqtttest::Stop(pid_);
}

std::vector<Received> Subscriber::Messages() const
{
    std::vector<Received> out;
    std::istringstream lines(ReadFile(out_));
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t space = line.find(' ');
        if (space == std::string::npos) {
            continue;
        }
        out.push_back({line.substr(0, space), line.substr(space + 1)});
    }
    return out;
}

bool Subscriber::WaitSubscribed(int port)
{
    const std::string id = out_.substr(out_.rfind('/') + 1, out_.size() - out_.rfind('/') - 5);
    return WaitFor(
        [&] {
            Publish(port, "probe/" + id, "ping");
            return ReadFile(out_).find("probe/" + id + " ping") != std::string::npos;
        },
        std::chrono::seconds(10));
}

bool Publish(int port, const std::string& topic, const std::string& payload, bool retain,
             const std::string& id)
{
    std::vector<std::string> argv = {
        kPub, "-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1", "-t", topic, "-m", payload};
    if (retain) {
        argv.push_back("-r");
    }
    if (!id.empty()) {
        argv.push_back("-i");
        argv.push_back(id);
    }
    pid_t pid = Spawn(argv, "/dev/null");
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace mqtttest

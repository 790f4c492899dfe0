#include "NutTest.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
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

#include <boost/asio/post.hpp>

namespace nuttest
{

TestRecord SinglePhaseOnLine()
{
    TestRecord r;
    r.FlagsNotReported()
        .Text("UpsMnu", "DELTA")
        .Text("UpsMod", "NH-PLUS 10K")
        .Text("UpsVer", "V2.10")
        .Set("RatInptVlt", 220)
        .Set("RatOuptVlt", 220)
        .Set("RatBttryVlt", 240)
        .Set("EstMinRmn", 42)
        .Set("EstChrgRmn", 100)
        .Set("BattryVlt", 272.5F)
        .Set("BattryCrrent", 0.0F)
        .Set("BattryTmp", 24)
        .Set("InptLines", 1)
        .Set("InptFrq1", 50.0F)
        .Set("InptVlt1", 229.8F)
        .Set("InptCrrent1", 12.3F)
        .Set("InptPwr1", 2800)
        .Set("OutptSrc", 0)
        .Set("OutptFrq", 50.0F)
        .Set("OutptLines", 1)
        .Set("OutptVlt1", 220.1F)
        .Set("OutptCrrent1", 11.9F)
        .Set("OutptPwr1", 2610)
        .Set("OutptLd1", 26)
        .Set("BypssFrq", 50.0F)
        .Set("BypssLines", 1)
        .Set("BypssVlt1", 229.9F);
    return r;
}

TestRecord ThreePhaseWithAlarm()
{
    TestRecord r = SinglePhaseOnLine();
    r.Text("UpsMod", "NH-PLUS 60K 3P")
        .Set("InptLines", 3)
        .Set("InptVlt2", 231.0F)
        .Set("InptVlt3", 228.4F)
        .Set("InptFrq2", 50.1F)
        .Set("InptFrq3", 49.9F)
        .Set("OutptLines", 3)
        .Set("OutptVlt2", 220.3F)
        .Set("OutptVlt3", 219.7F)
        .Set("OutptPwr2", 2700)
        .Set("OutptPwr3", 2550)
        .Set("OutptLd2", 31)
        .Set("OutptLd3", 24)
        .Set("OutptSrc", 2)
        .Set("FanFault", 1);
    return r;
}

TestRecord OnBattery(bool low)
{
    TestRecord r = SinglePhaseOnLine();
    r.Set("InptFail", 1).Set("OutptSrc", 1).Set("SecOnBattry", 95).Set("EstChrgRmn", low ? 8 : 71);
    if (low) {
        r.Set("ShtdwnImmnnt", 1).Set("EstMinRmn", 1);
    }
    return r;
}

void NewRound(site::UpsSnapshot& ups, const TestRecord& record, Steady::time_point now)
{
    site::Round round;
    std::memcpy(round.record.data(), record.data(), round.record.size());
    // The wall clock of the same moment.
    round.time = std::chrono::time_point_cast<std::chrono::system_clock::duration>(
        std::chrono::system_clock::now() - (Steady::now() - now));
    round.steady = now;
    round.sequence = ups.last ? ups.last->sequence + 1 : 1;
    ups.last = round;
    ups.line = site::LineState::Up;
    ++ups.counters.completed;
}

site::UpsSnapshot Ups(const std::string& name, const std::string& description,
                      const TestRecord& record, std::chrono::milliseconds age,
                      std::chrono::seconds stale_after, Steady::time_point now)
{
    site::UpsSnapshot ups;
    ups.name = name;
    ups.description = description;
    ups.data_id = 100;
    ups.stale_after = stale_after;
    NewRound(ups, record, now - age);
    return ups;
}

std::vector<nut::User> TestUsers()
{
    return {{"monuser", "secret", nut::Role::Secondary},
            {"admin", "adm1n", nut::Role::Primary},
            // Only clients that quote it can give this one (upsmon does not).
            {"spaced", "two words", nut::Role::Secondary}};
}

// --- LoopServer ---

nut::ServerOptions LoopServer::Options()
{
    nut::ServerOptions options;
    options.listen = {nut::ListenAddress{"127.0.0.1", 0}};
    options.users = TestUsers();
    options.version = "halx-host test";
    return options;
}

LoopServer::LoopServer(nut::ServerOptions options) : heartbeat_(io_)
{
    server_ = std::make_unique<nut::Server>(
        io_, list_, std::move(options), [this](const std::string& line) { log_.push_back(line); });
    server_->Start();
    port_ = server_->Ports().at(0);
    last_beat_ = Steady::now();
    heartbeat_.expires_after(std::chrono::milliseconds(10));
    heartbeat_.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) {
            Beat();
        }
    });
    thread_ = std::thread([this] { io_.run(); });
}

LoopServer::~LoopServer()
{
    OnLoop([this] {
        beating_ = false;
        heartbeat_.cancel();
        server_->Stop();
    });
    thread_.join();
    // Handlers of closed connections ran; the server goes before its
    // snapshots.
    server_.reset();
}

void LoopServer::StopServer()
{
    OnLoop([this] { server_->Stop(); });
}

void LoopServer::Beat()
{
    const Steady::time_point now = Steady::now();
    longest_gap_ = std::max(
        longest_gap_, std::chrono::duration_cast<std::chrono::milliseconds>(now - last_beat_));
    last_beat_ = now;
    ++beats_;
    if (!beating_) {
        return;
    }
    heartbeat_.expires_after(std::chrono::milliseconds(10));
    heartbeat_.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) {
            Beat();
        }
    });
}

void LoopServer::OnLoop(const std::function<void()>& fn)
{
    std::promise<void> done;
    boost::asio::post(io_, [&] {
        fn();
        done.set_value();
    });
    done.get_future().wait();
}

nut::ServerCounters LoopServer::Counters()
{
    nut::ServerCounters counters;
    OnLoop([&] { counters = server_->Counters(); });
    return counters;
}

std::size_t LoopServer::Logins(const std::string& ups)
{
    std::size_t logins = 0;
    OnLoop([&] { logins = server_->Sessions().Logins(ups); });
    return logins;
}

std::vector<std::string> LoopServer::Log()
{
    std::vector<std::string> log;
    OnLoop([&] { log = log_; });
    return log;
}

std::chrono::milliseconds LoopServer::TakeLongestGap()
{
    std::chrono::milliseconds gap{0};
    OnLoop([&] {
        gap = longest_gap_;
        longest_gap_ = std::chrono::milliseconds(0);
    });
    return gap;
}

std::uint64_t LoopServer::Heartbeats()
{
    std::uint64_t beats = 0;
    OnLoop([&] { beats = beats_; });
    return beats;
}

// --- TestClient ---

TestClient::TestClient(std::uint16_t port, bool ipv6)
{
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        return;
    }
    int connected = -1;
    if (ipv6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_loopback;
        connected = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    if (connected != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

TestClient::~TestClient()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool TestClient::Send(const std::string& bytes)
{
    std::size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

std::optional<std::string> TestClient::ReadLine(std::chrono::milliseconds timeout)
{
    const Steady::time_point deadline = Steady::now() + timeout;
    for (;;) {
        const std::size_t end = buffered_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
        if (fd_ < 0 || left.count() <= 0) {
            return std::nullopt;
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        char chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> TestClient::ReadUntil(const std::string& last,
                                               std::chrono::milliseconds timeout)
{
    std::vector<std::string> lines;
    const Steady::time_point deadline = Steady::now() + timeout;
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
        const auto line = ReadLine(std::max(left, std::chrono::milliseconds(1)));
        if (!line) {
            break;
        }
        lines.push_back(*line);
        if (*line == last || line->rfind("ERR ", 0) == 0) {
            break;
        }
    }
    return lines;
}

std::string TestClient::Ask(const std::string& request)
{
    if (!Send(request + "\n")) {
        return "<send failed>";
    }
    return ReadLine().value_or("<no reply>");
}

bool TestClient::ClosedWithin(std::chrono::milliseconds timeout)
{
    const Steady::time_point deadline = Steady::now() + timeout;
    while (fd_ >= 0) {
        // Polled at least once, however short the timeout.
        const auto left = std::max(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()),
            std::chrono::milliseconds(0));
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return true;
        }
    }
    return true;
}

// --- Programs ---

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> ProgramRun::OutLines() const
{
    return Lines(out);
}

namespace
{

std::vector<char*> Argv(std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    return argv;
}

int StatusOf(int wait_status)
{
    if (WIFEXITED(wait_status)) {
        return WEXITSTATUS(wait_status);
    }
    if (WIFSIGNALED(wait_status)) {
        return 128 + WTERMSIG(wait_status);
    }
    return -1;
}

} // namespace

ProgramRun RunProgram(const std::vector<std::string>& program, std::chrono::milliseconds timeout)
{
    ProgramRun run;
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        return run;
    }
    std::vector<std::string> args = program;
    std::vector<char*> argv = Argv(args);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        // The emulator of a cross build is named, not given by path.
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    const Steady::time_point deadline = Steady::now() + timeout;
    bool out_open = pid > 0;
    bool err_open = pid > 0;
    while (out_open || err_open) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd p[2] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0}};
        if (::poll(p, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        char chunk[4096];
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd >= 0 && (p[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const ssize_t n = ::read(p[i].fd, chunk, sizeof chunk);
                if (n <= 0) {
                    (i == 0 ? out_open : err_open) = false;
                } else {
                    (i == 0 ? run.out : run.err).append(chunk, static_cast<std::size_t>(n));
                }
            }
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid) {
        run.status = Steady::now() >= deadline ? -1 : StatusOf(status);
    }
    return run;
}

Daemon::Daemon(const std::vector<std::string>& program, const std::vector<std::string>& environment,
               const std::string& output_file, std::optional<uid_t> uid, std::optional<gid_t> gid)
{
    std::vector<std::string> args = program;
    std::vector<char*> argv = Argv(args);
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
        env_strings.emplace_back(*e);
    }
    env_strings.insert(env_strings.end(), environment.begin(), environment.end());
    std::vector<char*> envp = Argv(env_strings);
    const int out = ::open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        return;
    }
    if (uid) {
        // Readable by whoever the program runs as.
        [[maybe_unused]] const int owned = ::fchown(out, *uid, gid.value_or(0));
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
        // Its own process group: the programs it starts go with it.
        ::setpgid(0, 0);
        if (gid && ::setgid(*gid) != 0) {
            ::_exit(126);
        }
        if (uid && ::setuid(*uid) != 0) {
            ::_exit(126);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (pid_ > 0) {
        ::setpgid(pid_, pid_); // as the child does, whichever runs first
    }
    ::close(out);
}

Daemon::~Daemon()
{
    Stop();
}

std::optional<int> Daemon::Ended()
{
    if (!status_ && pid_ > 0) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = StatusOf(status);
        }
    }
    return status_;
}

void Daemon::Stop()
{
    if (pid_ <= 0 || Ended()) {
        return;
    }
    // The whole group: the program and what it started.
    ::kill(-pid_, SIGTERM);
    if (!WaitFor([this] { return Ended().has_value(); }, std::chrono::seconds(3))) {
        ::kill(-pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        status_ = StatusOf(status);
    }
}

namespace
{

std::string Runnable(const std::vector<std::string>& candidates,
                     const std::vector<std::string>& probe_args)
{
    for (const std::string& path : candidates) {
        if (::access(path.c_str(), X_OK) != 0) {
            continue;
        }
        std::vector<std::string> args{path};
        args.insert(args.end(), probe_args.begin(), probe_args.end());
        const ProgramRun run = RunProgram(args, std::chrono::seconds(20));
        if (run.status == 0 && (run.out + run.err).find("Network UPS Tools") != std::string::npos) {
            return path;
        }
    }
    return "";
}

} // namespace

std::string UpscPath()
{
    static const std::string path = Runnable({"/usr/bin/upsc", "/bin/upsc"}, {"-h"});
    return path;
}

std::string UpsmonPath()
{
    // The program itself: Debian's /sbin/upsmon is a wrapper that runs it
    // only when /etc/nut/nut.conf says so.
    static const std::string path =
        Runnable({"/usr/lib/nut/upsmon", "/lib/nut/upsmon", "/usr/sbin/upsmon"}, {"-h"});
    return path;
}

// --- Files ---

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/nut-test-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

TempDir::~TempDir()
{
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

void TempDir::Write(const std::string& name, const std::string& text, unsigned mode) const
{
    const std::string path = File(name);
    {
        std::ofstream out(path, std::ios::trunc);
        out << text;
    }
    ::chmod(path.c_str(), mode);
}

std::string TempDir::Read(const std::string& name) const
{
    std::ifstream in(File(name));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const Steady::time_point deadline = Steady::now() + timeout;
    while (!condition()) {
        if (Steady::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

} // namespace nuttest

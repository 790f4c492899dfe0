#include "Clients.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

namespace metrics_test
{

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

struct HttpConnection::Impl {
    asio::io_context io;
    beast::tcp_stream stream{io};
    beast::flat_buffer buffer;
};

HttpConnection::HttpConnection(std::uint16_t port) : impl_(std::make_unique<Impl>())
{
    impl_->stream.expires_after(std::chrono::seconds(10));
    impl_->stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
}

HttpConnection::~HttpConnection() = default;

HttpReply HttpConnection::Request(const std::string& method, const std::string& target,
                                  unsigned version)
{
    http::request<http::empty_body> request;
    request.version(version);
    request.target(target);
    request.method_string(method);
    request.set(http::field::host, "127.0.0.1");
    request.set(http::field::user_agent, "metrics-test");
    impl_->stream.expires_after(std::chrono::seconds(10));
    http::write(impl_->stream, request);
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024 * 1024);
    parser.skip(method == "HEAD");
    beast::error_code ec;
    http::read(impl_->stream, impl_->buffer, parser, ec);
    if (ec) {
        throw std::runtime_error(method + " " + target + ": " + ec.message());
    }
    const auto& response = parser.get();
    HttpReply reply;
    reply.status = static_cast<int>(response.result_int());
    for (const auto& field : response) {
        std::string name(field.name_string());
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        reply.headers[name] = std::string(field.value());
    }
    reply.body = response.body();
    reply.closed = !response.keep_alive();
    return reply;
}

HttpReply Http(std::uint16_t port, const std::string& method, const std::string& target,
               unsigned version)
{
    HttpConnection connection(port);
    return connection.Request(method, target, version);
}

RawClient::RawClient(std::uint16_t port, int receive_buffer)
{
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && receive_buffer > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    }
}

RawClient::~RawClient()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool RawClient::Send(const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool RawClient::ReadUntilClosed(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd fd{fd_, POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return true; // closed, or reset
        }
        received_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::uint16_t FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error(std::string("free port: ") + std::strerror(errno));
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string UrlEncode(const std::string& text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4U];
            out += kHex[c & 15U];
        }
    }
    return out;
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

int StatusOf(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

ProgramResult RunProgram(const std::vector<std::string>& args, const std::string& input)
{
    std::vector<std::string> copy = args;
    std::vector<char*> argv = Argv(copy);
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ProgramResult result;
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        return result;
    }
    // The input from a thread of its own, so that a program that answers as
    // it reads cannot block both ends.
    std::thread feeder([fd = in[1], &input] {
        std::size_t sent = 0;
        while (sent < input.size()) {
            const ssize_t n = ::write(fd, input.data() + sent, input.size() - sent);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
        ::close(fd);
    });
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    feeder.join();
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = StatusOf(status);
    return result;
}

Daemon::Daemon(const std::vector<std::string>& args, const std::string& log_path)
{
    std::vector<std::string> copy = args;
    std::vector<char*> argv = Argv(copy);
    const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0) {
        throw std::runtime_error(log_path + ": " + std::strerror(errno));
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(log);
    if (pid_ < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
}

Daemon::~Daemon()
{
    Stop();
}

bool Daemon::Running()
{
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = StatusOf(status);
        pid_ = -1;
        return false;
    }
    return true;
}

int Daemon::Stop(std::chrono::milliseconds grace)
{
    if (!Running()) {
        return status_;
    }
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            status_ = StatusOf(status);
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
}

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/metrics-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    }
    path_ = pattern;
}

TempDir::~TempDir()
{
    ::nftw(
        path_.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

} // namespace metrics_test

#include "Server.h"

#include <array>
#include <iostream>
#include <unordered_set>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

namespace nut
{
namespace
{

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

// After an accept failure other than a client's reset (out of descriptors,
// out of memory): the wait before accepting again, rather than spinning.
constexpr std::chrono::milliseconds kAcceptRetry{100};
// After the reply that ends a connection: how long what the client still
// sends is read and dropped, so that closing does not reset the connection
// before the client has read the reply.
constexpr std::chrono::seconds kLinger{2};
constexpr std::size_t kLingerBytes = 64 * 1024;
// Lines about refused connections: at most one this often.
constexpr std::chrono::seconds kRefusalLogInterval{60};

class Connection;

struct Listener {
    Listener(asio::io_context& io, ListenAddress a) : acceptor(io), retry(io), address(std::move(a))
    {
    }
    tcp::acceptor acceptor;
    asio::steady_timer retry;
    ListenAddress address;
    bool failing = false; // accepting fails; said once
};

} // namespace

// The server's state, shared with its connections: a connection that
// outlives the Server object (its handlers not yet run) still finds the Hub.
struct ServerCore : std::enable_shared_from_this<ServerCore> {
    ServerCore(asio::io_context& io_context, const SnapshotSource& ups,
               ServerOptions server_options, LogSink log_sink)
        : io(io_context), options(std::move(server_options)), log(std::move(log_sink)),
          hub(ups, options.users, options.version, log)
    {
    }

    void Log(const std::string& line) const
    {
        if (log) {
            log(line);
        }
    }
    void Accept(Listener& listener);
    void Accepted(Listener& listener, const error_code& ec, tcp::socket socket);
    void Refuse(tcp::socket& socket);
    void Closed(Connection* connection);

    asio::io_context& io;
    ServerOptions options;
    LogSink log;
    Hub hub;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::unordered_set<Connection*> connections;
    ServerCounters counters;
    bool started = false;
    bool stopped = false;
    std::uint64_t refusals_unlogged = 0;
    Clock::time_point refusal_logged{};
    bool refusal_logged_once = false;
};

struct Server::Impl : ServerCore {
    using ServerCore::ServerCore;
};

namespace
{

class Connection : public std::enable_shared_from_this<Connection>
{
public:
    Connection(std::shared_ptr<ServerCore> server, tcp::socket socket, std::string peer)
        : server_(std::move(server)), socket_(std::move(socket)), timer_(socket_.get_executor()),
          session_(server_->hub, std::move(peer))
    {
    }

    void Start()
    {
        deadline_ = Clock::now() + server_->options.idle_timeout;
        WaitTimer();
        Read();
    }

    void Close()
    {
        if (closed_) {
            return;
        }
        closed_ = true;
        error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        timer_.cancel();
        server_->Closed(this);
    }

private:
    void Read()
    {
        socket_.async_read_some(asio::buffer(in_),
                                [self = shared_from_this()](const error_code& ec, std::size_t n) {
                                    self->OnRead(ec, n);
                                });
    }

    void OnRead(const error_code& ec, std::size_t n)
    {
        if (closed_) {
            return;
        }
        if (ec) {
            Close();
            return;
        }
        if (lingering_) {
            lingered_ += n;
            if (lingered_ > kLingerBytes) {
                Close();
            } else {
                Read();
            }
            return;
        }
        const Clock::time_point now = Clock::now();
        std::string out;
        const Received received =
            session_.Receive(std::string_view(in_.data(), n), SteadyTime(now), out);
        if (received.refused) {
            ++server_->counters.refused_input;
        }
        if (received.requests > 0 || !out.empty()) {
            // Idle from the last request on; a reply the client does not
            // read within the same time ends the connection too.
            deadline_ = now + server_->options.idle_timeout;
        }
        close_after_write_ = received.close;
        if (!out.empty()) {
            out_ = std::move(out);
            Write();
        } else if (received.close) {
            Linger();
        } else {
            Read();
        }
    }

    void Write()
    {
        asio::async_write(socket_, asio::buffer(out_),
                          [self = shared_from_this()](const error_code& ec, std::size_t) {
                              self->OnWritten(ec);
                          });
    }

    void OnWritten(const error_code& ec)
    {
        if (closed_) {
            return;
        }
        if (ec) {
            Close();
            return;
        }
        out_.clear();
        if (close_after_write_) {
            Linger();
        } else {
            Read();
        }
    }

    // The last reply is written: end our side, then drop what the client
    // still sends until it closes too, for a little while.
    void Linger()
    {
        lingering_ = true;
        error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        deadline_ = Clock::now() + kLinger;
        Read();
    }

    void WaitTimer()
    {
        timer_.expires_at(deadline_);
        timer_.async_wait([self = shared_from_this()](const error_code&) {
            if (self->closed_) {
                return;
            }
            if (Clock::now() >= self->deadline_) {
                if (!self->lingering_) {
                    ++self->server_->counters.timed_out;
                }
                self->Close();
                return;
            }
            self->WaitTimer();
        });
    }

    std::shared_ptr<ServerCore> server_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    Session session_;
    std::array<char, 2048> in_{};
    std::string out_;
    Clock::time_point deadline_{};
    bool close_after_write_ = false;
    bool lingering_ = false;
    std::size_t lingered_ = 0;
    bool closed_ = false;
};

} // namespace

void ServerCore::Accept(Listener& listener)
{
    listener.acceptor.async_accept(
        [self = shared_from_this(), &listener](const error_code& ec, tcp::socket socket) {
            self->Accepted(listener, ec, std::move(socket));
        });
}

void ServerCore::Accepted(Listener& listener, const error_code& ec, tcp::socket socket)
{
    if (stopped || ec == asio::error::operation_aborted) {
        return;
    }
    if (ec && ec != asio::error::connection_aborted) {
        if (!listener.failing) {
            Log("server: accepting connections on " + listener.address.Text() +
                " failed: " + ec.message() + "; trying again");
            listener.failing = true;
        }
        listener.retry.expires_after(kAcceptRetry);
        listener.retry.async_wait([self = shared_from_this(), &listener](const error_code& wait) {
            if (!wait && !self->stopped) {
                self->Accept(listener);
            }
        });
        return;
    }
    if (!ec) {
        if (listener.failing) {
            Log("server: accepting connections on " + listener.address.Text() + " again");
            listener.failing = false;
        }
        if (connections.size() >= options.max_connections) {
            Refuse(socket);
        } else {
            error_code peer_ec;
            const tcp::endpoint peer = socket.remote_endpoint(peer_ec);
            auto connection = std::make_shared<Connection>(shared_from_this(), std::move(socket),
                                                           peer_ec ? std::string("unknown")
                                                                   : peer.address().to_string());
            connections.insert(connection.get());
            ++counters.accepted;
            counters.open = connections.size();
            connection->Start();
        }
    }
    Accept(listener);
}

void ServerCore::Refuse(tcp::socket& socket)
{
    ++counters.refused;
    ++refusals_unlogged;
    const Clock::time_point now = Clock::now();
    if (!refusal_logged_once || now - refusal_logged >= kRefusalLogInterval) {
        Log("server: " + std::to_string(options.max_connections) +
            " connections open, the most allowed: refused " + std::to_string(refusals_unlogged) +
            (refusals_unlogged == 1 ? " connection" : " connections") +
            (refusal_logged_once ? " since the last line" : ""));
        refusals_unlogged = 0;
        refusal_logged = now;
        refusal_logged_once = true;
    }
    // One line if the socket takes it at once, never a wait.
    static constexpr char kRefusal[] = "ERR ACCESS-DENIED\n";
    error_code ignored;
    socket.non_blocking(true, ignored);
    socket.write_some(asio::buffer(kRefusal, sizeof kRefusal - 1), ignored);
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

void ServerCore::Closed(Connection* connection)
{
    connections.erase(connection);
    counters.open = connections.size();
}

// --- Addresses ---

std::string ListenAddress::Text() const
{
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& error)
{
    const auto bad = [&](const std::string& why) -> std::optional<ListenAddress> {
        error = "\"" + std::string(text) + "\" " + why +
                " (expected an IP address and an optional port: 127.0.0.1, 127.0.0.1:3493, "
                "[::1]:3493)";
        return std::nullopt;
    };
    std::string_view address = text;
    std::string_view port;
    bool has_port = false;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return bad("has no closing bracket");
        }
        address = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                return bad("has text after the bracket");
            }
            port = rest.substr(1);
            has_port = true;
        }
    } else if (const std::size_t colon = text.find(':');
               colon != std::string_view::npos &&
               text.find(':', colon + 1) == std::string_view::npos) {
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
        has_port = true;
    }
    ListenAddress result;
    error_code ec;
    const asio::ip::address ip = asio::ip::make_address(std::string(address), ec);
    if (ec) {
        return bad("is not a numeric IP address");
    }
    result.address = ip.to_string();
    if (has_port) {
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string_view::npos ||
            std::stoul(std::string(port)) > 65535) {
            return bad("has no valid port (0 to 65535)");
        }
        result.port = static_cast<std::uint16_t>(std::stoul(std::string(port)));
    }
    return result;
}

// --- Server ---

void LogToStderr(const std::string& line)
{
    std::cerr << "halx-host: " << line << std::endl;
}

Server::Server(boost::asio::io_context& io, const SnapshotSource& ups, ServerOptions options,
               LogSink log)
    : impl_(std::make_shared<Impl>(io, ups, std::move(options), std::move(log)))
{
}

Server::~Server()
{
    Stop();
}

void Server::Start()
{
    ServerCore& core = *impl_;
    if (core.started) {
        throw std::logic_error("nut::Server::Start called twice");
    }
    std::vector<std::unique_ptr<Listener>> opened;
    for (const ListenAddress& address : core.options.listen) {
        auto listener = std::make_unique<Listener>(core.io, address);
        const auto fail = [&](const std::string& why) {
            throw ListenError("cannot listen on " + address.Text() + ": " + why);
        };
        error_code ec;
        const asio::ip::address ip = asio::ip::make_address(address.address, ec);
        if (ec) {
            fail("not a numeric IP address");
        }
        const tcp::endpoint endpoint(ip, address.port);
        tcp::acceptor& acceptor = listener->acceptor;
        if (acceptor.open(endpoint.protocol(), ec)) {
            fail(ec.message());
        }
        if (ip.is_v6()) {
            // An IPv6 listener takes IPv6 only; 0.0.0.0 is a listener of its own.
            acceptor.set_option(asio::ip::v6_only(true), ec);
        }
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        if (acceptor.bind(endpoint, ec) ||
            acceptor.listen(asio::socket_base::max_listen_connections, ec)) {
            fail(ec.message());
        }
        opened.push_back(std::move(listener));
    }
    core.started = true;
    for (auto& listener : opened) {
        error_code ec;
        const std::uint16_t port = listener->acceptor.local_endpoint(ec).port();
        ListenAddress actual = listener->address;
        actual.port = port;
        core.Log("server: listening on " + actual.Text() + " (UPS network protocol, read-only)");
        core.listeners.push_back(std::move(listener));
        core.Accept(*core.listeners.back());
    }
}

void Server::Stop()
{
    ServerCore& core = *impl_;
    core.stopped = true;
    for (auto& listener : core.listeners) {
        error_code ignored;
        listener->acceptor.close(ignored);
        listener->retry.cancel();
    }
    const std::vector<Connection*> open(core.connections.begin(), core.connections.end());
    for (Connection* connection : open) {
        connection->Close();
    }
}

std::vector<std::uint16_t> Server::Ports() const
{
    std::vector<std::uint16_t> ports;
    for (const auto& listener : impl_->listeners) {
        error_code ec;
        ports.push_back(listener->acceptor.local_endpoint(ec).port());
    }
    return ports;
}

const ServerCounters& Server::Counters() const
{
    return impl_->counters;
}

const Hub& Server::Sessions() const
{
    return impl_->hub;
}

} // namespace nut

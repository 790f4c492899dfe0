// The UPS network protocol server on the network: listeners on the
// configured addresses, one Session per connection, all on the caller's
// io_context (one thread, shared with the pollers).  Nothing here blocks:
// a client that sends too much, sends garbage, never speaks or never reads
// costs its own connection and nothing else.
//
// Boost.Asio stays out of this header (its users need not compile it).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Session.h"

namespace boost::asio
{
class io_context;
} // namespace boost::asio

namespace nut
{

inline constexpr std::uint16_t kDefaultPort = 3493;

struct ListenAddress {
    std::string address; // numeric IPv4 or IPv6
    std::uint16_t port = kDefaultPort;
    // "127.0.0.1:3493", "[::1]:3493"
    std::string Text() const;
};

// "127.0.0.1", "127.0.0.1:3493", "::1", "[::1]:3493" (port 0: any free
// port).  nullopt, with the reason in `error`, for anything else.
std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& error);

struct ServerOptions {
    std::vector<ListenAddress> listen{ListenAddress{"127.0.0.1", kDefaultPort}};
    std::vector<User> users;
    // Connections beyond this many are refused (ERR ACCESS-DENIED, closed).
    std::size_t max_connections = 256;
    // A connection without a complete request line for this long is closed,
    // and so is one whose replies the client does not read for this long.
    std::chrono::milliseconds idle_timeout{std::chrono::seconds(60)};
    // The VER reply.
    std::string version = "halx-host UPS network protocol server (read-only)";
};

// A listen address that could not be opened.
class ListenError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// What the server has seen, for tests and summaries.
struct ServerCounters {
    std::uint64_t accepted = 0;      // connections served
    std::uint64_t refused = 0;       // connections refused at the cap
    std::uint64_t timed_out = 0;     // connections closed by the idle timeout
    std::uint64_t refused_input = 0; // connections ended for a line too long or not text
    std::size_t open = 0;            // connections open now
};

// Writes "halx-host: <line>" to standard error.
void LogToStderr(const std::string& line);

class Server
{
public:
    // `io` and `ups` must outlive the server.
    Server(boost::asio::io_context& io, const SnapshotSource& ups, ServerOptions options,
           LogSink log = LogToStderr);
    // Closes the listeners and every connection.
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens every listener, or none: throws ListenError naming the address
    // that failed ("cannot listen on 127.0.0.1:3493: Address already in
    // use").  Logs one line per listener opened.  Once per server.
    void Start();
    // Closes the listeners and every connection; the io_context finishes
    // their handlers.
    void Stop();

    // The ports actually listened on, in the order of the options (port 0
    // gets one from the system).
    std::vector<std::uint16_t> Ports() const;
    const ServerCounters& Counters() const;
    const Hub& Sessions() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace nut

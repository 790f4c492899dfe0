// The other end of the metrics listener in the tests: well-formed HTTP
// requests made with Boost.Beast, raw sockets for the clients that misbehave,
// and the real Prometheus tools run as child processes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace metrics_test
{

struct HttpReply {
    int status = 0;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    bool closed = false; // the server closed the connection after it
};

// One request on a connection of its own.  Throws std::runtime_error when
// the exchange fails.
HttpReply Http(std::uint16_t port, const std::string& method, const std::string& target,
               unsigned version = 11);

// A connection that stays open for several requests.
class HttpConnection
{
public:
    explicit HttpConnection(std::uint16_t port);
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;
    HttpReply Request(const std::string& method, const std::string& target, unsigned version = 11);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A plain TCP connection to 127.0.0.1:port, for clients that misbehave.
class RawClient
{
public:
    // receive_buffer: SO_RCVBUF in bytes, 0 for the system's default.
    explicit RawClient(std::uint16_t port, int receive_buffer = 0);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // False when the server has closed or reset the connection.
    bool Send(const std::string& bytes);
    // Reads until the server closes the connection or `timeout` passes;
    // true when it closed (or reset) it.  What arrived is in received().
    bool ReadUntilClosed(std::chrono::milliseconds timeout);
    const std::string& received() const { return received_; }

private:
    int fd_ = -1;
    std::string received_;
};

// A TCP port on 127.0.0.1 nobody listens on at the moment.
std::uint16_t FreePort();

// Percent-encoding for a URL's query.
std::string UrlEncode(const std::string& text);

// A program run to its end with `input` on its standard input; its exit
// status (128 + signal when killed, -1 when it could not be run) and its
// standard output and error together.
struct ProgramResult {
    int status = -1;
    std::string output;
};
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& input);

// A long-running program, its output into a log file; stopped with SIGTERM
// (SIGKILL after a grace period) when destroyed.
class Daemon
{
public:
    Daemon(const std::vector<std::string>& argv, const std::string& log_path);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;
    // True while the program runs.
    bool Running();
    // SIGTERM, then waits; SIGKILL after `grace`.  The exit status.
    int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// The directory's contents are removed with it when this goes.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The full path of a program on PATH, or "" when there is none.
std::string FindProgram(const std::string& name);

} // namespace metrics_test

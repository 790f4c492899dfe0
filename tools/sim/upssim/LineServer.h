// The simulated UPS's end of the serial line: a pseudo-terminal made for the
// occasion, or a real tty (a USB-serial adapter wired to a monitoring unit).
// Reads the host's bytes, hands them to the Responder and writes what it
// answers: in pieces, with gaps, at the line's real byte rate if asked.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>

#include "common/PortLock.h"
#include "upssim/Options.h"
#include "upssim/Responder.h"

namespace upssim
{

struct Endpoint {
    // A tty device, opened raw at Options::baud, 8N1, no flow control.
    // Empty: a new pseudo-terminal whose slave the host opens.
    std::string port;
    // Pseudo-terminal only: a symbolic link kept pointing at the current
    // slave (a scripted "close" makes a new pseudo-terminal).
    std::string link;
    // Tty only: where the port's lock file goes (tools/common/PortLock.h);
    // empty: none, the tty is still opened exclusively.
    std::string lock_dir = tools::kDefaultLockDir;
};

// The time one byte takes on the line at `baud`, 8N1: start bit, 8 data
// bits, stop bit.  2400 baud: 4.1667 ms.
std::chrono::nanoseconds ByteTime(unsigned baud);
// When the last of `bytes` bytes sent from `start` has left the line: start
// + bytes * ByteTime, computed from the start so that no rounding builds up.
Clock::time_point WireDeadline(Clock::time_point start, std::uint64_t bytes, unsigned baud);

class LineServer
{
public:
    // Opens the line; throws std::runtime_error naming what failed.
    LineServer(const Options& options, const Endpoint& endpoint);
    ~LineServer();
    LineServer(const LineServer&) = delete;
    LineServer& operator=(const LineServer&) = delete;

    // The path the host opens: the pseudo-terminal's slave, or the port.
    // After a scripted "close" of a pseudo-terminal the new slave's path
    // (reported by a Reopen event); a reference once returned stays valid
    // (and unchanged) while the server lives.  Any thread.
    const std::string& Path() const;

    // Serves until Stop() or a scripted "exit"; reports Serving first.
    void Run();
    // Makes Run() return soon; any thread.
    void Stop();
    // The serving thread's event loop, for signal handling alongside.
    boost::asio::io_context& Context() { return io_; }

    Counters Stats() const; // any thread

private:
    void Open();
    void OpenPty();
    void OpenPort();
    void Close();
    void CloseForAWhile();
    void StartRead();
    void OnRead(boost::system::error_code ec, std::size_t length);
    void ReopenPortLater();
    // A scripted close is queued or under way.
    bool HangingUp() const;
    void Process(std::vector<Output>& outputs);
    void ScheduleScript();
    void Pump();
    void SendPiece();
    void WritePiece(std::size_t piece);
    void Finish();
    void Emit(const Event& event) const;

    Options options_;
    Endpoint endpoint_;
    Responder responder_;

    boost::asio::io_context io_;
    boost::asio::serial_port line_;
    tools::PortLock lock_; // a tty's lock file while it is open
    boost::asio::steady_timer retry_timer_;
    boost::asio::steady_timer script_timer_;
    boost::asio::steady_timer send_timer_;
    std::array<char, 4096> received_{};
    bool open_ = false;
    bool peer_away_ = false;

    // Outputs waiting, the first one in progress when busy_.
    std::deque<Output> queue_;
    bool busy_ = false;
    std::size_t sent_ = 0; // bytes of the first output written
    // The wire: the current burst of back-to-back bytes began at wire_start_
    // and holds wire_bytes_ so far; the line is free from wire_free_.
    Clock::time_point wire_start_{};
    std::uint64_t wire_bytes_ = 0;
    Clock::time_point wire_free_{};

    mutable std::mutex mutex_; // guards paths_ and stats_
    std::deque<std::string> paths_;
    Counters stats_;
};

} // namespace upssim

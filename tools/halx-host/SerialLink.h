// The serial line to the UPS: a Boost.Asio serial port at the device's line
// speed, 8N1, raw.  Reads are asynchronous and every received chunk is handed
// on as it arrives; frames to send are queued and written in order.
//
// The port is configured as a serial port, then driven as a plain
// descriptor: during a read pause the descriptor is taken off the
// io_context's reactor, so that the bytes arriving meanwhile wake nobody (a
// descriptor in the reactor wakes it on every byte the line delivers,
// whether a read is pending or not).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "common/SerialPort.h"

namespace halxhost
{

class TraceFile;

class SerialLink
{
public:
    using ReceiveHandler = std::function<void(unsigned char* data, std::size_t length)>;
    // The port failed (read or write error, end of file); it is closed.
    using ErrorHandler = std::function<void(const std::string& message)>;

    SerialLink(boost::asio::io_context& io, TraceFile* trace);
    ~SerialLink();
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Opens and configures the port, exclusively (its lock file in
    // lock_dir, "" for none, then TIOCEXCL); on failure the link stays
    // closed and the result says why.
    tools::PortOpening Open(const std::string& path, unsigned int baud,
                            const std::string& lock_dir);
    void Close();
    bool IsOpen() const { return port_.is_open() || paused_fd_ >= 0; }

    // Reads until Close or a failure.
    void StartReading(ReceiveHandler on_receive, ErrorHandler on_error);
    // Queues bytes; dropped when the port is closed.  Ends a read pause at
    // once (the descriptor goes back to the reactor to be written).
    void Send(const unsigned char* data, std::size_t length);

    // Asked after each chunk handed on: how long to leave the bytes in the
    // kernel before reading again (zero: read at once).  A site of many
    // lines reads the rest of a reply whose length it knows in one go
    // rather than byte by byte.  While it lasts the descriptor is off the
    // reactor: nothing is read or written, and a failure of the line is
    // seen when the pause ends.
    std::function<std::chrono::steady_clock::duration()> read_pause;

private:
    void Read();
    void Pause(std::chrono::steady_clock::duration pause);
    void Resume();
    void WriteNext();
    void Failed(const std::string& message);

    boost::asio::posix::stream_descriptor port_;
    // The descriptor while it is off the reactor (a read pause); else -1.
    int paused_fd_ = -1;
    boost::asio::steady_timer pause_;
    tools::PortLock lock_; // held while the port is open
    TraceFile* trace_;
    ReceiveHandler on_receive_;
    ErrorHandler on_error_;
    std::array<unsigned char, 4096> buffer_{};
    std::deque<std::vector<unsigned char>> outgoing_;
    bool writing_ = false;
    // Bumped on every open and close: completions of an earlier opening are
    // ignored.
    std::uint64_t generation_ = 0;
};

} // namespace halxhost

#include "upssim/LineServer.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "common/SerialPort.h"

namespace upssim
{

namespace
{

// How often to look again for a peer that has closed its end.
constexpr std::chrono::milliseconds kPeerPoll(100);
// How often to try again to open a port that is gone.
constexpr std::chrono::seconds kReopenPoll(1);
// How long a scripted close waits after the last write.
constexpr std::chrono::milliseconds kLinger(200);

std::runtime_error SystemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

std::chrono::nanoseconds ByteTime(unsigned baud)
{
    return std::chrono::nanoseconds(10'000'000'000LL / baud);
}

Clock::time_point WireDeadline(Clock::time_point start, std::uint64_t bytes, unsigned baud)
{
    const auto ns = static_cast<std::int64_t>(bytes * 10'000'000'000ULL / baud);
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

LineServer::LineServer(const Options& options, const Endpoint& endpoint)
    : options_(options), endpoint_(endpoint), responder_(options), line_(io_), retry_timer_(io_),
      script_timer_(io_), send_timer_(io_)
{
    Open();
}

LineServer::~LineServer()
{
    Close();
    if (!endpoint_.link.empty()) {
        ::unlink(endpoint_.link.c_str());
    }
}

const std::string& LineServer::Path() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return paths_.back();
}

Counters LineServer::Stats() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

void LineServer::Open()
{
    if (endpoint_.port.empty()) {
        OpenPty();
    } else {
        OpenPort();
    }
    open_ = true;
    peer_away_ = false;
}

void LineServer::OpenPty()
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        throw SystemError("cannot open a pseudo-terminal");
    }
    // Not inherited by programs the simulator's process starts (a host under
    // test): one holding the master open would never see the line hang up.
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    char slave[128] = {};
    termios raw{};
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, slave, sizeof slave) != 0 || ::tcgetattr(master, &raw) != 0) {
        const std::runtime_error error = SystemError("cannot set up the pseudo-terminal");
        ::close(master);
        throw error;
    }
    // Raw both ways, as a serial line: no echo, no line editing, no
    // translation of CR/LF, all 256 byte values through.
    ::cfmakeraw(&raw);
    if (::tcsetattr(master, TCSANOW, &raw) != 0) {
        const std::runtime_error error = SystemError("cannot make the pseudo-terminal raw");
        ::close(master);
        throw error;
    }
    boost::system::error_code ec;
    line_.assign(master, ec);
    if (ec) {
        ::close(master);
        throw std::runtime_error("cannot serve the pseudo-terminal: " + ec.message());
    }
    if (!endpoint_.link.empty()) {
        ::unlink(endpoint_.link.c_str());
        if (::symlink(slave, endpoint_.link.c_str()) != 0) {
            throw SystemError("cannot make the link " + endpoint_.link);
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    paths_.emplace_back(slave);
}

void LineServer::OpenPort()
{
    // Raw at the line speed, 8N1 without flow control, like the UPS's own
    // port.
    const tools::PortOpening opened =
        tools::OpenSerialPort(line_, endpoint_.port, options_.baud, &lock_, endpoint_.lock_dir);
    if (!opened.Open()) {
        throw std::runtime_error("cannot open " + endpoint_.port + ": " + opened.error);
    }
    if (!opened.warning.empty()) {
        Emit(Event{Event::Kind::Line, opened.warning});
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (paths_.empty()) {
        paths_.push_back(endpoint_.port);
    }
}

void LineServer::Close()
{
    boost::system::error_code ignored;
    retry_timer_.cancel();
    line_.close(ignored);
    lock_.Release();
    open_ = false;
}

void LineServer::Run()
{
    boost::asio::post(io_, [this] {
        Emit(Event{Event::Kind::Serving, Path()});
        std::vector<Output> outputs;
        responder_.Tick(Clock::now(), outputs);
        Process(outputs);
        StartRead();
    });
    io_.run();
}

void LineServer::Stop()
{
    io_.stop();
}

void LineServer::StartRead()
{
    if (!open_) {
        return;
    }
    line_.async_read_some(boost::asio::buffer(received_),
                          [this](boost::system::error_code ec, std::size_t length) {
                              if (ec != boost::asio::error::operation_aborted && open_) {
                                  OnRead(ec, length);
                              }
                          });
}

void LineServer::OnRead(boost::system::error_code ec, std::size_t length)
{
    if (ec) {
        if (!peer_away_) {
            Emit(Event{Event::Kind::Line, ec.message() + "; waiting for the peer"});
        }
        peer_away_ = true;
        if (endpoint_.port.empty()) {
            // A pseudo-terminal reads EIO while no slave is open: look again
            // later, never spin on the error.
            retry_timer_.expires_after(kPeerPoll);
            retry_timer_.async_wait([this](boost::system::error_code wait_ec) {
                if (!wait_ec) {
                    StartRead();
                }
            });
        } else {
            // A tty whose adapter was unplugged stays dead: reopen it.
            Close();
            ReopenPortLater();
        }
        return;
    }
    if (peer_away_) {
        peer_away_ = false;
        Emit(Event{Event::Kind::Line, "peer is back"});
    }
    if (HangingUp()) {
        // The cable is being pulled: what the host sends now is lost with the
        // line.  Answering it would put the answer on the line that replaces
        // this one, ahead of the answer to the host's next query.
        Event ignored{Event::Kind::Ignored};
        ignored.count = length;
        Emit(ignored);
        StartRead();
        return;
    }
    std::vector<Output> outputs;
    responder_.Receive(received_.data(), length, Clock::now(), outputs);
    Process(outputs);
    StartRead();
}

void LineServer::ReopenPortLater()
{
    retry_timer_.expires_after(kReopenPoll);
    retry_timer_.async_wait([this](boost::system::error_code ec) {
        if (ec) {
            return;
        }
        try {
            Open();
        } catch (const std::exception&) {
            ReopenPortLater();
            return;
        }
        Emit(Event{Event::Kind::Line, endpoint_.port + " open again"});
        StartRead();
    });
}

bool LineServer::HangingUp() const
{
    return std::any_of(queue_.begin(), queue_.end(),
                       [](const Output& output) { return output.kind == Output::Kind::Close; });
}

void LineServer::Process(std::vector<Output>& outputs)
{
    for (Output& output : outputs) {
        queue_.push_back(std::move(output));
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_ = responder_.Stats();
    }
    ScheduleScript();
    Pump();
}

void LineServer::ScheduleScript()
{
    const Clock::time_point wake = responder_.NextTick();
    if (wake == Clock::time_point::max()) {
        script_timer_.cancel();
        return;
    }
    script_timer_.expires_at(wake);
    script_timer_.async_wait([this](boost::system::error_code ec) {
        if (ec) {
            return;
        }
        std::vector<Output> outputs;
        responder_.Tick(Clock::now(), outputs);
        Process(outputs);
    });
}

void LineServer::Pump()
{
    if (busy_ || queue_.empty()) {
        return;
    }
    busy_ = true;
    sent_ = 0;
    const Output& output = queue_.front();
    switch (output.kind) {
    case Output::Kind::Send:
        SendPiece();
        break;
    case Output::Kind::Close:
        // A hang-up discards what the host has not read yet: give the last
        // reply time to get there first.
        send_timer_.expires_after(kLinger);
        send_timer_.async_wait([this](boost::system::error_code ec) {
            if (!ec) {
                CloseForAWhile();
            }
        });
        break;
    case Output::Kind::Exit:
        // Closing the line discards what the host has not read yet: the
        // last reply first gets there.
        send_timer_.expires_after(kLinger);
        send_timer_.async_wait([this](boost::system::error_code ec) {
            if (!ec) {
                io_.stop();
            }
        });
        break;
    }
}

void LineServer::CloseForAWhile()
{
    const Output& output = queue_.front();
    Event closed{Event::Kind::Close};
    closed.count = static_cast<std::uint64_t>(output.pause.count() / 1000);
    Emit(closed);
    if (endpoint_.port.empty() && !endpoint_.link.empty()) {
        // No slave until the new pseudo-terminal: the old one's path may go
        // to any program's new pseudo-terminal meanwhile, so a host reopening
        // the link must not get there.  Gone before the hang-up is seen.
        ::unlink(endpoint_.link.c_str());
    }
    Close();
    send_timer_.expires_after(output.pause);
    send_timer_.async_wait([this](boost::system::error_code ec) {
        if (ec) {
            return;
        }
        try {
            Open();
        } catch (const std::exception& error) {
            Emit(Event{Event::Kind::Line, std::string(error.what()) + "; trying again"});
            queue_.front().pause = kReopenPoll;
            CloseForAWhile();
            return;
        }
        Emit(Event{Event::Kind::Reopen, Path()});
        StartRead();
        Finish();
    });
}

void LineServer::SendPiece()
{
    const Output& output = queue_.front();
    if (sent_ >= output.bytes.size() || !open_) {
        Finish();
        return;
    }
    const LineShape& shape = output.shape;
    const std::size_t remaining = output.bytes.size() - sent_;
    std::size_t piece = remaining;
    if (shape.chunk > 0) {
        piece = std::min(shape.chunk, remaining);
    } else if (shape.pace) {
        piece = 1;
    }

    // Absolute deadlines: each piece is written when its last byte would
    // have arrived over the wire, counted from the start of the burst, so
    // late wake-ups never add up to a slower line.
    const Clock::time_point now = Clock::now();
    if (sent_ == 0) {
        const Clock::time_point start = std::max(now + output.pause, wire_free_);
        if (start > wire_free_) {
            wire_start_ = start;
            wire_bytes_ = 0;
        }
    } else if (shape.chunk > 0 && shape.gap.count() > 0) {
        wire_start_ = wire_free_ + shape.gap;
        wire_bytes_ = 0;
    }
    wire_bytes_ += piece;
    wire_free_ = shape.pace ? WireDeadline(wire_start_, wire_bytes_, shape.baud) : wire_start_;

    send_timer_.expires_at(wire_free_);
    send_timer_.async_wait([this, piece](boost::system::error_code ec) {
        if (!ec) {
            WritePiece(piece);
        }
    });
}

void LineServer::WritePiece(std::size_t piece)
{
    if (!open_) {
        Finish(); // the port went away: the rest of this output is lost
        return;
    }
    const Output& output = queue_.front();
    boost::asio::async_write(
        line_, boost::asio::buffer(output.bytes.data() + sent_, piece),
        [this](boost::system::error_code ec, std::size_t written) {
            if (ec) {
                if (ec != boost::asio::error::operation_aborted) {
                    Emit(Event{Event::Kind::Line,
                               "write failed: " + ec.message() + "; output dropped"});
                }
                Finish();
                return;
            }
            sent_ += written;
            SendPiece();
        });
}

void LineServer::Finish()
{
    queue_.pop_front();
    busy_ = false;
    Pump();
}

void LineServer::Emit(const Event& event) const
{
    if (options_.on_event) {
        options_.on_event(event);
    }
}

} // namespace upssim

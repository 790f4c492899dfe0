#include "SerialLink.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include <boost/asio/serial_port.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/error_code.hpp>

#include "TraceFile.h"

namespace halxhost
{

SerialLink::SerialLink(boost::asio::io_context& io, TraceFile* trace)
    : port_(io), pause_(io), trace_(trace)
{
}

SerialLink::~SerialLink()
{
    if (paused_fd_ >= 0) {
        ::close(paused_fd_);
    }
}

tools::PortOpening SerialLink::Open(const std::string& path, unsigned int baud,
                                    const std::string& lock_dir)
{
    Close();
    // Set up as a serial port on a context of its own (a serial port is in
    // its context's reactor from the moment it opens, and cannot be taken
    // off it), then driven through a copy of its descriptor on this link's
    // context; the setup context goes with its reactor.
    boost::asio::io_context setup;
    boost::asio::serial_port serial(setup);
    tools::PortOpening opened = tools::OpenSerialPort(serial, path, baud, &lock_, lock_dir);
    if (!opened.Open()) {
        return opened;
    }
    const int fd = ::fcntl(serial.native_handle(), F_DUPFD_CLOEXEC, 0);
    const int dup_errno = errno;
    boost::system::error_code ec;
    serial.close(ec);
    if (fd >= 0) {
        port_.assign(fd, ec);
        if (ec) {
            ::close(fd);
        }
    }
    if (fd < 0 || ec) {
        lock_.Release();
        opened.failure = tools::OpenFailure::Other;
        opened.error = fd < 0 ? std::strerror(dup_errno) : ec.message();
        return opened;
    }
    ++generation_;
    return opened;
}

void SerialLink::Close()
{
    ++generation_;
    pause_.cancel();
    outgoing_.clear();
    writing_ = false;
    if (paused_fd_ >= 0) {
        ::close(paused_fd_);
        paused_fd_ = -1;
    }
    if (port_.is_open()) {
        boost::system::error_code ignored;
        port_.close(ignored);
    }
    lock_.Release();
}

void SerialLink::StartReading(ReceiveHandler on_receive, ErrorHandler on_error)
{
    on_receive_ = std::move(on_receive);
    on_error_ = std::move(on_error);
    Read();
}

void SerialLink::Read()
{
    const std::uint64_t generation = generation_;
    port_.async_read_some(
        boost::asio::buffer(buffer_),
        [this, generation](const boost::system::error_code& ec, std::size_t n) {
            if (generation != generation_ || ec == boost::asio::error::operation_aborted) {
                return;
            }
            if (ec) {
                Failed(ec == boost::asio::error::eof ? std::string("end of file (device hung up)")
                                                     : ec.message());
                return;
            }
            if (trace_ != nullptr) {
                trace_->Received(buffer_.data(), n);
            }
            on_receive_(buffer_.data(), n);
            if (generation != generation_) {
                return;
            }
            const std::chrono::steady_clock::duration pause =
                read_pause ? read_pause() : std::chrono::steady_clock::duration::zero();
            if (pause <= std::chrono::steady_clock::duration::zero()) {
                Read();
                return;
            }
            Pause(pause);
        });
}

void SerialLink::Pause(std::chrono::steady_clock::duration pause)
{
    // No read is pending here (the pause follows a completed one); a write
    // the reactor still holds is given back aborted and resumed afterwards.
    paused_fd_ = port_.release();
    const std::uint64_t generation = generation_;
    pause_.expires_after(pause);
    pause_.async_wait([this, generation](const boost::system::error_code& ec) {
        if (!ec && generation == generation_) {
            Resume();
        }
    });
}

void SerialLink::Resume()
{
    if (paused_fd_ < 0) {
        return;
    }
    const int fd = paused_fd_;
    paused_fd_ = -1;
    pause_.cancel();
    boost::system::error_code ec;
    port_.assign(fd, ec);
    if (ec) {
        ::close(fd);
        Failed(ec.message());
        return;
    }
    Read();
    if (!writing_) {
        WriteNext();
    }
}

void SerialLink::Send(const unsigned char* data, std::size_t length)
{
    if (!IsOpen()) {
        return;
    }
    if (trace_ != nullptr) {
        trace_->Sent(data, length);
    }
    outgoing_.emplace_back(data, data + length);
    if (paused_fd_ >= 0) {
        Resume(); // writes what is queued
        return;
    }
    if (!writing_) {
        WriteNext();
    }
}

void SerialLink::WriteNext()
{
    if (outgoing_.empty()) {
        writing_ = false;
        return;
    }
    writing_ = true;
    const std::uint64_t generation = generation_;
    boost::asio::async_write(
        port_, boost::asio::buffer(outgoing_.front()),
        [this, generation](const boost::system::error_code& ec, std::size_t n) {
            if (generation != generation_) {
                return;
            }
            if (ec == boost::asio::error::operation_aborted) {
                // A read pause took the descriptor off the reactor while the
                // line was full: the rest goes when it is back.
                std::vector<unsigned char>& front = outgoing_.front();
                front.erase(front.begin(),
                            front.begin() + static_cast<std::ptrdiff_t>(
                                                std::min<std::size_t>(n, front.size())));
                writing_ = false;
                if (paused_fd_ < 0) {
                    WriteNext();
                }
                return;
            }
            if (ec) {
                Failed(ec.message());
                return;
            }
            outgoing_.pop_front();
            WriteNext();
        });
}

void SerialLink::Failed(const std::string& message)
{
    Close();
    if (on_error_) {
        on_error_(message);
    }
}

} // namespace halxhost

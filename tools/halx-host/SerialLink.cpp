#include "SerialLink.h"

#include <boost/asio/write.hpp>
#include <boost/system/error_code.hpp>

#include "TraceFile.h"

namespace halxhost
{

SerialLink::SerialLink(boost::asio::io_context& io, TraceFile* trace)
    : port_(io), pause_(io), trace_(trace)
{
}

tools::PortOpening SerialLink::Open(const std::string& path, unsigned int baud,
                                    const std::string& lock_dir)
{
    Close();
    tools::PortOpening opened = tools::OpenSerialPort(port_, path, baud, &lock_, lock_dir);
    if (opened.Open()) {
        ++generation_;
    }
    return opened;
}

void SerialLink::Close()
{
    ++generation_;
    pause_.cancel();
    outgoing_.clear();
    writing_ = false;
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
            pause_.expires_after(pause);
            pause_.async_wait([this, generation](const boost::system::error_code& wait_ec) {
                if (!wait_ec && generation == generation_) {
                    Read();
                }
            });
        });
}

void SerialLink::Send(const unsigned char* data, std::size_t length)
{
    if (!port_.is_open()) {
        return;
    }
    if (trace_ != nullptr) {
        trace_->Sent(data, length);
    }
    outgoing_.emplace_back(data, data + length);
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
        [this, generation](const boost::system::error_code& ec, std::size_t /*n*/) {
            if (generation != generation_ || ec == boost::asio::error::operation_aborted) {
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

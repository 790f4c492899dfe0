#include "common/SerialPort.h"

#include <boost/system/error_code.hpp>

namespace tools
{

std::string OpenSerialPort(boost::asio::serial_port& port, const std::string& path, unsigned baud)
{
    using boost::asio::serial_port_base;
    boost::system::error_code ec;
    // Asio opens the device non-blocking, without making it the controlling
    // terminal, and puts it in raw mode (no echo, no line editing, no CR/LF
    // translation, no software flow control).
    port.open(path, ec);
    if (!ec) {
        port.set_option(serial_port_base::baud_rate(baud), ec);
    }
    if (!ec) {
        port.set_option(serial_port_base::character_size(8), ec);
    }
    if (!ec) {
        port.set_option(serial_port_base::parity(serial_port_base::parity::none), ec);
    }
    if (!ec) {
        port.set_option(serial_port_base::stop_bits(serial_port_base::stop_bits::one), ec);
    }
    if (!ec) {
        port.set_option(serial_port_base::flow_control(serial_port_base::flow_control::none), ec);
    }
    if (!ec) {
        return "";
    }
    std::string error = ec.message();
    if (ec == boost::system::errc::not_a_stream ||
        ec == boost::system::errc::inappropriate_io_control_operation) {
        error = "not a serial line (" + error + ")";
    }
    boost::system::error_code ignored;
    port.close(ignored);
    return error;
}

} // namespace tools

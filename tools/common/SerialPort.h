// A tty opened as the UPS's serial line is set up: raw, at the line speed,
// 8 data bits, no parity, 1 stop bit, no flow control.
#pragma once

#include <string>

#include <boost/asio/serial_port.hpp>

namespace tools
{

// Opens `path` on `port` and sets it up at `baud` 8N1.  Returns "" or why it
// failed ("not a serial line (...)" for a device that is not a tty), the
// port closed then.
std::string OpenSerialPort(boost::asio::serial_port& port, const std::string& path, unsigned baud);

} // namespace tools

// A tty opened as the UPS's serial line is set up: raw, at the line speed,
// 8 data bits, no parity, 1 stop bit, no flow control; and held by this
// program alone (a lock file, then TIOCEXCL: see PortLock.h).
#pragma once

#include <string>

#include <boost/asio/serial_port.hpp>

#include "common/PortLock.h"

namespace tools
{

enum class OpenFailure {
    None,      // open
    Missing,   // no such device (yet, or any more: an adapter unplugged)
    Busy,      // another program holds it (its lock file, or TIOCEXCL)
    Denied,    // no permission
    NotSerial, // not a tty
    Other,
};

struct PortOpening {
    OpenFailure failure = OpenFailure::None;
    // Why it failed, one line without the path: "No such file or directory",
    // "in use by halx-host (pid 1234, lock file /run/lock/LCK..ttyUSB0)".
    std::string error;
    // Open, but without a lock file: why (PortLock::Warning).
    std::string warning;
    bool Open() const { return failure == OpenFailure::None; }
};

// Opens `path` on `port` and sets it up at `baud` 8N1.  With a lock, takes
// the port's lock file in `lock_dir` first (kept in `lock` until released or
// taken again) and gives it up when the open fails; the open tty is made
// exclusive either way.  On failure the port is closed.  A permission error
// names the group that may use the device and how to join it.
PortOpening OpenSerialPort(boost::asio::serial_port& port, const std::string& path, unsigned baud,
                           PortLock* lock = nullptr, const std::string& lock_dir = kDefaultLockDir);

} // namespace tools

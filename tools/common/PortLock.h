// One program at a time on a serial port, as serial tools agree on it: a
// UUCP-style lock file LCK..NAME in the lock directory holding the holder's
// PID (ten digits and a line end), taken before the port is opened and
// removed when it is closed.  A lock whose process is gone is stale and taken
// over.  The open tty is then made exclusive (TIOCEXCL, see SerialPort.h), which
// also keeps out programs that never look at lock files.
#pragma once

#include <string>

namespace tools
{

// Where lock files go unless told otherwise.
inline constexpr const char* kDefaultLockDir = "/run/lock";

// The lock file's name for a device: the device the path names (links
// followed: /dev/serial/by-id/... is its /dev/ttyUSB0), relative to /dev,
// "/" as "_": "LCK..ttyUSB0", "LCK..pts_5".
std::string LockFileName(const std::string& device);

// The processes that have `device` open, "halx-host (pid 1234)", ", "
// between them; "" when none is found (or /proc cannot tell).
std::string DeviceHolders(const std::string& device);

// "halx-host (pid 1234)"; "pid 1234" when the name cannot be read.
std::string DescribeProcess(long pid);

class PortLock
{
public:
    PortLock() = default;
    ~PortLock();
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    // Takes the lock of `device` in `dir`, releasing any lock held before.
    // Returns "" when it is held now, or why not: "in use by halx-host (pid
    // 1234, lock file /run/lock/LCK..ttyUSB0)".  A lock directory that cannot
    // hold lock files (missing, read-only, not ours to write) takes no lock:
    // the result is "" and Warning() says so.
    std::string Acquire(const std::string& device, const std::string& dir);
    // Removes the lock file, if this object made it.
    void Release();

    bool Held() const { return !file_.empty(); }
    // The lock file, "" when none is held.
    const std::string& File() const { return file_; }
    // Why no lock file was taken although the port may be used; "" otherwise.
    const std::string& Warning() const { return warning_; }

private:
    std::string file_;
    std::string warning_;
};

} // namespace tools

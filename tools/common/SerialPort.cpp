#include "common/SerialPort.h"

#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

#include <boost/system/error_code.hpp>

namespace tools
{

namespace
{

OpenFailure FailureOf(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return OpenFailure::Missing;
    case EBUSY:
        return OpenFailure::Busy;
    case EACCES:
    case EPERM:
        return OpenFailure::Denied;
    case ENOTTY:
        return OpenFailure::NotSerial;
    default:
        return OpenFailure::Other;
    }
}

// "Permission denied (the device belongs to group dialout: add your user to
// it with sudo usermod -aG dialout $USER and log in again)".
std::string PermissionHint(const std::string& path, const std::string& error)
{
    struct stat st {
    };
    if (stat(path.c_str(), &st) != 0) {
        return error;
    }
    const group* owner = getgrgid(st.st_gid);
    if (owner == nullptr || std::strcmp(owner->gr_name, "root") == 0) {
        return error + " (the device is root's: run as root, or have a udev rule give it to "
                       "the group dialout)";
    }
    const std::string name = owner->gr_name;
    return error + " (the device belongs to the group " + name +
           ": add your user to it with sudo usermod -aG " + name + " $USER and log in again)";
}

} // namespace

PortOpening OpenSerialPort(boost::asio::serial_port& port, const std::string& path, unsigned baud,
                           PortLock* lock, const std::string& lock_dir)
{
    using boost::asio::serial_port_base;
    PortOpening result;
    const auto fail = [&](OpenFailure failure, const std::string& error) {
        boost::system::error_code ignored;
        port.close(ignored);
        if (lock != nullptr) {
            lock->Release();
        }
        result.failure = failure;
        result.error = error;
        return result;
    };
    struct stat st {
    };
    if (stat(path.c_str(), &st) != 0) {
        return fail(FailureOf(errno), std::strerror(errno));
    }
    if (lock != nullptr && !lock_dir.empty()) {
        const std::string busy = lock->Acquire(path, lock_dir);
        if (!busy.empty()) {
            return fail(OpenFailure::Busy, busy);
        }
        result.warning = lock->Warning();
    }
    boost::system::error_code ec;
    // Asio opens the device non-blocking, without making it the controlling
    // terminal, and puts it in raw mode (no echo, no line editing, no CR/LF
    // translation, no software flow control).
    port.open(path, ec);
    if (ec) {
        const OpenFailure failure = FailureOf(ec.value());
        if (failure == OpenFailure::Denied) {
            return fail(failure, PermissionHint(path, ec.message()));
        }
        if (failure == OpenFailure::Busy) {
            const std::string holders = DeviceHolders(path);
            return fail(failure, "in exclusive use by another program" +
                                     (holders.empty() ? std::string() : ": " + holders));
        }
        if (failure == OpenFailure::NotSerial) {
            return fail(failure, "not a serial line (" + ec.message() + ")");
        }
        return fail(failure, ec.message());
    }
    port.set_option(serial_port_base::baud_rate(baud), ec);
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
    if (ec) {
        if (ec == boost::system::errc::not_a_stream ||
            ec == boost::system::errc::inappropriate_io_control_operation) {
            return fail(OpenFailure::NotSerial, "not a serial line (" + ec.message() + ")");
        }
        return fail(FailureOf(ec.value()), ec.message());
    }
    // Nobody else opens it while we have it (root excepted, which the lock
    // file keeps out).
    if (ioctl(port.native_handle(), TIOCEXCL) != 0) {
        return fail(FailureOf(errno),
                    std::string("cannot make it exclusive: ") + std::strerror(errno));
    }
    return result;
}

} // namespace tools

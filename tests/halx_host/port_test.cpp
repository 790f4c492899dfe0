// The serial port held by one program: its lock file (stale ones taken
// over, live ones named), TIOCEXCL on the open tty, a second halx-host on
// the same port told who holds it, a port missing at start-up waited for,
// and a permission error that names the group to join.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <grp.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <gtest/gtest.h>

#include "HostTest.h"
#include "common/PortLock.h"
#include "common/SerialPort.h"

using namespace std::chrono_literals;

namespace
{

// A pseudo-terminal whose slave stands for a serial device.
struct Pty {
    Pty() : master(posix_openpt(O_RDWR | O_NOCTTY))
    {
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            slave = ptsname(master);
        }
    }
    ~Pty() { close(master); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    const int master;
    std::string slave;
};

void WriteLock(const std::string& path, long pid)
{
    std::ofstream out(path);
    char text[16];
    std::snprintf(text, sizeof text, "%10ld\n", pid);
    out << text;
}

long ReadLock(const std::string& path)
{
    std::ifstream in(path);
    long pid = 0;
    in >> pid;
    return in ? pid : 0;
}

TEST(PortLock, StaleLocksAreTakenOverLiveOnesNamed)
{
    const TempDir dir;
    const Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    const std::string name = tools::LockFileName(pty.slave);
    EXPECT_EQ(name, "LCK.." + pty.slave.substr(5).replace(3, 1, "_")); // LCK..pts_N
    // Through a link, as /dev/serial/by-id/... names a device.
    const std::string link = dir.File("by-id-link");
    ASSERT_EQ(symlink(pty.slave.c_str(), link.c_str()), 0);
    EXPECT_EQ(tools::LockFileName(link), name);
    const std::string file = dir.File(name);

    {
        tools::PortLock lock;
        EXPECT_EQ(lock.Acquire(link, dir.Path()), "");
        EXPECT_TRUE(lock.Held());
        EXPECT_EQ(lock.File(), file);
        EXPECT_EQ(ReadLock(file), static_cast<long>(getpid()));
        struct stat st {
        };
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 11) << "ten digits and a line end";
    }
    EXPECT_NE(access(file.c_str(), F_OK), 0) << "released with its holder";

    // A live process holds it: named, and its lock left alone.
    const long parent = static_cast<long>(getppid());
    WriteLock(file, parent);
    tools::PortLock second;
    const std::string busy = second.Acquire(pty.slave, dir.Path());
    EXPECT_EQ(busy.rfind("in use by ", 0), 0U) << busy;
    EXPECT_NE(busy.find("pid " + std::to_string(parent) + ", lock file " + file + ")"),
              std::string::npos)
        << busy;
    EXPECT_FALSE(second.Held());
    EXPECT_EQ(ReadLock(file), parent);

    // A process that is gone: taken over.
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    WriteLock(file, child);
    EXPECT_EQ(second.Acquire(pty.slave, dir.Path()), "");
    EXPECT_EQ(ReadLock(file), static_cast<long>(getpid()));
    second.Release();

    // Nowhere to put lock files: the port is used without one, and said so.
    tools::PortLock nowhere;
    EXPECT_EQ(nowhere.Acquire(pty.slave, dir.File("no/such/dir")), "");
    EXPECT_FALSE(nowhere.Held());
    EXPECT_EQ(nowhere.Warning().rfind("cannot make a lock file in " + dir.File("no/such/dir"), 0),
              0U)
        << nowhere.Warning();
}

TEST(SerialPort, OpenIsExclusive)
{
    const TempDir dir;
    const Pty pty;
    boost::asio::io_context io;
    boost::asio::serial_port port(io);
    tools::PortLock lock;
    const tools::PortOpening opened =
        tools::OpenSerialPort(port, pty.slave, 2400, &lock, dir.Path());
    ASSERT_TRUE(opened.Open()) << opened.error;
    EXPECT_TRUE(lock.Held());
    int exclusive = 0;
    if (ioctl(port.native_handle(), TIOCGEXCL, &exclusive) != 0) {
        GTEST_SKIP() << "TIOCGEXCL is not available here (an emulator?): " << std::strerror(errno);
    }
    EXPECT_EQ(exclusive, 1);
}

// Run as another user, a device of the group dialout cannot be opened; the
// error says how to get in.  Needs root to become that user.
TEST(SerialPort, PermissionErrorNamesTheGroupToJoin)
{
    if (getuid() != 0) {
        GTEST_SKIP() << "needs root, to open the device as another user";
    }
    const Pty pty;
    ASSERT_EQ(chown(pty.slave.c_str(), 0, 20), 0); // root:dialout, as udev sets a USB adapter
    ASSERT_EQ(chmod(pty.slave.c_str(), 0660), 0);
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(result[0]);
        std::string error = "setuid failed";
        if (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0) {
            boost::asio::io_context io;
            boost::asio::serial_port port(io);
            const tools::PortOpening opened = tools::OpenSerialPort(port, pty.slave, 2400);
            error = opened.failure == tools::OpenFailure::Denied ? opened.error : "not denied";
        }
        const ssize_t written = write(result[1], error.data(), error.size());
        _exit(written == static_cast<ssize_t>(error.size()) ? 0 : 1);
    }
    close(result[1]);
    char buffer[512];
    const ssize_t n = read(result[0], buffer, sizeof buffer);
    close(result[0]);
    int status = 0;
    waitpid(child, &status, 0);
    const std::string error(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    EXPECT_EQ(error, "Permission denied (the device belongs to the group dialout: add your user "
                     "to it with sudo usermod -aG dialout $USER and log in again)");
}

// Two halx-host on one port: the second is told, in one line, who has it.
TEST(HalxHostPort, SecondHostOnThePortIsToldWhoHoldsIt)
{
    const SimulatedLine ups;
    const std::string locks = ups.Dir().Path();
    const std::unique_ptr<ChildProcess> first =
        StartHost({"--port", ups.Path(), "--json", "--interval", "0.2", "--lock-dir", locks});
    bool polling = false;
    while (!polling) {
        const std::optional<std::string> line = first->ReadLine(60s);
        ASSERT_TRUE(line.has_value()) << first->Stderr();
        polling = line->find("\"event\":\"values\"") != std::string::npos;
    }
    const RunResult second =
        RunHost({"--port", ups.Path(), "--json", "--cycles", "1", "--lock-dir", locks}, 60s);
    EXPECT_EQ(second.status, 1) << second.err;
    ASSERT_EQ(second.ErrLines().size(), 1U) << second.err;
    const std::string line = second.ErrLines()[0];
    EXPECT_EQ(line.rfind("halx-host: cannot open port " + ups.Path() + ": in use by ", 0), 0U)
        << line;
    EXPECT_NE(
        line.find("pid " + std::to_string(first->pid()) + ", lock file " + locks + "/LCK..pts_"),
        std::string::npos)
        << line;
    EXPECT_EQ(second.out, "");

    // The first goes on undisturbed and leaves no lock behind.
    first->Signal(SIGTERM);
    EXPECT_EQ(first->Wait(60s), 0) << first->Stderr();
    EXPECT_EQ(first->Stderr(), "");
    EXPECT_EQ(LinesWith(first->Stdout(), "\"event\":\"abandoned\"").size(), 0U);
    const std::string lock = locks + "/" + tools::LockFileName(ups.Path());
    EXPECT_NE(access(lock.c_str(), F_OK), 0) << lock;
}

// A port that is not there at start-up is waited for as a lost one is
// (with --no-wait-for-port it is an error: see the bad input cases).
TEST(HalxHostPort, MissingPortIsWaitedFor)
{
    const SimulatedLine ups;
    const std::string later = ups.Dir().File("ttyLater");
    const std::unique_ptr<ChildProcess> host =
        StartHost({"--port", later, "--json", "--interval", "0.2", "--reply-timeout", "10",
                   "--reopen-interval", "0.2", "--cycles", "1", "--lock-dir", ups.Dir().Path()});
    // Plugged in once halx-host is waiting for it.
    bool waiting = false;
    while (!waiting) {
        const std::optional<std::string> line = host->ReadLine(60s);
        ASSERT_TRUE(line.has_value()) << host->Stderr();
        waiting = line->find("\"state\":\"waiting\"") != std::string::npos;
    }
    ASSERT_EQ(symlink(ups.Path().c_str(), later.c_str()), 0);
    ASSERT_EQ(host->Wait(120s), 0) << host->Stderr();
    const std::vector<Json::Value> events = JsonEvents(host->Stdout());
    std::vector<std::string> states;
    for (const Json::Value& e : OfKind(events, "link")) {
        states.push_back(e["state"].asString());
    }
    EXPECT_EQ(states, (std::vector<std::string>{"waiting", "reopened"}));
    EXPECT_EQ(OfKind(events, "record").size(), 1U);
    EXPECT_EQ(events.back()["reopenings"].asInt(), 0) << "opened, not reopened";
    const std::vector<std::string> err = LinesWith(host->Stderr(), "halx-host:");
    ASSERT_EQ(err.size(), 2U) << host->Stderr();
    EXPECT_EQ(err[0], "halx-host: port " + later +
                          " is not there (No such file or directory); waiting for it, trying "
                          "every 0.2 s");
    EXPECT_EQ(err[1], "halx-host: port " + later + " opened");
}

} // namespace

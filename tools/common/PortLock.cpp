#include "common/PortLock.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace tools
{

namespace
{

std::string Resolved(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

// The PID a lock file holds: ten ASCII digits (HDB UUCP), or the binary
// 4-byte form of older tools; 0 when it holds neither.
long LockHolder(const std::string& lock)
{
    char buffer[64] = {};
    const int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    const ssize_t n = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    const std::string text(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    if (text.size() == 4 && text.back() != '\n') {
        std::int32_t binary = 0;
        std::memcpy(&binary, text.data(), sizeof binary);
        return binary;
    }
    char* end = nullptr;
    const long pid = std::strtol(text.c_str(), &end, 10);
    return end != text.c_str() && pid > 0 ? pid : 0;
}

bool Alive(long pid)
{
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

} // namespace

std::string LockFileName(const std::string& device)
{
    std::string name = Resolved(device);
    if (name.rfind("/dev/", 0) == 0) {
        name.erase(0, 5);
    }
    while (!name.empty() && name.front() == '/') {
        name.erase(0, 1);
    }
    for (char& c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    return "LCK.." + name;
}

std::string DescribeProcess(long pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    const std::string id = "pid " + std::to_string(pid);
    return name.empty() ? id : name + " (" + id + ")";
}

std::string DeviceHolders(const std::string& device)
{
    const std::string target = Resolved(device);
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return "";
    }
    std::string holders;
    const long self = static_cast<long>(getpid());
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) {
            continue;
        }
        const std::string fds = std::string("/proc/") + entry->d_name + "/fd";
        DIR* dir = opendir(fds.c_str());
        if (dir == nullptr) {
            continue;
        }
        bool holds = false;
        while (const dirent* fd = readdir(dir)) {
            char link[PATH_MAX];
            const ssize_t n = readlink((fds + "/" + fd->d_name).c_str(), link, sizeof link - 1);
            if (n > 0 && target == std::string(link, static_cast<std::size_t>(n))) {
                holds = true;
                break;
            }
        }
        closedir(dir);
        if (holds) {
            holders += (holders.empty() ? "" : ", ") + DescribeProcess(pid);
        }
    }
    closedir(proc);
    return holders;
}

PortLock::~PortLock()
{
    Release();
}

std::string PortLock::Acquire(const std::string& device, const std::string& dir)
{
    Release();
    warning_.clear();
    const std::string lock = dir + "/" + LockFileName(device);
    const long self = static_cast<long>(getpid());
    const std::string temp = dir + "/LTMP." + std::to_string(self);
    const auto unusable = [&](const char* doing) {
        warning_ = "cannot " + std::string(doing) + " lock file in " + dir + " (" +
                   std::strerror(errno) + "); the port is used without one";
        return std::string();
    };
    // Written in full under a name of our own, then linked to the lock's
    // name: whoever reads the lock file finds the whole PID in it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            return unusable("make a");
        }
        char text[32];
        const int length = std::snprintf(text, sizeof text, "%10ld\n", self);
        const bool written = write(fd, text, static_cast<std::size_t>(length)) == length;
        close(fd);
        if (!written) {
            unlink(temp.c_str());
            return unusable("write a");
        }
        const int linked = link(temp.c_str(), lock.c_str());
        const int error = errno;
        unlink(temp.c_str());
        if (linked == 0) {
            file_ = lock;
            return "";
        }
        if (error != EEXIST) {
            errno = error;
            return unusable("link a");
        }
        const long holder = LockHolder(lock);
        if (holder > 0 && holder != self && Alive(holder)) {
            std::string who = DescribeProcess(holder); // "halx-host (pid 1234)"
            if (who.back() == ')') {
                who.insert(who.size() - 1, ", lock file " + lock);
            } else {
                who += " (lock file " + lock + ")";
            }
            return "in use by " + who;
        }
        // Stale: its process is gone (or it names none, or it is our own
        // leftover).  Taken over.
        unlink(lock.c_str());
    }
    return "cannot take the lock file " + lock + ": it comes back as soon as it is removed";
}

void PortLock::Release()
{
    if (file_.empty()) {
        return;
    }
    if (LockHolder(file_) == static_cast<long>(getpid())) {
        unlink(file_.c_str());
    }
    file_.clear();
}

} // namespace tools

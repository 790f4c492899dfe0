#include "ConsoleCapture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include <ext/stdio_filebuf.h>

#include "common/Errors.h"

namespace halxhost
{

using tools::BadInput;

struct ConsoleCapture::Sink {
    explicit Sink(int fd) : saved(fd), buffer(fd, std::ios::out) {}
    int saved;
    // Owns `saved` and closes it with itself.
    __gnu_cxx::stdio_filebuf<char> buffer;
};

namespace
{

int MemoryFile()
{
    const int fd = memfd_create("halx-host console", MFD_CLOEXEC);
    if (fd >= 0) {
        return fd;
    }
    // Without memfd (old kernels): an unlinked temporary file.
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        return -1;
    }
    const int copy = fcntl(fileno(file), F_DUPFD_CLOEXEC, 3);
    std::fclose(file);
    return copy;
}

} // namespace

ConsoleCapture::ConsoleCapture()
{
    std::cout.flush();
    std::fflush(stdout);
    memory_ = MemoryFile();
    if (memory_ < 0) {
        throw BadInput(std::string("cannot take in the plug-in's console output: ") +
                       std::strerror(errno));
    }
    const int saved = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved < 0 || dup2(memory_, STDOUT_FILENO) < 0) {
        const int error = errno;
        if (saved >= 0) {
            close(saved);
        }
        close(memory_);
        throw BadInput(std::string("cannot take in the plug-in's console output: ") +
                       std::strerror(error));
    }
    terminal_ = isatty(saved) == 1;
    sink_ = std::make_unique<Sink>(saved);
    out_ = std::make_unique<std::ostream>(&sink_->buffer);
}

ConsoleCapture::~ConsoleCapture()
{
    out_->flush();
    std::cout.flush();
    std::fflush(stdout);
    dup2(sink_->saved, STDOUT_FILENO);
    out_.reset();
    sink_.reset();
    close(memory_);
}

std::vector<std::string> ConsoleCapture::Take(bool all)
{
    std::cout.flush();
    std::fflush(stdout);
    // fd 1 shares the file offset: what was written ends there.
    const off_t end = lseek(memory_, 0, SEEK_CUR);
    if (end > 0) {
        std::string written(static_cast<std::size_t>(end), '\0');
        std::size_t got = 0;
        while (got < written.size()) {
            const ssize_t n =
                pread(memory_, &written[got], written.size() - got, static_cast<off_t>(got));
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        written.resize(got);
        partial_ += written;
        // Start the file again: it holds only what is not read yet.
        if (ftruncate(memory_, 0) != 0) {
            // Kept growing then; still read from the start each time.
        }
        lseek(memory_, 0, SEEK_SET);
    }
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end_of_line = partial_.find('\n'); end_of_line != std::string::npos;
         end_of_line = partial_.find('\n', start)) {
        lines.push_back(partial_.substr(start, end_of_line - start));
        start = end_of_line + 1;
    }
    partial_.erase(0, start);
    if (all && !partial_.empty()) {
        lines.push_back(partial_);
        partial_.clear();
    }
    return lines;
}

} // namespace halxhost

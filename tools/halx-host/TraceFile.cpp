#include "TraceFile.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "common/Errors.h"
#include "common/Format.h"

namespace halxhost
{

using tools::BadInput;
using tools::LocalTimestamp;

TraceFile::TraceFile(std::string path, std::uint64_t limit_bytes, std::string what)
    : path_(std::move(path)), limit_(limit_bytes), what_(std::move(what))
{
    if (!Open("ab")) {
        throw BadInput("cannot open trace file " + path_ + ": " + std::strerror(errno));
    }
}

TraceFile::~TraceFile()
{
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool TraceFile::Open(const char* mode)
{
    file_ = std::fopen(path_.c_str(), mode);
    if (file_ == nullptr) {
        return false;
    }
    std::fseek(file_, 0, SEEK_END);
    const long end = std::ftell(file_);
    size_ = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    Put("# halx-host trace of " + what_ + ", started " +
        LocalTimestamp(std::chrono::system_clock::now()) + "\n");
    Put("# <local time> <tx|rx> <bytes in hex>: one line per chunk sent or received\n");
    return !failed_;
}

void TraceFile::Comment(const std::string& text)
{
    Put("# " + text + "\n");
}

void TraceFile::Write(const char* direction, const unsigned char* data, std::size_t length)
{
    std::string line = LocalTimestamp(std::chrono::system_clock::now());
    line += ' ';
    line += direction;
    line += ' ';
    line += tools::Hex(data, length);
    line += '\n';
    Put(line);
}

void TraceFile::Put(const std::string& line)
{
    if (failed_ || file_ == nullptr) {
        return;
    }
    if (size_ > 0 && size_ + line.size() > limit_ && line[0] != '#') {
        Rotate();
        if (failed_) {
            return;
        }
    }
    // Flushed per line: whoever replays the trace may read it while it grows.
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
        Fail("writing");
        return;
    }
    size_ += line.size();
}

void TraceFile::Rotate()
{
    std::fclose(file_);
    file_ = nullptr;
    const std::string older = path_ + ".1";
    if (std::rename(path_.c_str(), older.c_str()) != 0) {
        Fail("renaming");
        return;
    }
    if (!Open("wb")) {
        Fail("reopening");
    }
}

void TraceFile::Fail(const char* doing)
{
    // Reported once; polling goes on without the trace.
    if (!failed_) {
        std::fprintf(stderr, "halx-host: %s trace file %s failed: %s; trace stopped\n", doing,
                     path_.c_str(), std::strerror(errno));
    }
    failed_ = true;
}

} // namespace halxhost

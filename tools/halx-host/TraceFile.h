// --trace: every chunk sent and received on the serial line, one line each:
//   <local time, ISO-8601 with microseconds> <tx|rx> <lower-case hex bytes>
// Lines starting with '#' are comments.  When the file would grow past its
// limit it is renamed to FILE.1 (replacing an older one) and a new FILE starts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace halxhost
{

class TraceFile
{
public:
    // Appends to path; throws BadInput when it cannot be opened.
    TraceFile(std::string path, std::uint64_t limit_bytes, std::string what);
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    void Sent(const unsigned char* data, std::size_t length) { Write("tx", data, length); }
    void Received(const unsigned char* data, std::size_t length) { Write("rx", data, length); }
    void Comment(const std::string& text);

private:
    void Write(const char* direction, const unsigned char* data, std::size_t length);
    void Put(const std::string& line);
    bool Open(const char* mode);
    void Rotate();
    void Fail(const char* doing);

    std::string path_;
    std::uint64_t limit_;
    std::string what_;
    std::FILE* file_ = nullptr;
    std::uint64_t size_ = 0;
    bool failed_ = false;
};

} // namespace halxhost

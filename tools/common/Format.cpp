#include "common/Format.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace tools
{

namespace
{

constexpr char kDigits[] = "0123456789abcdef";

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::string Hex(const unsigned char* data, std::size_t length)
{
    std::string text;
    text.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        text += kDigits[data[i] >> 4U];
        text += kDigits[data[i] & 0x0FU];
    }
    return text;
}

std::string Hex(const std::string& bytes)
{
    return Hex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::optional<std::string> FromHex(const std::string& hex)
{
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigit(hex[i]);
        const int low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

std::string Printable(const unsigned char* data, std::size_t length)
{
    std::string text;
    text.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = data[i];
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            text += "\\x";
            text += kDigits[c >> 4U];
            text += kDigits[c & 0x0FU];
        }
    }
    return text;
}

std::string Printable(const std::string& bytes)
{
    return Printable(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string LocalTimestamp(std::chrono::system_clock::time_point t, bool with_offset)
{
    using namespace std::chrono;
    const auto since_epoch = duration_cast<microseconds>(t.time_since_epoch());
    auto seconds = static_cast<std::time_t>(since_epoch.count() / 1000000);
    long micros = static_cast<long>(since_epoch.count() % 1000000);
    if (micros < 0) {
        micros += 1000000;
        --seconds;
    }
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    n += static_cast<std::size_t>(std::snprintf(text + n, sizeof text - n, ".%06ld", micros));
    if (with_offset) {
        const long offset = local.tm_gmtoff / 60; // minutes east of UTC
        std::snprintf(text + n, sizeof text - n, "%c%02ld:%02ld", offset < 0 ? '-' : '+',
                      std::labs(offset) / 60, std::labs(offset) % 60);
    }
    return text;
}

std::string LocalTime(std::chrono::system_clock::time_point t)
{
    std::string stamp = LocalTimestamp(t, true);
    return stamp.erase(19, 7); // the microseconds
}

} // namespace tools

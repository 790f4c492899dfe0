#include "support/DeviceHarness.h"

#include <cstring>
#include <iostream>
#include <sstream>

#include <json/value.h>

HarnessDevice::HarnessDevice()
{
    device.SetDataId(kFuzzDataId);
    device.SetObserver(&log);
    device.InitSetting(Json::Value(Json::objectValue));
}

int HarnessDevice::Feed(const std::uint8_t* data, std::size_t length)
{
    // process() takes a mutable pointer; hand it a copy as the serial port
    // would, so the fuzzer's input stays untouched.
    std::vector<unsigned char> chunk(data, data + length);
    return device.process(chunk.empty() ? nullptr : chunk.data(),
                          static_cast<unsigned int>(length));
}

int HarnessDevice::Feed(const std::string& bytes)
{
    return Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

bool SameRecord(const DeltanhntCmdsRply_t& a, const DeltanhntCmdsRply_t& b)
{
    return std::memcmp(&a, &b, kRoundTimeOffset) == 0;
}

namespace
{

bool SameBytes(const HostCall& a, const HostCall& b)
{
    const bool is_record =
        (a.op == HostCall::Op::SendSP || a.op == HostCall::Op::SaveDeviceHistory) &&
        a.bytes.size() == sizeof(DeltanhntCmdsRply_t);
    if (!is_record) {
        return a.bytes == b.bytes;
    }
    return b.bytes.size() == a.bytes.size() &&
           std::memcmp(a.bytes.data(), b.bytes.data(), kRoundTimeOffset) == 0;
}

bool SameCall(const HostCall& a, const HostCall& b)
{
    return a.op == b.op && SameBytes(a, b) && a.number == b.number && a.flag == b.flag &&
           a.sequence == b.sequence && a.key == b.key && a.alarm_id == b.alarm_id &&
           a.name == b.name && a.description == b.description &&
           std::memcmp(&a.value, &b.value, sizeof a.value) == 0;
}

} // namespace

std::string CompareCalls(const std::vector<HostCall>& a, const std::vector<HostCall>& b)
{
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < common; ++i) {
        if (!SameCall(a[i], b[i])) {
            std::ostringstream out;
            out << "host call " << i << " differs:\n  " << a[i].Describe() << "\n  "
                << b[i].Describe();
            return out.str();
        }
    }
    if (a.size() != b.size()) {
        std::ostringstream out;
        out << "host call counts differ: " << a.size() << " and " << b.size()
            << "; next: " << (a.size() > common ? a[common].Describe() : b[common].Describe());
        return out.str();
    }
    return std::string();
}

void RedirectDiagnostics(std::streambuf* sink)
{
    // With no buffer std::cout sets badbit and every output is a no-op: the
    // "rvSize is" line of each completed cycle costs nothing.
    std::cout.rdbuf(sink);
    std::cout.clear(sink == nullptr ? std::ios::badbit : std::ios::goodbit);
}

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

const std::vector<std::string>& HealthyCycleReplies()
{
    static const std::vector<std::string> replies = [] {
        const char* const payloads[] = {
            "DELTA",
            "NH-PLUS 20K",
            "220;500;220;500;20000;16000;1;3;3;1;1;1;1;2;240;2400;2200;1800;1500;1200;1000",
            "0;0;0;0;120;100;2712;0;25;0",
            "1;500;2205;123;2700;499;2210;120;2650;501;2198;118",
            "0;500;1;2200;115;2530;45;2201;116;2540;46;2199;114;2520;44",
            "500;1;2205;10;220;2206;11;230;2207;12;240",
            "0;1;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0",
            "V1.23",
        };
        std::vector<std::string> framed;
        for (const char* payload : payloads) {
            char length[24];
            std::snprintf(length, sizeof length, "%03zu", std::strlen(payload));
            framed.push_back(std::string("~00D") + length + payload);
        }
        return framed;
    }();
    return replies;
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

// A device of the built plug-in, wired to a recording host, with helpers to
// feed it bytes and read back the record it reports.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "support/CallLog.h"
#include "support/PluginLoader.h"
#include "support/Replies.h"

class ReliabilityDevice
{
public:
    static constexpr int kCommandStateMOD = 2;
    static constexpr int kCommandStateSTB = 5;
    static constexpr int kCommandStateVER = 13;

    ReliabilityDevice() : device_(BuiltPlugin().Create())
    {
        device_->SetDataId(5035);
        device_->SetObserver(&log_);
        device_->InitSetting(Json::Value(Json::objectValue));
        log_.Clear();
    }

    HalxSPDevice& device() { return *device_; }
    CallLog& log() { return log_; }

    int Feed(const std::string& bytes)
    {
        std::vector<unsigned char> chunk(bytes.begin(), bytes.end());
        return device_->process(chunk.data(), static_cast<unsigned int>(chunk.size()));
    }

    // Completes the cycle with a version reply and returns the record that
    // the device reports (empty when it reports none).
    std::vector<std::uint8_t> ReportedRecord()
    {
        device_->SetCommandState(kCommandStateVER);
        Feed(Reply("V"));
        for (const HostCall& call : log_.calls) {
            if (call.op == HostCall::Op::SendSP) {
                return call.bytes;
            }
        }
        return {};
    }

private:
    std::unique_ptr<HalxSPDevice> device_;
    CallLog log_;
};

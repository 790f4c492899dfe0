// A DeltaNHNT device created through the loaded plug-in, wired to a call log
// of the stand-in host and configured as the host configures it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/DeltaNHNT.h"
#include "support/CallLog.h"
#include "support/Packed.h"
#include "support/PluginLoader.h"
#include "support/Replies.h"

class DeviceFixture : public ::testing::Test
{
protected:
    static constexpr unsigned int kDataId = 77;

    void SetUp() override
    {
        device_ = BuiltPlugin().Create();
        device_->SetObserver(&log_);
        device_->SetDataId(kDataId);
        ASSERT_TRUE(device_->InitSetting(Json::Value(Json::objectValue)));
    }

    HalxSPDevice& dev() { return *device_; }
    // The device's own members, through its class layout (inline accessors).
    const DeltaNHNT& ups() const { return *static_cast<const DeltaNHNT*>(device_.get()); }
    const DeltanhntCmdsRply_t& rec() const { return ups().record(); }

    std::vector<std::uint8_t> RecordBytes() const
    {
        const auto* p = reinterpret_cast<const std::uint8_t*>(&rec());
        return std::vector<std::uint8_t>(p, p + sizeof(DeltanhntCmdsRply_t));
    }
    template <class T> T At(std::size_t offset) const
    {
        T value;
        std::memcpy(&value, reinterpret_cast<const std::uint8_t*>(&rec()) + offset, sizeof value);
        return value;
    }

    // One chunk handed to process(); returns its result.
    int Feed(std::string chunk)
    {
        return dev().process(reinterpret_cast<unsigned char*>(chunk.empty() ? nullptr : &chunk[0]),
                             static_cast<unsigned int>(chunk.size()));
    }
    // A complete reply decoded in the given command state.
    int FeedInState(int state, const std::string& payload)
    {
        dev().SetCommandState(state);
        return Feed(Reply(payload));
    }
    // RefreshStatus and the nine healthy replies, each as one chunk.
    void RunHealthyCycle()
    {
        dev().RefreshStatus();
        for (const std::string& reply : HealthyReplies()) {
            Feed(reply);
        }
    }
    // Loads a record built by the test (and completes a round with it).
    void LoadRecord(const DeltanhntCmdsRply_t& record)
    {
        testing::internal::CaptureStdout(); // the round's "rvSize is" line
        const bool loaded = dev().LoadFromCache(reinterpret_cast<const unsigned char*>(&record),
                                                static_cast<int>(sizeof record));
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(loaded);
    }

    CallLog log_;
    std::unique_ptr<HalxSPDevice> device_;
};

#include "support/TestDevice.h"

#include <stdexcept>

#include <json/value.h>

#include "support/Replies.h"

TestDevice::TestDevice(std::unique_ptr<HalxSPDevice> device, HostObserver* observer)
    : device_(std::move(device))
{
    device_->SetObserver(observer != nullptr ? observer : &log_);
    device_->SetDataId(kDataId);
    if (!device_->InitSetting(Json::Value(Json::objectValue))) {
        throw std::runtime_error("the device refused the settings {}");
    }
    for (const CycleReply& reply : HealthyCycle()) {
        healthy_.push_back(HealthyReply{{reply.framed.begin(), reply.framed.end()}, reply.state});
    }
}

TestDevice::~TestDevice() = default;

std::vector<std::uint8_t> TestDevice::RecordBytes() const
{
    const auto* p = reinterpret_cast<const std::uint8_t*>(&rec());
    return std::vector<std::uint8_t>(p, p + sizeof(DeltanhntCmdsRply_t));
}

bool TestDevice::SameRecord(const DeltanhntCmdsRply_t& other) const
{
    return std::memcmp(&rec(), &other, kRoundTimeOffset) == 0;
}

int TestDevice::Feed(const std::uint8_t* data, std::size_t length)
{
    std::vector<unsigned char> chunk(data, data + length);
    return device_->process(chunk.empty() ? nullptr : chunk.data(),
                            static_cast<unsigned int>(length));
}

int TestDevice::Feed(const std::string& chunk)
{
    return Feed(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size());
}

int TestDevice::FeedInState(int state, const std::string& payload)
{
    device_->SetCommandState(state);
    return Feed(Reply(payload));
}

int TestDevice::RunHealthyCycle(Delivery delivery)
{
    // Through the host's view of the device, as the host calls it.
    HalxSPDevice& dev = *device_;
    dev.RefreshStatus();
    int result = 1;
    for (HealthyReply& reply : healthy_) {
        if (delivery == Delivery::Whole) {
            result = dev.process(reply.bytes.data(), static_cast<unsigned int>(reply.bytes.size()));
        } else {
            for (unsigned char& byte : reply.bytes) {
                result = dev.process(&byte, 1);
            }
        }
    }
    return result;
}

int TestDevice::FeedHealthyReply(std::size_t index)
{
    HalxSPDevice& dev = *device_;
    HealthyReply& reply = healthy_[index];
    dev.SetCommandState(reply.state);
    return dev.process(reply.bytes.data(), static_cast<unsigned int>(reply.bytes.size()));
}

std::size_t TestDevice::HealthyCycleBytes() const
{
    std::size_t bytes = 0;
    for (const HealthyReply& reply : healthy_) {
        bytes += reply.bytes.size();
    }
    return bytes;
}

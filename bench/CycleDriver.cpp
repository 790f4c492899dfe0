#include "CycleDriver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include <json/value.h>

#include "device/DeltaNHNT.h"
#include "support/Replies.h"

CycleDriver::CycleDriver(HostObserver* observer) : device_(std::make_unique<DeltaNHNT>())
{
    device_->SetObserver(observer != nullptr ? observer : &round_counter_);
    device_->SetDataId(1);
    device_->InitSetting(Json::Value(Json::objectValue));
    for (const CycleReply& reply : HealthyCycle()) {
        replies_.emplace_back(reply.framed.begin(), reply.framed.end());
        states_.push_back(reply.state);
    }
}

CycleDriver::~CycleDriver() = default;

HalxSPDevice& CycleDriver::device()
{
    return *device_;
}

int CycleDriver::RunCycle(Delivery delivery)
{
    // Through the host's view of the device, as the host calls it.
    HalxSPDevice& dev = *device_;
    dev.RefreshStatus();
    int result = 1;
    for (std::vector<unsigned char>& reply : replies_) {
        if (delivery == Delivery::Whole) {
            result = dev.process(reply.data(), static_cast<unsigned int>(reply.size()));
        } else {
            for (unsigned char& byte : reply) {
                result = dev.process(&byte, 1);
            }
        }
    }
    return result;
}

int CycleDriver::DecodeReply(std::size_t index)
{
    HalxSPDevice& dev = *device_;
    dev.SetCommandState(states_[index]);
    std::vector<unsigned char>& reply = replies_[index];
    return dev.process(reply.data(), static_cast<unsigned int>(reply.size()));
}

std::size_t CycleDriver::ReplyBytes() const
{
    std::size_t bytes = 0;
    for (const std::vector<unsigned char>& reply : replies_) {
        bytes += reply.size();
    }
    return bytes;
}

StdoutToDevNull::StdoutToDevNull()
{
    std::cout.flush();
    std::fflush(stdout);
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) {
        return;
    }
    saved_ = ::dup(STDOUT_FILENO);
    if (saved_ >= 0) {
        ::dup2(null_fd, STDOUT_FILENO);
    }
    ::close(null_fd);
}

StdoutToDevNull::~StdoutToDevNull()
{
    if (saved_ < 0) {
        return;
    }
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
}

#include "SimTest.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/PluginLoader.h"

namespace simtest
{

std::vector<std::string> Fields(const std::string& payload)
{
    std::vector<std::string> fields(1);
    for (const char c : payload) {
        if (c == ';') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

std::string PayloadOf(const std::string& reply)
{
    EXPECT_GE(reply.size(), 7U) << reply;
    if (reply.size() < 7) {
        return std::string();
    }
    EXPECT_EQ(reply.substr(0, 4), "~00D") << reply;
    const std::string length = reply.substr(4, 3);
    EXPECT_EQ(length.find_first_not_of("0123456789"), std::string::npos) << reply;
    const std::string payload = reply.substr(7);
    EXPECT_EQ(std::atoi(length.c_str()), static_cast<int>(payload.size())) << reply;
    return payload;
}

std::string SentBytes(const std::vector<upssim::Output>& outputs)
{
    std::string bytes;
    for (const upssim::Output& output : outputs) {
        if (output.kind == upssim::Output::Kind::Send) {
            bytes += output.bytes;
        }
    }
    return bytes;
}

std::vector<upssim::Output> Ask(upssim::Responder& ups, const std::string& code,
                                Clock::time_point now)
{
    const std::string frame = "~00P003" + code;
    std::vector<upssim::Output> outputs;
    ups.Receive(frame.data(), frame.size(), now, outputs);
    return outputs;
}

PluginHarness::PluginHarness(const upssim::Options& options)
    : device_(BuiltPlugin().Create()), ups_(options)
{
}

int PluginHarness::RunCycle()
{
    const std::size_t reported = log().Count(HostCall::Op::SendSP);
    std::size_t next = log().Frames().size();
    testing::internal::CaptureStdout(); // the round's "rvSize is" line
    dev().RefreshStatus();
    for (;;) {
        const std::vector<std::string> frames = log().Frames();
        if (next >= frames.size()) {
            break;
        }
        const std::string& frame = frames[next++];
        std::vector<upssim::Output> outputs;
        ups_.Receive(frame.data(), frame.size(), now, outputs);
        for (upssim::Output& output : outputs) {
            now += output.pause;
            if (output.kind != upssim::Output::Kind::Send) {
                continue;
            }
            const std::size_t piece = output.shape.chunk > 0 ? output.shape.chunk : 4096;
            for (std::size_t at = 0; at < output.bytes.size(); at += piece) {
                device_.Feed(output.bytes.substr(at, piece));
            }
        }
        now += std::chrono::milliseconds(100);
    }
    testing::internal::GetCapturedStdout();
    return static_cast<int>(log().Count(HostCall::Op::SendSP) - reported);
}

} // namespace simtest

#include "upssim/PtySimulator.h"

#include <stdexcept>

#include "upssim/LineServer.h"

namespace upssim
{

namespace
{

std::unique_ptr<LineServer> MakeServer(const Options& options, const std::string& link)
{
    try {
        return std::make_unique<LineServer>(options, Endpoint{"", link});
    } catch (const std::runtime_error&) {
        throw;
    } catch (const std::exception& error) {
        // Bad options arrive as std::invalid_argument.
        throw std::runtime_error(error.what());
    }
}

} // namespace

PtySimulator::PtySimulator(const Options& options, const std::string& link)
    : server_(MakeServer(options, link))
{
    thread_ = std::thread([this] { server_->Run(); });
}

PtySimulator::~PtySimulator()
{
    Stop();
}

const std::string& PtySimulator::SlavePath() const
{
    return server_->Path();
}

void PtySimulator::Stop()
{
    server_->Stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

Counters PtySimulator::Stats() const
{
    return server_->Stats();
}

} // namespace upssim

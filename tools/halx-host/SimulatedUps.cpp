#include "SimulatedUps.h"

#include <stdexcept>

#include "common/Errors.h"

#ifdef HALX_HOST_WITH_SIM
#include "upssim/PtySimulator.h"
#endif

namespace halxhost
{

using tools::BadInput;

#ifdef HALX_HOST_WITH_SIM

struct SimulatedUps::Impl {
    std::unique_ptr<upssim::PtySimulator> sim;
};

bool SimulatorAvailable()
{
    return true;
}

SimulatedUps::SimulatedUps(const SimSettings& settings) : impl_(std::make_unique<Impl>())
{
    upssim::Options options;
    options.values = settings.values;
    options.noise = settings.noise;
    // Noise a host skips, unless a "~" among it is asked for.
    options.noise_without_start = !settings.noise_sync;
    options.chunk = settings.chunk;
    options.pace = settings.pace;
    options.drift = settings.drift;
    options.seed = settings.seed;
    if (!settings.script.empty()) {
        try {
            options.script = upssim::LoadScript(settings.script);
        } catch (const std::exception& e) {
            throw BadInput(std::string("simulated UPS: ") + e.what());
        }
    }
    try {
        impl_->sim = std::make_unique<upssim::PtySimulator>(options);
    } catch (const std::exception& e) {
        throw BadInput(std::string("cannot start the simulated UPS: ") + e.what());
    }
}

SimulatedUps::~SimulatedUps()
{
    if (impl_->sim) {
        impl_->sim->Stop();
    }
}

std::string SimulatedUps::SlavePath() const
{
    return impl_->sim->SlavePath();
}

#else

struct SimulatedUps::Impl {
};

bool SimulatorAvailable()
{
    return false;
}

SimulatedUps::SimulatedUps(const SimSettings& /*settings*/)
{
    throw BadInput("this halx-host was built without the simulated UPS; name a port with --port");
}

SimulatedUps::~SimulatedUps() = default;

std::string SimulatedUps::SlavePath() const
{
    return "";
}

#endif

} // namespace halxhost

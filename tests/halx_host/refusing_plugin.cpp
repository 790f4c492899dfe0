// A test plug-in whose device refuses some of the served names: the currents
// with "不支持变量", the battery voltage with an exception of another type.
// A cached record completes a round at once (reported, then Reset).
#include <stdexcept>
#include <string>

#include "halx/Provider.h"

namespace
{

class RefusingDevice : public HalxSPDevice
{
public:
    using HalxSPDevice::LoadFromCache;

    float Get_Value(unsigned int /*channel*/, const std::string& name) const override
    {
        if (name.find("Crrent") != std::string::npos) {
            throw std::out_of_range("不支持变量");
        }
        if (name == "BattryVlt") {
            throw std::runtime_error("sensor unreadable");
        }
        return 42.5F;
    }
    bool LoadFromCache(const unsigned char* data, int length) override
    {
        SendSP(5035, data, static_cast<unsigned int>(length), false);
        Reset();
        return true;
    }
};

class RefusingProvider : public HalxSPDeviceProvider
{
public:
    HalxSPDevice* create() const override { return new RefusingDevice; }
};

} // namespace

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers()
{
    return {std::make_shared<RefusingProvider>()};
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

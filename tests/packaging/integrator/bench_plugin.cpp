// A device plug-in as an integrator writes one against the installed
// framework declarations: a device that serves the battery voltage, takes a
// cached record as a completed round, and reads its settings with jsoncpp.
#include <stdexcept>
#include <string>

#include <halx/Provider.h>

namespace
{

class BenchDevice : public HalxSPDevice
{
public:
    using HalxSPDevice::LoadFromCache;

    bool InitSetting(const Json::Value& settings) override { return settings.isObject(); }

    float Get_Value(unsigned int /*channel*/, const std::string& name) const override
    {
        if (name == "BattryVlt") {
            return 271.5F;
        }
        throw std::out_of_range("不支持变量");
    }

    bool LoadFromCache(const unsigned char* data, int length) override
    {
        SendSP(5035, data, static_cast<unsigned int>(length), false);
        Reset();
        return true;
    }
};

class BenchProvider : public HalxSPDeviceProvider
{
public:
    HalxSPDevice* create() const override { return new BenchDevice; }
};

} // namespace

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers()
{
    return {std::make_shared<BenchProvider>()};
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

// A test plug-in that talks on standard output as a device may: many lines
// from one InitSetting call (settings {"lines": N}), lines between the host
// operations of LoadFromCache, and a last line without its line end.
#include <iostream>
#include <string>

#include <json/value.h>

#include "halx/Provider.h"

namespace
{

class ChattyDevice : public HalxSPDevice
{
public:
    using HalxSPDevice::LoadFromCache;

    float Get_Value(unsigned int /*channel*/, const std::string& /*name*/) const override
    {
        return 1.0F;
    }
    bool InitSetting(const Json::Value& settings) override
    {
        const int lines = settings.get("lines", 0).asInt();
        for (int i = 0; i < lines; ++i) {
            std::cout << "setting line " << i << " of " << lines
                      << ", padded to make the output large: ................................."
                      << std::endl;
        }
        return true;
    }
    bool LoadFromCache(const unsigned char* data, int length) override
    {
        std::cout << "before SendSP" << std::endl;
        SendSP(5035, data, static_cast<unsigned int>(length), false);
        std::cout << "between SendSP and Reset\n"; // not flushed: the host flushes
        Reset();
        std::cout << "after Reset, no line end" << std::flush;
        return true;
    }
};

class ChattyProvider : public HalxSPDeviceProvider
{
public:
    HalxSPDevice* create() const override { return new ChattyDevice; }
};

} // namespace

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers()
{
    return {std::make_shared<ChattyProvider>()};
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

// Factory interfaces a plug-in hands to the host through get_providers.
#pragma once

#include <memory>
#include <vector>

#include "halx/HalxSPDevice.h"
#include "halx/host_api.h"

class HALX_API Provider
{
public:
    Provider() = default;
    virtual ~Provider() = default;
};

class HALX_API HalxSPDeviceProvider : public Provider
{
public:
    HalxSPDeviceProvider() = default;
    ~HalxSPDeviceProvider() override = default;
    // A new device object; the caller owns it and destroys it through its
    // virtual destructor.
    virtual HalxSPDevice* create() const = 0;
};

// The single entry point of a device plug-in, looked up by name with dlsym.
using get_providers_fn = std::vector<std::shared_ptr<Provider>> (*)();
#define HALX_GET_PROVIDERS_SYMBOL "get_providers"

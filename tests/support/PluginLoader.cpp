#include "support/PluginLoader.h"

#include <dlfcn.h>

#include <stdexcept>

PluginLoader::PluginLoader(const std::string& path)
{
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        throw std::runtime_error(dlerror());
    }
    void* symbol = dlsym(handle_, HALX_GET_PROVIDERS_SYMBOL);
    if (symbol == nullptr) {
        const std::string error = dlerror();
        dlclose(handle_);
        handle_ = nullptr;
        throw std::runtime_error(error);
    }
    entry_ = reinterpret_cast<get_providers_fn>(symbol);
}

PluginLoader::~PluginLoader()
{
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}

std::unique_ptr<HalxSPDevice> PluginLoader::Create() const
{
    const std::vector<std::shared_ptr<Provider>> providers = Providers();
    const auto* provider = static_cast<const HalxSPDeviceProvider*>(providers.at(0).get());
    return std::unique_ptr<HalxSPDevice>(provider->create());
}

const PluginLoader& BuiltPlugin()
{
    // Kept loaded for the whole test run: devices and their vtables live in it.
    static const PluginLoader* const loader = new PluginLoader(DELTANHNT_PLUGIN_PATH);
    return *loader;
}

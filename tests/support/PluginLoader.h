// Loads a device plug-in the way the monitoring unit's host does: dlopen of
// the shared object, dlsym("get_providers"), create() on its provider.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "halx/Provider.h"

class PluginLoader
{
public:
    // Throws std::runtime_error with dlerror()'s text when the library does
    // not load or lacks get_providers.
    explicit PluginLoader(const std::string& path);
    ~PluginLoader();
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    void* handle() const { return handle_; }
    get_providers_fn entry() const { return entry_; }
    std::vector<std::shared_ptr<Provider>> Providers() const { return entry_(); }
    // A new device from the first provider; the caller owns it.
    std::unique_ptr<HalxSPDevice> Create() const;

private:
    void* handle_ = nullptr;
    get_providers_fn entry_ = nullptr;
};

// The plug-in built by this tree.
const PluginLoader& BuiltPlugin();

// A device plug-in loaded as the monitoring unit's host loads it: dlopen,
// get_providers, create() on its serial-device provider.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "halx/Provider.h"

namespace halxhost
{

class PluginLibrary
{
public:
    // Throws BadInput (with dlerror's text) when the library does not load,
    // lacks get_providers or offers no serial-device provider.
    explicit PluginLibrary(std::string path);
    // Unloads the library: every device created from it must be gone.
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    const std::string& Path() const { return path_; }
    // The GNU build id of the loaded plug-in, in hex; "" when it has none.
    std::string BuildId() const;
    // A new device; the caller owns it and destroys it through its virtual
    // destructor, before the library goes.
    std::unique_ptr<HalxSPDevice> CreateDevice() const;

private:
    std::string path_;
    void* handle_ = nullptr;
    void* entry_ = nullptr; // get_providers, inside the plug-in
    std::vector<std::shared_ptr<Provider>> providers_;
    const HalxSPDeviceProvider* provider_ = nullptr;
};

// Where the plug-in is looked for when --plugin is not given, in order: beside
// the executable, in the install tree's library directory, in the build tree.
std::vector<std::string> PluginCandidates();
// The first candidate that exists; throws BadInput naming them all when none
// does.
std::string DefaultPluginPath();

} // namespace halxhost

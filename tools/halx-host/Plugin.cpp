#include "Plugin.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <utility>

#include "common/Errors.h"
#include "common/Version.h"

#ifndef HALX_HOST_PLUGIN_RELDIR
#define HALX_HOST_PLUGIN_RELDIR "../lib/deltanhnt"
#endif

namespace halxhost
{

using tools::BadInput;
namespace
{

const char* const kPluginFile = "deltanhnt.so";

std::string ExecutableDir()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    std::string exe(path, static_cast<std::size_t>(n));
    const std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash);
}

} // namespace

PluginLibrary::PluginLibrary(std::string path) : path_(std::move(path))
{
    // RTLD_NOW: a plug-in whose host symbols do not resolve fails here, not
    // in the middle of a poll cycle.
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* error = dlerror();
        throw BadInput("cannot load plug-in " + path_ + ": " + (error != nullptr ? error : "?"));
    }
    dlerror();
    void* symbol = dlsym(handle_, HALX_GET_PROVIDERS_SYMBOL);
    if (symbol == nullptr) {
        const char* error = dlerror();
        const std::string message = "plug-in " + path_ + " has no " HALX_GET_PROVIDERS_SYMBOL ": " +
                                    (error != nullptr ? error : "symbol is null");
        dlclose(handle_);
        handle_ = nullptr;
        throw BadInput(message);
    }
    entry_ = symbol;
    try {
        providers_ = reinterpret_cast<get_providers_fn>(symbol)();
    } catch (const std::exception& e) {
        dlclose(handle_);
        handle_ = nullptr;
        throw BadInput("plug-in " + path_ + ": get_providers threw: " + e.what());
    }
    for (const std::shared_ptr<Provider>& p : providers_) {
        provider_ = dynamic_cast<const HalxSPDeviceProvider*>(p.get());
        if (provider_ != nullptr) {
            break;
        }
    }
    if (provider_ == nullptr) {
        providers_.clear();
        dlclose(handle_);
        handle_ = nullptr;
        throw BadInput("plug-in " + path_ + " offers no serial-device provider");
    }
}

PluginLibrary::~PluginLibrary()
{
    provider_ = nullptr;
    providers_.clear();
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}

std::string PluginLibrary::BuildId() const
{
    return tools::BuildIdAt(entry_);
}

std::unique_ptr<HalxSPDevice> PluginLibrary::CreateDevice() const
{
    std::unique_ptr<HalxSPDevice> dev(provider_->create());
    if (!dev) {
        throw BadInput("plug-in " + path_ + ": create() returned no device");
    }
    return dev;
}

std::vector<std::string> PluginCandidates()
{
    const std::string dir = ExecutableDir();
    // Both relative to the executable: no path of the machine that built it.
    // The build tree links the plug-in beside the executable.
    return {
        dir + "/" + kPluginFile,
        dir + "/" HALX_HOST_PLUGIN_RELDIR "/" + kPluginFile,
    };
}

std::string DefaultPluginPath()
{
    std::string tried;
    for (const std::string& candidate : PluginCandidates()) {
        if (access(candidate.c_str(), R_OK) == 0) {
            char resolved[PATH_MAX];
            return realpath(candidate.c_str(), resolved) != nullptr ? resolved : candidate;
        }
        tried += (tried.empty() ? "" : ", ") + candidate;
    }
    throw BadInput("no plug-in found (looked for " + tried + "); name one with --plugin");
}

} // namespace halxhost

// The plug-in's entry point and its provider.
#include "provider/DeltaNHNTProvider.h"

#include <memory>
#include <vector>

#include "device/DeltaNHNT.h"

DeltaNHNTProvider::~DeltaNHNTProvider() = default;

HalxSPDevice* DeltaNHNTProvider::create() const
{
    return new DeltaNHNT();
}

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

// Looked up by name with dlsym: the only symbol the plug-in exports.
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers()
{
    std::vector<std::shared_ptr<Provider>> providers;
    providers.push_back(std::make_shared<DeltaNHNTProvider>());
    return providers;
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

// A host application as an integrator builds one against the installed
// stand-in host library: loads a device plug-in, creates its device, hands
// it a 338-byte record from the cache and prints what the device reported.
//
// usage: bench_host PLUGIN
// Prints "reported DATA_ID LENGTH BattryVlt=VALUE"; exits 1 on any failure.
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <vector>

#include <halx/HostObserver.h>
#include <halx/Provider.h>

namespace
{

class Reports : public HostObserver
{
public:
    void OnSendSP(HalxVDevice& /*dev*/, int data_id, const unsigned char* /*data*/,
                  unsigned int length, bool /*urgent*/) override
    {
        data_id_ = data_id;
        length_ = length;
    }
    int data_id_ = -1;
    unsigned int length_ = 0;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_host PLUGIN\n");
        return 2;
    }
    void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
        std::fprintf(stderr, "bench_host: %s\n", dlerror());
        return 1;
    }
    auto get_providers =
        reinterpret_cast<get_providers_fn>(dlsym(plugin, HALX_GET_PROVIDERS_SYMBOL));
    if (get_providers == nullptr) {
        std::fprintf(stderr, "bench_host: no %s in %s\n", HALX_GET_PROVIDERS_SYMBOL, argv[1]);
        return 1;
    }
    int status = 1;
    {
        const std::vector<std::shared_ptr<Provider>> providers = get_providers();
        const auto* provider = providers.empty()
                                   ? nullptr
                                   : dynamic_cast<const HalxSPDeviceProvider*>(providers[0].get());
        if (provider == nullptr) {
            std::fprintf(stderr, "bench_host: %s provides no serial device\n", argv[1]);
        } else {
            Reports reports;
            std::unique_ptr<HalxSPDevice> device(provider->create());
            device->SetObserver(&reports);
            const std::vector<unsigned char> record(338, 0);
            if (device->InitSetting(Json::Value(Json::objectValue)) &&
                device->LoadFromCache(record.data(), static_cast<int>(record.size()))) {
                std::printf("reported %d %u BattryVlt=%.1f\n", reports.data_id_, reports.length_,
                            static_cast<double>(device->Get_Value(0, "BattryVlt")));
                status = reports.length_ == record.size() ? 0 : 1;
            }
        }
    }
    dlclose(plugin);
    return status;
}

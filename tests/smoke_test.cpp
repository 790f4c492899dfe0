#include "device/DeltaNHNT.h"
#include "halx/CallLog.h"
#include "halx/Provider.h"
#include <dlfcn.h>
#include <gtest/gtest.h>

TEST(Smoke, Loads)
{
    void* h = dlopen(DELTANHNT_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    auto fn = reinterpret_cast<get_providers_fn>(dlsym(h, "get_providers"));
    ASSERT_NE(fn, nullptr);
    auto p = fn();
    ASSERT_EQ(p.size(), 1u);
    auto* sp = static_cast<HalxSPDeviceProvider*>(p[0].get());
    HalxSPDevice* d = sp->create();
    CallLog log;
    d->SetObserver(&log);
    d->InitSetting(Json::Value(Json::objectValue));
    d->RefreshStatus();
    EXPECT_EQ(log.Frames().at(0), "~00P003MNU");
    delete d;
}

// The provider and a new device, as the host sees them before any poll.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "DeviceFixture.h"

namespace
{

TEST(Provider, EachCallGivesOneNewProvider)
{
    const auto first = BuiltPlugin().Providers();
    const auto second = BuiltPlugin().Providers();
    ASSERT_EQ(first.size(), 1U);
    ASSERT_EQ(second.size(), 1U);
    EXPECT_NE(first[0].get(), second[0].get());
    EXPECT_NE(dynamic_cast<HalxSPDeviceProvider*>(first[0].get()), nullptr);
}

TEST(Provider, DevicesAreIndependentAndOutliveTheirProvider)
{
    std::unique_ptr<HalxSPDevice> a;
    std::unique_ptr<HalxSPDevice> b;
    {
        const auto providers = BuiltPlugin().Providers();
        const auto* provider = static_cast<const HalxSPDeviceProvider*>(providers[0].get());
        a.reset(provider->create());
        b.reset(provider->create());
    }
    ASSERT_NE(a.get(), b.get());
    CallLog log_a;
    a->SetObserver(&log_a);
    a->SetDataId(1);
    a->InitSetting(Json::Value());
    a->RefreshStatus();
    EXPECT_EQ(log_a.Frames(), std::vector<std::string>{"~00P003MNU"});
    // b was neither configured nor polled by what happened to a.
    EXPECT_EQ(b->CommandState(), 0);
    EXPECT_EQ(Val(static_cast<DeltaNHNT*>(b.get())->record().DataId), 0U);
    a.reset();
    EXPECT_EQ(b->DeviceType(), "deltanhnt");
}

TEST(NewDevice, StartsEmptyWithItsDefaults)
{
    auto device = BuiltPlugin().Create();
    const auto& ups = *static_cast<const DeltaNHNT*>(device.get());
    const auto* bytes = reinterpret_cast<const unsigned char*>(&ups.record());
    EXPECT_TRUE(std::all_of(bytes, bytes + 338, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(device->DeviceType(), "deltanhnt");
    EXPECT_EQ(device->BaudRate(), 2400);
    EXPECT_EQ(device->ReceivedCount(), 0U);
    EXPECT_EQ(ups.b_mode(), 1);
    EXPECT_TRUE(ups.alarm_identities().empty());
    EXPECT_TRUE(ups.signal_names().empty());
    EXPECT_NE(device->DataValid(), 1);
    // Frames hold their fixed prefix; the letters come with the settings.
    for (unsigned int i = 0; i < CMD_COUNT; ++i) {
        const std::string frame(reinterpret_cast<const char*>(ups.command(i).data()), 10);
        EXPECT_EQ(frame.substr(0, 7), "~00P003") << i;
        EXPECT_EQ(frame.substr(7), std::string(3, '\0')) << i;
    }
}

TEST(NewDevice, InheritedOperationsKeepTheirDefaults)
{
    auto device = BuiltPlugin().Create();
    EXPECT_EQ(device->GetChildVDevice(0), nullptr);
    EXPECT_EQ(device->GetChildVDevice(7), nullptr);
    EXPECT_TRUE(device->GetAllChildVDevices().empty());
    int returned = 0;
    EXPECT_EQ(device->DeviceIoControl(1, nullptr, 0, nullptr, 0, returned), -2);
    EXPECT_FALSE(device->UseControllerDb());
    device->SetUseControllerDb(true);
    EXPECT_TRUE(device->UseControllerDb());
    device->SetDataId(4242);
    EXPECT_EQ(device->DataId(), 4242U);
    EXPECT_TRUE(device->IsSupportDevice("deltanhnt"));
}

TEST(NewDevice, RefusesValuesBeforeAnyCycle)
{
    auto device = BuiltPlugin().Create();
    for (const char* name : {"RatInptVlt", "OutptCrrent3", "NoSuchName", ""}) {
        try {
            device->Get_Value(0, name);
            FAIL() << name;
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "数据未就绪") << name;
        }
    }
}

} // namespace

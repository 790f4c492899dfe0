// Binary contracts with the host: the slot of every virtual operation and
// the plug-in's one exported entry point.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "device/DeltaNHNT.h"
#include "halx/Provider.h"
#include "support/PluginLoader.h"

namespace
{

// The Itanium C++ ABI represents a pointer to a virtual member function as
// {slot offset in bytes, this-adjustment} with a "virtual" bit: in the low bit
// of the first word (1 + offset) on the PC, in the low bit of the doubled
// adjustment on MIPS and ARM, whose code addresses may be odd.
template <class MemberFn> long Slot(MemberFn fn)
{
    struct {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } rep;
    static_assert(sizeof rep == sizeof fn, "Itanium member function pointer");
    std::memcpy(&rep, &fn, sizeof rep);
#if defined(__mips__) || defined(__arm__) || defined(__aarch64__)
    if ((rep.adj & 1) == 0) {
        return -1; // not virtual
    }
    return static_cast<long>(rep.ptr / sizeof(void*));
#else
    if ((rep.ptr & 1U) == 0) {
        return -1; // not virtual
    }
    return static_cast<long>((rep.ptr - 1) / sizeof(void*));
#endif
}

struct SlotCase {
    const char* operation;
    long expected;
    long actual;
};

// Overloads need their exact type to be named.
using GetValueFn = float (VDeviceInterface::*)(unsigned int, const std::string&) const;
using LoadStringFn = bool (VDeviceInterface::*)(const std::string&);
using LoadBytesFn = bool (VDeviceInterface::*)(const unsigned char*, int);

const SlotCase kHostSlots[] = {
    {"Get_Value", 0, Slot(static_cast<GetValueFn>(&VDeviceInterface::Get_Value))},
    {"LoadFromCache(string)", 1, Slot(static_cast<LoadStringFn>(&VDeviceInterface::LoadFromCache))},
    {"LoadFromCache(bytes)", 2, Slot(static_cast<LoadBytesFn>(&VDeviceInterface::LoadFromCache))},
    {"DataId", 3, Slot(&VDeviceInterface::DataId)},
    {"DeviceType", 4, Slot(&VDeviceInterface::DeviceType)},
    {"DeviceIoControl", 5, Slot(&VDeviceInterface::DeviceIoControl)},
    {"RoundDone", 6, Slot(&VDeviceInterface::RoundDone)},
    {"UseControllerDb", 7, Slot(&VDeviceInterface::UseControllerDb)},
    // Slots 8 and 9: the complete and the deleting destructor.
    {"Reset", 10, Slot(&HalxVDevice::Reset)},
    {"InitV", 11, Slot(&HalxVDevice::InitV)},
    {"Init", 12, Slot(&HalxVDevice::Init)},
    {"InitSetting", 13, Slot(&HalxVDevice::InitSetting)},
    {"IsSupportDevice", 14, Slot(&HalxVDevice::IsSupportDevice)},
    {"GetChildVDevice", 15, Slot(&HalxVDevice::GetChildVDevice)},
    {"GetAllChildVDevices", 16, Slot(&HalxVDevice::GetAllChildVDevices)},
    {"SendSP", 17, Slot(&HalxVDevice::SendSP)},
    {"SendDelayData", 18, Slot(&HalxVDevice::SendDelayData)},
    {"SendDoData", 19, Slot(&HalxVDevice::SendDoData)},
    {"ReadDi", 20, Slot(&HalxVDevice::ReadDi)},
    {"ReadAi", 21, Slot(&HalxVDevice::ReadAi)},
    {"Get_SP_Value", 22, Slot(&HalxVDevice::Get_SP_Value)},
    {"RefreshStatus", 23, Slot(&HalxSPDevice::RefreshStatus)},
    {"process", 24, Slot(&HalxSPDevice::process)},
    {"IsProcessing", 25, Slot(&HalxSPDevice::IsProcessing)},
    {"IsStalled", 26, Slot(&HalxSPDevice::IsStalled)},
    {"SendData", 27, Slot(&HalxSPDevice::SendData)},
    {"SendParityData", 28, Slot(&HalxSPDevice::SendParityData)},
    {"OpenPort", 29, Slot(&HalxSPDevice::OpenPort)},
    {"ClosePort", 30, Slot(&HalxSPDevice::ClosePort)},
};

// The device's overrides land in the host's slots; RunCheckThreshold comes
// after every host slot.
using DeviceGetValueFn = float (DeltaNHNT::*)(unsigned int, const std::string&) const;
using DeviceLoadBytesFn = bool (DeltaNHNT::*)(const unsigned char*, int);

const SlotCase kDeviceSlots[] = {
    {"DeltaNHNT::Get_Value", 0, Slot(static_cast<DeviceGetValueFn>(&DeltaNHNT::Get_Value))},
    {"UniDataDevice::LoadFromCache(bytes)", 2,
     Slot(static_cast<DeviceLoadBytesFn>(&DeltaNHNT::LoadFromCache))},
    {"UniDataDevice::RoundDone", 6, Slot(&DeltaNHNT::RoundDone)},
    {"DeltaNHNT::InitSetting", 13, Slot(&DeltaNHNT::InitSetting)},
    {"DeltaNHNT::RefreshStatus", 23, Slot(&DeltaNHNT::RefreshStatus)},
    {"DeltaNHNT::process", 24, Slot(&DeltaNHNT::process)},
    {"DeltaNHNT::RunCheckThreshold", 31, Slot(&DeltaNHNT::RunCheckThreshold)},
    {"UniDataDevice::RunCheckThreshold", 31, Slot(&DeltaNHNT::Template::RunCheckThreshold)},
};

class HostSlots : public ::testing::TestWithParam<SlotCase>
{
};

TEST_P(HostSlots, OperationSitsInItsSlot)
{
    EXPECT_EQ(GetParam().actual, GetParam().expected) << GetParam().operation;
}

std::string SlotName(const ::testing::TestParamInfo<SlotCase>& row)
{
    std::string name;
    for (const char* c = row.param.operation; *c != '\0'; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c)) != 0) {
            name += *c;
        }
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Host, HostSlots, ::testing::ValuesIn(kHostSlots), SlotName);
INSTANTIATE_TEST_SUITE_P(Device, HostSlots, ::testing::ValuesIn(kDeviceSlots), SlotName);

TEST(Export, GetProvidersIsUnmangledCLinkage)
{
    const PluginLoader& plugin = BuiltPlugin();
    EXPECT_NE(dlsym(plugin.handle(), "get_providers"), nullptr);
    // Nothing else of the plug-in is visible to the host.
    for (const char* hidden : {"_Z13get_providersv", "_ZN9DeltaNHNTC1Ev", "_ZTV9DeltaNHNT",
                               "_ZN17DeltaNHNTProvider6createEv", "_ZTI9DeltaNHNT"}) {
        EXPECT_EQ(dlsym(plugin.handle(), hidden), nullptr) << hidden;
    }
}

TEST(Export, MissingLibraryAndMissingEntryAreReportedWithTheLoaderText)
{
    try {
        PluginLoader missing("/nonexistent/deltanhnt.so");
        FAIL() << "loaded a missing library";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/deltanhnt.so"), std::string::npos);
    }
}

} // namespace

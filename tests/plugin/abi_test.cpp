// Binary contracts with the host: the slot of every virtual operation and
// the plug-in's one exported entry point.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "device/DeltaNHNT.h"
#include "halx/Provider.h"
#include "halx/ttime.h"
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
    {"HalxVDevice::DeviceIoControl", 5, Slot(&HalxVDevice::DeviceIoControl)},
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

// Where the code in each slot of a device's virtual table lives: the
// operations the host implements must reach the host's own code (a real host
// has its own DeviceIoControl, Reset, SendSP...), not a copy compiled into the
// plug-in; the plug-in's overrides and the interface's inline defaults live in
// the plug-in.
enum class Home { Host, Plugin };

struct SlotHome {
    long slot;
    const char* operation;
    Home home;
};

const SlotHome kSlotHomes[] = {
    {0, "Get_Value", Home::Plugin},
    {1, "LoadFromCache(string)", Home::Plugin},
    {2, "LoadFromCache(bytes)", Home::Plugin},
    {3, "DataId", Home::Plugin},
    {4, "DeviceType", Home::Plugin},
    {5, "DeviceIoControl", Home::Host},
    {6, "RoundDone", Home::Plugin},
    {7, "UseControllerDb", Home::Plugin},
    {8, "complete destructor", Home::Plugin},
    {9, "deleting destructor", Home::Plugin},
    {10, "Reset", Home::Host},
    {11, "InitV", Home::Host},
    {12, "Init", Home::Host},
    {13, "InitSetting", Home::Plugin},
    {14, "IsSupportDevice", Home::Host},
    {15, "GetChildVDevice", Home::Plugin},
    {16, "GetAllChildVDevices", Home::Plugin},
    {17, "SendSP", Home::Host},
    {18, "SendDelayData", Home::Host},
    {19, "SendDoData", Home::Host},
    {20, "ReadDi", Home::Host},
    {21, "ReadAi", Home::Host},
    {22, "Get_SP_Value", Home::Host},
    {23, "RefreshStatus", Home::Plugin},
    {24, "process", Home::Plugin},
    {25, "IsProcessing", Home::Host},
    {26, "IsStalled", Home::Host},
    {27, "SendData", Home::Host},
    {28, "SendParityData", Home::Host},
    {29, "OpenPort", Home::Host},
    {30, "ClosePort", Home::Host},
    {31, "RunCheckThreshold", Home::Plugin},
};

// A device's virtual table: the pointer that leads the object points at
// slot 0.
const void* const* VirtualTable(const HalxSPDevice& dev)
{
    const void* const* vtable = nullptr;
    std::memcpy(&vtable, static_cast<const void*>(&dev), sizeof vtable);
    return vtable;
}

// The load address of the object holding code at an address.
const void* ObjectOf(const void* code)
{
    Dl_info info{};
    return dladdr(code, &info) != 0 ? info.dli_fbase : nullptr;
}

TEST(SlotHomes, EachSlotReachesTheHostOrThePluginAsTheHostExpects)
{
    const std::unique_ptr<HalxSPDevice> dev = BuiltPlugin().Create();
    ASSERT_NE(dev, nullptr);
    const void* const host = ObjectOf(reinterpret_cast<const void*>(&get_ttime));
    const void* const plugin = ObjectOf(dlsym(BuiltPlugin().handle(), "get_providers"));
    ASSERT_NE(host, nullptr);
    ASSERT_NE(plugin, nullptr);
    ASSERT_NE(host, plugin);
    const void* const* vtable = VirtualTable(*dev);
    for (const SlotHome& row : kSlotHomes) {
        const void* const object = ObjectOf(vtable[row.slot]);
        EXPECT_EQ(object, row.home == Home::Host ? host : plugin)
            << "slot " << row.slot << " " << row.operation << " resolves into "
            << (object == host     ? "the host"
                : object == plugin ? "the plug-in"
                                   : "another object");
    }
}

TEST(SlotHomes, DeviceIoControlIsTheHostsImplementation)
{
    const std::unique_ptr<HalxSPDevice> dev = BuiltPlugin().Create();
    ASSERT_NE(dev, nullptr);
    const void* const* vtable = VirtualTable(*dev);
    Dl_info info{};
    ASSERT_NE(dladdr(vtable[5], &info), 0);
    ASSERT_NE(info.dli_sname, nullptr);
    EXPECT_STREQ(info.dli_sname, "_ZN11HalxVDevice15DeviceIoControlEiPKviPviRi");
    EXPECT_EQ(vtable[5], dlsym(RTLD_DEFAULT, "_ZN11HalxVDevice15DeviceIoControlEiPKviPviRi"));
    // The stand-in host supports no control code.
    int returned = 7;
    char out[4] = {};
    EXPECT_EQ(dev->DeviceIoControl(1, nullptr, 0, out, sizeof out, returned), -2);
    EXPECT_EQ(returned, 7);
}

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

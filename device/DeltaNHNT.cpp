// The UPS device object: construction, destruction and its settings step.
#include "device/DeltaNHNT.h"

#include "alarms/RoundCompletion.ipp"
#include "device/UniDataSettings.ipp"

template class UniDataDevice<DeltanhntCmdsRply_t, HalxSPDevice, kDeltanhntDataId>;

namespace
{
// Serial line speed of the UPS, in baud (8 data bits, no parity, 1 stop bit).
constexpr int kLineSpeed = 2400;
} // namespace

DeltaNHNT::DeltaNHNT()
{
    device_type_ = "deltanhnt";
    baud_rate_ = kLineSpeed;
    recv_len_ = 0;
}

DeltaNHNT::~DeltaNHNT() = default;

bool DeltaNHNT::InitSetting(const Json::Value& settings)
{
    for (unsigned int i = 0; i < CMD_COUNT; ++i) {
        cmds_[i].SetCode(kCommandCodes[i]);
    }
    reply_addr_[0] = '0';
    reply_addr_[1] = '0';
    record_.DataId = DataId();

    // The unit's settings name the device model in appSetting.type.  It is
    // read as text like every settings value, though this UPS needs nothing
    // from it; a value that is no text (an array, an object) is refused by
    // throwing, after the frames, the address and DataId are in place.
    if (settings.isObject()) {
        const Json::Value& app = settings["appSetting"];
        if (app.isObject() && app.isMember("type") && !app["type"].isNull()) {
            static_cast<void>(app["type"].asString());
        }
    }
    return true;
}

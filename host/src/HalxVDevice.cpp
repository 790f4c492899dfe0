// Stand-in host: the monitored-device base.  It keeps the base-class state
// and hands every service call to the device's observer.
#include "halx/HalxVDevice.h"

#include "halx/HostObserver.h"

HalxController::~HalxController() = default;

HostObserver::~HostObserver() = default;

HalxVDevice::HalxVDevice() = default;

HalxVDevice::~HalxVDevice() = default;

// The stand-in host knows no control codes: every one is refused as not
// supported, as the interface's own default does.
int HalxVDevice::DeviceIoControl(int /*code*/, const void* /*in*/, int /*in_size*/, void* /*out*/,
                                 int /*out_size*/, int& /*returned*/)
{
    return -2;
}

void HalxVDevice::Reset() {}

bool HalxVDevice::InitV(HalxVDevice* parent, unsigned int data_id, const Json::Value& settings)
{
    parent_ = parent;
    SetDataId(data_id);
    return InitSetting(settings);
}

bool HalxVDevice::Init(std::weak_ptr<HalxController> controller, unsigned int data_id,
                       const Json::Value& settings)
{
    controller_ = std::move(controller);
    SetDataId(data_id);
    return InitSetting(settings);
}

bool HalxVDevice::InitSetting(const Json::Value& settings)
{
    return observer_ == nullptr || observer_->OnInitSetting(*this, settings);
}

bool HalxVDevice::IsSupportDevice(const std::string& type) const
{
    return type == DeviceType();
}

int HalxVDevice::SendSP(int data_id, const unsigned char* data, unsigned int length, bool urgent)
{
    if (observer_ != nullptr) {
        observer_->OnSendSP(*this, data_id, data, length, urgent);
    }
    return static_cast<int>(length);
}

// The stand-in host drives no relays and reads no analog inputs.
int HalxVDevice::SendDelayData(int /*delay_ms*/)
{
    return -1;
}
int HalxVDevice::SendDoData(int /*channel*/, char /*value*/)
{
    return -1;
}
int HalxVDevice::ReadDi(int /*channel*/)
{
    return -1;
}
float HalxVDevice::ReadAi(int /*channel*/)
{
    return 0.0F;
}

float HalxVDevice::Get_SP_Value(unsigned int channel, const std::string& name)
{
    return Get_Value(channel, name);
}

bool HalxVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length)
{
    if (observer_ != nullptr) {
        observer_->OnSaveDeviceHistory(*this, data, length);
    }
    return true;
}

bool HalxVDevice::CheckAOReport(const std::string& key, float value)
{
    return observer_ != nullptr && observer_->OnCheckAOReport(*this, key, value);
}

bool HalxVDevice::CheckThreshold(const std::string& key, const std::string& text,
                                 const float& value, int level)
{
    if (observer_ != nullptr) {
        observer_->OnCheckThreshold(*this, key, text, value, level);
    }
    return false;
}

bool HalxVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules)
{
    return observer_ != nullptr && observer_->OnDoBatchCheckThreshold(*this, rules);
}

bool HalxVDevice::CheckThresholdBool(int kind, const std::string& key, const std::string& alarm_id,
                                     const std::string& name, const std::string& description,
                                     bool active, unsigned short sequence)
{
    if (observer_ != nullptr) {
        observer_->OnCheckThresholdBool(*this, kind, key, alarm_id, name, description, active,
                                        sequence);
    }
    return true;
}

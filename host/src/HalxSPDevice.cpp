// Stand-in host: the serial-line device base.  The serial port itself belongs
// to the host application, which receives outgoing frames through the
// device's observer and hands received bytes to process().
#include "halx/HalxSPDevice.h"

#include "halx/HostObserver.h"

HalxSPDevice::HalxSPDevice() = default;

HalxSPDevice::~HalxSPDevice() = default;

void HalxSPDevice::Reset()
{
    // End the exchange: the reply being assembled is dropped.
    recv_len_ = 0;
    processing_ = false;
    if (Observer() != nullptr) {
        Observer()->OnReset(*this);
    }
}

bool HalxSPDevice::Init(std::weak_ptr<HalxController> controller, unsigned int data_id,
                        const Json::Value& settings)
{
    recv_len_ = 0;
    return HalxVDevice::Init(std::move(controller), data_id, settings);
}

int HalxSPDevice::RefreshStatus()
{
    processing_ = true;
    if (Observer() != nullptr) {
        Observer()->OnRefreshStatus(*this);
    }
    return 1;
}

// A device that does not decode replies drops them.
int HalxSPDevice::process(unsigned char* /*data*/, unsigned int /*length*/)
{
    return 1;
}

bool HalxSPDevice::IsProcessing()
{
    return processing_;
}

// Stall detection needs the line's timing, which the host application keeps.
bool HalxSPDevice::IsStalled()
{
    return false;
}

int HalxSPDevice::SendData(const unsigned char* data, unsigned int length)
{
    processing_ = true;
    if (Observer() != nullptr) {
        Observer()->OnSendData(*this, data, length);
    }
    return static_cast<int>(length);
}

int HalxSPDevice::SendParityData(const unsigned char* data, unsigned int length,
                                 EnumParity /*parity*/)
{
    return SendData(data, length);
}

bool HalxSPDevice::OpenPort()
{
    return true;
}

void HalxSPDevice::ClosePort()
{
    processing_ = false;
}

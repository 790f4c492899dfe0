// The host's serial-line device: a HalxVDevice that owns a serial port and a
// reception buffer.  The virtual operations continue the slot order of
// HalxVDevice; their order is a binary contract with the host.
#pragma once

#include <memory>

#include "halx/HalxVDevice.h"
#include "halx/host_api.h"

enum EnumParity {
    PARITY_NONE = 0,
    PARITY_ODD = 1,
    PARITY_EVEN = 2,
    PARITY_MARK = 3,
    PARITY_SPACE = 4
};

class HALX_API HalxSPDevice : public HalxVDevice
{
public:
    static constexpr unsigned int RECV_BUF_SIZE = 4096;

    HalxSPDevice();
    ~HalxSPDevice() override;

    // Overrides of HalxVDevice slots 10 and 12.
    void Reset() override;
    bool Init(std::weak_ptr<HalxController> controller, unsigned int data_id,
              const Json::Value& settings) override;

    // slot 23: start a poll cycle.
    virtual int RefreshStatus();
    // slot 24: bytes received from the serial line.
    virtual int process(unsigned char* data, unsigned int length);
    // slot 25
    virtual bool IsProcessing();
    // slot 26
    virtual bool IsStalled();
    // slot 27: queue bytes for the serial line.
    virtual int SendData(const unsigned char* data, unsigned int length);
    // slot 28
    virtual int SendParityData(const unsigned char* data, unsigned int length, EnumParity parity);
    // slot 29
    virtual bool OpenPort();
    // slot 30
    virtual void ClosePort();

    // Host-side access to the serial state (not virtual).
    int CommandState() const { return cmd_state_; }
    void SetCommandState(int state) { cmd_state_ = state; }
    unsigned int ReceivedCount() const { return recv_len_; }
    const unsigned char* ReceiveBuffer() const { return recv_buf_; }
    int BaudRate() const { return baud_rate_; }

protected:
    // The reply the device is waiting for; the device's own numbering.
    int cmd_state_ = 0;
    // Bytes of the reply being assembled and their count (0..RECV_BUF_SIZE).
    unsigned char recv_buf_[RECV_BUF_SIZE] = {};
    unsigned int recv_len_ = 0;
    // Serial line speed in baud.
    int baud_rate_ = 9600;
    // True from a send until Reset ends the exchange.
    bool processing_ = false;
};

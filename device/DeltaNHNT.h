// The UPS device: the glue between the host's device base and the UPS
// protocol.  It polls the UPS with the fixed command sequence (protocol/),
// decodes its replies into the device record (protocol/, record/), serves
// named values (record/) and raises the status alarms (alarms/).  Every
// member is defined in device/DeltaNHNT.cpp.
#pragma once

#include <string>

#include "device/UniDataDevice.h"
#include "halx/HalxSPDevice.h"
#include "protocol/PollSequence.h"
#include "protocol/deltanhnt_cmd.h"
#include "record/DeltanhntCmdsRply.h"
#include "record/RecordFields.h"

// Data identifier under which the record is reported upstream.
inline constexpr int kDeltanhntDataId = 5035;

class DeltaNHNT : public UniDataDevice<DeltanhntCmdsRply_t, HalxSPDevice, kDeltanhntDataId>
{
public:
    using Template = UniDataDevice<DeltanhntCmdsRply_t, HalxSPDevice, kDeltanhntDataId>;

    DeltaNHNT();
    ~DeltaNHNT() override;

    float Get_Value(unsigned int channel, const std::string& name) const override;
    bool InitSetting(const Json::Value& settings) override;
    int RefreshStatus() override;
    int process(unsigned char* data, unsigned int length) override;
    void RunCheckThreshold() override;

    const char* reply_address() const { return reply_addr_; }
    int reply_length() const { return reply_len_; }
    const deltanhnt_cmd<3>& command(unsigned int index) const { return cmds_[index]; }

private:
    // Decodes the complete reply at the start of the reception buffer in the
    // current command state; returns the result of process().
    int DispatchReply();
    // Sends frame `next` and stores command state `state`, in the order the
    // poll step requires.
    void Advance(CommandIndex next, int state, bool state_first);

    // Address every reply header must carry.
    char reply_addr_[2] = {};
    // Payload length announced by the header of the reply being processed.
    int reply_len_ = 0;
    // The command table, in the order of kCommandCodes.
    deltanhnt_cmd<3> cmds_[CMD_COUNT];
};

// The template is instantiated once, in the device's own translation unit.
extern template class UniDataDevice<DeltanhntCmdsRply_t, HalxSPDevice, kDeltanhntDataId>;

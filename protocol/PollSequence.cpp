// Starting a poll cycle and advancing it after each decoded reply.
#include "protocol/PollSequence.h"
#include "device/DeltaNHNT.h"

int DeltaNHNT::RefreshStatus()
{
    HalxSPDevice::RefreshStatus();
    // A cycle may be restarted at any time: the sequence begins again at MNU.
    cmd_state_ = STATE_MNU;
    HalxSPDevice::SendData(cmds_[CMD_MNU].data(), cmds_[CMD_MNU].size());
    return 1;
}

void DeltaNHNT::Advance(CommandIndex next, int state, bool state_first)
{
    if (state_first) {
        cmd_state_ = state;
    }
    HalxSPDevice::SendData(cmds_[next].data(), cmds_[next].size());
    if (!state_first) {
        cmd_state_ = state;
    }
}

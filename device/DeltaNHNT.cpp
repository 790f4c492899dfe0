// The UPS device object: construction, settings, the poll cycle, value
// access and the status alarms, each handed to the protocol, record and
// alarm code that does the work.
//
// Every protocol error is silent: the host's Reset ends the exchange,
// process() returns 0, nothing is logged.
#include "device/DeltaNHNT.h"

#include <cstdint>
#include <stdexcept>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "alarms/StatusAlarms.h"
#include "device/UniDataDevice.ipp"
#include "protocol/Decoders.h"
#include "protocol/FrameLayout.h"
#include "protocol/Reassembly.h"
#include "record/ServedSignals.h"

template class UniDataDevice<DeltanhntCmdsRply_t, HalxSPDevice, kDeltanhntDataId>;

namespace
{
// Serial line speed of the UPS, in baud (8 data bits, no parity, 1 stop bit).
constexpr int kLineSpeed = 2400;
// Data older than this, in seconds, is refused as timed out.
constexpr std::int64_t kFreshSeconds = 60;
} // namespace

DeltaNHNT::DeltaNHNT()
{
    device_type_ = "deltanhnt";
    baud_rate_ = kLineSpeed;
    recv_len_ = 0;
}

DeltaNHNT::~DeltaNHNT() = default;

// --- Settings ---

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

// --- The poll cycle ---

int DeltaNHNT::RefreshStatus()
{
    HalxSPDevice::RefreshStatus();
    // A cycle may be restarted at any time: the sequence begins again at MNU.
    cmd_state_ = STATE_MNU;
    HalxSPDevice::SendData(cmds_[CMD_MNU].data(), cmds_[CMD_MNU].size());
    return 1;
}

int DeltaNHNT::process(unsigned char* data, unsigned int length)
{
    // A chunk that does not fit behind the buffered bytes ends the exchange.
    if (!CollectChunk(recv_buf_, RECV_BUF_SIZE, recv_len_, data, length)) {
        Reset();
        return 0;
    }
    const ReplyHeader header = CheckReplyHeader(recv_buf_, recv_len_, reply_addr_);
    switch (header.verdict) {
    case ReplyHeader::Verdict::Incomplete:
        return 1;
    case ReplyHeader::Verdict::Bad:
        Reset();
        return 0;
    case ReplyHeader::Verdict::Length:
        break;
    }
    reply_len_ = header.length;
    if (!ReplyComplete(recv_len_, reply_len_)) {
        return 1;
    }
    // Complete.  The payload stays in the buffer for the decoder; the count
    // drops to 0 so that anything after the reply is discarded.
    recv_len_ = 0;
    return DispatchReply();
}

int DeltaNHNT::DispatchReply()
{
    const PollStep* step = FindPollStep(cmd_state_);
    if (step == nullptr) {
        // Nobody asked for this reply.
        return 1;
    }
    const char* payload = reinterpret_cast<const char*>(recv_buf_) + kFrameHeaderSize;
    switch (DecodeReply(step->reply, payload, static_cast<std::size_t>(reply_len_), record_)) {
    case DecodeOutcome::WrongManufacturer:
        Reset();
        return 0;
    case DecodeOutcome::CycleComplete:
        RoundDone();
        return 0;
    case DecodeOutcome::Advance:
        break;
    }
    Advance(step->next, step->next_state, step->state_first);
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

// --- Values and alarms ---

float DeltaNHNT::Get_Value(unsigned int /*channel*/, const std::string& name) const
{
    if (data_valid_ != 1) {
        throw std::out_of_range("数据未就绪");
    }
    const boost::posix_time::time_duration age =
        boost::posix_time::second_clock::local_time() - last_round_time_;
    // Whole seconds as a 64-bit count (total_seconds() is 32-bit and would
    // wrap for a clock set decades away).  A clock set back gives a negative
    // age, which counts as fresh.
    if (age.is_special() ||
        static_cast<std::int64_t>(age.ticks()) / age.ticks_per_second() > kFreshSeconds) {
        throw std::out_of_range("数据已超时");
    }
    const ServedSignal* signal = FindServedSignal(name);
    if (signal == nullptr) {
        throw std::out_of_range("不支持变量");
    }
    return ServedValue(record_, *signal);
}

void DeltaNHNT::RunCheckThreshold()
{
    ForEachReportedAlarm(record_, [this](const StatusAlarm& alarm, bool active) {
        // A flag the UPS did not report was skipped and takes no number.
        const unsigned short sequence = alarm_seq_++;
        CheckThresholdBool(1, alarm.key, alarm.alarm_id, alarm.name, alarm.description, active,
                           sequence);
    });
}

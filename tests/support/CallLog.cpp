#include "support/CallLog.h"

#include <cstddef>
#include <cstring>
#include <sstream>

#include "common/Format.h"
#include "halx/HalxSPDevice.h"
#include "record/DeltanhntCmdsRply.h"

namespace
{

std::string Printable(const std::vector<std::uint8_t>& bytes)
{
    return tools::Printable(bytes.data(), bytes.size());
}

constexpr std::size_t kStampOffset = offsetof(DeltanhntCmdsRply_t, RoundTime);

bool SameBytes(const HostCall& a, const HostCall& b)
{
    const bool is_record =
        (a.op == HostCall::Op::SendSP || a.op == HostCall::Op::SaveDeviceHistory) &&
        a.bytes.size() == sizeof(DeltanhntCmdsRply_t);
    if (!is_record) {
        return a.bytes == b.bytes;
    }
    return b.bytes.size() == a.bytes.size() &&
           std::memcmp(a.bytes.data(), b.bytes.data(), kStampOffset) == 0;
}

bool SameCall(const HostCall& a, const HostCall& b)
{
    return a.op == b.op && SameBytes(a, b) && a.number == b.number && a.flag == b.flag &&
           a.sequence == b.sequence && a.key == b.key && a.alarm_id == b.alarm_id &&
           a.name == b.name && a.description == b.description &&
           std::memcmp(&a.value, &b.value, sizeof a.value) == 0;
}

} // namespace

std::string HostCall::Describe() const
{
    std::ostringstream out;
    switch (op) {
    case Op::RefreshStatus:
        out << "RefreshStatus";
        break;
    case Op::SendData:
        out << "SendData " << Printable(bytes) << " state=" << number;
        break;
    case Op::Reset:
        out << "Reset";
        break;
    case Op::SendSP:
        out << "SendSP " << number << " len=" << bytes.size() << " urgent=" << flag;
        break;
    case Op::SaveDeviceHistory:
        out << "SaveDeviceHistory len=" << bytes.size();
        break;
    case Op::CheckAOReport:
        out << "CheckAOReport " << key << ' ' << value;
        break;
    case Op::CheckThreshold:
        out << "CheckThreshold " << key << " '" << alarm_id << "' " << value << ' ' << number;
        break;
    case Op::DoBatchCheckThreshold:
        out << "DoBatchCheckThreshold rules=" << number;
        break;
    case Op::CheckThresholdBool:
        out << "CheckThresholdBool " << number << ' ' << key << ' ' << alarm_id << ' ' << name
            << ' ' << description << " active=" << flag << " seq=" << sequence;
        break;
    case Op::InitSetting:
        out << "InitSetting";
        break;
    }
    return out.str();
}

std::vector<std::string> CallLog::Lines() const
{
    std::vector<std::string> lines;
    lines.reserve(calls.size());
    for (const HostCall& c : calls) {
        lines.push_back(c.Describe());
    }
    return lines;
}

std::vector<std::string> CallLog::Lines(HostCall::Op op) const
{
    std::vector<std::string> lines;
    for (const HostCall& c : calls) {
        if (c.op == op) {
            lines.push_back(c.Describe());
        }
    }
    return lines;
}

std::vector<std::string> CallLog::Frames() const
{
    std::vector<std::string> frames;
    for (const HostCall& c : calls) {
        if (c.op == HostCall::Op::SendData) {
            frames.emplace_back(c.bytes.begin(), c.bytes.end());
        }
    }
    return frames;
}

std::size_t CallLog::Count(HostCall::Op op) const
{
    std::size_t n = 0;
    for (const HostCall& c : calls) {
        n += c.op == op ? 1U : 0U;
    }
    return n;
}

std::vector<std::uint8_t> CallLog::FirstRecord() const
{
    for (const HostCall& c : calls) {
        if (c.op == HostCall::Op::SendSP) {
            return c.bytes;
        }
    }
    return {};
}

std::vector<std::uint8_t> CallLog::LastRecord() const
{
    for (auto c = calls.rbegin(); c != calls.rend(); ++c) {
        if (c->op == HostCall::Op::SendSP) {
            return c->bytes;
        }
    }
    return {};
}

std::vector<std::string> CallLog::ActiveAlarms() const
{
    std::vector<std::string> keys;
    for (const HostCall& c : calls) {
        if (c.op == HostCall::Op::CheckThresholdBool && c.flag) {
            keys.push_back(c.key);
        }
    }
    return keys;
}

void CallLog::Record(HostCall call)
{
    calls.push_back(std::move(call));
    if (after_call) {
        after_call(calls.back());
    }
}

void CallLog::OnRefreshStatus(HalxSPDevice& /*dev*/)
{
    HostCall c;
    c.op = HostCall::Op::RefreshStatus;
    Record(std::move(c));
}

void CallLog::OnSendData(HalxSPDevice& dev, const unsigned char* data, unsigned int length)
{
    HostCall c;
    c.op = HostCall::Op::SendData;
    c.bytes.assign(data, data + length);
    c.number = dev.CommandState();
    Record(std::move(c));
}

void CallLog::OnReset(HalxSPDevice& /*dev*/)
{
    HostCall c;
    c.op = HostCall::Op::Reset;
    Record(std::move(c));
}

void CallLog::OnSendSP(HalxVDevice& /*dev*/, int data_id, const unsigned char* data,
                       unsigned int length, bool urgent)
{
    HostCall c;
    c.op = HostCall::Op::SendSP;
    c.number = data_id;
    c.bytes.assign(data, data + length);
    c.flag = urgent;
    Record(std::move(c));
}

void CallLog::OnSaveDeviceHistory(HalxVDevice& /*dev*/, const unsigned char* data,
                                  unsigned int length)
{
    HostCall c;
    c.op = HostCall::Op::SaveDeviceHistory;
    c.bytes.assign(data, data + length);
    Record(std::move(c));
}

bool CallLog::OnCheckAOReport(HalxVDevice& /*dev*/, const std::string& key, float value)
{
    HostCall c;
    c.op = HostCall::Op::CheckAOReport;
    c.key = key;
    c.value = value;
    Record(std::move(c));
    return ao_report_result;
}

void CallLog::OnCheckThreshold(HalxVDevice& /*dev*/, const std::string& key,
                               const std::string& text, const float& value, int level)
{
    HostCall c;
    c.op = HostCall::Op::CheckThreshold;
    c.key = key;
    c.alarm_id = text;
    c.value = value;
    c.value_ref = &value;
    c.number = level;
    Record(std::move(c));
}

bool CallLog::OnDoBatchCheckThreshold(HalxVDevice& /*dev*/, const std::vector<rule_value>& rules)
{
    HostCall c;
    c.op = HostCall::Op::DoBatchCheckThreshold;
    c.number = static_cast<int>(rules.size());
    Record(std::move(c));
    return batch_result;
}

void CallLog::OnCheckThresholdBool(HalxVDevice& /*dev*/, int kind, const std::string& key,
                                   const std::string& alarm_id, const std::string& name,
                                   const std::string& description, bool active,
                                   unsigned short sequence)
{
    HostCall c;
    c.op = HostCall::Op::CheckThresholdBool;
    c.number = kind;
    c.key = key;
    c.alarm_id = alarm_id;
    c.name = name;
    c.description = description;
    c.flag = active;
    c.sequence = sequence;
    Record(std::move(c));
}

bool CallLog::OnInitSetting(HalxVDevice& /*dev*/, const Json::Value& /*settings*/)
{
    HostCall c;
    c.op = HostCall::Op::InitSetting;
    Record(std::move(c));
    return init_setting_result;
}

std::string CompareCalls(const std::vector<HostCall>& a, const std::vector<HostCall>& b)
{
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < common; ++i) {
        if (!SameCall(a[i], b[i])) {
            std::ostringstream out;
            out << "host call " << i << " differs:\n  " << a[i].Describe() << "\n  "
                << b[i].Describe();
            return out.str();
        }
    }
    if (a.size() != b.size()) {
        std::ostringstream out;
        out << "host call counts differ: " << a.size() << " and " << b.size()
            << "; next: " << (a.size() > common ? a[common].Describe() : b[common].Describe());
        return out.str();
    }
    return std::string();
}

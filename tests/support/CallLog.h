// A host observer for tests: records every host operation a device calls,
// in one ordered log, so that a test can assert whole sequences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "halx/HostObserver.h"

struct HostCall {
    enum class Op {
        RefreshStatus,
        SendData,
        Reset,
        SendSP,
        SaveDeviceHistory,
        CheckAOReport,
        CheckThreshold,
        DoBatchCheckThreshold,
        CheckThresholdBool,
        InitSetting,
    };
    Op op = Op::RefreshStatus;
    // SendData: the frame; SendSP and SaveDeviceHistory: the record.
    std::vector<std::uint8_t> bytes;
    // SendData: the command state at the moment of the call; SendSP: the data
    // identifier; CheckThreshold: the level; CheckThresholdBool: the kind;
    // DoBatchCheckThreshold: the number of rules.
    int number = 0;
    // SendSP: the urgent flag; CheckThresholdBool: active.
    bool flag = false;
    unsigned short sequence = 0;
    // CheckAOReport / CheckThreshold / CheckThresholdBool: the key;
    // CheckThreshold: the text in alarm_id.
    std::string key, alarm_id, name, description;
    float value = 0.0F;
    // CheckThreshold: the address of the value, to check it is the host's own.
    const float* value_ref = nullptr;

    // One line, e.g. "SendData ~00P003MNU state=1", "Reset",
    // "SendSP 5035 len=338 urgent=0", "CheckThresholdBool 1 deltaNHNT_3 ...".
    std::string Describe() const;
};

class CallLog : public HostObserver
{
public:
    std::vector<HostCall> calls;

    // Results the stand-in's threshold engine and settings parse report.
    bool ao_report_result = false;
    bool batch_result = false;
    bool init_setting_result = true;
    // Called after each call is recorded; a test may throw from it to see how
    // the device copes with a failing host operation.
    std::function<void(const HostCall&)> after_call;

    void Clear() { calls.clear(); }
    // Describe() of every call, in order.
    std::vector<std::string> Lines() const;
    // Describe() of the calls of one kind, in order.
    std::vector<std::string> Lines(HostCall::Op op) const;
    // The frames sent with SendData, as text.
    std::vector<std::string> Frames() const;
    // The number of calls of one kind.
    std::size_t Count(HostCall::Op op) const;
    // The record of the first or the last SendSP; empty when none was sent.
    std::vector<std::uint8_t> FirstRecord() const;
    std::vector<std::uint8_t> LastRecord() const;
    // The key of every active status alarm (CheckThresholdBool), in order.
    std::vector<std::string> ActiveAlarms() const;

    void OnRefreshStatus(HalxSPDevice& dev) override;
    void OnSendData(HalxSPDevice& dev, const unsigned char* data, unsigned int length) override;
    void OnReset(HalxSPDevice& dev) override;
    void OnSendSP(HalxVDevice& dev, int data_id, const unsigned char* data, unsigned int length,
                  bool urgent) override;
    void OnSaveDeviceHistory(HalxVDevice& dev, const unsigned char* data,
                             unsigned int length) override;
    bool OnCheckAOReport(HalxVDevice& dev, const std::string& key, float value) override;
    void OnCheckThreshold(HalxVDevice& dev, const std::string& key, const std::string& text,
                          const float& value, int level) override;
    bool OnDoBatchCheckThreshold(HalxVDevice& dev, const std::vector<rule_value>& rules) override;
    void OnCheckThresholdBool(HalxVDevice& dev, int kind, const std::string& key,
                              const std::string& alarm_id, const std::string& name,
                              const std::string& description, bool active,
                              unsigned short sequence) override;
    bool OnInitSetting(HalxVDevice& dev, const Json::Value& settings) override;

private:
    void Record(HostCall call);
};

// Compares two call logs field by field, device records (SendSP,
// SaveDeviceHistory) without their time stamp, which differs between rounds;
// returns an empty string when they are equal, else the first difference.
std::string CompareCalls(const std::vector<HostCall>& a, const std::vector<HostCall>& b);

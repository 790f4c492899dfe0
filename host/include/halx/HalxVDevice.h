// The host's monitored device: threshold engine, upstream reporting and
// history store.  Device plug-ins derive from it (through HalxSPDevice for
// serial devices) and read and write the protected state below.
//
// The virtual operations continue the slot order of VDeviceInterface; their
// order is a binary contract with the host.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>
#include <json/value.h>

#include "halx/HalxController.h"
#include "halx/VDeviceInterface.h"
#include "halx/host_api.h"
#include "halx/rule_value.h"

class HostObserver;

class HALX_API HalxVDevice : public VDeviceInterface
{
public:
    HalxVDevice();
    // slots 8 and 9 (complete and deleting destructor)
    virtual ~HalxVDevice();

    // slot 5 (VDeviceInterface): the host's device control, which every
    // device inherits from here.
    int DeviceIoControl(int code, const void* in, int in_size, void* out, int out_size,
                        int& returned) override;

    // slot 10: end the current exchange with the device.
    virtual void Reset();
    // slot 11
    virtual bool InitV(HalxVDevice* parent, unsigned int data_id, const Json::Value& settings);
    // slot 12
    virtual bool Init(std::weak_ptr<HalxController> controller, unsigned int data_id,
                      const Json::Value& settings);
    // slot 13: the host's own parse of a device's settings.
    virtual bool InitSetting(const Json::Value& settings);
    // slot 14
    virtual bool IsSupportDevice(const std::string& type) const;
    // slot 15
    virtual std::shared_ptr<HalxVDevice> GetChildVDevice(unsigned int /*index*/)
    {
        return std::shared_ptr<HalxVDevice>();
    }
    // slot 16
    virtual std::vector<std::shared_ptr<HalxVDevice>> GetAllChildVDevices()
    {
        return std::vector<std::shared_ptr<HalxVDevice>>();
    }
    // slot 17: report a record upstream under a data identifier.
    virtual int SendSP(int data_id, const unsigned char* data, unsigned int length, bool urgent);
    // slot 18
    virtual int SendDelayData(int delay_ms);
    // slot 19
    virtual int SendDoData(int channel, char value);
    // slot 20
    virtual int ReadDi(int channel);
    // slot 21
    virtual float ReadAi(int channel);
    // slot 22
    virtual float Get_SP_Value(unsigned int channel, const std::string& name);

    // Host services for device implementations (not virtual).
    bool SaveDeviceHistory(const unsigned char* data, unsigned int length);
    bool CheckAOReport(const std::string& key, float value);
    bool CheckThreshold(const std::string& key, const std::string& text, const float& value,
                        int level);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    bool CheckThresholdBool(int kind, const std::string& key, const std::string& alarm_id,
                            const std::string& name, const std::string& description, bool active,
                            unsigned short sequence);

    // Host-side access to the state below (not virtual).
    void SetObserver(HostObserver* observer) { observer_ = observer; }
    HostObserver* Observer() const { return observer_; }
    unsigned char DataValid() const { return data_valid_; }
    boost::posix_time::ptime LastRoundTime() const { return last_round_time_; }
    void SetLastRoundTime(boost::posix_time::ptime t) { last_round_time_ = t; }
    unsigned short AlarmSequence() const { return alarm_seq_; }
    void SetAlarmSequence(unsigned short seq) { alarm_seq_ = seq; }
    bool AlarmChanged() const { return alarm_changed_; }
    void SetAlarmChanged(bool changed) { alarm_changed_ = changed; }
    std::vector<std::string>& SignalKeys() { return signal_keys_; }
    std::map<std::string, float>& AnalogValues() { return ao_values_; }
    std::vector<rule_value>& BatchRules() { return batch_rules_; }
    std::map<std::string, int>& AlarmLevels() { return alarm_levels_; }
    std::map<std::string, float>& ThresholdValues() { return threshold_values_; }

protected:
    // Per-cycle alarm sequence number handed to CheckThresholdBool.
    unsigned short alarm_seq_ = 1;
    // Local time (one-second resolution) of the last completed poll cycle.
    boost::posix_time::ptime last_round_time_;
    // 1 once the device's data is valid; starts at 0.
    unsigned char data_valid_ = 0;
    // Set when a check of the current cycle reported a change.
    bool alarm_changed_ = false;
    // Signal keys of the device and their current analog values.
    std::vector<std::string> signal_keys_;
    std::map<std::string, float> ao_values_;
    // Batch threshold rules collected for the current cycle.
    std::vector<rule_value> batch_rules_;
    // Per-key alarm level and threshold value of the threshold engine.
    std::map<std::string, int> alarm_levels_;
    std::map<std::string, float> threshold_values_;

    std::weak_ptr<HalxController> controller_;
    HalxVDevice* parent_ = nullptr;

private:
    HostObserver* observer_ = nullptr;
};

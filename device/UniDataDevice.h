// A host device whose data is one fixed record, reported under a fixed data
// identifier once per completed poll cycle.
//
// Record:      the packed record type; it has the members DataId (first) and
//              RoundTime (the host's 7-byte time stamp).
// Base:        the host device base the device derives from.
// DataIdValue: the data identifier under which the record is reported.
//
// The member definitions (round completion, the settings step) are in
// device/UniDataDevice.ipp; a device's translation unit includes it and
// instantiates the template once.
#pragma once

#include <cstring>
#include <map>
#include <string>

#include <json/value.h>

template <class Record, class Base, int DataIdValue> class UniDataDevice : public Base
{
public:
    UniDataDevice() : b_mode_(1) { std::memset(&record_, 0, sizeof record_); }
    ~UniDataDevice() override = default;

    // Load a cached record (exactly sizeof(Record) bytes) and complete a
    // cycle with it; any other length is refused and changes nothing.
    using Base::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int length) override;
    // Mark the data valid, stamp, report, check and store the record.
    void RoundDone() override;
    // Reads the settings mode and, in mode 3, per-key threshold settings.
    bool InitSetting(const Json::Value& settings) override;
    // The device's status alarms; this template has none.
    virtual void RunCheckThreshold() {}

    const Record& record() const { return record_; }
    int b_mode() const { return b_mode_; }
    const std::map<std::string, std::string>& alarm_identities() const { return alarm_id_map_; }
    const std::map<std::string, std::string>& signal_names() const { return signal_name_map_; }

protected:
    Record record_;
    // Settings mode; 3 turns on the per-key threshold settings.
    int b_mode_;
    // Signal key -> "NMAlarmID;ID;SignalNumber;".
    std::map<std::string, std::string> alarm_id_map_;
    // Signal key -> signal name.
    std::map<std::string, std::string> signal_name_map_;
};

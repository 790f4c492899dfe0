// The members of UniDataDevice: round completion (what happens once a poll
// cycle, or a cached record, has filled the record) and the settings step
// (the settings mode and, in mode 3, the per-key threshold settings, with
// the diagnostic lines the unit's field engineers read on the console).
// Included by the device's own translation unit, which instantiates the
// template.
#pragma once

#include <cstring>
#include <iostream>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "device/UniDataDevice.h"
#include "halx/ttime.h"
#include "protocol/NumericText.h"

template <class Record, class Base, int DataIdValue>
void UniDataDevice<Record, Base, DataIdValue>::RoundDone()
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record_);
    constexpr auto kSize = static_cast<unsigned int>(sizeof(Record));

    this->data_valid_ = 1;
    this->last_round_time_ = boost::posix_time::second_clock::local_time();
    const ttime_t stamp = get_ttime(this->last_round_time_);
    static_assert(sizeof(record_.RoundTime) == std::tuple_size<ttime_t>::value,
                  "the record carries the host's time stamp unchanged");
    std::memcpy(record_.RoundTime, stamp.data(), stamp.size());

    // The record goes upstream before any check of this round runs.
    this->HalxVDevice::SendSP(DataIdValue, bytes, kSize, false);
    this->Reset();

    this->alarm_seq_ = 1;
    this->alarm_changed_ = false;
    this->RunCheckThreshold();

    // Analog checks, in the host's key order, for keys the host has a value
    // for; the value map is only looked up, never extended.
    for (const std::string& key : this->signal_keys_) {
        const auto value = this->ao_values_.find(key);
        if (value == this->ao_values_.end()) {
            continue;
        }
        const bool changed = this->CheckAOReport(key, value->second);
        this->alarm_changed_ = changed || this->alarm_changed_;
        this->CheckThreshold(key, std::string(), value->second, 1);
    }

    std::cout << "rvSize is " << static_cast<long long>(this->batch_rules_.size()) << std::endl;
    const bool batch_changed = this->DoBatchCheckThreshold(this->batch_rules_);
    this->alarm_changed_ = batch_changed || this->alarm_changed_;

    this->SaveDeviceHistory(bytes, kSize);
    this->batch_rules_.clear();
}

template <class Record, class Base, int DataIdValue>
bool UniDataDevice<Record, Base, DataIdValue>::LoadFromCache(const unsigned char* data, int length)
{
    if (data == nullptr || length != static_cast<int>(sizeof(Record))) {
        return false;
    }
    std::memcpy(&record_, data, sizeof(Record));
    this->data_valid_ = 1;
    this->RoundDone();
    return true;
}

namespace unidata_settings
{

// A member counts as present when it exists and is not null.
inline bool Present(const Json::Value& object, const char* key)
{
    return object.isObject() && object.isMember(key) && !object[key].isNull();
}

} // namespace unidata_settings

template <class Record, class Base, int DataIdValue>
bool UniDataDevice<Record, Base, DataIdValue>::InitSetting(const Json::Value& settings)
{
    using unidata_settings::Present;

    record_.DataId = this->DataId();

    if (Present(settings, "appSetting")) {
        const Json::Value& app = settings["appSetting"];
        if (app.isObject() && Present(app, "b_mode")) {
            // Read as atoi reads it, with text beyond the int range saturating
            // alike on the PC and the target.
            const std::string mode = app["b_mode"].asString();
            b_mode_ = ParseInt(mode.data(), mode.data() + mode.size());
            std::cout << "InitSetting " << this->DataId() << " b_mode_:" << b_mode_ << std::endl;
        }
    }

    if (b_mode_ == 3) {
        std::cout << "here 1" << std::endl;
        if (Present(settings, "thresholdSetting")) {
            std::cout << "here 2" << std::endl;
            const Json::Value& thresholds = settings["thresholdSetting"];
            for (auto it = thresholds.begin(); it != thresholds.end(); ++it) {
                const std::string key = it.key().asString();
                std::cout << "here " << key << std::endl;
                const Json::Value& entry = *it;
                if (!entry.isObject()) {
                    continue;
                }
                if (Present(entry, "SignalName")) {
                    signal_name_map_[key] = entry["SignalName"].asString();
                }
                // "NMAlarmID;ID;SignalNumber;", a missing part left empty.
                std::string identity;
                for (const char* part : {"NMAlarmID", "ID", "SignalNumber"}) {
                    if (Present(entry, part)) {
                        identity += entry[part].asString();
                    } else {
                        std::cout << this->DataId() << ' ' << part << " is missing" << std::endl;
                    }
                    identity += ';';
                }
                std::cout << "mobile:" << key << ':' << identity
                          << " level:" << this->alarm_levels_[key]
                          << " value:" << this->threshold_values_[key] << std::endl;
                alarm_id_map_[key] = identity;
            }
        }
    }

    return HalxVDevice::InitSetting(settings);
}

// Round completion of UniDataDevice: what happens once a poll cycle (or a
// cached record) has filled the record.  Included by the device's own
// translation unit, which instantiates the template.
#pragma once

#include <cstring>
#include <iostream>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "device/UniDataDevice.h"
#include "halx/ttime.h"

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

// The settings step of UniDataDevice: the settings mode and, in mode 3, the
// per-key threshold settings, with the diagnostic lines the unit's field
// engineers read on the console.  Included by the device's own translation
// unit, which instantiates the template.
#pragma once

#include <iostream>
#include <string>

#include <json/value.h>

#include "device/UniDataDevice.h"
#include "protocol/PayloadFields.h"

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

// Stand-in host only: a hook through which a host application (halx-host,
// the tests) sees every host operation that a device calls, in order.
//
// A real monitoring unit wires these operations to its serial port, threshold
// engine, upstream link and history store.  The stand-in host forwards each
// call to the device's observer, if one is set, and otherwise does nothing
// beyond keeping the base-class state.
#pragma once

#include <string>
#include <vector>

#include <json/value.h>

#include "halx/host_api.h"
#include "halx/rule_value.h"

class HalxVDevice;
class HalxSPDevice;

class HALX_API HostObserver
{
public:
    virtual ~HostObserver();

    virtual void OnRefreshStatus(HalxSPDevice& /*dev*/) {}
    virtual void OnSendData(HalxSPDevice& /*dev*/, const unsigned char* /*data*/,
                            unsigned int /*length*/)
    {
    }
    virtual void OnReset(HalxSPDevice& /*dev*/) {}
    virtual void OnSendSP(HalxVDevice& /*dev*/, int /*data_id*/, const unsigned char* /*data*/,
                          unsigned int /*length*/, bool /*urgent*/)
    {
    }
    virtual void OnSaveDeviceHistory(HalxVDevice& /*dev*/, const unsigned char* /*data*/,
                                     unsigned int /*length*/)
    {
    }
    // The result is what the host's threshold engine reports: a change.
    virtual bool OnCheckAOReport(HalxVDevice& /*dev*/, const std::string& /*key*/, float /*value*/)
    {
        return false;
    }
    virtual void OnCheckThreshold(HalxVDevice& /*dev*/, const std::string& /*key*/,
                                  const std::string& /*text*/, const float& /*value*/,
                                  int /*level*/)
    {
    }
    virtual bool OnDoBatchCheckThreshold(HalxVDevice& /*dev*/,
                                         const std::vector<rule_value>& /*rules*/)
    {
        return false;
    }
    virtual void OnCheckThresholdBool(HalxVDevice& /*dev*/, int /*kind*/,
                                      const std::string& /*key*/, const std::string& /*alarm_id*/,
                                      const std::string& /*name*/,
                                      const std::string& /*description*/, bool /*active*/,
                                      unsigned short /*sequence*/)
    {
    }
    // The result is the result of the host's own settings parse.
    virtual bool OnInitSetting(HalxVDevice& /*dev*/, const Json::Value& /*settings*/)
    {
        return true;
    }
};

// The root interface through which the host calls every device.
//
// The order of the virtual operations below is a binary contract with the
// host: it fixes their slots in every device's virtual table.  Never insert,
// remove or reorder a virtual operation here.
#pragma once

#include <stdexcept>
#include <string>

#include "halx/host_api.h"

class HALX_API VDeviceInterface
{
public:
    VDeviceInterface() = default;
    VDeviceInterface(const VDeviceInterface&) = delete;
    VDeviceInterface& operator=(const VDeviceInterface&) = delete;

    // slot 0: a named value of the device's last data.
    virtual float Get_Value(unsigned int /*channel*/, const std::string& /*name*/) const
    {
        throw std::out_of_range("数据未就绪");
    }
    // slot 1: a cached record handed back as a byte string.
    virtual bool LoadFromCache(const std::string& blob)
    {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(blob.data()),
                             static_cast<int>(blob.size()));
    }
    // slot 2
    virtual bool LoadFromCache(const unsigned char* data, int length) = 0;
    // slot 3
    virtual unsigned int DataId() const { return data_id_; }
    // slot 4
    virtual const std::string& DeviceType() const { return device_type_; }
    // slot 5
    virtual int DeviceIoControl(int /*code*/, const void* /*in*/, int /*in_size*/, void* /*out*/,
                                int /*out_size*/, int& /*returned*/)
    {
        return -2;
    }
    // slot 6: one poll cycle of the device is complete.
    virtual void RoundDone() {}
    // slot 7
    virtual bool UseControllerDb() { return use_controller_db_; }

    // Host-side setters; not virtual, not part of the slot table.
    void SetDataId(unsigned int id) { data_id_ = id; }
    void SetUseControllerDb(bool use) { use_controller_db_ = use; }

protected:
    // Not virtual: the virtual destructor enters the chain at HalxVDevice,
    // and devices are never destroyed through this interface.
    ~VDeviceInterface() = default;

    unsigned int data_id_ = 0;
    std::string device_type_;
    bool use_controller_db_ = false;
};

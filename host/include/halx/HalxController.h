// The host's controller: the owner of all device objects of one unit.
#pragma once

#include <string>

#include "halx/host_api.h"

class HALX_API HalxController
{
public:
    HalxController() = default;
    explicit HalxController(std::string name) : name_(std::move(name)) {}
    virtual ~HalxController();

    const std::string& Name() const { return name_; }

private:
    std::string name_;
};

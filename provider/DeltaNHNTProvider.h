// The plug-in's one provider: it makes UPS device objects for the host.
#pragma once

#include "halx/Provider.h"

class DeltaNHNTProvider : public HalxSPDeviceProvider
{
public:
    ~DeltaNHNTProvider() override;
    // A new, independent device; the host owns it from now on.
    HalxSPDevice* create() const override;
};

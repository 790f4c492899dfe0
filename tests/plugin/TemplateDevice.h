// The bare UniDataDevice template on the host's serial device, reporting
// under data identifier 7: what any device gets that overrides nothing.
#pragma once

#include "device/UniDataDevice.h"
#include "halx/HalxSPDevice.h"
#include "record/DeltanhntCmdsRply.h"

using TemplateDevice = UniDataDevice<DeltanhntCmdsRply_t, HalxSPDevice, 7>;
extern template class UniDataDevice<DeltanhntCmdsRply_t, HalxSPDevice, 7>;

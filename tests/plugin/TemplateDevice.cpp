#include "TemplateDevice.h"

#include "device/UniDataDevice.ipp"

template class UniDataDevice<DeltanhntCmdsRply_t, HalxSPDevice, 7>;

#include "TemplateDevice.h"

#include "alarms/RoundCompletion.ipp"
#include "device/UniDataSettings.ipp"

template class UniDataDevice<DeltanhntCmdsRply_t, HalxSPDevice, 7>;

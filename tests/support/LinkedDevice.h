// A device of the plug-in's code linked into the program
// (deltanhnt_objects) instead of loaded from deltanhnt.so: for the programs
// that do not dlopen, the fuzz targets and the benchmarks.
#pragma once

#include <memory>

#include "device/DeltaNHNT.h"
#include "halx/HalxSPDevice.h"

inline std::unique_ptr<HalxSPDevice> LinkedDevice()
{
    return std::make_unique<DeltaNHNT>();
}

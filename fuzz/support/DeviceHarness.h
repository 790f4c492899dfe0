// What the fuzz targets share: a device wired to a recording host and exact
// comparison of host call logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/DeltaNHNT.h"
#include "support/CallLog.h"

// Data identifier the fuzz targets give their devices.
inline constexpr unsigned int kFuzzDataId = 5035;

// Record bytes that hold the completion time stamp: two runs a second apart
// legitimately differ there, so comparisons leave them out.
inline constexpr std::size_t kRoundTimeOffset = offsetof(DeltanhntCmdsRply_t, RoundTime);

// A device as the host sets it up: data identifier, observer, settings.
struct HarnessDevice {
    DeltaNHNT device;
    CallLog log;

    HarnessDevice();
    int Feed(const std::uint8_t* data, std::size_t length);
    int Feed(const std::string& bytes);
};

// True when the two records are equal apart from the time stamp.
bool SameRecord(const DeltanhntCmdsRply_t& a, const DeltanhntCmdsRply_t& b);

// Compares two call logs field by field (records without their time stamp);
// returns an empty string when they are equal, else a description of the
// first difference.
std::string CompareCalls(const std::vector<HostCall>& a, const std::vector<HostCall>& b);

// Sends the device's diagnostic lines (std::cout) nowhere, or into `sink`.
void RedirectDiagnostics(std::streambuf* sink);

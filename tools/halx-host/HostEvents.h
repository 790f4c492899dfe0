// The host side of one device: sees every host operation the device calls
// (through the stand-in host's observer hook), hands each to the report, the
// frames to the serial link and the history records to the history file, and
// keeps track of poll cycles.
//
// A cycle is in progress from RefreshStatus until the next Reset.  A record
// reported with SendSP and followed by Reset is a completed round; a Reset
// without a record abandons the cycle.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "Report.h"
#include "halx/HalxSPDevice.h"
#include "halx/HostObserver.h"

namespace halxhost
{

// Appends every history record to a file.
class HistoryFile
{
public:
    // Throws BadInput when the file cannot be opened for appending.
    explicit HistoryFile(const std::string& path);
    ~HistoryFile();
    HistoryFile(const HistoryFile&) = delete;
    HistoryFile& operator=(const HistoryFile&) = delete;

    void Append(const unsigned char* data, std::size_t length);

private:
    std::string path_;
    std::FILE* file_ = nullptr;
    bool failed_ = false;
};

class HostEvents : public HostObserver
{
public:
    HostEvents(Report& report, HistoryFile* history);

    // Where the frames of SendData go (the serial link).
    std::function<void(const unsigned char*, std::size_t)> send;

    // RefreshStatus on the device, as the start of a cycle.
    void StartCycle(HalxSPDevice& dev);
    bool CycleInProgress() const { return in_progress_; }
    // The host ends the current exchange itself (the UPS fell silent, the port
    // was lost): the device's Reset, reported as the host's.
    void HostReset(HalxSPDevice& dev);
    // True once for each round completed since the last call.
    bool TakeCompletedRound();

    Counters& counters() { return counters_; }

    void OnSendData(HalxSPDevice& dev, const unsigned char* data, unsigned int length) override;
    void OnReset(HalxSPDevice& dev) override;
    void OnSendSP(HalxVDevice& dev, int data_id, const unsigned char* data, unsigned int length,
                  bool urgent) override;
    void OnSaveDeviceHistory(HalxVDevice& dev, const unsigned char* data,
                             unsigned int length) override;
    void OnCheckThresholdBool(HalxVDevice& dev, int kind, const std::string& key,
                              const std::string& alarm_id, const std::string& name,
                              const std::string& description, bool active,
                              unsigned short sequence) override;

private:
    Report& report_;
    HistoryFile* history_;
    Counters counters_;
    bool in_progress_ = false;
    bool record_reported_ = false; // SendSP seen, its Reset not yet
    bool reset_by_host_ = false;
    unsigned completed_untaken_ = 0;
};

// Get_Value for each of the sixteen served names; refusals keep their
// message.
std::vector<SignalValue> ReadValues(const HalxSPDevice& dev);

// Seconds since the device's last completed cycle; -1 before the first.
long long DataAgeSeconds(const HalxSPDevice& dev);

} // namespace halxhost

// The host side of one device: sees every host operation the device calls
// (through the stand-in host's observer hook), hands each to the report, the
// frames to the serial link and the history records to the history file,
// takes in the plug-in's console lines in order with them, and keeps track
// of poll cycles in the line's monitor.
//
// A cycle is in progress from RefreshStatus until the next Reset.  A record
// reported with SendSP and followed by Reset is a completed round; a Reset
// without a record abandons the cycle, and the monitor is told why from what
// the line carried.  A plug-in that sends its next query after its own Reset
// (a reply that came behind noise) carries the cycle on.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "ConsoleCapture.h"
#include "LineMonitor.h"
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
    // console: where the plug-in's standard output is taken in (nullptr:
    // it is not).
    HostEvents(Report& report, HistoryFile* history, LineMonitor& monitor, ConsoleCapture* console);

    // Where the frames of SendData go (the serial link).
    std::function<void(const unsigned char*, std::size_t)> send;
    // What a site makes of the device's calls besides the report: each
    // status alarm checked, each history record (beside the history file).
    std::function<void(const AlarmCall&)> on_alarm;
    std::function<void(const unsigned char*, std::size_t)> on_history;

    // RefreshStatus on the device, as the start of a cycle.
    void StartCycle(HalxSPDevice& dev);
    bool CycleInProgress() const { return in_progress_; }
    // A chunk from the line, handed to the device's process().
    void Process(HalxSPDevice& dev, unsigned char* data, std::size_t length);
    // The host ends the current exchange itself (the UPS fell silent, the port
    // was lost): the device's Reset, reported as the host's, for `why`.
    void HostReset(HalxSPDevice& dev, const Verdict& why);
    // True once for each round completed since the last call.
    bool TakeCompletedRound();
    // The plug-in's console lines written so far, to the report; with
    // `all`, an unfinished last line too (after a device call returns).
    void DrainConsole(bool all);

    LineMonitor& monitor() { return monitor_; }
    Counters& counters() { return monitor_.Counters(); }

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
    bool OnCheckAOReport(HalxVDevice& dev, const std::string& key, float value) override;
    bool OnDoBatchCheckThreshold(HalxVDevice& dev, const std::vector<rule_value>& rules) override;

private:
    Report& report_;
    HistoryFile* history_;
    LineMonitor& monitor_;
    ConsoleCapture* console_;
    bool in_progress_ = false;
    bool record_reported_ = false; // SendSP seen, its Reset not yet
    std::vector<unsigned char> record_;
    bool reset_by_host_ = false;
    Verdict host_verdict_;
    // The chunk being processed and what the device had buffered before it.
    std::string chunk_;
    std::string buffered_;
    unsigned completed_untaken_ = 0;
};

// Get_Value for each of the sixteen served names; refusals keep their
// message.
std::vector<SignalValue> ReadValues(const HalxSPDevice& dev);

// Seconds since the device's last completed cycle; -1 before the first.
long long DataAgeSeconds(const HalxSPDevice& dev);

} // namespace halxhost

#include "HostEvents.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "common/Errors.h"
#include "record/ServedSignals.h"

namespace halxhost
{

using tools::BadInput;

const char* StopReasonName(StopReason reason)
{
    switch (reason) {
    case StopReason::Cycles:
        return "cycles";
    case StopReason::Signal:
        return "signal";
    case StopReason::Timeout:
        return "timeout";
    }
    return "?";
}

HistoryFile::HistoryFile(const std::string& path) : path_(path)
{
    file_ = std::fopen(path.c_str(), "ab");
    if (file_ == nullptr) {
        throw BadInput("cannot open history file " + path + ": " + std::strerror(errno));
    }
}

HistoryFile::~HistoryFile()
{
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void HistoryFile::Append(const unsigned char* data, std::size_t length)
{
    if (failed_) {
        return;
    }
    if (std::fwrite(data, 1, length, file_) != length || std::fflush(file_) != 0) {
        // Reported once; polling goes on without history.
        failed_ = true;
        std::fprintf(stderr, "halx-host: writing history file %s failed: %s; history stopped\n",
                     path_.c_str(), std::strerror(errno));
    }
}

HostEvents::HostEvents(Report& report, HistoryFile* history, LineMonitor& monitor,
                       ConsoleCapture* console)
    : report_(report), history_(history), monitor_(monitor), console_(console)
{
}

void HostEvents::DrainConsole(bool all)
{
    if (console_ == nullptr) {
        return;
    }
    for (const std::string& line : console_->Take(all)) {
        report_.Console(line);
    }
}

void HostEvents::StartCycle(HalxSPDevice& dev)
{
    in_progress_ = true;
    monitor_.CycleStarted(Moment::Now());
    dev.RefreshStatus();
}

void HostEvents::Process(HalxSPDevice& dev, unsigned char* data, std::size_t length)
{
    chunk_.assign(reinterpret_cast<const char*>(data), length);
    buffered_.assign(reinterpret_cast<const char*>(dev.ReceiveBuffer()),
                     std::min<std::size_t>(dev.ReceivedCount(), HalxSPDevice::RECV_BUF_SIZE));
    monitor_.Received(chunk_, Moment::Now());
    dev.process(data, static_cast<unsigned int>(length));
    chunk_.clear();
}

void HostEvents::HostReset(HalxSPDevice& dev, const Verdict& why)
{
    reset_by_host_ = true;
    host_verdict_ = why;
    try {
        dev.Reset();
    } catch (...) {
        reset_by_host_ = false;
        throw;
    }
    reset_by_host_ = false;
}

bool HostEvents::TakeCompletedRound()
{
    if (completed_untaken_ == 0) {
        return false;
    }
    --completed_untaken_;
    return true;
}

void HostEvents::OnSendData(HalxSPDevice& /*dev*/, const unsigned char* data, unsigned int length)
{
    DrainConsole(false);
    // A query after the plug-in's own Reset, without RefreshStatus: it
    // decoded a reply that came behind what made it reset, and goes on.
    in_progress_ = true;
    monitor_.QuerySent(std::string(reinterpret_cast<const char*>(data), length), Moment::Now());
    report_.Tx(data, length);
    if (send) {
        send(data, length);
    }
}

void HostEvents::OnReset(HalxSPDevice& dev)
{
    DrainConsole(false);
    Counters& counters = monitor_.Counters();
    ++counters.resets;
    report_.Reset(reset_by_host_, dev.CommandState());
    const Moment now = Moment::Now();
    if (record_reported_) {
        record_reported_ = false;
        ++counters.completed;
        ++completed_untaken_;
        monitor_.RoundCompleted(record_.data(), record_.size(), now);
    } else if (in_progress_) {
        ++counters.abandoned;
        Abandonment abandoned;
        abandoned.by_host = reset_by_host_;
        abandoned.awaited = dev.CommandState();
        abandoned.verdict = reset_by_host_ ? host_verdict_
                                           : DiagnoseReset(monitor_.Window(), buffered_, chunk_,
                                                           dev.CommandState());
        monitor_.CycleAbandoned(abandoned.verdict, now);
        report_.Abandoned(abandoned, counters);
    }
    in_progress_ = false;
}

void HostEvents::OnSendSP(HalxVDevice& /*dev*/, int data_id, const unsigned char* data,
                          unsigned int length, bool /*urgent*/)
{
    DrainConsole(false);
    record_reported_ = true;
    record_.assign(data, data + length);
    report_.Record(data_id, data, length);
}

void HostEvents::OnSaveDeviceHistory(HalxVDevice& /*dev*/, const unsigned char* data,
                                     unsigned int length)
{
    DrainConsole(false);
    report_.History(data, length);
    if (history_ != nullptr) {
        history_->Append(data, length);
    }
    if (on_history) {
        on_history(data, length);
    }
}

void HostEvents::OnCheckThresholdBool(HalxVDevice& /*dev*/, int kind, const std::string& key,
                                      const std::string& alarm_id, const std::string& name,
                                      const std::string& description, bool active,
                                      unsigned short sequence)
{
    DrainConsole(false);
    AlarmCall alarm;
    alarm.kind = kind;
    alarm.key = key;
    alarm.alarm_id = alarm_id;
    alarm.name = name;
    alarm.description = description;
    alarm.active = active;
    alarm.sequence = sequence;
    report_.Alarm(alarm);
    if (on_alarm) {
        on_alarm(alarm);
    }
}

bool HostEvents::OnCheckAOReport(HalxVDevice& /*dev*/, const std::string& /*key*/, float /*value*/)
{
    DrainConsole(false);
    return false;
}

bool HostEvents::OnDoBatchCheckThreshold(HalxVDevice& /*dev*/,
                                         const std::vector<rule_value>& /*rules*/)
{
    DrainConsole(false);
    return false;
}

std::vector<SignalValue> ReadValues(const HalxSPDevice& dev)
{
    std::vector<SignalValue> values;
    values.reserve(kServedSignalCount);
    for (const ServedSignal& signal : kServedSignals) {
        SignalValue v;
        v.name = signal.name;
        v.unit = signal.unit;
        try {
            v.value = dev.Get_Value(0, signal.name);
            v.ok = true;
        } catch (const std::out_of_range& refusal) {
            v.error = refusal.what();
        } catch (const std::exception& e) {
            v.error = std::string("unexpected exception: ") + e.what();
        }
        values.push_back(std::move(v));
    }
    return values;
}

long long DataAgeSeconds(const HalxSPDevice& dev)
{
    const boost::posix_time::ptime last = dev.LastRoundTime();
    if (dev.DataValid() != 1 || last.is_special()) {
        return -1;
    }
    return (boost::posix_time::second_clock::local_time() - last).total_seconds();
}

} // namespace halxhost

#include "HostEvents.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "common/Errors.h"
#include "record/ServedSignals.h"

namespace halxhost
{

using tools::BadInput;

const char* LinkStateName(LinkState state)
{
    switch (state) {
    case LinkState::Silent:
        return "silent";
    case LinkState::Answering:
        return "answering";
    case LinkState::Lost:
        return "lost";
    case LinkState::Reopened:
        return "reopened";
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

HostEvents::HostEvents(Report& report, HistoryFile* history) : report_(report), history_(history) {}

void HostEvents::StartCycle(HalxSPDevice& dev)
{
    in_progress_ = true;
    dev.RefreshStatus();
}

void HostEvents::HostReset(HalxSPDevice& dev)
{
    reset_by_host_ = true;
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
    report_.Tx(data, length);
    if (send) {
        send(data, length);
    }
}

void HostEvents::OnReset(HalxSPDevice& dev)
{
    ++counters_.resets;
    report_.Reset(reset_by_host_, dev.CommandState());
    if (record_reported_) {
        record_reported_ = false;
        ++counters_.completed;
        ++completed_untaken_;
    } else if (in_progress_) {
        ++counters_.abandoned;
        if (!reset_by_host_) {
            report_.Abandoned(dev.CommandState(), counters_);
        }
    }
    in_progress_ = false;
}

void HostEvents::OnSendSP(HalxVDevice& /*dev*/, int data_id, const unsigned char* data,
                          unsigned int length, bool /*urgent*/)
{
    record_reported_ = true;
    report_.Record(data_id, data, length);
}

void HostEvents::OnSaveDeviceHistory(HalxVDevice& /*dev*/, const unsigned char* data,
                                     unsigned int length)
{
    report_.History(data, length);
    if (history_ != nullptr) {
        history_->Append(data, length);
    }
}

void HostEvents::OnCheckThresholdBool(HalxVDevice& /*dev*/, int kind, const std::string& key,
                                      const std::string& alarm_id, const std::string& name,
                                      const std::string& description, bool active,
                                      unsigned short sequence)
{
    AlarmCall alarm;
    alarm.kind = kind;
    alarm.key = key;
    alarm.alarm_id = alarm_id;
    alarm.name = name;
    alarm.description = description;
    alarm.active = active;
    alarm.sequence = sequence;
    report_.Alarm(alarm);
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

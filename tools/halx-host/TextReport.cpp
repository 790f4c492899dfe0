#include "TextReport.h"

#include <cstring>
#include <iomanip>

#include "RecordFormat.h"
#include "common/JsonLine.h"
#include "common/PollCycle.h"

namespace halxhost
{
namespace
{

std::string Describe(const AlarmCall& a)
{
    std::string text = a.key + "  " + a.alarm_id + "  " + a.name;
    if (a.description != a.name) {
        text += " (" + a.description + ")";
    }
    return text;
}

std::string TextField(const unsigned char* record, const char* name)
{
    for (const RecordField& f : kRecordFields) {
        if (std::strcmp(f.name, name) == 0) {
            return RecordText(record + f.offset, f.width);
        }
    }
    return "";
}

} // namespace

void TextReport::Started(const SessionInfo& info)
{
    out_ << "halx-host: plug-in " << info.plugin << " (device type \"" << info.device_type
         << "\"), data id " << info.data_id;
    if (!info.port.empty()) {
        out_ << ", port " << info.port << " at " << info.baud << " 8N1, a cycle every "
             << info.interval_s << " s";
    }
    out_ << "\n";
    if (!info.init_setting_ok) {
        out_ << "InitSetting returned false\n";
    }
    out_ << std::flush;
}

void TextReport::Record(int data_id, const unsigned char* data, std::size_t length)
{
    record_.assign(data, data + length);
    record_id_ = data_id;
    alarms_.clear();
    history_length_ = 0;
}

void TextReport::Alarm(const AlarmCall& alarm)
{
    alarms_.push_back(alarm);
}

void TextReport::History(const unsigned char* /*data*/, std::size_t length)
{
    history_length_ = length;
}

void TextReport::Round(const std::vector<SignalValue>& values, long long age_s,
                       const Counters& counters)
{
    ++rounds_shown_;
    out_ << "\n== cycle " << counters.completed << " completed";
    if (record_.size() == kRecordSize) {
        const RecordField& stamp =
            kRecordFields[sizeof(kRecordFields) / sizeof(kRecordFields[0]) - 1];
        out_ << " at " << StampText(record_.data() + stamp.offset);
    }
    out_ << ", data age " << (age_s < 0 ? std::string("unknown") : std::to_string(age_s) + " s")
         << "\n";
    if (record_.size() == kRecordSize) {
        out_ << "UPS      " << TextField(record_.data(), "UpsMnu") << "  model "
             << TextField(record_.data(), "UpsMod") << "  version "
             << TextField(record_.data(), "UpsVer") << "\n";
    }
    out_ << "record   " << record_.size() << " bytes reported under " << record_id_;
    if (history_length_ > 0) {
        out_ << ", " << history_length_ << " bytes stored as history";
    }
    out_ << "\n";

    // Values, four to a line.
    int column = 0;
    bool first_line = true;
    for (const SignalValue& v : values) {
        if (!v.ok) {
            continue;
        }
        out_ << (column != 0  ? "   "
                 : first_line ? "values   "
                              : "         ")
             << std::left << std::setw(13) << v.name << std::right << std::setw(7)
             << tools::ShortestFloat(v.value) << " " << std::left << std::setw(1) << v.unit;
        if (++column == 4) {
            out_ << "\n";
            column = 0;
            first_line = false;
        }
    }
    if (column != 0) {
        out_ << "\n";
    }
    out_ << std::right;
    for (const SignalValue& v : values) {
        if (!v.ok) {
            out_ << "refused  " << v.name << ": " << v.error << "\n";
        }
    }

    // Alarms: what changed since the previous round.
    std::size_t reported = 0;
    std::size_t active = 0;
    for (const AlarmCall& a : alarms_) {
        ++reported;
        auto previous = active_.find(a.key);
        const bool was_active = previous != active_.end() && previous->second.active;
        if (a.active) {
            ++active;
        }
        if (a.active && !was_active) {
            out_ << "raised   " << Describe(a) << "\n";
        } else if (!a.active && was_active) {
            out_ << "cleared  " << Describe(a) << "\n";
        }
        active_[a.key] = a;
    }
    out_ << "alarms   " << active << " active of " << reported << " reported";
    if (active > 0) {
        out_ << ":";
        for (const AlarmCall& a : alarms_) {
            if (a.active) {
                out_ << " " << a.key;
            }
        }
    }
    out_ << "\n";
    PrintCounters(counters);
    out_ << std::flush;
    record_.clear();
    alarms_.clear();
    history_length_ = 0;
}

void TextReport::Abandoned(int awaited, const Counters& counters)
{
    const char* reply = tools::AwaitedReply(awaited);
    out_ << "cycle abandoned: the plug-in reset the exchange";
    if (*reply != '\0') {
        out_ << " while awaiting the " << reply << " reply";
    }
    out_ << " (" << counters.abandoned << " abandoned so far)\n" << std::flush;
}

void TextReport::Link(LinkState /*state*/, const std::string& /*port*/,
                      const std::string& /*detail*/, const Counters& /*counters*/)
{
    // Link changes are reported once on standard error by the poller; the
    // counters line of the next cycle shows them here.
}

void TextReport::CacheLoaded(std::size_t length, bool accepted)
{
    out_ << "LoadFromCache(" << length << " bytes) returned " << (accepted ? "true" : "false")
         << "\n"
         << std::flush;
}

void TextReport::Decoded(std::size_t index, std::size_t count, const unsigned char* data,
                         std::size_t /*length*/)
{
    out_ << "record " << index + 1 << " of " << count << " (file offset " << index * kRecordSize
         << ")\n";
    for (const RecordField& f : kRecordFields) {
        out_ << "  " << std::right << std::setw(3) << f.offset << "  " << std::left << std::setw(15)
             << f.name << " " << std::setw(8) << TypeName(f.type) << " " << FieldText(f, data)
             << "\n";
    }
    out_ << std::right << std::flush;
}

void TextReport::Finished(const Counters& counters)
{
    out_ << "\nstopped; ";
    PrintCounters(counters);
    out_ << std::flush;
}

void TextReport::PrintCounters(const Counters& c)
{
    out_ << "link     cycles completed " << c.completed << ", abandoned " << c.abandoned
         << ", resets " << c.resets << ", stalls " << c.stalls << ", reopenings " << c.reopenings
         << "\n";
}

} // namespace halxhost

#include "TextReport.h"

#include <cmath>
#include <cstring>
#include <iomanip>

#include "RecordFormat.h"
#include "catalogue/Catalogue.h"
#include "common/Format.h"
#include "common/JsonLine.h"
#include "common/PollCycle.h"

namespace halxhost
{
namespace
{

// "deltaNHNT_3  2A1211804  交流输出电流过高: AC output current too high": the
// names as the plug-in passes them, the catalogue's English gloss after.
std::string Describe(const AlarmCall& a)
{
    std::string text = a.key + "  " + a.alarm_id + "  " + a.name;
    if (a.description != a.name) {
        text += " (" + a.description + ")";
    }
    if (const catalogue::AlarmMeaning* meaning = catalogue::FindAlarmMeaning(a.key)) {
        text += ": " + std::string(meaning->gloss);
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

// The second block: catalogue quantities by line, as the exporters name
// them.
struct Block {
    const char* title;
    std::vector<const char*> quantities;
};

const Block kBlocks[] = {
    {"ups", {"ups.status", "experimental.output.source", "ups.load", "ups.realpower"}},
    {"battery", {"battery.charge", "battery.runtime", "battery.temperature", "battery.current"}},
    {"freq", {"input.frequency", "output.frequency", "input.bypass.frequency"}},
};

const char* const kLegend =
    "         (completed: cycles whose record was reported; abandoned: cycles given up\n"
    "          without a record; resets: Reset calls, one at the end of every cycle,\n"
    "          completed or not; stalls: cycles the host ended after --reply-timeout\n"
    "          of silence; reopenings: times a lost port was opened again)\n";

} // namespace

void TextReport::Started(const SessionInfo& info)
{
    simulated_ = info.simulated;
    if (info.simulated) {
        out_ << "halx-host: SIMULATED UPS: polling the built-in simulator on " << info.port
             << "; no real UPS is polled (name one with --port)\n";
    }
    out_ << "halx-host " << info.version << ": plug-in " << info.plugin << " (device type \""
         << info.device_type << "\"";
    if (!info.plugin_build_id.empty()) {
        out_ << ", build id " << info.plugin_build_id;
    }
    out_ << "), data id " << info.data_id
         << " (the device's own identifier, stamped into the record's DataId)";
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

void TextReport::Console(const std::string& text)
{
    if (!verbose_) {
        return;
    }
    out_ << (terminal_ ? "\033[2m" : "") << "console  " << text << (terminal_ ? "\033[0m" : "")
         << "\n"
         << std::flush;
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

void TextReport::PrintCatalogueBlock(const unsigned char* record)
{
    for (const Block& block : kBlocks) {
        std::string line;
        for (const char* name : block.quantities) {
            const catalogue::Quantity* quantity = catalogue::FindQuantity(name);
            catalogue::Value value;
            if (quantity == nullptr || !catalogue::ValueOf(record, *quantity, value)) {
                continue;
            }
            line += (line.empty() ? "" : "   ") + std::string(name) + " " + value.text;
            if (*quantity->unit != '\0') {
                line += " " + std::string(quantity->unit);
            }
            if (value.numeric && std::strcmp(quantity->unit, "s") == 0 && value.number >= 60) {
                line += " (" + catalogue::FormatNumber(value.number / 60.0, 0) + " min)";
            }
        }
        if (!line.empty()) {
            out_ << std::left << std::setw(9) << block.title << std::right << line << "\n";
        }
    }
}

void TextReport::Round(const RoundReport& round)
{
    ++rounds_shown_;
    out_ << "\n== cycle " << round.counters.completed << " completed"
         << (simulated_ ? " (SIMULATED UPS)" : "") << " at " << tools::LocalTime(round.time)
         << ", data age "
         << (round.age_s < 0 ? std::string("unknown") : std::to_string(round.age_s) + " s") << "\n";
    if (record_.size() == kRecordSize) {
        out_ << "UPS      " << TextField(record_.data(), "UpsMnu") << "  model "
             << TextField(record_.data(), "UpsMod") << "  version "
             << TextField(record_.data(), "UpsVer") << "\n";
    }
    out_ << "record   " << record_.size() << " bytes reported under data id " << record_id_
         << " (the plug-in's record type)";
    if (history_length_ > 0) {
        out_ << ", " << history_length_ << " bytes stored as history";
    }
    out_ << "\n";

    // Values, four to a line.
    int column = 0;
    bool first_line = true;
    for (const SignalValue& v : round.values) {
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
    for (const SignalValue& v : round.values) {
        if (!v.ok) {
            out_ << "refused  " << v.name << ": " << v.error << "\n";
        }
    }
    if (record_.size() == kRecordSize) {
        PrintCatalogueBlock(record_.data());
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
                const catalogue::AlarmMeaning* meaning = catalogue::FindAlarmMeaning(a.key);
                out_ << " " << a.key
                     << (meaning != nullptr ? " (" + std::string(meaning->gloss) + ")" : "");
            }
        }
    }
    out_ << "\n";
    PrintCounters(round.counters);
    out_ << std::flush;
    record_.clear();
    alarms_.clear();
    history_length_ = 0;
}

void TextReport::Abandoned(const Abandonment& abandoned, const Counters& counters)
{
    const char* reply = tools::AwaitedReply(abandoned.awaited);
    out_ << "cycle abandoned";
    if (!abandoned.verdict.query.empty()) {
        out_ << " at the " << abandoned.verdict.query << " reply";
    } else if (*reply != '\0') {
        out_ << " at the " << reply << " reply";
    }
    out_ << (simulated_ ? " (SIMULATED UPS)" : "") << ": " << abandoned.verdict.text << "; the "
         << (abandoned.by_host ? "host" : "plug-in") << " reset the exchange, "
         << counters.abandoned << " abandoned so far\n"
         << std::flush;
}

void TextReport::Notice(const LineNotice& /*notice*/, const Counters& /*counters*/)
{
    // Told once on standard error by the poller; the status lines and the
    // counters here show their effect.
}

void TextReport::Status(const LineStatus& status)
{
    out_ << "status   " << (simulated_ ? "(SIMULATED UPS) " : "") << status.text << "\n"
         << std::flush;
}

void TextReport::CacheLoaded(std::size_t length, bool accepted, const std::string& cached_stamp)
{
    out_ << "LoadFromCache(" << length << " bytes) returned " << (accepted ? "true" : "false")
         << "\n";
    out_ << "cached   the record's own time stamp: "
         << (cached_stamp.empty() ? std::string("none") : cached_stamp + " (local time)");
    if (accepted && record_.size() == kRecordSize) {
        const RecordField& stamp = kRecordFields[std::size(kRecordFields) - 1];
        out_ << "; reported now stamped " << StampText(record_.data() + stamp.offset)
             << " (the plug-in stamps a loaded record anew)";
    }
    out_ << "\n" << std::flush;
}

void TextReport::Decoded(std::size_t index, std::size_t count, const unsigned char* data,
                         std::size_t /*length*/, const std::vector<const RecordField*>& fields)
{
    if (origin_) {
        out_ << "record " << index + 1 << " of " << count << ": UPS " << origin_->ups << ", round "
             << origin_->sequence << ", " << origin_->time << "\n";
        origin_.reset();
    } else {
        out_ << "record " << index + 1 << " of " << count << " (file offset " << index * kRecordSize
             << ")\n";
    }
    for (const RecordField* f : fields) {
        const catalogue::FieldMeaning* meaning = catalogue::FindFieldMeaning(f->name);
        const std::string unit =
            meaning != nullptr && *meaning->unit != '\0' ? std::string(" ") + meaning->unit : "";
        out_ << "  " << std::right << std::setw(3) << f->offset << "  " << std::left
             << std::setw(15) << f->name << " " << std::setw(8) << TypeName(f->type) << " "
             << FieldText(*f, data) << unit << "\n";
    }
    out_ << std::right << std::flush;
}

void TextReport::Finished(const Counters& counters, StopReason reason)
{
    out_ << "\nend      "
         << (reason == StopReason::Cycles   ? "the requested cycles completed"
             : reason == StopReason::Signal ? "stopped by a signal"
                                            : "--timeout reached")
         << "\nstopped; ";
    PrintCounters(counters);
    out_ << std::flush;
}

void TextReport::PrintCounters(const Counters& c)
{
    out_ << "link     cycles completed " << c.completed << ", abandoned " << c.abandoned
         << ", resets " << c.resets << ", stalls " << c.stalls << ", reopenings " << c.reopenings
         << "\n";
    if (!legend_shown_) {
        legend_shown_ = true;
        out_ << kLegend;
    }
}

} // namespace halxhost

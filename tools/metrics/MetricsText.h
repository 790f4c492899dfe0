// The site's metrics in Prometheus's text exposition format (version 0.0.4):
// every family with its HELP and TYPE lines, then its samples, one per UPS
// (and per line, for the per-line values), UPSes in the order given.
//
// What a UPS exports:
// - always: ups_data_stale, ups_link_state (one series per state, 1 for the
//   current one) and the link counters (ups_link_*_total); once it has
//   completed a round, ups_data_age_seconds and
//   ups_last_round_timestamp_seconds;
// - while its data is fresh (a round no older than its staleness limit):
//   ups_info (identity texts), ups_output_source (one series per source),
//   ups_alarm (one gauge per alarm the UPS reports, 0 or 1; a flag it leaves
//   out has no series) and the catalogue's values (names, units and
//   conversions from tools/catalogue).  Stale data exports none of these.
// Site-wide: ups_mqtt_outbox_entries, when the site has an outbox.
//
// A writer keeps its scratch space from one call to the next, so that a
// scrape of a steady site allocates nothing once `out` has grown to size.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RecordReader.h"
#include "UpsSnapshot.h"

namespace metrics
{

// The Content-Type of what Write produces.
inline constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

class MetricsText
{
public:
    MetricsText();

    // Replaces the content of `out` with the metrics of these UPSes at
    // `now`.  outbox_depth: the number of entries in the MQTT outbox, or
    // nullopt when the site has none (the family is left out).
    void Write(const std::vector<const site::UpsSnapshot*>& ups,
               std::chrono::steady_clock::time_point now, std::optional<std::uint64_t> outbox_depth,
               std::string& out);

private:
    // Up to this many distinct line-count fields (the record has three).
    static constexpr std::size_t kMaxLineCounts = 4;

    // One series of a catalogue value family: a record field, converted.
    struct ValueSeries {
        const RecordField* field;
        int line_count;   // index into line_count_fields_, or -1: not per line
        int line;         // 1..3, or 0
        double factor;    // the field times this is the metric's value
        std::string tail; // what follows the ups label: ,line="2"} or }
    };
    struct ValueFamily {
        std::string name;
        std::string header; // its HELP and TYPE lines
        std::vector<ValueSeries> series;
    };
    // What Write works out once per UPS.
    struct UpsScratch {
        const site::UpsSnapshot* snapshot = nullptr;
        const unsigned char* record = nullptr; // the last round's, or nullptr
        bool fresh = false;
        std::string labels; // {ups="..."
        std::array<int, kMaxLineCounts> lines_in_use{};
    };

    void WriteUpsFamilies(std::string& out) const;
    void WriteValueFamilies(std::string& out) const;

    const RecordField* manufacturer_;
    const RecordField* model_;
    const RecordField* firmware_;
    const RecordField* output_source_;
    // The label text after the ups label, per alarm, per output source and
    // per link state: ,key="...",alarm_id="...",alarm="..."} and so on.
    std::vector<std::string> alarm_tails_;
    std::vector<std::string> source_tails_;
    std::vector<std::string> state_tails_;
    std::vector<ValueFamily> value_families_;
    std::vector<const RecordField*> line_count_fields_;
    std::vector<UpsScratch> scratch_;
    std::size_t count_ = 0; // UPSes in scratch_ for this call
    std::chrono::steady_clock::time_point now_{};
};

// Appends a label value as the format writes it: backslash, double quote and
// newline escaped (\\, \", \n); bytes that are not UTF-8 (the UPS's texts are
// bytes as it sent them) each become U+FFFD.
void AppendLabelValue(std::string& out, std::string_view value);
// Appends a sample value: the shortest text that reads back as the same
// double; NaN, +Inf and -Inf as the format spells them; no negative zero.
void AppendNumber(std::string& out, double value);
// The same for a value that has a float's precision only (a 32-bit float
// field): 271.2, not 271.20001220703125.
void AppendNumber(std::string& out, float value);

} // namespace metrics

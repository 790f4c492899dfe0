// What the metrics tests export: records built field by field, as the
// decoders would leave them, in snapshots of UPSes, and the exposition text
// read back into samples.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "UpsSnapshot.h"
#include "support/RecordBuilder.h"

namespace metrics_test
{

// A 338-byte record, zero but for what is set.
using Record = ::RecordBuilder;

// A healthy three-phase UPS on mains: texts, ratings, battery, three input
// and output lines, one bypass line, every flag reported and clear.
Record ThreePhaseUps();

// A UPS whose last round completed `age` ago (steady clock).
site::UpsSnapshot FreshUps(const std::string& name, const Record& record,
                           std::chrono::steady_clock::duration age = std::chrono::seconds(1),
                           std::chrono::seconds stale_after = std::chrono::seconds(3600));
// A UPS that has not completed a round yet.
site::UpsSnapshot UpsWithoutRound(const std::string& name);

std::vector<const site::UpsSnapshot*> Pointers(const std::vector<site::UpsSnapshot>& site);

// One sample of the exposition.
struct Sample {
    std::string name;
    std::map<std::string, std::string> labels; // unescaped
    std::string value;                         // as written
};

// The exposition read back.  Checks as it reads (each a test failure): every
// family has one HELP and one TYPE line before its samples, a family's
// samples are contiguous, no series appears twice, every line is a comment
// or a sample of the form name{label="value",...} value.
struct Exposition {
    std::vector<Sample> samples;
    std::map<std::string, std::string> types; // family name -> TYPE
    std::map<std::string, std::string> help;  // family name -> HELP (unescaped)

    // The samples of one metric whose labels include all of `labels`.
    std::vector<Sample> Find(const std::string& name,
                             const std::map<std::string, std::string>& labels = {}) const;
    // The value of the one sample that matches; a test failure and "" when
    // there is not exactly one.
    std::string Value(const std::string& name,
                      const std::map<std::string, std::string>& labels = {}) const;
};
Exposition Parse(const std::string& text);

} // namespace metrics_test

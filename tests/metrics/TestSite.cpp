#include "TestSite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>

#include "Catalogue.h"

namespace metrics_test
{

Record ThreePhaseUps()
{
    Record r;
    r.Text("UpsMnu", "DELTA")
        .Text("UpsMod", "NH-PLUS 20K")
        .Text("UpsVer", "V1.23")
        .Set("RatInptVlt", 220)
        .Set("RatOuptVlt", 220)
        .Set("RatBttryVlt", 240)
        .Set("SecOnBattry", 0)
        .Set("EstMinRmn", 120)
        .Set("EstChrgRmn", 87)
        .Set("BattryVlt", 271.2F)
        .Set("BattryCrrent", -0.4F)
        .Set("BattryTmp", 25)
        .Set("InptLines", 3)
        .Set("InptFrq1", 50.0F)
        .Set("InptFrq2", 50.1F)
        .Set("InptFrq3", 49.9F)
        .Set("InptVlt1", 220.5F)
        .Set("InptVlt2", 221.3F)
        .Set("InptVlt3", 219.8F)
        .Set("InptCrrent1", 10.2F)
        .Set("InptCrrent2", 10.5F)
        .Set("InptCrrent3", 9.8F)
        .Set("InptPwr1", 2250)
        .Set("InptPwr2", 2300)
        .Set("OutptSrc", 0)
        .Set("OutptFrq", 50.0F)
        .Set("OutptLines", 3)
        .Set("OutptVlt1", 220.0F)
        .Set("OutptVlt2", 220.1F)
        .Set("OutptVlt3", 219.9F)
        .Set("OutptCrrent1", 11.5F)
        .Set("OutptCrrent2", 11.6F)
        .Set("OutptCrrent3", 11.4F)
        .Set("OutptPwr1", 2530)
        .Set("OutptPwr2", 2540)
        .Set("OutptPwr3", 2520)
        .Set("OutptLd1", 45)
        .Set("OutptLd2", 61)
        .Set("OutptLd3", 44)
        .Set("BypssFrq", 50.0F)
        .Set("BypssLines", 1)
        .Set("BypssVlt1", 221.0F)
        .Set("BypssCrrent1", 0.0F)
        .Set("BypssPwr1", 0);
    return r;
}

site::UpsSnapshot FreshUps(const std::string& name, const Record& record,
                           std::chrono::steady_clock::duration age,
                           std::chrono::seconds stale_after)
{
    site::UpsSnapshot ups;
    ups.name = name;
    ups.description = "UPS " + name;
    ups.data_id = 5035;
    ups.stale_after = stale_after;
    site::Round round;
    round.record = record.bytes();
    round.steady = std::chrono::steady_clock::now() - age;
    round.time = std::chrono::system_clock::now() -
                 std::chrono::duration_cast<std::chrono::system_clock::duration>(age);
    round.sequence = 7;
    ups.last = round;
    ups.line = site::LineState::Up;
    ups.counters = {7, 1, 8, 1, 0};
    return ups;
}

site::UpsSnapshot UpsWithoutRound(const std::string& name)
{
    site::UpsSnapshot ups;
    ups.name = name;
    ups.line = site::LineState::Starting;
    return ups;
}

std::vector<const site::UpsSnapshot*> Pointers(const std::vector<site::UpsSnapshot>& site)
{
    std::vector<const site::UpsSnapshot*> pointers;
    for (const site::UpsSnapshot& ups : site) {
        pointers.push_back(&ups);
    }
    return pointers;
}

namespace
{

bool IsNameChar(char c, bool first)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
           (!first && c >= '0' && c <= '9');
}

// Reads a metric or label name at text[pos]; empty when there is none.
std::string ReadName(const std::string& text, std::size_t& pos)
{
    const std::size_t start = pos;
    while (pos < text.size() && IsNameChar(text[pos], pos == start)) {
        ++pos;
    }
    return text.substr(start, pos - start);
}

// Reads a quoted label value at text[pos] (on the opening quote); false when
// it is not well formed.
bool ReadLabelValue(const std::string& text, std::size_t& pos, std::string& value)
{
    if (pos >= text.size() || text[pos] != '"') {
        return false;
    }
    for (++pos; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\') {
            if (++pos >= text.size()) {
                return false;
            }
            const char e = text[pos];
            if (e == 'n') {
                value += '\n';
            } else if (e == '\\' || e == '"') {
                value += e;
            } else {
                return false;
            }
        } else {
            value += c;
        }
    }
    return false;
}

std::string Unescape(const std::string& help)
{
    std::string out;
    for (std::size_t i = 0; i < help.size(); ++i) {
        if (help[i] == '\\' && i + 1 < help.size()) {
            out += help[++i] == 'n' ? '\n' : help[i];
        } else {
            out += help[i];
        }
    }
    return out;
}

} // namespace

Exposition Parse(const std::string& text)
{
    Exposition e;
    std::istringstream lines(text);
    std::string line;
    std::set<std::string> finished; // families whose samples are behind us
    std::string current;            // the family of the last line
    std::set<std::string> series;
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "the text ends with a newline";
    while (std::getline(lines, line)) {
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
            std::size_t pos = 7;
            const std::string name = ReadName(line, pos);
            EXPECT_FALSE(name.empty()) << line;
            EXPECT_TRUE(pos < line.size() && line[pos] == ' ') << line;
            const std::string rest = pos < line.size() ? line.substr(pos + 1) : "";
            auto& table = line[2] == 'H' ? e.help : e.types;
            EXPECT_EQ(table.count(name), 0U) << "second " << line.substr(0, 6) << " of " << name;
            EXPECT_EQ(finished.count(name), 0U) << name << " described after its samples";
            table[name] = line[2] == 'H' ? Unescape(rest) : rest;
            if (current != name && !current.empty()) {
                finished.insert(current);
            }
            current = name;
            continue;
        }
        EXPECT_NE(line[0], '#') << "unexpected comment: " << line;
        Sample sample;
        std::size_t pos = 0;
        sample.name = ReadName(line, pos);
        EXPECT_FALSE(sample.name.empty()) << line;
        if (pos < line.size() && line[pos] == '{') {
            ++pos;
            while (pos < line.size() && line[pos] != '}') {
                const std::string label = ReadName(line, pos);
                std::string value;
                const bool good = !label.empty() && pos < line.size() && line[pos] == '=' &&
                                  ReadLabelValue(line, ++pos, value);
                EXPECT_TRUE(good) << line;
                if (!good) {
                    break;
                }
                EXPECT_EQ(sample.labels.count(label), 0U) << line;
                sample.labels[label] = value;
                if (pos < line.size() && line[pos] == ',') {
                    ++pos;
                }
            }
            EXPECT_TRUE(pos < line.size() && line[pos] == '}') << line;
            ++pos;
        }
        EXPECT_TRUE(pos < line.size() && line[pos] == ' ') << line;
        sample.value = pos < line.size() ? line.substr(pos + 1) : "";
        EXPECT_FALSE(sample.value.empty()) << line;
        EXPECT_EQ(sample.value.find(' '), std::string::npos) << "no time stamps: " << line;
        if (sample.name != current) {
            if (!current.empty()) {
                finished.insert(current);
            }
            current = sample.name;
        }
        EXPECT_EQ(finished.count(sample.name), 0U) << sample.name << " is split: " << line;
        EXPECT_EQ(e.help.count(sample.name), 1U) << "no HELP before " << line;
        EXPECT_EQ(e.types.count(sample.name), 1U) << "no TYPE before " << line;
        std::string key = sample.name;
        for (const auto& label : sample.labels) {
            key += "|" + label.first + "=" + label.second;
        }
        EXPECT_TRUE(series.insert(key).second) << "twice: " << line;
        e.samples.push_back(std::move(sample));
    }
    return e;
}

std::vector<Sample> Exposition::Find(const std::string& name,
                                     const std::map<std::string, std::string>& labels) const
{
    std::vector<Sample> found;
    for (const Sample& sample : samples) {
        if (sample.name != name) {
            continue;
        }
        const bool all = std::all_of(labels.begin(), labels.end(), [&](const auto& label) {
            const auto it = sample.labels.find(label.first);
            return it != sample.labels.end() && it->second == label.second;
        });
        if (all) {
            found.push_back(sample);
        }
    }
    return found;
}

std::string Exposition::Value(const std::string& name,
                              const std::map<std::string, std::string>& labels) const
{
    const std::vector<Sample> found = Find(name, labels);
    if (found.size() != 1) {
        std::string wanted = name;
        for (const auto& label : labels) {
            wanted += " " + label.first + "=" + label.second;
        }
        ADD_FAILURE() << found.size() << " samples of " << wanted;
        return "";
    }
    return found[0].value;
}

} // namespace metrics_test

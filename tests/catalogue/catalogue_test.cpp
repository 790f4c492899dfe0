// The value catalogue: its tables agree with the record, every exported
// name follows its system's rules, values and status come out as documented,
// and docs/CATALOGUE.md is what the catalogue prints.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Catalogue.h"
#include "CatalogueMarkdown.h"
#include "MetricFamilies.h"
#include "catalogue/TestRecord.h"
#include "support/ParamNames.h"

namespace
{

using namespace catalogue;
using Record = catalogue::TestRecord;

std::string Join(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

std::map<std::string, std::string> TextsOf(const Record& record)
{
    std::map<std::string, std::string> texts;
    for (const Value& value : Values(record.data())) {
        texts[value.quantity->nut] = value.text;
    }
    return texts;
}

TEST(Catalogue, FieldMeaningsFollowTheRecordOneForOne)
{
    ASSERT_EQ(FieldMeanings().size(), sizeof(kRecordFields) / sizeof(kRecordFields[0]));
    for (std::size_t i = 0; i < FieldMeanings().size(); ++i) {
        EXPECT_STREQ(FieldMeanings()[i].field, kRecordFields[i].name);
        EXPECT_NE(std::strlen(FieldMeanings()[i].meaning), 0U) << FieldMeanings()[i].field;
    }
}

TEST(Catalogue, EveryQuantityReadsFieldsThatExist)
{
    for (const Quantity& q : Quantities()) {
        SCOPED_TRACE(q.nut);
        switch (q.derivation) {
        case Derivation::Field:
        case Derivation::Text:
        case Derivation::OutputSource:
            EXPECT_NE(FindRecordField(q.field), nullptr);
            break;
        case Derivation::SumOverLines:
        case Derivation::MaxOverLines:
            for (const char* line : {"1", "2", "3"}) {
                EXPECT_NE(FindRecordField((std::string(q.field) + line).c_str()), nullptr);
            }
            ASSERT_NE(q.lines, nullptr);
            break;
        default:
            break;
        }
        if (q.lines != nullptr) {
            EXPECT_NE(FindRecordField(q.lines), nullptr);
        }
        if (q.line != 0) {
            EXPECT_NE(q.lines, nullptr) << "a per-line value needs its line count";
        }
    }
}

TEST(Catalogue, NamesAreUniqueAndOfTheProtocolsForm)
{
    const std::regex nut(
        "(experimental\\.)?(device|ups|driver|battery|input|output)(\\.[A-Za-z0-9-]+)+");
    std::set<std::string> names;
    for (const Quantity& q : Quantities()) {
        EXPECT_TRUE(names.insert(q.nut).second) << q.nut << " twice";
        EXPECT_TRUE(std::regex_match(q.nut, nut)) << q.nut;
        EXPECT_NE(std::strlen(q.description), 0U) << q.nut;
    }
}

TEST(Catalogue, RoundValuesAreNamedApartFromTheRecordsValues)
{
    const std::regex nut("experimental(\\.[a-z]+)+");
    for (const RoundQuantity& q : RoundQuantities()) {
        SCOPED_TRACE(q.nut);
        EXPECT_TRUE(std::regex_match(q.nut, nut));
        EXPECT_EQ(FindQuantity(q.nut), nullptr) << "also a value of the record";
        EXPECT_EQ(FindRoundQuantity(q.nut), &q);
        EXPECT_TRUE(std::regex_match(q.type, std::regex("NUMBER|STRING:[1-9][0-9]*")));
        EXPECT_NE(std::strlen(q.description), 0U);
    }
    EXPECT_EQ(FindRoundQuantity("ups.status"), nullptr);
}

TEST(Catalogue, MetricsFollowPrometheusNamingWithTheirBaseUnit)
{
    const std::map<std::string, std::string> suffix = {
        {"V", "_volts"},   {"A", "_amperes"}, {"Hz", "_hertz"},  {"W", "_watts"},
        {"s", "_seconds"}, {"%", "_ratio"},   {"°C", "_celsius"}};
    const std::regex name("ups_[a-z_]+");
    // One metric is one quantity: the rows sharing it differ only by line.
    std::map<std::string, std::set<int>> lines_of_metric;
    for (const Quantity& q : Quantities()) {
        if (q.metric == nullptr) {
            continue;
        }
        SCOPED_TRACE(q.nut);
        const std::string metric = q.metric;
        EXPECT_TRUE(std::regex_match(metric, name));
        const auto expected = suffix.find(q.unit);
        if (expected == suffix.end()) {
            for (const auto& unit : suffix) {
                EXPECT_EQ(metric.find(unit.second), std::string::npos) << "a count has no unit";
            }
        } else {
            EXPECT_EQ(metric.substr(metric.size() - expected->second.size()), expected->second);
        }
        EXPECT_DOUBLE_EQ(q.metric_factor, std::string(q.unit) == "%" ? 0.01 : 1.0);
        EXPECT_TRUE(lines_of_metric[metric].insert(q.line).second)
            << metric << " line " << int(q.line) << " twice";
    }
}

TEST(Catalogue, EveryMetricHasOneFamilyInOrderOfFirstUse)
{
    std::vector<std::string> first_use;
    for (const Quantity& q : Quantities()) {
        if (q.metric != nullptr &&
            std::find(first_use.begin(), first_use.end(), q.metric) == first_use.end()) {
            first_use.emplace_back(q.metric);
        }
    }
    std::vector<std::string> families;
    for (const MetricFamily& family : MetricFamilies()) {
        families.emplace_back(family.name);
        const std::string help = family.help;
        EXPECT_FALSE(help.empty()) << family.name;
        EXPECT_EQ(help.find_first_of("\n\\"), std::string::npos) << family.name;
        EXPECT_EQ(FindMetricFamily(family.name), &family);
    }
    EXPECT_EQ(families, first_use);
    EXPECT_EQ(FindMetricFamily("ups_no_such_metric"), nullptr);
}

TEST(Catalogue, HomeAssistantClassesMatchTheirUnits)
{
    const std::map<std::string, std::string> unit_of = {
        {"voltage", "V"}, {"current", "A"},  {"frequency", "Hz"},  {"power", "W"},
        {"battery", "%"}, {"duration", "s"}, {"temperature", "°C"}};
    for (const Quantity& q : Quantities()) {
        if (q.ha_class != nullptr) {
            ASSERT_EQ(unit_of.count(q.ha_class), 1U) << q.nut << ": " << q.ha_class;
            EXPECT_EQ(unit_of.at(q.ha_class), q.unit) << q.nut;
        }
    }
}

TEST(Catalogue, AlarmTableFollowsTheStatusAlarms)
{
    for (std::size_t row = 0; row < kStatusAlarmCount; ++row) {
        const AlarmMeaning& a = kAlarmMeanings[row];
        EXPECT_EQ(a.alarm, &kStatusAlarms[row]);
        const RecordField* field = FindRecordField(a.field);
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->offset, a.alarm->offset) << a.field;
        EXPECT_EQ(a.alarm->key, "deltaNHNT_" + std::to_string(row));
        // Found by the key the plug-in passes with the alarm.
        EXPECT_EQ(FindAlarmMeaning(a.alarm->key), &a);
    }
    EXPECT_EQ(FindAlarmMeaning("deltaNHNT_15"), nullptr);
    EXPECT_EQ(FindAlarmMeaning("DELTANHNT_3"), nullptr);
}

struct AlarmStateRow {
    const char* name;
    int byte;
    AlarmState state;
};

class AlarmStates : public testing::TestWithParam<AlarmStateRow>
{
};

TEST_P(AlarmStates, ReadFromTheFlagByte)
{
    Record record;
    record.Set("FanFault", GetParam().byte);
    EXPECT_EQ(StateOf(record.data(), kAlarmMeanings[9]), GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(Bytes, AlarmStates,
                         testing::Values(AlarmStateRow{"Zero", 0, AlarmState::Inactive},
                                         AlarmStateRow{"One", 1, AlarmState::Active},
                                         AlarmStateRow{"Two", 2, AlarmState::Inactive},
                                         AlarmStateRow{"Minus1", -1, AlarmState::NotReported},
                                         AlarmStateRow{"Byte127", 127, AlarmState::Inactive}),
                         RowName());

struct StatusRow {
    const char* name;
    std::vector<const char*> flags; // set to 1; all others 0
    int source;
    std::string status;
};

class Status : public testing::TestWithParam<StatusRow>
{
};

TEST_P(Status, TokensFromFlagsAndSource)
{
    Record record;
    for (const char* flag : GetParam().flags) {
        record.Set(flag, 1);
    }
    record.Set("OutptSrc", GetParam().source);
    EXPECT_EQ(TextsOf(record)["ups.status"], GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Status,
    testing::Values(
        StatusRow{"OnLine", {}, 0, "OL"}, StatusRow{"MainsFailed", {"InptFail"}, 0, "OB ALARM"},
        StatusRow{"SourceBattery", {}, 1, "OB"},
        StatusRow{"LowBattery", {"InptFail", "ShtdwnImmnnt"}, 1, "OB LB ALARM"},
        StatusRow{"Bypass", {}, 2, "OL BYPASS"}, StatusRow{"ManualBypass", {}, 5, "OL BYPASS"},
        StatusRow{"Trim", {}, 3, "OL TRIM"}, StatusRow{"Boost", {}, 4, "OL BOOST"},
        StatusRow{"OutputOff", {"OutptOff"}, 0, "OFF ALARM"},
        StatusRow{"UpsOff", {"UpsOff"}, 0, "OFF ALARM"}, StatusRow{"SourceNone", {}, 7, "OFF"},
        StatusRow{"ShuttingDown", {"InptFail", "ShttngDwn"}, 1, "OB FSD ALARM"},
        StatusRow{"Overload", {"OutptOvrCrrent"}, 0, "OL OVER ALARM"},
        StatusRow{"OtherAlarm", {"FanFault"}, 0, "OL ALARM"},
        StatusRow{"UnknownSource", {}, 42, "OL"}),
    RowName());

TEST(Status, ForcedShutdownAddsFsdInItsPlace)
{
    Record record;
    record.Set("InptFail", 1).Set("ShtdwnImmnnt", 1).Set("OutptOvrCrrent", 1);
    EXPECT_EQ(Join(StatusTokens(record.data(), true)), "OB LB FSD OVER ALARM");
    record.Set("ShttngDwn", 1);
    EXPECT_EQ(Join(StatusTokens(record.data(), true)), "OB LB FSD OVER ALARM") << "FSD once";
    EXPECT_EQ(Join(StatusTokens(Record().data(), true)), "OL FSD");
    EXPECT_EQ(Join(StatusTokens(Record().data())), "OL");
}

TEST(Status, FlagsNotReportedRaiseNothing)
{
    Record record;
    record.FlagsNotReported();
    EXPECT_EQ(TextsOf(record)["ups.status"], "OL");
    EXPECT_EQ(TextsOf(record).count("ups.alarm"), 0U);
}

TEST(Values, AlarmTextListsTheActiveAlarmsOnly)
{
    Record record;
    record.FlagsNotReported().Set("FanFault", 1).Set("InptFail", 1).Set("TmpFault", 0);
    EXPECT_EQ(TextsOf(record)["ups.alarm"], "input power interrupted, fan fault");
}

TEST(Values, ConvertAndFormatAsDocumented)
{
    Record record;
    record.Text("UpsMnu", "DELTA")
        .Text("UpsMod", "NH-PLUS 20K")
        .Text("UpsVer", "V1.23")
        .Set("EstMinRmn", 120)
        .Set("EstChrgRmn", 100)
        .Set("BattryVlt", 271.2F)
        .Set("BattryCrrent", -0.04F)
        .Set("BattryTmp", 25)
        .Set("InptLines", 3)
        .Set("InptVlt1", 220.5F)
        .Set("InptFrq1", 50.0F)
        .Set("OutptLines", 3)
        .Set("OutptLd1", 45)
        .Set("OutptLd2", 61)
        .Set("OutptLd3", 44)
        .Set("OutptPwr1", 2530)
        .Set("OutptPwr2", 2540)
        .Set("OutptPwr3", 2520);
    const auto texts = TextsOf(record);
    EXPECT_EQ(texts.at("device.mfr"), "DELTA");
    EXPECT_EQ(texts.at("ups.model"), "NH-PLUS 20K");
    EXPECT_EQ(texts.at("ups.firmware"), "V1.23");
    EXPECT_EQ(texts.at("device.type"), "ups");
    EXPECT_EQ(texts.at("battery.runtime"), "7200");
    EXPECT_EQ(texts.at("battery.charge"), "100");
    EXPECT_EQ(texts.at("battery.voltage"), "271.2");
    EXPECT_EQ(texts.at("battery.current"), "0.0") << "no negative zero";
    EXPECT_EQ(texts.at("input.voltage"), "220.5");
    EXPECT_EQ(texts.at("input.L1-N.voltage"), "220.5");
    EXPECT_EQ(texts.at("input.frequency"), "50.0");
    EXPECT_EQ(texts.at("ups.load"), "61");
    EXPECT_EQ(texts.at("ups.realpower"), "7590");
    EXPECT_EQ(texts.at("experimental.output.source"), "inverter");
}

struct LinesRow {
    const char* name;
    int count;
    int lines_in_use;
};

class LineCount : public testing::TestWithParam<LinesRow>
{
};

TEST_P(LineCount, DecidesWhichLinesAreExported)
{
    Record record;
    record.Set("OutptLines", GetParam().count)
        .Set("OutptLd1", 10)
        .Set("OutptLd2", 90)
        .Set("OutptLd3", 50)
        .Set("OutptPwr1", 100)
        .Set("OutptPwr2", 200)
        .Set("OutptPwr3", 400);
    const auto texts = TextsOf(record);
    const int n = GetParam().lines_in_use;
    EXPECT_EQ(LinesInUse(record.data(), "OutptLines"), n);
    EXPECT_EQ(texts.count("output.L1-N.voltage"), 1U);
    EXPECT_EQ(texts.count("output.L2-N.voltage"), n >= 2 ? 1U : 0U);
    EXPECT_EQ(texts.count("output.L3.power.percent"), n >= 3 ? 1U : 0U);
    const char* load[] = {"10", "90", "90"};
    const char* power[] = {"100", "300", "700"};
    EXPECT_EQ(texts.at("ups.load"), load[n - 1]);
    EXPECT_EQ(texts.at("ups.realpower"), power[n - 1]);
}

INSTANTIATE_TEST_SUITE_P(Counts, LineCount,
                         testing::Values(LinesRow{"One", 1, 1}, LinesRow{"Two", 2, 2},
                                         LinesRow{"Three", 3, 3}, LinesRow{"Zero", 0, 1},
                                         LinesRow{"Negative", -1, 1}, LinesRow{"Four", 4, 1}),
                         RowName());

TEST(ProtocolType, NumbersAndTextsWithTheirLongestLength)
{
    EXPECT_EQ(ProtocolType(*FindQuantity("battery.voltage")), "NUMBER");
    EXPECT_EQ(ProtocolType(*FindQuantity("ups.load")), "NUMBER");
    EXPECT_EQ(ProtocolType(*FindQuantity("ups.realpower")), "NUMBER");
    EXPECT_EQ(ProtocolType(*FindQuantity("device.model")), "STRING:16");
    EXPECT_EQ(ProtocolType(*FindQuantity("device.type")), "STRING:3");
    EXPECT_EQ(ProtocolType(*FindQuantity("experimental.output.source")), "STRING:13");
}

TEST(ProtocolType, EveryTextFitsItsLength)
{
    // The longest texts: every alarm active, every text field full.
    Record record;
    for (const AlarmMeaning& alarm : kAlarmMeanings) {
        record.Set(alarm.field, 1);
    }
    record.Text("UpsMnu", std::string(16, 'M'))
        .Text("UpsMod", std::string(16, 'D'))
        .Text("UpsVer", std::string(16, 'V'))
        .Set("OutptSrc", 5);
    for (const Value& value : Values(record.data())) {
        SCOPED_TRACE(value.quantity->nut);
        const std::string type = ProtocolType(*value.quantity);
        EXPECT_EQ(value.numeric, type == "NUMBER");
        if (!value.numeric) {
            EXPECT_LE(value.text.size(), std::stoul(type.substr(std::strlen("STRING:"))));
        }
    }
}

TEST(FormatNumber, FixedDecimalsAndNoNegativeZero)
{
    EXPECT_EQ(FormatNumber(271.2F, 1), "271.2");
    EXPECT_EQ(FormatNumber(-0.04, 1), "0.0");
    EXPECT_EQ(FormatNumber(-0.0, 0), "0");
    EXPECT_EQ(FormatNumber(-1.25, 1), "-1.2");
    EXPECT_EQ(FormatNumber(7200, 0), "7200");
    EXPECT_EQ(FormatNumber(-2147483648.0, 0), "-2147483648");
}

TEST(OutputSource, UnknownCodesReadAsOther)
{
    EXPECT_STREQ(OutputSourceOf(0).name, "inverter");
    EXPECT_STREQ(OutputSourceOf(2).name, "bypass");
    EXPECT_STREQ(OutputSourceOf(-1).name, "other");
    EXPECT_STREQ(OutputSourceOf(99).name, "other");
}

TEST(Markdown, DocsFileIsWhatTheCatalogueGenerates)
{
    std::ifstream in(CATALOGUE_MARKDOWN);
    ASSERT_TRUE(in) << CATALOGUE_MARKDOWN;
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), Markdown())
        << "docs/CATALOGUE.md is out of date: regenerate it with\n"
           "  build/native/tools/catalogue/ups-catalogue --markdown > docs/CATALOGUE.md";
}

} // namespace

// The text exposition: values as the record holds them, in the catalogue's
// names and units; what a stale UPS, a UPS without a round, the alarms and
// the link export; label values and numbers written as the format says; and
// the real `promtool check metrics` accepting the text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "Catalogue.h"
#include "Clients.h"
#include "MetricFamilies.h"
#include "MetricsText.h"
#include "TestSite.h"
#include "support/ParamNames.h"

namespace
{

using namespace metrics_test;
using metrics::MetricsText;

std::string Text(const std::vector<site::UpsSnapshot>& site,
                 std::optional<std::uint64_t> outbox = std::nullopt)
{
    MetricsText writer;
    std::string out;
    writer.Write(Pointers(site), std::chrono::steady_clock::now(), outbox, out);
    return out;
}

Exposition Scrape(const std::vector<site::UpsSnapshot>& site,
                  std::optional<std::uint64_t> outbox = std::nullopt)
{
    return Parse(Text(site, outbox));
}

// The samples of one UPS, by family.
std::set<std::string> FamiliesOf(const Exposition& e, const std::string& ups)
{
    std::set<std::string> names;
    for (const Sample& s : e.samples) {
        const auto it = s.labels.find("ups");
        if (it != s.labels.end() && it->second == ups) {
            names.insert(s.name);
        }
    }
    return names;
}

float FloatField(const Record& record, const char* name)
{
    const RecordField* field = catalogue::FindRecordField(name);
    return static_cast<float>(catalogue::NumberAt(record.bytes().data(), *field));
}

struct ValueRow {
    const char* name;
    const char* metric;
    const char* line; // "" for none
    const char* text; // as written
};

class Values : public testing::TestWithParam<ValueRow>
{
};

// Each value from its record field, in the metric's base unit.
TEST_P(Values, AreTheRecordsInTheMetricsUnit)
{
    const std::vector<site::UpsSnapshot> site = {FreshUps("ups1", ThreePhaseUps())};
    const Exposition e = Scrape(site);
    std::map<std::string, std::string> labels = {{"ups", "ups1"}};
    if (*GetParam().line != '\0') {
        labels["line"] = GetParam().line;
    }
    EXPECT_EQ(e.Value(GetParam().metric, labels), GetParam().text);
    for (const Sample& s : e.Find(GetParam().metric, labels)) {
        EXPECT_EQ(s.labels.size(), labels.size()) << "no other labels";
    }
}

INSTANTIATE_TEST_SUITE_P(
    ThreePhase, Values,
    testing::Values(ValueRow{"ChargePercentToRatio", "ups_battery_charge_ratio", "", "0.87"},
                    ValueRow{"RuntimeMinutesToSeconds", "ups_battery_runtime_seconds", "", "7200"},
                    ValueRow{"FloatAtItsOwnPrecision", "ups_battery_voltage_volts", "", "271.2"},
                    ValueRow{"NegativeCurrent", "ups_battery_current_amperes", "", "-0.4"},
                    ValueRow{"Celsius", "ups_battery_temperature_celsius", "", "25"},
                    ValueRow{"NominalBattery", "ups_battery_voltage_nominal_volts", "", "240"},
                    ValueRow{"OnBatteryZero", "ups_on_battery_seconds", "", "0"},
                    ValueRow{"InputPhases", "ups_input_phases", "", "3"},
                    ValueRow{"InputFrequencyLine1", "ups_input_frequency_hertz", "1", "50"},
                    ValueRow{"InputFrequencyLine3", "ups_input_frequency_hertz", "3", "49.9"},
                    ValueRow{"InputVoltageLine2", "ups_input_voltage_volts", "2", "221.3"},
                    ValueRow{"InputCurrentLine3", "ups_input_current_amperes", "3", "9.8"},
                    ValueRow{"InputPowerLine2", "ups_input_realpower_watts", "2", "2300"},
                    ValueRow{"OutputFrequencyNotPerLine", "ups_output_frequency_hertz", "", "50"},
                    ValueRow{"OutputVoltageLine3", "ups_output_voltage_volts", "3", "219.9"},
                    ValueRow{"OutputLoadPercentToRatio", "ups_output_load_ratio", "2", "0.61"},
                    ValueRow{"OutputPowerLine1", "ups_output_realpower_watts", "1", "2530"},
                    ValueRow{"BypassVoltageLine1", "ups_bypass_voltage_volts", "1", "221"},
                    ValueRow{"BypassFrequency", "ups_bypass_frequency_hertz", "", "50"}),
    RowName());

TEST(Exposition, EveryFamilyIsDescribedAndTypedAsItsNameSays)
{
    const std::vector<site::UpsSnapshot> site = {FreshUps("ups1", ThreePhaseUps())};
    const Exposition e = Scrape(site, 3);
    for (const auto& type : e.types) {
        const std::string& name = type.first;
        const bool total = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
        EXPECT_EQ(type.second, total ? "counter" : "gauge") << name;
        EXPECT_FALSE(e.help.at(name).empty()) << name;
        EXPECT_EQ(name.rfind("ups_", 0), 0U) << name;
    }
    for (const catalogue::MetricFamily& family : catalogue::MetricFamilies()) {
        EXPECT_EQ(e.help.count(family.name), 1U) << family.name;
        EXPECT_EQ(e.help.at(family.name), family.help);
    }
    for (const char* name :
         {"ups_info", "ups_data_stale", "ups_data_age_seconds", "ups_last_round_timestamp_seconds",
          "ups_link_state", "ups_link_cycles_completed_total", "ups_link_cycles_abandoned_total",
          "ups_link_resets_total", "ups_link_stalls_total", "ups_link_reopenings_total",
          "ups_output_source", "ups_alarm", "ups_mqtt_outbox_entries"}) {
        EXPECT_EQ(e.types.count(name), 1U) << name;
    }
}

TEST(Exposition, IdentityTextsAndDescriptionInTheInfoMetric)
{
    std::vector<site::UpsSnapshot> site = {FreshUps("ups1", ThreePhaseUps())};
    site[0].description = "Row A, rack 3";
    const Exposition e = Scrape(site);
    const std::vector<Sample> info = e.Find("ups_info", {{"ups", "ups1"}});
    ASSERT_EQ(info.size(), 1U);
    EXPECT_EQ(info[0].value, "1");
    EXPECT_EQ(info[0].labels, (std::map<std::string, std::string>{{"ups", "ups1"},
                                                                  {"description", "Row A, rack 3"},
                                                                  {"manufacturer", "DELTA"},
                                                                  {"model", "NH-PLUS 20K"},
                                                                  {"firmware", "V1.23"}}));
}

TEST(Exposition, SixteenByteTextsWithoutTerminatorEndAtTheField)
{
    Record record = ThreePhaseUps();
    record.Text("UpsMnu", "0123456789ABCDEF").Text("UpsMod", "MODEL-WITH-16-CH");
    const Exposition e = Scrape({FreshUps("ups1", record)});
    const std::vector<Sample> info = e.Find("ups_info");
    ASSERT_EQ(info.size(), 1U);
    EXPECT_EQ(info[0].labels.at("manufacturer"), "0123456789ABCDEF");
    EXPECT_EQ(info[0].labels.at("model"), "MODEL-WITH-16-CH");
}

struct LinesRow {
    const char* name;
    int input_lines;
    std::set<std::string> input_lines_exported;
};

class LinesInUse : public testing::TestWithParam<LinesRow>
{
};

TEST_P(LinesInUse, DecideWhichLineSeriesExist)
{
    Record record = ThreePhaseUps();
    record.Set("InptLines", GetParam().input_lines);
    const Exposition e = Scrape({FreshUps("ups1", record)});
    for (const char* metric :
         {"ups_input_voltage_volts", "ups_input_current_amperes", "ups_input_frequency_hertz"}) {
        std::set<std::string> lines;
        for (const Sample& s : e.Find(metric)) {
            lines.insert(s.labels.at("line"));
        }
        EXPECT_EQ(lines, GetParam().input_lines_exported) << metric;
    }
    // The record holds no line 3 power: two lines at most.
    std::set<std::string> power;
    for (const Sample& s : e.Find("ups_input_realpower_watts")) {
        power.insert(s.labels.at("line"));
    }
    std::set<std::string> expected = GetParam().input_lines_exported;
    expected.erase("3");
    EXPECT_EQ(power, expected);
    // The output and bypass counts are the record's own: 3 and 1.
    EXPECT_EQ(e.Find("ups_output_voltage_volts").size(), 3U);
    EXPECT_EQ(e.Find("ups_bypass_voltage_volts").size(), 1U);
}

INSTANTIATE_TEST_SUITE_P(Counts, LinesInUse,
                         testing::Values(LinesRow{"One", 1, {"1"}}, LinesRow{"Two", 2, {"1", "2"}},
                                         LinesRow{"Three", 3, {"1", "2", "3"}},
                                         LinesRow{"ZeroCountsAsOne", 0, {"1"}},
                                         LinesRow{"NegativeCountsAsOne", -1, {"1"}},
                                         LinesRow{"FourCountsAsOne", 4, {"1"}}),
                         RowName());

TEST(Exposition, StaleUpsExportsItsAgeLinkAndCountersButNoValues)
{
    std::vector<site::UpsSnapshot> site = {
        FreshUps("fresh", ThreePhaseUps()),
        FreshUps("stale", ThreePhaseUps(), std::chrono::seconds(90), std::chrono::seconds(60))};
    site[1].line = site::LineState::Silent;
    site[1].counters = {40, 12, 52, 12, 0};
    const Exposition e = Scrape(site);
    EXPECT_EQ(FamiliesOf(e, "stale"),
              (std::set<std::string>{"ups_data_stale", "ups_data_age_seconds",
                                     "ups_last_round_timestamp_seconds", "ups_link_state",
                                     "ups_link_cycles_completed_total",
                                     "ups_link_cycles_abandoned_total", "ups_link_resets_total",
                                     "ups_link_stalls_total", "ups_link_reopenings_total"}));
    EXPECT_EQ(e.Value("ups_data_stale", {{"ups", "stale"}}), "1");
    EXPECT_EQ(e.Value("ups_data_stale", {{"ups", "fresh"}}), "0");
    const double age = std::stod(e.Value("ups_data_age_seconds", {{"ups", "stale"}}));
    EXPECT_GE(age, 90.0);
    EXPECT_LT(age, 150.0);
    EXPECT_EQ(e.Value("ups_link_state", {{"ups", "stale"}, {"state", "silent"}}), "1");
    EXPECT_EQ(e.Value("ups_link_cycles_abandoned_total", {{"ups", "stale"}}), "12");
    // The fresh UPS of the same site has everything.
    EXPECT_EQ(e.Find("ups_battery_voltage_volts", {{"ups", "fresh"}}).size(), 1U);
    EXPECT_EQ(e.Find("ups_alarm", {{"ups", "fresh"}}).size(), 15U);
    EXPECT_EQ(e.Find("ups_info", {{"ups", "fresh"}}).size(), 1U);
}

TEST(Exposition, StaleExactlyAtTheLimitIsStillFresh)
{
    const auto now = std::chrono::steady_clock::now();
    std::vector<site::UpsSnapshot> site = {
        FreshUps("edge", ThreePhaseUps(), std::chrono::seconds(1), std::chrono::seconds(60)),
        FreshUps("over", ThreePhaseUps(), std::chrono::seconds(1), std::chrono::seconds(60))};
    site[0].last->steady = now - std::chrono::seconds(60);
    site[1].last->steady = now - std::chrono::seconds(60) - std::chrono::milliseconds(1);
    MetricsText writer;
    std::string out;
    writer.Write(Pointers(site), now, std::nullopt, out);
    const Exposition e = Parse(out);
    EXPECT_EQ(e.Value("ups_data_stale", {{"ups", "edge"}}), "0");
    EXPECT_EQ(e.Value("ups_data_stale", {{"ups", "over"}}), "1");
    EXPECT_EQ(e.Value("ups_data_age_seconds", {{"ups", "edge"}}), "60");
    EXPECT_EQ(e.Value("ups_data_age_seconds", {{"ups", "over"}}), "60.001");
}

TEST(Exposition, UpsWithoutARoundHasNoAgeYet)
{
    const Exposition e = Scrape({UpsWithoutRound("new")});
    EXPECT_EQ(FamiliesOf(e, "new"),
              (std::set<std::string>{"ups_data_stale", "ups_link_state",
                                     "ups_link_cycles_completed_total",
                                     "ups_link_cycles_abandoned_total", "ups_link_resets_total",
                                     "ups_link_stalls_total", "ups_link_reopenings_total"}));
    EXPECT_EQ(e.Value("ups_data_stale", {{"ups", "new"}}), "1");
    EXPECT_EQ(e.Value("ups_link_state", {{"ups", "new"}, {"state", "starting"}}), "1");
}

TEST(Exposition, LastRoundTimeIsTheHostsClockInSeconds)
{
    std::vector<site::UpsSnapshot> site = {FreshUps("ups1", ThreePhaseUps())};
    site[0].last->time =
        std::chrono::system_clock::time_point(std::chrono::milliseconds(1716200000123));
    EXPECT_EQ(Scrape(site).Value("ups_last_round_timestamp_seconds"), "1716200000.123");
}

struct AlarmRow {
    const char* name;
    int byte;             // the FanFault flag
    const char* exported; // its gauge, nullptr: no series
};

class Alarms : public testing::TestWithParam<AlarmRow>
{
};

TEST_P(Alarms, GaugeFollowsTheFlagByte)
{
    Record record = ThreePhaseUps();
    record.Byte("FanFault", static_cast<std::uint8_t>(GetParam().byte));
    const Exposition e = Scrape({FreshUps("ups1", record)});
    const std::vector<Sample> fan = e.Find("ups_alarm", {{"key", "deltaNHNT_9"}});
    if (GetParam().exported == nullptr) {
        EXPECT_TRUE(fan.empty());
        EXPECT_EQ(e.Find("ups_alarm").size(), 14U);
        return;
    }
    ASSERT_EQ(fan.size(), 1U);
    EXPECT_EQ(fan[0].value, GetParam().exported);
    EXPECT_EQ(fan[0].labels, (std::map<std::string, std::string>{{"ups", "ups1"},
                                                                 {"key", "deltaNHNT_9"},
                                                                 {"alarm_id", "2A1431C01"},
                                                                 {"alarm", "fan fault"}}));
}

INSTANTIATE_TEST_SUITE_P(Bytes, Alarms,
                         testing::Values(AlarmRow{"Clear", 0, "0"}, AlarmRow{"Active", 1, "1"},
                                         AlarmRow{"OtherValueIsClear", 2, "0"},
                                         AlarmRow{"NotReported", 255, nullptr}),
                         RowName());

TEST(Exposition, AlarmsSharingAnIdentifierAreToldApartByKey)
{
    Record record = ThreePhaseUps();
    record.FlagsNotReported();
    for (const char* flag : {"BypssOutOfLmt", "UpsOff", "SysOff", "SysAbnrml", "UpsPwrLost"}) {
        record.Byte(flag, 1);
    }
    const Exposition e = Scrape({FreshUps("ups1", record)});
    const std::vector<Sample> alarms = e.Find("ups_alarm", {{"alarm_id", "2A1400101"}});
    ASSERT_EQ(alarms.size(), 5U);
    std::set<std::string> keys;
    for (const Sample& s : alarms) {
        EXPECT_EQ(s.value, "1");
        keys.insert(s.labels.at("key"));
    }
    EXPECT_EQ(keys, (std::set<std::string>{"deltaNHNT_4", "deltaNHNT_6", "deltaNHNT_8",
                                           "deltaNHNT_11", "deltaNHNT_12"}));
    EXPECT_EQ(e.Find("ups_alarm").size(), 5U) << "the flags left out have no series";
}

struct SourceRow {
    const char* name;
    int code;
    const char* source;
};

class OutputSource : public testing::TestWithParam<SourceRow>
{
};

TEST_P(OutputSource, OneSeriesPerSourceTheCurrentOneAt1)
{
    Record record = ThreePhaseUps();
    record.Set("OutptSrc", GetParam().code);
    const Exposition e = Scrape({FreshUps("ups1", record)});
    const std::vector<Sample> sources = e.Find("ups_output_source");
    ASSERT_EQ(sources.size(), catalogue::OutputSources().size());
    for (const Sample& s : sources) {
        EXPECT_EQ(s.value, s.labels.at("source") == GetParam().source ? "1" : "0")
            << s.labels.at("source");
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, OutputSource,
                         testing::Values(SourceRow{"Inverter", 0, "inverter"},
                                         SourceRow{"Battery", 1, "battery"},
                                         SourceRow{"ManualBypass", 5, "manual bypass"},
                                         SourceRow{"None", 7, "none"},
                                         SourceRow{"UnknownIsOther", 42, "other"},
                                         SourceRow{"NegativeIsOther", -1, "other"}),
                         RowName());

TEST(Exposition, LinkStateIsOneOfFiveAndCountersAreWhole)
{
    const site::LineState states[] = {site::LineState::Starting, site::LineState::Up,
                                      site::LineState::Failing, site::LineState::Silent,
                                      site::LineState::Lost};
    for (const site::LineState state : states) {
        SCOPED_TRACE(site::LineStateName(state));
        std::vector<site::UpsSnapshot> site = {FreshUps("ups1", ThreePhaseUps())};
        site[0].line = state;
        site[0].counters = {std::numeric_limits<std::uint64_t>::max(), 0, 4294967296ULL, 3, 2};
        const Exposition e = Scrape(site);
        const std::vector<Sample> link = e.Find("ups_link_state");
        ASSERT_EQ(link.size(), 5U);
        for (const Sample& s : link) {
            EXPECT_EQ(s.value, s.labels.at("state") == site::LineStateName(state) ? "1" : "0");
        }
        EXPECT_EQ(e.Value("ups_link_cycles_completed_total"), "18446744073709551615");
        EXPECT_EQ(e.Value("ups_link_cycles_abandoned_total"), "0");
        EXPECT_EQ(e.Value("ups_link_resets_total"), "4294967296");
        EXPECT_EQ(e.Value("ups_link_stalls_total"), "3");
        EXPECT_EQ(e.Value("ups_link_reopenings_total"), "2");
    }
}

TEST(Exposition, OutboxDepthOnlyWhenTheSiteHasOne)
{
    const std::vector<site::UpsSnapshot> site = {FreshUps("ups1", ThreePhaseUps())};
    EXPECT_EQ(Scrape(site).types.count("ups_mqtt_outbox_entries"), 0U);
    EXPECT_EQ(Scrape(site, 0).Value("ups_mqtt_outbox_entries"), "0");
    EXPECT_EQ(Scrape(site, 100000).Value("ups_mqtt_outbox_entries"), "100000");
    EXPECT_TRUE(Scrape(site, 5).Find("ups_mqtt_outbox_entries")[0].labels.empty());
}

TEST(Exposition, EmptySiteIsHeadersOnly)
{
    const Exposition e = Scrape({}, 0);
    EXPECT_EQ(e.samples.size(), 1U) << "the outbox alone";
    EXPECT_GT(e.types.size(), 30U);
}

TEST(Exposition, OneWriterServesSitesThatShrinkAndGrow)
{
    const std::vector<site::UpsSnapshot> three = {
        FreshUps("a", ThreePhaseUps()), FreshUps("b", ThreePhaseUps()), UpsWithoutRound("c")};
    Record single = ThreePhaseUps();
    single.Set("InptLines", 1).Set("OutptLines", 1);
    const std::vector<site::UpsSnapshot> one = {FreshUps("d", single)};
    const auto now = std::chrono::steady_clock::now();
    MetricsText writer;
    std::string first, out;
    writer.Write(Pointers(three), now, std::nullopt, first);
    writer.Write(Pointers(one), now, std::nullopt, out);
    EXPECT_EQ(out, [&] {
        MetricsText fresh;
        std::string text;
        fresh.Write(Pointers(one), now, std::nullopt, text);
        return text;
    }());
    EXPECT_EQ(out.find("ups=\"a\""), std::string::npos);
    writer.Write(Pointers(three), now, std::nullopt, out);
    EXPECT_EQ(out, first);
}

struct LabelRow {
    const char* name;
    std::string raw;
    std::string written;
};

class LabelValues : public testing::TestWithParam<LabelRow>
{
};

TEST_P(LabelValues, AreEscapedAndMadeUtf8)
{
    std::string out = "x";
    metrics::AppendLabelValue(out, GetParam().raw);
    EXPECT_EQ(out, "x" + GetParam().written);
}

const std::string kReplacement = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Texts, LabelValues,
    testing::Values(
        LabelRow{"Plain", "NH-PLUS 20K", "NH-PLUS 20K"}, LabelRow{"Empty", "", ""},
        LabelRow{"Quote", "19\" rack", "19\\\" rack"},
        LabelRow{"Backslash", "C:\\ups", "C:\\\\ups"},
        LabelRow{"Newline", "row A\nrack 3", "row A\\nrack 3"},
        LabelRow{"TabAndReturnKept", "a\tb\rc", "a\tb\rc"},
        LabelRow{"Chinese", "温度传感器", "温度传感器"},
        LabelRow{"FourByteSequence", "\xF0\x9F\x94\x8B", "\xF0\x9F\x94\x8B"},
        LabelRow{"StrayByte", "V1\xFF", "V1" + kReplacement},
        LabelRow{"Latin1", "Caf\xE9", "Caf" + kReplacement},
        LabelRow{"CutSequence", "\xE6\xB8", kReplacement + kReplacement},
        LabelRow{"CutBeforeAscii", "\xE6\xB8x", kReplacement + kReplacement + "x"},
        LabelRow{"Overlong", "\xC0\xAF", kReplacement + kReplacement},
        LabelRow{"OverlongThreeBytes", "\xE0\x80\xAF", kReplacement + kReplacement + kReplacement},
        LabelRow{"Surrogate", "\xED\xA0\x80", kReplacement + kReplacement + kReplacement},
        LabelRow{"AboveUnicode", "\xF4\x90\x80\x80",
                 kReplacement + kReplacement + kReplacement + kReplacement},
        LabelRow{"LoneContinuation", "\x80", kReplacement},
        LabelRow{"EscapeAfterBadByte", "\xFF\"", kReplacement + "\\\""}),
    RowName());

struct NumberRow {
    const char* name;
    double value;
    bool as_float;
    const char* written;
};

class Numbers : public testing::TestWithParam<NumberRow>
{
};

TEST_P(Numbers, ShortestTextThatReadsBack)
{
    std::string out;
    if (GetParam().as_float) {
        metrics::AppendNumber(out, static_cast<float>(GetParam().value));
    } else {
        metrics::AppendNumber(out, GetParam().value);
    }
    EXPECT_EQ(out, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Numbers,
    testing::Values(
        NumberRow{"Whole", 7200, false, "7200"}, NumberRow{"Ratio", 87 * 0.01, false, "0.87"},
        NumberRow{"SumRoundTrips", 0.1 + 0.2, false, "0.30000000000000004"},
        NumberRow{"NegativeZero", -0.0, false, "0"},
        NumberRow{"FloatNegativeZero", -0.0, true, "0"},
        NumberRow{"MostNegativeInt32", -2147483648.0, false, "-2147483648"},
        NumberRow{"PowerOfTen", 100000, false, "100000"}, NumberRow{"FloatWhole", 50, true, "50"},
        NumberRow{"NegativeWhole", -16777215, false, "-16777215"},
        NumberRow{"WholeBeyondTheShortWay", 1e15, false, "1e+15"},
        NumberRow{"Huge", 1e21, false, "1e+21"}, NumberRow{"Tiny", 5e-324, false, "5e-324"},
        NumberRow{"FloatTenths", 271.2, true, "271.2"},
        NumberRow{"FloatLargest", 3.4028234663852886e38, true, "3.4028235e+38"},
        NumberRow{"NaN", std::numeric_limits<double>::quiet_NaN(), false, "NaN"},
        NumberRow{"FloatNaN", std::numeric_limits<double>::quiet_NaN(), true, "NaN"},
        NumberRow{"PlusInf", std::numeric_limits<double>::infinity(), false, "+Inf"},
        NumberRow{"MinusInf", -std::numeric_limits<double>::infinity(), true, "-Inf"}),
    RowName());

TEST(Exposition, FloatFieldsReadBackAsTheRecordsFloat)
{
    const Record record = ThreePhaseUps();
    const Exposition e = Scrape({FreshUps("ups1", record)});
    for (const Sample& s : e.samples) {
        const auto line = s.labels.find("line");
        for (const catalogue::Quantity& q : catalogue::Quantities()) {
            if (q.metric == nullptr || s.name != q.metric ||
                (line == s.labels.end() ? q.line != 0 : line->second != std::to_string(q.line))) {
                continue;
            }
            const RecordField* field = catalogue::FindRecordField(q.field);
            if (field->type == FieldType::Float32) {
                EXPECT_EQ(static_cast<float>(std::stod(s.value)), FloatField(record, q.field))
                    << s.name << " " << s.value;
            }
        }
    }
}

// A site with everything that can go wrong in the text at once.
std::vector<site::UpsSnapshot> AwkwardSite()
{
    Record texts = ThreePhaseUps();
    texts.Text("UpsMnu", "A \"q\" \\ maker")
        .Text("UpsMod", "line\nbreak\xFF\xFE")
        .Text("UpsVer", "\xE6\xB8\xA9\xE5\xBA\xA6 ok")
        .Byte("TmpFault", 1)
        .Byte("ChrgrFault", 255);
    Record odd = ThreePhaseUps();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    odd.Set("BattryVlt", nan).Set("OutptVlt2", inf).Set("OutptVlt3", -inf).Set("OutptSrc", 99);
    odd.Set("InptLines", 1).Set("OutptLines", 7).Set("BypssLines", 3);
    std::vector<site::UpsSnapshot> site = {
        FreshUps("texts", texts), FreshUps("odd", odd),
        FreshUps("stale", ThreePhaseUps(), std::chrono::hours(3), std::chrono::seconds(60)),
        UpsWithoutRound("new"), FreshUps("flagless", ThreePhaseUps().FlagsNotReported())};
    site[0].description = "Row \"A\"\\\nrack 3\t\xC0";
    site[2].line = site::LineState::Lost;
    site[2].line_detail = "/dev/ttyUSB0: No such device";
    return site;
}

TEST(Exposition, AwkwardSiteReadsBackWithItsTextsIntact)
{
    const Exposition e = Scrape(AwkwardSite(), 12);
    const std::vector<Sample> info = e.Find("ups_info", {{"ups", "texts"}});
    ASSERT_EQ(info.size(), 1U);
    EXPECT_EQ(info[0].labels.at("manufacturer"), "A \"q\" \\ maker");
    EXPECT_EQ(info[0].labels.at("model"), "line\nbreak" + kReplacement + kReplacement);
    EXPECT_EQ(info[0].labels.at("firmware"), "温度 ok");
    EXPECT_EQ(info[0].labels.at("description"), "Row \"A\"\\\nrack 3\t" + kReplacement);
    EXPECT_EQ(e.Value("ups_battery_voltage_volts", {{"ups", "odd"}}), "NaN");
    EXPECT_EQ(e.Value("ups_output_voltage_volts", {{"ups", "odd"}, {"line", "1"}}), "220");
    EXPECT_EQ(e.Find("ups_output_voltage_volts", {{"ups", "odd"}}).size(), 1U)
        << "a count of 7 counts as 1";
    EXPECT_EQ(e.Find("ups_bypass_voltage_volts", {{"ups", "odd"}}).size(), 3U);
    EXPECT_EQ(e.Value("ups_output_source", {{"ups", "odd"}, {"source", "other"}}), "1");
}

// The real Prometheus tool: the text parses, and passes its lint (names,
// units, HELP, counters).
TEST(Promtool, ChecksTheTextCleanly)
{
    const std::string promtool = FindProgram("promtool");
    ASSERT_FALSE(promtool.empty()) << "promtool not found (Debian's prometheus package; "
                                      "scripts/install-deps.sh installs it)";
    for (const auto& site :
         {AwkwardSite(), std::vector<site::UpsSnapshot>{FreshUps("ups1", ThreePhaseUps())},
          std::vector<site::UpsSnapshot>{}}) {
        const std::string text = Text(site, 3);
        const ProgramResult result = RunProgram({promtool, "check", "metrics"}, text);
        EXPECT_EQ(result.status, 0) << result.output << "\n--- text:\n" << text;
        EXPECT_EQ(result.output, "") << result.output;
    }
}

} // namespace

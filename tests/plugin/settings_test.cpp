// The settings step: the device's own, which only completes the frames, and
// the template's, which reads the settings mode and per-key thresholds.
#include <gtest/gtest.h>

#include "support/ParamNames.h"

#include <json/reader.h>

#include <string>

#include "DeviceFixture.h"
#include "TemplateDevice.h"

namespace
{

Json::Value Parse(const std::string& text)
{
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
        throw std::runtime_error("bad JSON in test: " + errors);
    }
    return value;
}

// ---- DeltaNHNT::InitSetting --------------------------------------------------

class DeviceSettings : public ::testing::TestWithParam<const char*>
{
};

TEST_P(DeviceSettings, AnySettingsGiveTheSameCompleteDeviceSilently)
{
    auto device = BuiltPlugin().Create();
    CallLog log;
    device->SetObserver(&log);
    device->SetDataId(0xA1B2C3D4U);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(device->InitSetting(Parse(GetParam())));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    const auto& ups = *static_cast<const DeltaNHNT*>(device.get());
    const char* const codes[] = {"MNU", "MOD", "RAT", "STB", "STI", "STO",
                                 "STP", "STA", "TSR", "UID", "VER"};
    for (unsigned int i = 0; i < CMD_COUNT; ++i) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(ups.command(i).data()), 10),
                  std::string("~00P003") + codes[i]);
    }
    EXPECT_EQ(std::string(ups.reply_address(), 2), "00");
    EXPECT_EQ(Val(ups.record().DataId), 0xA1B2C3D4U);
    // Neither the template's settings nor the host's own parse ran.
    EXPECT_EQ(ups.b_mode(), 1);
    EXPECT_TRUE(ups.alarm_identities().empty());
    EXPECT_TRUE(ups.signal_names().empty());
    EXPECT_TRUE(log.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Contents, DeviceSettings,
    ::testing::Values("{}", "null", "[1,2]", "\"text\"",
                      R"({"appSetting":{"b_mode":3,"type":"deltanhnt"}})",
                      R"({"appSetting":{"b_mode":"3"},"thresholdSetting":{"k":{"ID":1}}})",
                      R"({"appSetting":{"type":null}})", R"({"appSetting":[{"type":[]}]})"));

TEST(DeviceSettingsFailure, TypeThatIsNoTextThrowsAfterTheFramesAreComplete)
{
    auto device = BuiltPlugin().Create();
    device->SetDataId(9);
    EXPECT_THROW(device->InitSetting(Parse(R"({"appSetting":{"type":["x"]}})")), std::exception);
    const auto& ups = *static_cast<const DeltaNHNT*>(device.get());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ups.command(CMD_VER).data()), 10),
              "~00P003VER");
    EXPECT_EQ(std::string(ups.reply_address(), 2), "00");
    EXPECT_EQ(Val(ups.record().DataId), 9U);
}

TEST(DeviceSettingsFailure, RunningItAgainChangesNothing)
{
    auto device = BuiltPlugin().Create();
    device->SetDataId(5);
    device->InitSetting(Json::Value());
    const auto& ups = *static_cast<const DeltaNHNT*>(device.get());
    const DeltanhntCmdsRply_t before = ups.record();
    device->InitSetting(Parse(R"({"appSetting":{"b_mode":3}})"));
    EXPECT_EQ(std::memcmp(&before, &ups.record(), sizeof before), 0);
}

// ---- UniDataDevice::InitSetting ------------------------------------------------

class TemplateSettings : public ::testing::Test
{
protected:
    void SetUp() override
    {
        device_.SetObserver(&log_);
        device_.SetDataId(42);
    }
    // Runs the settings step; returns what it printed.
    std::string Apply(const std::string& json, bool* result = nullptr)
    {
        testing::internal::CaptureStdout();
        const bool ok = device_.InitSetting(Parse(json));
        if (result != nullptr) {
            *result = ok;
        }
        return testing::internal::GetCapturedStdout();
    }

    CallLog log_;
    TemplateDevice device_;
};

struct ModeCase {
    const char* name;
    const char* settings;
    int b_mode;
    const char* line; // the "InitSetting " line, or "" when none is written
};

class TemplateMode : public TemplateSettings, public ::testing::WithParamInterface<ModeCase>
{
};

TEST_P(TemplateMode, ReadsBModeAsText)
{
    const std::string out = Apply(GetParam().settings);
    EXPECT_EQ(device_.b_mode(), GetParam().b_mode);
    const std::string first_line = out.substr(0, out.find('\n') + 1);
    if (GetParam().line[0] == '\0') {
        EXPECT_EQ(out.find("InitSetting "), std::string::npos) << out;
    } else {
        EXPECT_EQ(first_line, GetParam().line);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, TemplateMode,
    ::testing::Values(
        ModeCase{"Number3", R"({"appSetting":{"b_mode":3}})", 3, "InitSetting 42 b_mode_:3\n"},
        ModeCase{"Text3", R"({"appSetting":{"b_mode":"3"}})", 3, "InitSetting 42 b_mode_:3\n"},
        ModeCase{"Text3abc", R"({"appSetting":{"b_mode":"3abc"}})", 3,
                 "InitSetting 42 b_mode_:3\n"},
        ModeCase{"TextMinus2Blank", R"({"appSetting":{"b_mode":" -2"}})", -2,
                 "InitSetting 42 b_mode_:-2\n"},
        ModeCase{"TextWithoutDigits", R"({"appSetting":{"b_mode":"abc"}})", 0,
                 "InitSetting 42 b_mode_:0\n"},
        ModeCase{"TextBeyondInt", R"({"appSetting":{"b_mode":"99999999999"}})", 2147483647,
                 "InitSetting 42 b_mode_:2147483647\n"},
        ModeCase{"NumberBelowInt", R"({"appSetting":{"b_mode":-99999999999}})", -2147483647 - 1,
                 "InitSetting 42 b_mode_:-2147483648\n"},
        ModeCase{"True", R"({"appSetting":{"b_mode":true}})", 0, "InitSetting 42 b_mode_:0\n"},
        ModeCase{"Null", R"({"appSetting":{"b_mode":null}})", 1, ""},
        ModeCase{"NoMode", R"({"appSetting":{}})", 1, ""},
        ModeCase{"AppSettingText", R"({"appSetting":"b_mode"})", 1, ""},
        ModeCase{"AppSettingArray", R"({"appSetting":[{"b_mode":3}]})", 1, ""},
        ModeCase{"ModeOutsideAppSetting", R"({"b_mode":3})", 1, ""},
        ModeCase{"Empty", "{}", 1, ""}),
    RowName());

TEST_F(TemplateSettings, ModeThreeReadsEachThresholdEntryInKeyOrder)
{
    device_.AlarmLevels()["b_key"] = 2;
    device_.ThresholdValues()["b_key"] = 1.5F;
    const std::string out = Apply(R"({
        "appSetting": {"b_mode": 3},
        "thresholdSetting": {
            "b_key": {"SignalName": "Battery", "NMAlarmID": "A1", "ID": 17, "SignalNumber": "7"},
            "a_key": {"NMAlarmID": "A", "SignalNumber": 7},
            "c_key": 12
        }})");
    EXPECT_EQ(out, "InitSetting 42 b_mode_:3\n"
                   "here 1\n"
                   "here 2\n"
                   "here a_key\n"
                   "42 ID is missing\n"
                   "mobile:a_key:A;;7; level:0 value:0\n"
                   "here b_key\n"
                   "mobile:b_key:A1;17;7; level:2 value:1.5\n"
                   "here c_key\n");
    EXPECT_EQ(device_.alarm_identities(),
              (std::map<std::string, std::string>{{"a_key", "A;;7;"}, {"b_key", "A1;17;7;"}}));
    EXPECT_EQ(device_.signal_names(), (std::map<std::string, std::string>{{"b_key", "Battery"}}));
    // The host's per-key maps were looked up in the way that adds a zero entry.
    EXPECT_EQ(device_.AlarmLevels().count("a_key"), 1U);
    EXPECT_EQ(device_.ThresholdValues().count("a_key"), 1U);
    EXPECT_EQ(device_.AlarmLevels().count("c_key"), 0U);
}

TEST_F(TemplateSettings, EntryWithoutAnyPartReportsEachMissingPart)
{
    const std::string out = Apply(R"({"appSetting":{"b_mode":3},"thresholdSetting":{"k":{}}})");
    EXPECT_NE(out.find("42 NMAlarmID is missing\n42 ID is missing\n42 SignalNumber is missing\n"
                       "mobile:k:;;; level:0 value:0\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(device_.alarm_identities().at("k"), ";;;");
    EXPECT_TRUE(device_.signal_names().empty());
}

TEST_F(TemplateSettings, ModeIsKeptAcrossCallsAndEntriesAreOnlyAddedOrReplaced)
{
    Apply(R"({"appSetting":{"b_mode":3},"thresholdSetting":{"x":{"ID":1},"y":{"ID":2}}})");
    const std::string out = Apply(R"({"thresholdSetting":{"y":{"ID":3}}})");
    EXPECT_EQ(device_.b_mode(), 3);
    EXPECT_EQ(out.substr(0, 7), "here 1\n");
    EXPECT_EQ(device_.alarm_identities(),
              (std::map<std::string, std::string>{{"x", ";1;;"}, {"y", ";3;;"}}));
}

TEST_F(TemplateSettings, OutsideModeThreeThresholdsAreIgnored)
{
    const std::string out = Apply(R"({"thresholdSetting":{"k":{"ID":1}}})");
    EXPECT_EQ(out, "");
    EXPECT_TRUE(device_.alarm_identities().empty());
}

TEST_F(TemplateSettings, ModeThreeWithoutThresholdsWritesOnlyHereOne)
{
    EXPECT_EQ(Apply(R"({"appSetting":{"b_mode":3},"thresholdSetting":null})"),
              "InitSetting 42 b_mode_:3\nhere 1\n");
}

TEST_F(TemplateSettings, HostParseRunsOnceLastAndItsResultIsReturned)
{
    bool result = true;
    log_.init_setting_result = false;
    Apply(R"({"appSetting":{"b_mode":3},"thresholdSetting":{"k":{"ID":1}}})", &result);
    EXPECT_FALSE(result);
    ASSERT_EQ(log_.Lines(), std::vector<std::string>{"InitSetting"});
    log_.init_setting_result = true;
    Apply("{}", &result);
    EXPECT_TRUE(result);
    EXPECT_EQ(Val(device_.record().DataId), 42U);
}

TEST_F(TemplateSettings, ValueThatIsNoTextThrowsAndKeepsWhatWasApplied)
{
    testing::internal::CaptureStdout();
    EXPECT_THROW(
        device_.InitSetting(Parse(
            R"({"appSetting":{"b_mode":3},"thresholdSetting":{"a":{"ID":1},"b":{"ID":[1]}}})")),
        std::exception);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(device_.b_mode(), 3);
    EXPECT_EQ(device_.alarm_identities().at("a"), ";1;;");
    EXPECT_EQ(device_.alarm_identities().count("b"), 0U);
    EXPECT_TRUE(log_.calls.empty()); // the host's parse was not reached
}

} // namespace

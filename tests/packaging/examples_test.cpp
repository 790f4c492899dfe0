// The examples shipped in deltanhnt-tools: every scenario script parses as
// ups-sim reads it, the settings file is one the plug-in accepts, and the
// mains-failure scenario takes the plug-in through the states its comments
// name, cycle by cycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "record/DeltanhntCmdsRply.h"
#include "support/CallLog.h"
#include "support/Packed.h"
#include "support/PluginLoader.h"
#include "support/TestDevice.h"
#include "upssim/Options.h"
#include "upssim/Responder.h"
#include "upssim/Script.h"

namespace
{

const std::string kExamples = DELTANHNT_EXAMPLES_DIR;

// The .ups files of examples/, "|"-separated, as the build found them.
std::vector<std::string> ScenarioScripts()
{
    std::vector<std::string> names;
    std::stringstream list(DELTANHNT_EXAMPLE_SCRIPTS);
    for (std::string name; std::getline(list, name, '|');) {
        names.push_back(name);
    }
    return names;
}

TEST(Examples, EveryScenarioScriptParses)
{
    const std::vector<std::string> names = ScenarioScripts();
    for (const char* expected : {"cable-pull.ups", "line-noise.ups", "mains-failure.ups"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    }
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        upssim::Script script;
        EXPECT_NO_THROW(script = upssim::LoadScript(kExamples + "/" + name));
        EXPECT_FALSE(script.empty());
    }
}

TEST(Examples, SettingsFileIsAcceptedByThePlugin)
{
    std::ifstream in(kExamples + "/settings.json");
    ASSERT_TRUE(in) << "no settings.json in " << kExamples;
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    Json::Value settings;
    std::string errors;
    ASSERT_TRUE(Json::parseFromStream(builder, in, &settings, &errors)) << errors;
    ASSERT_TRUE(settings.isObject());

    TestDevice device(BuiltPlugin().Create());
    testing::internal::CaptureStdout();
    bool accepted = false;
    EXPECT_NO_THROW(accepted = device.dev().InitSetting(settings));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(accepted);
}

// The built plug-in polling the simulator that runs a script: each query the
// device sends is answered as ups-sim would, in simulated time.
class ScriptedUps
{
public:
    explicit ScriptedUps(const std::string& script)
        : device_(BuiltPlugin().Create()), ups_(Options(script))
    {
    }

    // One poll cycle; the number of records the device reported in it.
    int RunCycle()
    {
        CallLog& log = device_.log();
        const std::size_t reported = log.Count(HostCall::Op::SendSP);
        std::size_t next = log.Frames().size();
        testing::internal::CaptureStdout(); // the round's "rvSize is" line
        device_.dev().RefreshStatus();
        for (;;) {
            const std::vector<std::string> frames = log.Frames();
            if (next >= frames.size()) {
                break;
            }
            const std::string& frame = frames[next++];
            std::vector<upssim::Output> outputs;
            ups_.Receive(frame.data(), frame.size(), now_, outputs);
            for (const upssim::Output& output : outputs) {
                now_ += output.pause;
                if (output.kind == upssim::Output::Kind::Send) {
                    device_.Feed(output.bytes);
                }
            }
            now_ += std::chrono::milliseconds(100);
        }
        testing::internal::GetCapturedStdout();
        return static_cast<int>(log.Count(HostCall::Op::SendSP) - reported);
    }

    const DeltanhntCmdsRply_t& rec() const { return device_.rec(); }

private:
    static upssim::Options Options(const std::string& script)
    {
        upssim::Options options;
        options.script = upssim::LoadScript(script);
        options.drift = false;
        return options;
    }

    TestDevice device_;
    upssim::Responder ups_;
    upssim::Clock::time_point now_{};
};

TEST(Examples, MainsFailureRunsOnBatteryToImminentShutdownAndBack)
{
    ScriptedUps ups(kExamples + "/mains-failure.ups");
    // Per cycle: input failed, output source, shutdown imminent.
    struct State {
        int input_fail;
        int output_source;
        int shutdown_imminent;
    };
    const State healthy{0, 0, 0};
    const State on_battery{1, 1, 0};
    const State nearly_empty{1, 1, 1};
    const std::vector<State> expected = {
        healthy,      healthy,                  // two healthy cycles
        on_battery,   on_battery,   on_battery, // mains failure
        nearly_empty, nearly_empty,             // battery nearly empty
        healthy,      healthy,      healthy,    // mains back
        healthy,      healthy,      on_battery, // and again from the start
    };
    for (std::size_t cycle = 0; cycle < expected.size(); ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle + 1));
        ASSERT_EQ(ups.RunCycle(), 1);
        EXPECT_EQ(Val(ups.rec().InptFail), expected[cycle].input_fail);
        EXPECT_EQ(Val(ups.rec().OutptSrc), expected[cycle].output_source);
        EXPECT_EQ(Val(ups.rec().ShtdwnImmnnt), expected[cycle].shutdown_imminent);
    }
}

} // namespace

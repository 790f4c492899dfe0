// halx-host as a field engineer runs it: what a simulated run says, how a
// run ends in the exit status, --version, the simulated UPS's values and
// noise.
#include <signal.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "HostTest.h"

using namespace std::chrono_literals;

namespace
{

// The simulated UPS is never taken for a real one: every JSON event of a
// simulated run and every block of its view says so; a real port's run
// does not.
TEST(HalxHostCommandLine, SimulatedRunSaysSoEverywhere)
{
    const RunResult json = RunHost({"--cycles", "1", "--json", "--interval", "0.2"});
    ASSERT_EQ(json.status, 0) << json.err;
    const std::vector<Json::Value> events = JsonEvents(json.out);
    ASSERT_GT(events.size(), 20U);
    for (const Json::Value& e : events) {
        EXPECT_TRUE(e["simulated"].asBool()) << e;
    }

    const RunResult text = RunHost({"--sim", "--cycles", "1", "--interval", "0.2"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out.rfind("halx-host: SIMULATED UPS: polling the built-in simulator on ", 0), 0U)
        << text.out;
    EXPECT_NE(text.out.find("== cycle 1 completed (SIMULATED UPS) at "), std::string::npos);

    const SimulatedLine ups;
    const RunResult real =
        RunHost({"--port", ups.Path(), "--cycles", "1", "--json", "--interval", "0.2"});
    ASSERT_EQ(real.status, 0) << real.err;
    for (const Json::Value& e : JsonEvents(real.out)) {
        EXPECT_FALSE(e.isMember("simulated")) << e;
    }
}

// --sim-value takes what ups-sim --set takes: a wire integer, or one
// decimal for a tenths field.
TEST(HalxHostCommandLine, SimValueTakesTheFormsOfUpsSimSet)
{
    const RunResult r =
        RunHost({"--sim", "--cycles", "1", "--json", "--interval", "0.2", "--sim-value",
                 "BattryVlt=265.0", "--sim-value", "InptVlt1=2301", "--sim-value", "InptFail=1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Json::Value> records = OfKind(JsonEvents(r.out), "record");
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(static_cast<float>(records[0]["fields"]["BattryVlt"].asDouble()), 265.0F);
    EXPECT_EQ(static_cast<float>(records[0]["fields"]["InptVlt1"].asDouble()), 230.1F);
    EXPECT_EQ(records[0]["fields"]["InptFail"].asInt(), 1);
}

// The simulated UPS's noise holds no "~" unless asked: with it every cycle
// completes; with --sim-noise-sync cycles fail and say it was the noise.
TEST(HalxHostCommandLine, SimulatedNoiseHoldsNoFrameStartUnlessAsked)
{
    const RunResult clean = RunHost({"--sim", "--cycles", "2", "--json", "--interval", "0.2",
                                     "--sim-noise", "100", "--timeout", "60"});
    ASSERT_EQ(clean.status, 0) << clean.err;
    const std::vector<Json::Value> events = JsonEvents(clean.out);
    EXPECT_EQ(OfKind(events, "record").size(), 2U);
    EXPECT_EQ(OfKind(events, "abandoned").size(), 0U);

    const RunResult sync = RunHost({"--sim", "--cycles", "2", "--json", "--interval", "0.1",
                                    "--sim-noise", "300", "--sim-noise-sync", "--timeout", "2"});
    const std::vector<Json::Value> abandoned = OfKind(JsonEvents(sync.out), "abandoned");
    ASSERT_FALSE(abandoned.empty()) << sync.out;
    for (const Json::Value& a : abandoned) {
        EXPECT_EQ(a["reason"].asString(), "noise") << a;
        EXPECT_EQ(a["by"].asString(), "plugin") << a;
    }
    EXPECT_NE(sync.err.find("fail: noise before the reply: a \"~\" among the noise began a false "
                            "frame"),
              std::string::npos)
        << sync.err;
}

struct ExitCase {
    const char* name;
    std::string script;            // for the simulated UPS
    bool drop_all;                 // it answers nothing
    std::vector<std::string> args; // after --port
    int status;
    const char* stopped; // the counters event's "stopped"
};

// The exit status says how the run ended: the cycles asked for, none at
// all before --timeout, or some but not all.
TEST(HalxHostExit, StatusTellsHowTheRunEnded)
{
    const ExitCase cases[] = {
        {"the cycles asked for", "", false, {"--cycles", "2"}, 0, "cycles"},
        {"a dead UPS and --timeout", "", true, {"--cycles", "1", "--timeout", "1.5"}, 3, "timeout"},
        {"fewer cycles than asked",
         "wait 2 cycles\ndrop all\n",
         false,
         {"--cycles", "5", "--timeout", "4"},
         4,
         "timeout"},
        {"--timeout without --cycles", "", false, {"--timeout", "1.5"}, 0, "timeout"},
    };
    for (const ExitCase& c : cases) {
        SCOPED_TRACE(c.name);
        upssim::Options options = SimulatedLine::Healthy(c.script);
        options.drop_all = c.drop_all;
        const SimulatedLine ups(options);
        std::vector<std::string> args = {"--port", ups.Path(),        "--json", "--interval",
                                         "0.2",    "--reply-timeout", "0.4"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = RunHost(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        const std::vector<Json::Value> events = JsonEvents(r.out);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back()["event"].asString(), "counters");
        EXPECT_EQ(events.back()["stopped"].asString(), c.stopped);
    }

    // Ctrl-C before any cycle completed.
    upssim::Options options = SimulatedLine::Healthy();
    options.drop_all = true;
    const SimulatedLine dead(options);
    const std::unique_ptr<ChildProcess> host =
        StartHost({"--port", dead.Path(), "--json", "--interval", "0.2", "--reply-timeout", "0.3"});
    ASSERT_TRUE(dead.WaitFor(upssim::Event::Kind::Query, 60s));
    host->Signal(SIGINT);
    EXPECT_EQ(host->Wait(60s), 3) << host->Stderr();
    const std::vector<Json::Value> events = JsonEvents(host->Stdout());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["stopped"].asString(), "signal");
    EXPECT_EQ(events.back()["completed"].asInt(), 0);
}

// --version: the project's version, the plug-in it would load and that
// plug-in's build id.
TEST(HalxHostCommandLine, VersionNamesThePluginAndItsBuildId)
{
    const RunResult r = RunHost({"--version"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(^halx-host \d+\.\d+\.\d+ \(deltanhnt\)\n)")))
        << r.out;
    EXPECT_NE(r.out.find("\nplug-in: /"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("deltanhnt.so\n"), std::string::npos) << r.out;
    EXPECT_TRUE(
        std::regex_search(r.out, std::regex(R"(\nplug-in build id: ([0-9a-f]{16,}|none)\n)")))
        << r.out;
    EXPECT_EQ(r.err, "");
}

// The exit statuses are listed in --help and in the manual page, the same
// five.
TEST(HalxHostCommandLine, ExitStatusesAreDocumentedInHelpAndManualPage)
{
    const RunResult help = RunHost({"--help"});
    ASSERT_EQ(help.status, 0);
    std::ifstream in(HALX_HOST_MAN_PAGE);
    ASSERT_TRUE(in) << HALX_HOST_MAN_PAGE;
    std::ostringstream text;
    text << in.rdbuf();
    const std::string man = text.str();
    const std::size_t section = man.find(".SH EXIT STATUS\n");
    ASSERT_NE(section, std::string::npos);
    const std::size_t help_section = help.out.find("\nExit status:\n");
    ASSERT_NE(help_section, std::string::npos) << help.out;
    for (int status = 0; status <= 4; ++status) {
        const std::string n = std::to_string(status);
        EXPECT_NE(help.out.find("\n  " + n + "  ", help_section), std::string::npos) << n;
        EXPECT_NE(man.find(".TP\n.B " + n + "\n", section), std::string::npos) << n;
    }
    EXPECT_NE(help.out.find("before any cycle completed"), std::string::npos);
    EXPECT_NE(man.find("before any cycle completed", section), std::string::npos);
}

} // namespace

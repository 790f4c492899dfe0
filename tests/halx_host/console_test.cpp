// The plug-in's standard output is taken in by halx-host: with --json every
// line of standard output is one JSON object, the plug-in's lines among
// them as "console" events, in the order they were written between the
// host operations, however much is written in one call.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include <json/reader.h>

#include "HostTest.h"

namespace
{

// Every line of `text` as a JSON object; a line that is not one fails the
// test.
std::vector<Json::Value> StrictJsonLines(const std::string& text)
{
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::vector<Json::Value> events;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        Json::Value value;
        std::string errors;
        const bool parsed = reader->parse(line.data(), line.data() + line.size(), &value, &errors);
        EXPECT_TRUE(parsed && value.isObject() && value.isMember("event")) << line;
        events.push_back(value);
    }
    return events;
}

std::vector<std::string> ConsoleTexts(const std::vector<Json::Value>& events)
{
    std::vector<std::string> texts;
    for (const Json::Value& e : OfKind(events, "console")) {
        texts.push_back(e["text"].asString());
    }
    return texts;
}

// halx-host --sim --cycles 2 --json | jq -e .event: nothing but events, each
// numbered and stamped with its zone, the plug-in's "rvSize is 0" once a
// round as an event of its own.
TEST(HalxHostConsole, JsonOutputIsNothingButEventsNumberedAndStamped)
{
    const RunResult r =
        RunHost({"--sim", "--cycles", "2", "--json", "--interval", "0.2", "--reply-timeout", "10"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Json::Value> events = StrictJsonLines(r.out);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(ConsoleTexts(events), (std::vector<std::string>{"rvSize is 0", "rvSize is 0"}));
    const std::regex rfc3339(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}[+-]\d\d:\d\d)");
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i]["seq"].asUInt64(), i + 1) << events[i];
        EXPECT_TRUE(std::regex_match(events[i]["time"].asString(), rfc3339)) << events[i];
    }
    // Each console line where the plug-in wrote it: after the alarms, before
    // the history.
    const std::vector<std::string> kinds = Kinds(events);
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        if (kinds[i] == "console") {
            EXPECT_EQ(kinds[i - 1], "alarm");
            EXPECT_EQ(kinds[i + 1], "history");
        }
    }
}

// A plug-in that writes 20,000 lines from one InitSetting call (over 1 MiB,
// far more than a pipe holds) and lines between SendSP and Reset: nothing
// blocks, nothing is lost, each line keeps its place.
TEST(HalxHostConsole, LargeOutputInOneCallKeepsEveryLineInOrder)
{
    const TempDir dir;
    constexpr int kLines = 20000;
    const std::string settings =
        dir.Write("settings.json", "{\"lines\": " + std::to_string(kLines) + "}");
    const std::string cache = dir.Write("cache.bin", std::string(338, '\0'));

    const RunResult r = RunHost({"--load-cache", cache, "--json", "--plugin",
                                 HALX_HOST_CONSOLE_PLUGIN, "--settings", settings});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Json::Value> events = StrictJsonLines(r.out);
    const std::vector<std::string> texts = ConsoleTexts(events);
    ASSERT_EQ(texts.size(), kLines + 3U);
    for (int i = 0; i < kLines; ++i) {
        ASSERT_EQ(texts[i].rfind("setting line " + std::to_string(i) + " of ", 0), 0U) << texts[i];
    }

    // From the session's start: the settings' lines, the start, then the
    // cached round with its lines where they were written.
    std::vector<std::string> kinds = Kinds(events);
    kinds.erase(kinds.begin(), kinds.begin() + kLines);
    EXPECT_EQ(kinds, (std::vector<std::string>{"start", "console", "record", "console", "reset",
                                               "console", "load_cache", "values"}));
    EXPECT_EQ(std::vector<std::string>(texts.end() - 3, texts.end()),
              (std::vector<std::string>{"before SendSP", "between SendSP and Reset",
                                        "after Reset, no line end"}));

    // The readable view hides them, and shows them with --verbose.
    const RunResult quiet = RunHost({"--load-cache", cache, "--plugin", HALX_HOST_CONSOLE_PLUGIN});
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.out.find("before SendSP"), std::string::npos) << quiet.out;
    const RunResult verbose =
        RunHost({"--load-cache", cache, "--plugin", HALX_HOST_CONSOLE_PLUGIN, "--verbose"});
    ASSERT_EQ(verbose.status, 0) << verbose.err;
    EXPECT_NE(verbose.out.find("console  before SendSP\n"), std::string::npos) << verbose.out;
    EXPECT_NE(verbose.out.find("console  after Reset, no line end\n"), std::string::npos);
}

} // namespace

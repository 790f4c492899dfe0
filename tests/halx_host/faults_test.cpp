// halx-host against a faulty UPS (upssim on a pseudo-terminal): each kind of
// fault told apart in the cycle's "abandoned" event and the view, a fault
// that lasts told once and then summed up, the data's age shown while no
// round comes.
#include <fstream>
#include <functional>
#include <regex>

#include <gtest/gtest.h>

#include "HostTest.h"

namespace
{

struct FaultCase {
    const char* name;
    std::function<void(upssim::Options&)> fault;
    const char* reason; // the abandoned events' "reason"
    const char* text;   // contained in their "message"
    // In a site, where it differs: the message quotes what had been read
    // when the plug-in gave up, and a site reads a reply in a few reads
    // (how much of the body came with the header depends on the moment).
    const char* site_text = nullptr;
};

const FaultCase kFaults[] = {
    {"another make", [](upssim::Options& o) { o.manufacturer = "ACME"; }, "wrong_manufacturer",
     "manufacturer text not DELTA (got \"ACME\")"},
    {"another address", [](upssim::Options& o) { o.address = "01"; }, "wrong_address",
     "reply with the wrong address: ~01D005DELTA (address 01, expected 00)",
     "reply with the wrong address: ~01D005"},
    {"a dead UPS", [](upssim::Options& o) { o.drop_all = true; }, "no_reply",
     "no reply at all to MNU within 0.3 s"},
    {"one query dropped", [](upssim::Options& o) { o.drop_codes = {"STA"}; }, "unanswered",
     "STA query unanswered for 0.3 s (the replies before it came)"},
    {"replies cut short", [](upssim::Options& o) { o.truncate_every = 4; }, "cut_short",
     "reply cut short: the STB reply announced"},
    {"noise with frame starts", [](upssim::Options& o) { o.noise = 400; }, "noise",
     "noise before the reply: a \"~\" among the noise began a false frame"},
};

TEST(HalxHostFaults, EachFaultIsToldApartFromWhatTheLineCarried)
{
    for (const FaultCase& c : kFaults) {
        SCOPED_TRACE(c.name);
        upssim::Options options = SimulatedLine::Healthy();
        c.fault(options);
        const SimulatedLine ups(options);
        const RunResult r = RunHost({"--port", ups.Path(), "--json", "--interval", "0.2",
                                     "--reply-timeout", "0.3", "--timeout", "2"});
        EXPECT_EQ(r.status, 3) << r.err;
        const std::vector<Json::Value> abandoned = OfKind(JsonEvents(r.out), "abandoned");
        ASSERT_FALSE(abandoned.empty()) << r.out;
        for (const Json::Value& a : abandoned) {
            EXPECT_EQ(a["reason"].asString(), c.reason) << a;
            EXPECT_NE(a["message"].asString().find(c.text), std::string::npos) << a;
        }
        // Told once on standard error, with the same words.
        const std::vector<std::string> told = LinesWith(r.err, c.text);
        EXPECT_EQ(told.size(), 1U) << r.err;
    }
}

// The same faults on a line of a site, a UPS sending at its baud rate: a site
// reads each reply in a few paced reads, with the line off the io_context
// while it waits, and still tells every fault apart, once.
TEST(HalxHostFaults, ASiteReadingPacedRepliesTellsEachFaultApart)
{
    for (const FaultCase& c : kFaults) {
        SCOPED_TRACE(c.name);
        upssim::Options options = SimulatedLine::Healthy();
        options.pace = true;
        c.fault(options);
        const std::string text = c.site_text != nullptr ? c.site_text : c.text;
        const SimulatedLine ups(options);
        const std::string config = ups.Dir().File("site.conf");
        std::ofstream(config) << R"({ "site": "faults", "ups": [ { "name": "ups1", "port": ")"
                              << ups.Path() << R"(", "interval": 0.2, "reply_timeout": 0.3 } ],
                                     "nut": { "enabled": false } })";
        const RunResult r =
            RunHost({"--config", config, "--json", "--lock-dir", "", "--timeout", "3"});
        const std::vector<Json::Value> abandoned = OfKind(JsonEvents(r.out), "abandoned");
        ASSERT_FALSE(abandoned.empty()) << r.out << r.err;
        for (const Json::Value& a : abandoned) {
            EXPECT_EQ(a["ups"].asString(), "ups1") << a;
            EXPECT_EQ(a["reason"].asString(), c.reason) << a;
            EXPECT_NE(a["message"].asString().find(text), std::string::npos) << a;
        }
        EXPECT_EQ(LinesWith(r.err, text).size(), 1U) << r.err;
    }
}

// A cable pulled in the middle of a paced reply, while the site's line waits
// off the io_context for the rest of it: the hang-up is seen when the wait
// ends, told once, the port reopened and the cycles carried on.
TEST(HalxHostFaults, ASiteLinePulledMidReplyIsReopened)
{
    upssim::Options options = SimulatedLine::Healthy("wait 1 cycle\nwait 700ms\nclose 1s\n");
    options.pace = true;
    const SimulatedLine ups(options);
    const std::string config = ups.Dir().File("site.conf");
    std::ofstream(config) << R"({ "site": "pull", "ups": [ { "name": "ups1", "port": ")"
                          << ups.Path() << R"(", "interval": 0.2, "reply_timeout": 10 } ],
                                 "nut": { "enabled": false } })";
    const RunResult r = RunHost({"--config", config, "--json", "--lock-dir", "", "--cycles", "3",
                                 "--reopen-interval", "0.2", "--timeout", "60"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<Json::Value> events = JsonEvents(r.out);
    std::vector<std::string> link_states;
    for (const Json::Value& e : OfKind(events, "link")) {
        link_states.push_back(e["state"].asString());
    }
    EXPECT_EQ(link_states, (std::vector<std::string>{"lost", "reopened"})) << r.out;
    EXPECT_EQ(OfKind(events, "values").size(), 3U) << r.out;
    EXPECT_EQ(LinesWith(r.err, " lost: ").size(), 1U) << r.err;
    EXPECT_EQ(LinesWith(r.err, " reopened").size(), 1U) << r.err;
}

// A UPS that answers 8 of 9 queries: one line when the cycles start to
// fail, then a summary every --summary-interval, never "answering again"
// in between; the view shows every cycle given up.
TEST(HalxHostFaults, AFaultThatLastsIsToldOnceThenSummedUp)
{
    upssim::Options options = SimulatedLine::Healthy();
    options.drop_codes = {"STA"};
    const SimulatedLine ups(options);
    const RunResult r =
        RunHost({"--port", ups.Path(), "--json", "--interval", "0.1", "--reply-timeout", "0.2",
                 "--summary-interval", "1", "--timeout", "3.5"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(LinesWith(r.err, " fail: STA query unanswered").size(), 1U) << r.err;
    EXPECT_GE(LinesWith(r.err, " still fail (since ").size(), 2U) << r.err;
    EXPECT_EQ(LinesWith(r.err, "answering").size(), 0U) << r.err;

    const std::vector<Json::Value> events = JsonEvents(r.out);
    std::vector<std::string> states;
    for (const Json::Value& e : OfKind(events, "link")) {
        states.push_back(e["state"].asString());
    }
    EXPECT_EQ(states, std::vector<std::string>{"failing"});
    const std::vector<Json::Value> summaries = OfKind(events, "summary");
    ASSERT_GE(summaries.size(), 2U);
    for (const Json::Value& s : summaries) {
        EXPECT_EQ(s["state"].asString(), "failing") << s;
        EXPECT_GE(s["faults"]["STA query unanswered"].asInt(), 1) << s;
        EXPECT_EQ(s["cycles_completed"].asInt(), 0) << s;
    }
    EXPECT_EQ(OfKind(events, "abandoned").size(), events.back()["abandoned"].asUInt());
}

// While no round comes, a status line each interval: the data's age, and
// why (the UPS not answering since when).
TEST(HalxHostStaleness, StatusLinesWhileTheDataAges)
{
    const SimulatedLine ups(SimulatedLine::Healthy("wait 1 cycle\nsilence 60s\n"));
    const RunResult json = RunHost({"--port", ups.Path(), "--json", "--interval", "0.2",
                                    "--reply-timeout", "0.2", "--timeout", "2.5"});
    EXPECT_EQ(json.status, 0) << json.err;
    const std::vector<Json::Value> events = JsonEvents(json.out);
    const std::vector<Json::Value> status = OfKind(events, "status");
    ASSERT_GE(status.size(), 3U) << json.out;
    double age = 0;
    for (const Json::Value& s : status) {
        EXPECT_EQ(s["state"].asString(), "silent") << s;
        EXPECT_FALSE(s["stale"].asBool()) << s;
        EXPECT_TRUE(s["last_round"].isString()) << s;
        EXPECT_GE(s["age_s"].asDouble(), age) << s;
        age = s["age_s"].asDouble();
        EXPECT_NE(s["message"].asString().find("; not answering since "), std::string::npos);
    }

    const SimulatedLine silent(SimulatedLine::Healthy("wait 1 cycle\nsilence 60s\n"));
    const RunResult text = RunHost({"--port", silent.Path(), "--interval", "0.2", "--reply-timeout",
                                    "0.2", "--timeout", "2.5"});
    EXPECT_EQ(text.status, 0) << text.err;
    const std::regex line(
        R"(\nstatus   data age \d+ s \(last round \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d\); not answering since [-0-9T:+]+ \(no reply at all to MNU within 0\.2 s\)\n)");
    EXPECT_TRUE(std::regex_search(text.out, line)) << text.out;
    EXPECT_NE(text.out.find("cycle abandoned at the MNU reply: no reply at all to MNU within 0.2 "
                            "s; the host reset the exchange, 1 abandoned so far"),
              std::string::npos)
        << text.out;
}

} // namespace

// halx-host end to end: the tool, run as a child process, polls the
// simulated UPS (upssim) through a real pseudo-terminal; the assertions read
// its --json events.
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "HostTest.h"
#include "common/PollCycle.h"
#include "protocol/FrameLayout.h"
#include "record/RecordFields.h"
#include "support/Replies.h"
#include "upssim/UpsModel.h"

using namespace std::chrono_literals;
using Kind = upssim::Event::Kind;

namespace
{

// The status flag of "AC output current too high" (row 3 of the alarms).
constexpr const char* kOverCurrent = "OutptOvrCrrent";

std::vector<std::string> Fields(const std::string& payload)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t semi = payload.find(';', start);
        fields.push_back(payload.substr(start, semi - start));
        if (semi == std::string::npos) {
            return fields;
        }
        start = semi + 1;
    }
}

// Checks the decoded record fields against the replies the UPS sent (in
// poll order), field by field: integer, tenths and byte conversions, absent
// fields, texts.
void ExpectRecordFrom(const Json::Value& fields, const std::vector<std::string>& replies)
{
    for (std::size_t g = 0; g < tools::kPollCycleLength; ++g) {
        const char* code = kCommandCodes[tools::PollCycle()[g]];
        const ReplyGroup reply = kPollSteps[g].reply;
        const std::string payload = replies[g].substr(kFrameHeaderSize);
        const ReplyFields group = FieldsOf(reply);
        const std::vector<std::string> wire = Fields(payload);
        for (std::size_t i = 0; i < group.count; ++i) {
            const RecordField& f = group.first[i];
            const Json::Value& got = fields[f.name];
            SCOPED_TRACE(std::string(code) + " field " + std::to_string(i) + " " + f.name);
            const bool present = i < wire.size();
            const int number = present ? std::atoi(wire[i].c_str()) : 0;
            switch (f.type) {
            case FieldType::Text16:
                EXPECT_EQ(got.asString(), payload.substr(0, 16));
                break;
            case FieldType::Int32:
                EXPECT_EQ(got.asInt(), number);
                break;
            case FieldType::Float32:
                EXPECT_EQ(
                    static_cast<float>(got.asDouble()),
                    static_cast<float>(static_cast<double>(static_cast<float>(number)) * 0.1));
                break;
            case FieldType::Int8:
                EXPECT_EQ(got.asInt(), present || reply != ReplyGroup::STA
                                           ? static_cast<std::int8_t>(number & 0xFF)
                                           : -1);
                break;
            default:
                ADD_FAILURE() << "unexpected field type";
            }
        }
    }
}

std::vector<std::string> Repeat(const std::vector<std::string>& items, int times)
{
    std::vector<std::string> all;
    for (int i = 0; i < times; ++i) {
        all.insert(all.end(), items.begin(), items.end());
    }
    return all;
}

std::vector<std::string> CycleEvents()
{
    std::vector<std::string> kinds(9, "tx");
    kinds.emplace_back("record");
    kinds.emplace_back("reset");
    kinds.insert(kinds.end(), 15, "alarm");
    // The plug-in's "rvSize is 0", taken in where it is written.
    kinds.emplace_back("console");
    kinds.emplace_back("history");
    kinds.emplace_back("values");
    return kinds;
}

} // namespace

TEST(HalxHostEndToEnd, PollsThroughPseudoTerminalWithNoiseSplitRepliesAndARaisedFlag)
{
    // Line noise (never a "~") before every reply, the replies in 7-byte
    // pieces.
    upssim::Options options = SimulatedLine::Healthy();
    options.noise = 11;
    options.noise_without_start = true;
    options.chunk = 7;
    options.values[kOverCurrent] = 1;
    const SimulatedLine ups(options);

    const RunResult r =
        RunHost({"--port", ups.Path(), "--json", "--interval", "0.2", "--reply-timeout", "10",
                 "--cycles", "3", "--data-id", "4000000000"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Json::Value> events = JsonEvents(r.out);

    // Every call in order: the session, three whole cycles, then the
    // counters.
    std::vector<std::string> expected = {"start"};
    const std::vector<std::string> cycles = Repeat(CycleEvents(), 3);
    expected.insert(expected.end(), cycles.begin(), cycles.end());
    expected.emplace_back("counters");
    ASSERT_EQ(Kinds(events), expected);

    // The frames, as reported and as the UPS received them.
    std::vector<std::string> sent;
    for (const Json::Value& tx : OfKind(events, "tx")) {
        sent.push_back(tx["text"].asString());
    }
    EXPECT_EQ(sent, Repeat(CycleFrames(), 3));
    EXPECT_EQ(ups.Queries(), sent);

    const std::vector<Json::Value> records = OfKind(events, "record");
    const std::vector<Json::Value> histories = OfKind(events, "history");
    const std::vector<Json::Value> values = OfKind(events, "values");
    for (std::size_t c = 0; c < 3; ++c) {
        SCOPED_TRACE("cycle " + std::to_string(c));
        const Json::Value& rec = records[c];
        EXPECT_EQ(rec["data_id"].asInt(), 5035);
        EXPECT_EQ(rec["length"].asInt(), 338);
        EXPECT_EQ(rec["hex"].asString().size(), 676U);
        EXPECT_EQ(rec["fields"]["DataId"].asUInt(), 4000000000U);
        ExpectRecordFrom(rec["fields"], RepliesOf(options));
        EXPECT_EQ(rec["fields"]["Reserved194"].asString(), "00000000");
        EXPECT_TRUE(std::regex_match(rec["fields"]["RoundTime"].asString(),
                                     std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)")));
        // The same bytes are stored as history.
        EXPECT_EQ(histories[c]["hex"], rec["hex"]);

        // Every served value answers with the record's field of that name.
        EXPECT_EQ(values[c]["errors"].size(), 0U) << values[c].toStyledString();
        EXPECT_EQ(values[c]["values"].size(), 16U);
        for (const std::string& name : values[c]["values"].getMemberNames()) {
            EXPECT_EQ(values[c]["values"][name].asDouble(), rec["fields"][name].asDouble()) << name;
        }
        EXPECT_EQ(values[c]["values"]["RatInptVlt"].asInt(), 220);
        EXPECT_EQ(static_cast<float>(values[c]["values"]["BattryVlt"].asDouble()), 271.2F);
    }

    // Fifteen alarms a cycle, numbered from 1, only row 3 active.
    const std::vector<Json::Value> alarms = OfKind(events, "alarm");
    ASSERT_EQ(alarms.size(), 45U);
    for (std::size_t i = 0; i < alarms.size(); ++i) {
        const std::size_t row = i % 15;
        EXPECT_EQ(alarms[i]["key"].asString(), "deltaNHNT_" + std::to_string(row));
        EXPECT_EQ(alarms[i]["sequence"].asUInt(), row + 1);
        EXPECT_EQ(alarms[i]["active"].asBool(), row == 3) << i;
    }
    EXPECT_EQ(alarms[3]["alarm_id"].asString(), "2A1211804");
    EXPECT_EQ(alarms[3]["name"].asString(), "交流输出电流过高");
    EXPECT_EQ(alarms[3]["description"].asString(), "交流输出电流过高");
    EXPECT_EQ(alarms[4]["description"].asString(), "旁路超限");
    // Written as UTF-8, not as \u escapes.
    EXPECT_NE(r.out.find("\"name\":\"交流输出电流过高\""), std::string::npos);

    const Json::Value& counters = events.back();
    EXPECT_EQ(counters["completed"].asInt(), 3);
    EXPECT_EQ(counters["abandoned"].asInt(), 0);
    EXPECT_EQ(counters["resets"].asInt(), 3);
    EXPECT_EQ(counters["stalls"].asInt(), 0);
    EXPECT_EQ(counters["reopenings"].asInt(), 0);
}

TEST(HalxHostEndToEnd, SilentUpsCountsStallsOnceReportedAndRecovers)
{
    const SimulatedLine ups(SimulatedLine::Healthy("wait 1 cycle\nsilence 2500ms\n"));

    const RunResult r = RunHost({"--port", ups.Path(), "--json", "--interval", "0.2",
                                 "--reply-timeout", "1", "--cycles", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Json::Value> events = JsonEvents(r.out);

    std::vector<std::string> link_states;
    for (const Json::Value& e : OfKind(events, "link")) {
        link_states.push_back(e["state"].asString());
    }
    EXPECT_EQ(link_states, (std::vector<std::string>{"silent", "answering"}));

    const Json::Value& counters = events.back();
    ASSERT_EQ(counters["event"].asString(), "counters");
    EXPECT_EQ(counters["completed"].asInt(), 3);
    EXPECT_GE(counters["stalls"].asInt(), 1);
    EXPECT_GE(counters["abandoned"].asInt(), counters["stalls"].asInt());

    // Each stall ends its cycle with the host's own Reset.
    int host_resets = 0;
    for (const Json::Value& e : OfKind(events, "reset")) {
        host_resets += e["by"].asString() == "host" ? 1 : 0;
    }
    EXPECT_EQ(host_resets, counters["stalls"].asInt());

    // Reported once on standard error, however many stalls.
    EXPECT_EQ(LinesWith(r.err, "not answering").size(), 1U) << r.err;
    EXPECT_EQ(LinesWith(r.err, "answering again").size(), 1U) << r.err;
    EXPECT_EQ(OfKind(events, "record").size(), 3U);
}

TEST(HalxHostEndToEnd, LostPortIsReportedOnceReopenedAndIdleWhileGone)
{
    // A cable pull: the terminal hangs up, its link goes, and a new terminal
    // comes after 2.5 s.
    const SimulatedLine ups(SimulatedLine::Healthy("wait 1 cycle\nclose 2500ms\n"));

    const std::unique_ptr<ChildProcess> host =
        StartHost({"--port", ups.Path(), "--json", "--interval", "0.2", "--reply-timeout", "10",
                   "--reopen-interval", "0.2", "--cycles", "3"});
    ChildProcess& child = *host;
    ASSERT_TRUE(ups.WaitFor(Kind::Close, 60s));
    std::this_thread::sleep_for(300ms);
    const double cpu_before = CpuSeconds(child.pid());
    const auto wall_before = std::chrono::steady_clock::now();
    ASSERT_TRUE(ups.WaitFor(Kind::Reopen, 60s));
    const double cpu_used = CpuSeconds(child.pid()) - cpu_before;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    // Waiting for the port must not spin.
    EXPECT_LT(cpu_used, 0.5 * wall) << cpu_used << " s of CPU in " << wall << " s";

    ASSERT_EQ(child.Wait(120s), 0) << child.Stderr();
    const std::vector<Json::Value> events = JsonEvents(child.Stdout());
    std::vector<std::string> link_states;
    for (const Json::Value& e : OfKind(events, "link")) {
        link_states.push_back(e["state"].asString());
    }
    EXPECT_EQ(link_states, (std::vector<std::string>{"lost", "reopened"}));
    const Json::Value& counters = events.back();
    EXPECT_EQ(counters["completed"].asInt(), 3);
    EXPECT_EQ(counters["reopenings"].asInt(), 1);

    // Two lines for the whole outage: lost, reopened.
    EXPECT_EQ(LinesWith(child.Stderr(), "halx-host:").size(), 2U) << child.Stderr();
    EXPECT_EQ(LinesWith(child.Stderr(), " lost: ").size(), 1U);
    EXPECT_EQ(LinesWith(child.Stderr(), " reopened").size(), 1U);
}

TEST(HalxHostEndToEnd, InterruptExitsCleanlyWithCounters)
{
    const SimulatedLine ups;
    const std::unique_ptr<ChildProcess> host =
        StartHost({"--port", ups.Path(), "--json", "--interval", "0.2", "--reply-timeout", "10"});
    ChildProcess& child = *host;
    bool got_values = false;
    while (!got_values) {
        const std::optional<std::string> line = child.ReadLine(60s);
        ASSERT_TRUE(line.has_value()) << child.Stderr();
        got_values = line->find("\"event\":\"values\"") != std::string::npos;
    }
    child.Signal(SIGINT);
    ASSERT_EQ(child.Wait(60s), 0) << child.Stderr();
    const std::vector<Json::Value> events = JsonEvents(child.Stdout());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"].asString(), "counters");
    EXPECT_GE(events.back()["completed"].asInt(), 1);
    EXPECT_EQ(child.Stderr(), "");
}

TEST(HalxHostEndToEnd, ReadableViewShowsValuesAlarmChangesAndAbandonedCycles)
{
    // Cycle 0: not a Delta UPS, the plug-in gives up after MNU.  Cycle 1:
    // over-current raised.  Cycle 2: cleared.
    const SimulatedLine ups(SimulatedLine::Healthy("manufacturer ACME\n"
                                                   "wait 1 cycle\n"
                                                   "manufacturer DELTA\n"
                                                   "flag OutptOvrCrrent 1\n"
                                                   "wait 1 cycle\n"
                                                   "flag OutptOvrCrrent 0\n"));

    const RunResult r = RunHost(
        {"--port", ups.Path(), "--interval", "0.2", "--reply-timeout", "10", "--cycles", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string& out = r.out;
    EXPECT_NE(out.find("cycle abandoned at the MNU reply: manufacturer text not DELTA (got "
                       "\"ACME\"); the plug-in reset the exchange, 1 abandoned so far"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("UPS      DELTA  model NH-PLUS 20K  version V1.23"), std::string::npos)
        << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(BattryVlt +271\.2 V)"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(RatInptVlt +220 V)"))) << out;
    const std::size_t raised = out.find("raised   deltaNHNT_3  2A1211804  交流输出电流过高");
    const std::size_t cleared = out.find("cleared  deltaNHNT_3  2A1211804  交流输出电流过高");
    ASSERT_NE(raised, std::string::npos) << out;
    ASSERT_NE(cleared, std::string::npos) << out;
    EXPECT_LT(raised, cleared);
    EXPECT_EQ(LinesWith(out, "raised").size(), 1U);
    EXPECT_NE(out.find("cycles completed 2, abandoned 1, resets 3, stalls 0, reopenings 0"),
              std::string::npos)
        << out;

    // What a field engineer needs to read it: the alarm's English gloss
    // beside the names the plug-in passes, the data ids told apart, the
    // counters explained once, times with their zone, and the values the
    // sixteen leave out, with units, named as the exporters name them.
    EXPECT_NE(out.find("raised   deltaNHNT_3  2A1211804  交流输出电流过高: AC output current too "
                       "high\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("alarms   1 active of 15 reported: deltaNHNT_3 (AC output current too "
                       "high)"),
              std::string::npos);
    EXPECT_NE(out.find("data id 1 (the device's own identifier, stamped into the record's "
                       "DataId)"),
              std::string::npos);
    EXPECT_NE(out.find("record   338 bytes reported under data id 5035 (the plug-in's record "
                       "type)"),
              std::string::npos);
    EXPECT_EQ(LinesWith(out, "(completed: cycles whose record was reported;").size(), 1U);
    EXPECT_NE(out.find("resets: Reset calls, one at the end of every cycle"), std::string::npos);
    EXPECT_TRUE(std::regex_search(
        out,
        std::regex(R"(== cycle 1 completed at \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d, )")))
        << out;
    EXPECT_NE(out.find("ups      ups.status OL OVER ALARM   experimental.output.source inverter   "
                       "ups.load 46 %   ups.realpower 7590 W\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("battery  battery.charge 100 %   battery.runtime 7200 s (120 min)   "
                       "battery.temperature 25 °C   battery.current 0.3 A\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("freq     input.frequency 50.0 Hz   output.frequency 50.0 Hz   "
                       "input.bypass.frequency 50.0 Hz\n"),
              std::string::npos)
        << out;
}

TEST(HalxHostEndToEnd, TraceHasOneTimestampedHexLinePerChunk)
{
    upssim::Options options = SimulatedLine::Healthy();
    options.chunk = 5;
    const SimulatedLine ups(options);
    const std::string trace = ups.Dir().File("trace.log");

    const RunResult r = RunHost({"--port", ups.Path(), "--json", "--interval", "0.2",
                                 "--reply-timeout", "10", "--cycles", "2", "--trace", trace});
    ASSERT_EQ(r.status, 0) << r.err;

    std::ifstream in(trace);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line.rfind("# ", 0), 0U) << "a header comment first";
    const std::regex format(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}) (tx|rx) ([0-9a-f]+))");
    std::vector<std::string> tx;
    std::string rx;
    std::string previous_time;
    while (std::getline(in, line)) {
        if (line.rfind('#', 0) == 0) {
            continue;
        }
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, format)) << line;
        EXPECT_GE(m[1].str(), previous_time);
        previous_time = m[1].str();
        if (m[2] == "tx") {
            tx.push_back(FromHex(m[3]));
        } else {
            rx += FromHex(m[3]);
        }
    }
    EXPECT_EQ(tx, Repeat(CycleFrames(), 2));
    std::string replies;
    for (const std::string& reply : RepliesOf(options)) {
        replies += reply;
    }
    EXPECT_EQ(rx, replies + replies);
}

#ifdef HALX_HOST_WITH_SIM
TEST(HalxHostEndToEnd, PollsTheSimulatedUpsByDefault)
{
    const RunResult r = RunHost({"--json", "--interval", "0.2", "--reply-timeout", "10", "--cycles",
                                 "2", "--sim-value", "OutptOvrCrrent=1", "--sim-chunk", "9"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Json::Value> events = JsonEvents(r.out);
    const std::vector<Json::Value> records = OfKind(events, "record");
    ASSERT_EQ(records.size(), 2U);
    for (const Json::Value& rec : records) {
        EXPECT_EQ(rec["fields"]["UpsMnu"].asString().rfind("DELTA", 0), 0U);
        EXPECT_EQ(rec["fields"]["OutptOvrCrrent"].asInt(), 1);
    }
    for (const Json::Value& v : OfKind(events, "values")) {
        EXPECT_EQ(v["errors"].size(), 0U);
    }
    int active = 0;
    for (const Json::Value& a : OfKind(events, "alarm")) {
        active += a["active"].asBool() ? 1 : 0;
        EXPECT_EQ(a["active"].asBool(), a["key"].asString() == "deltaNHNT_3");
    }
    EXPECT_EQ(active, 2);
}
#endif

// The host's decisions about a line, without a line: which fault the bytes
// of a failed cycle show, when the line's state is told and summed up, and
// how old the data is.  Time is passed in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FaultDiagnosis.h"
#include "LineMonitor.h"
#include "protocol/PollSequence.h"

namespace
{

using halxhost::Fault;
using halxhost::LineMonitor;
using halxhost::LineNotice;
using halxhost::Moment;
using halxhost::ReplyWindow;
using halxhost::Verdict;
using Kind = LineNotice::Kind;

ReplyWindow Window(const std::string& query, const std::string& received)
{
    ReplyWindow window;
    window.query = query;
    window.first_of_cycle = query == "MNU";
    window.received = received;
    return window;
}

struct ResetCase {
    const char* name;
    std::string received; // the window, ending with the chunk
    std::size_t buffered; // how many bytes before the chunk the plug-in held
    std::size_t chunk;    // the chunk's length (the end of received)
    int awaited;
    Fault fault;
    const char* text; // contained in the verdict's text
};

// The plug-in reset the exchange: from what its buffer held, which fault.
TEST(FaultDiagnosis, PluginResetsAreToldApart)
{
    const std::string noise(4000, '\x01');
    const ResetCase cases[] = {
        {"wrong address", "~01D005DELTA", 0, 12, STATE_MNU, Fault::WrongAddress,
         "reply with the wrong address: ~01D005DELTA (address 01, expected 00)"},
        {"wrong address, the header alone so far", "~07D012", 0, 7, STATE_STB, Fault::WrongAddress,
         "(address 07, expected 00)"},
        {"wrong type", "~00X005DELTA", 0, 12, STATE_MNU, Fault::BadHeader,
         "reply with a bad header or length: ~00X005DELTA (type X, expected D)"},
        {"length without digits", "~00Dabc", 0, 7, STATE_RAT, Fault::BadHeader,
         "(length \"abc\" is not a payload length)"},
        {"negative length", "~00D-05", 0, 7, STATE_RAT, Fault::BadHeader, "(length \"-05\""},
        {"not DELTA", "~00D004ACME", 0, 11, STATE_MNU, Fault::WrongManufacturer,
         "manufacturer text not DELTA (got \"ACME\")"},
        {"not DELTA, in pieces", "~00D005ACME!", 7, 5, STATE_MNU, Fault::WrongManufacturer,
         "(got \"ACME!\")"},
        {"random bytes after a ~", "\x93~\xff\x01\xfe\x80\x02\x7f", 0, 8, STATE_STI, Fault::Noise,
         "noise before the reply: a \"~\" among the noise began a false frame"},
        {"printable noise, the reply behind it", "ab~CD~00D005DELTA", 0, 17, STATE_MNU,
         Fault::Noise, "a \"~\" among the noise began a false frame (~CD~00D)"},
        {"a burst over the buffer", "~" + noise + std::string(200, '\x02'), 4001, 200, STATE_STO,
         Fault::Noise, "4201 bytes came for the STO reply, more than the plug-in's 4096-byte"},
    };
    for (const ResetCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string query = c.awaited == STATE_MNU ? "MNU" : "STB";
        const ReplyWindow window = Window(c.awaited == STATE_STO ? "STO" : query, c.received);
        const std::string chunk = c.received.substr(c.received.size() - c.chunk);
        const std::string buffered =
            c.received.substr(c.received.size() - c.chunk - c.buffered, c.buffered);
        const Verdict v = halxhost::DiagnoseReset(window, buffered, chunk, c.awaited);
        EXPECT_EQ(v.fault, c.fault) << v.text;
        EXPECT_NE(v.text.find(c.text), std::string::npos) << v.text;
        EXPECT_FALSE(v.label.empty());
    }
}

struct StallCase {
    const char* name;
    ReplyWindow window;
    std::string buffered;
    Fault fault;
    const char* text;
};

// The host ended the cycle after a silence: what had come, and what the
// plug-in held of an unfinished reply.
TEST(FaultDiagnosis, StallsAreToldApart)
{
    const StallCase cases[] = {
        {"nothing after the first query", Window("MNU", ""), "", Fault::NoReply,
         "no reply at all to MNU within 2 s"},
        {"nothing after a later query", Window("STA", ""), "", Fault::Unanswered,
         "STA query unanswered for 2 s (the replies before it came)"},
        {"half a reply", Window("STB", "~00D027" + std::string(13, '1')),
         "~00D027" + std::string(13, '1'), Fault::CutShort,
         "reply cut short: the STB reply announced 27 payload bytes, 13 came"},
        {"half a header", Window("STI", "~00"), "~00", Fault::CutShort,
         "reply cut short: 3 bytes of the STI reply's header came (~00)"},
        {"a ~ in noise, nothing after", Window("STO", "\x01\x02~\xfe\x80"), "~\xfe\x80",
         Fault::Noise, "began a false frame (~\\xfe\\x80) and no reply followed"},
        {"noise without a frame", Window("MOD", std::string(50, '\x81')), "", Fault::Noise,
         "no reply to MOD within 2 s, only 50 bytes of noise"},
    };
    for (const StallCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Verdict v = halxhost::DiagnoseStall(c.window, c.buffered, 2.0);
        EXPECT_EQ(v.fault, c.fault) << v.text;
        EXPECT_NE(v.text.find(c.text), std::string::npos) << v.text;
        EXPECT_EQ(v.query, c.window.query);
    }
    const Verdict lost = halxhost::PortLostVerdict(Window("RAT", ""), "end of file");
    EXPECT_EQ(lost.fault, Fault::PortLost);
    EXPECT_EQ(lost.text, "port lost while awaiting the RAT reply: end of file");
}

halxhost::LineSettings Settings()
{
    halxhost::LineSettings s;
    s.port = "/dev/ttyUSB0";
    s.interval_s = 5.0;
    s.reply_timeout_s = 2.0;
    s.summary_interval_s = 60.0;
    return s;
}

std::vector<Kind> Kinds(const std::vector<LineNotice>& notices)
{
    std::vector<Kind> kinds;
    for (const LineNotice& n : notices) {
        kinds.push_back(n.kind);
    }
    return kinds;
}

Verdict Unanswered()
{
    return halxhost::DiagnoseStall(Window("STA", ""), "", 2.0);
}

const unsigned char kRecord[338] = {};

// A UPS that answers 8 of 9 queries fails every cycle the same way: told
// once, then summed up every interval, never once a cycle.
TEST(LineMonitor, AFaultThatLastsIsToldOnceThenSummedUp)
{
    const Moment t0 = Moment::Now();
    LineMonitor line(Settings(), t0);
    line.RoundCompleted(kRecord, sizeof kRecord, t0.After(1));
    EXPECT_TRUE(line.TakeNotices().empty()) << "a first round is nothing to tell";
    std::vector<LineNotice> told;
    for (int cycle = 1; cycle <= 30; ++cycle) {
        const Moment now = t0.After(5.0 * cycle);
        line.CycleAbandoned(Unanswered(), now);
        line.Tick(now);
        for (LineNotice& n : line.TakeNotices()) {
            told.push_back(n);
        }
    }
    // 150 s: the change at 5 s, then a summary at 65 s (cycles 1 to 13) and
    // at 125 s.
    ASSERT_EQ(Kinds(told), (std::vector<Kind>{Kind::Failing, Kind::Summary, Kind::Summary}));
    EXPECT_EQ(told[0].text, "cycles on /dev/ttyUSB0 fail: STA query unanswered for 2 s (the "
                            "replies before it came); polling goes on");
    EXPECT_EQ(told[0].reason, "unanswered");
    EXPECT_EQ(told[1].state, site::LineState::Failing);
    EXPECT_EQ(told[1].completed, 0U);
    EXPECT_EQ(told[1].abandoned, 13U);
    ASSERT_EQ(told[1].faults.size(), 1U);
    EXPECT_EQ(told[1].faults[0].first, "STA query unanswered");
    EXPECT_EQ(told[1].faults[0].second, 13U);
    EXPECT_EQ(told[2].abandoned, 12U);
    EXPECT_NE(told[1].text.find("still fail"), std::string::npos) << told[1].text;
    EXPECT_EQ(line.Snapshot().line, site::LineState::Failing);

    // It answers again: told at once.
    line.RoundCompleted(kRecord, sizeof kRecord, t0.After(151));
    const std::vector<LineNotice> back = line.TakeNotices();
    ASSERT_EQ(Kinds(back), std::vector<Kind>{Kind::Answering});
    EXPECT_EQ(back[0].text, "the UPS on /dev/ttyUSB0 is answering again");
    line.Tick(t0.After(300));
    EXPECT_TRUE(line.TakeNotices().empty()) << "no summaries while up";
}

// Cycles that alternate between failing and completing: two changes told,
// the rest folded into one summary at the end of the interval.
TEST(LineMonitor, AlternatingCyclesAreFoldedIntoTheSummary)
{
    const Moment t0 = Moment::Now();
    LineMonitor line(Settings(), t0);
    const Verdict noise = halxhost::DiagnoseReset(Window("MNU", "~\x81\x82\x83\x84\x85\x86"), "",
                                                  "~\x81\x82\x83\x84\x85\x86", STATE_MNU);
    std::vector<LineNotice> told;
    for (int cycle = 1; cycle <= 12; ++cycle) {
        const Moment now = t0.After(5.0 * cycle);
        if (cycle % 2 == 1) {
            line.CycleAbandoned(noise, now);
        } else {
            line.RoundCompleted(kRecord, sizeof kRecord, now);
        }
        line.Tick(now);
        for (LineNotice& n : line.TakeNotices()) {
            told.push_back(n);
        }
    }
    line.Tick(t0.After(65));
    for (LineNotice& n : line.TakeNotices()) {
        told.push_back(n);
    }
    ASSERT_EQ(Kinds(told), (std::vector<Kind>{Kind::Failing, Kind::Answering, Kind::Summary}));
    const LineNotice& summary = told[2];
    EXPECT_EQ(summary.state, site::LineState::Up);
    // From the second change (10 s) to the end of the interval (65 s).
    EXPECT_EQ(summary.completed, 6U) << summary.text;
    EXPECT_EQ(summary.abandoned, 5U) << summary.text;
    EXPECT_NE(summary.text.find("noise before the reply"), std::string::npos) << summary.text;
}

// A silent UPS and a lost port are told as such, each once; a port missing
// at start-up is waited for and told when it opens.
TEST(LineMonitor, SilenceAndPortChangesAreToldOnce)
{
    const Moment t0 = Moment::Now();
    halxhost::LineSettings settings = Settings();
    settings.simulated = true;
    settings.port = "/dev/pts/7";
    LineMonitor line(settings, t0);
    line.PortWaiting("No such file or directory", t0);
    line.PortReopened(t0.After(1));
    const Verdict none = halxhost::DiagnoseStall(Window("MNU", ""), "", 2.0);
    line.CycleAbandoned(none, t0.After(3));
    line.RoundCompleted(kRecord, sizeof kRecord, t0.After(5));
    line.CycleAbandoned(none, t0.After(8));
    line.CycleAbandoned(none, t0.After(13));
    std::vector<LineNotice> told = line.TakeNotices();
    ASSERT_EQ(Kinds(told),
              (std::vector<Kind>{Kind::Waiting, Kind::Reopened, Kind::Silent, Kind::Answering}));
    EXPECT_EQ(told[0].text, "port /dev/pts/7 is not there (No such file or directory); waiting "
                            "for it, trying every 1 s");
    EXPECT_EQ(told[1].text, "port /dev/pts/7 opened");
    EXPECT_EQ(told[2].text, "the simulated UPS on /dev/pts/7 is not answering (no reply at all "
                            "to MNU within 2 s); polling goes on");
    // The third change of the interval (which began with the first notice)
    // waits for its summary.
    line.Tick(t0.After(59));
    EXPECT_TRUE(line.TakeNotices().empty());
    line.Tick(t0.After(60));
    told = line.TakeNotices();
    ASSERT_EQ(Kinds(told), std::vector<Kind>{Kind::Summary});
    EXPECT_EQ(told[0].abandoned, 2U);
    EXPECT_NE(told[0].text.find("the simulated UPS on /dev/pts/7 is still not answering"),
              std::string::npos)
        << told[0].text;

    // Changes of the port are told however many came before.
    line.CycleAbandoned(halxhost::DiagnoseStall(Window("STA", ""), "", 2.0), t0.After(120));
    line.RoundCompleted(kRecord, sizeof kRecord, t0.After(125));
    ASSERT_EQ(Kinds(line.TakeNotices()), (std::vector<Kind>{Kind::Failing, Kind::Answering}));
    line.PortLost("end of file (device hung up)", t0.After(130));
    line.PortReopened(t0.After(131));
    told = line.TakeNotices();
    ASSERT_EQ(Kinds(told), (std::vector<Kind>{Kind::Lost, Kind::Reopened}));
    EXPECT_EQ(told[0].text,
              "port /dev/pts/7 lost: end of file (device hung up); reopening every 1 s");
    EXPECT_EQ(told[1].text, "port /dev/pts/7 reopened");
    line.RoundCompleted(kRecord, sizeof kRecord, t0.After(132));
    EXPECT_TRUE(line.TakeNotices().empty()) << "the reopening said it";

    // A failure folded away is summed up when the session ends.
    line.CycleAbandoned(halxhost::DiagnoseStall(Window("STA", ""), "", 2.0), t0.After(135));
    EXPECT_TRUE(line.TakeNotices().empty());
    line.Finish(t0.After(136));
    told = line.TakeNotices();
    ASSERT_EQ(Kinds(told), std::vector<Kind>{Kind::Summary});
    EXPECT_EQ(told[0].abandoned, 1U);
}

// Between rounds: nothing while rounds come on time; then the data's age,
// "stale" past the plug-in's 60 s, and why no round comes.
TEST(LineMonitor, StatusTellsTheAgeStalenessAndWhy)
{
    const Moment t0 = Moment::Now();
    LineMonitor line(Settings(), t0);
    EXPECT_FALSE(line.Status(t0.After(6)));
    const std::optional<halxhost::LineStatus> none = line.Status(t0.After(8));
    ASSERT_TRUE(none);
    EXPECT_LT(none->age_s, 0);
    EXPECT_NE(none->text.find("no data yet (polling since "), std::string::npos) << none->text;

    line.RoundCompleted(kRecord, sizeof kRecord, t0.After(10));
    EXPECT_FALSE(line.Status(t0.After(16))) << "the next round is not late yet";
    line.CycleAbandoned(halxhost::DiagnoseStall(Window("MNU", ""), "", 2.0), t0.After(17));
    const std::optional<halxhost::LineStatus> silent = line.Status(t0.After(22.5));
    ASSERT_TRUE(silent);
    EXPECT_EQ(static_cast<int>(silent->age_s), 12);
    EXPECT_FALSE(silent->stale);
    EXPECT_EQ(silent->state, site::LineState::Silent);
    EXPECT_NE(silent->text.find("data age 12 s (last round "), std::string::npos) << silent->text;
    EXPECT_NE(silent->text.find("; not answering since "), std::string::npos) << silent->text;

    EXPECT_FALSE(line.Status(t0.After(70))->stale) << "60 s old is still fresh";
    line.PortLost("Input/output error", t0.After(71));
    const std::optional<halxhost::LineStatus> lost = line.Status(t0.After(71.5));
    ASSERT_TRUE(lost);
    EXPECT_TRUE(lost->stale);
    EXPECT_NE(lost->text.find("data age 61 s, stale (the plug-in refuses its values after 60 s)"),
              std::string::npos)
        << lost->text;
    EXPECT_NE(lost->text.find("; link lost since "), std::string::npos) << lost->text;
    EXPECT_NE(lost->text.find("(Input/output error)"), std::string::npos) << lost->text;
}

} // namespace

// The site monitor end to end: the real halx-host --config with several
// simulated UPSes on pseudo-terminals, its site database read back, the real
// upsc and upsmon of Debian's nut-client against its server, bad clients
// thrown at it while the cycles go on, configurations it must refuse and a
// database it cannot write.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SiteRun.h"
#include "catalogue/Catalogue.h"
#include "history/HistoryWriter.h"

namespace
{

using namespace std::chrono_literals;
using sitetest::SimUps;
using sitetest::SiteRun;

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// "name: value" lines of upsc as a map.
std::map<std::string, std::string> Variables(const nuttest::ProgramRun& run)
{
    std::map<std::string, std::string> vars;
    for (const std::string& line : run.OutLines()) {
        const std::size_t colon = line.find(": ");
        if (colon != std::string::npos) {
            vars[line.substr(0, colon)] = line.substr(colon + 2);
        }
    }
    return vars;
}

class SiteMonitor : public testing::Test
{
protected:
    void SetUp() override
    {
        if (sitetest::UnderEmulator()) {
            GTEST_SKIP() << "the site monitor's server tests run natively only (here halx-host "
                            "runs under an emulator, and upsc and upsmon are the build machine's)";
        }
        upsc_ = nuttest::UpscPath();
        if (upsc_.empty()) {
            GTEST_SKIP() << "upsc of Debian's nut-client does not run here (install nut-client; "
                            "the site monitor's server tests run natively, not under an emulator)";
        }
        port_ = sitetest::FreePort();
    }

    std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string At(const std::string& ups) const { return ups + "@" + Host(); }
    nuttest::ProgramRun Upsc(const std::vector<std::string>& args) const
    {
        std::vector<std::string> command{upsc_};
        command.insert(command.end(), args.begin(), args.end());
        return nuttest::RunProgram(command, 10s);
    }

    std::string upsc_;
    std::uint16_t port_ = 0;
};

// Three UPSes with values of their own: upsc lists them and shows for each
// what the catalogue makes of the record its latest round stored.
TEST_F(SiteMonitor, UpscShowsEachUpsAsItsStoredRound)
{
    const std::vector<SimUps> ups = {
        {"ups1", R"({ "drift": false, "values": { "InptVlt1": "231.5", "OutptLd1": 41 } })", 0.5},
        {"ups2", R"({ "drift": false, "values": { "BattryVlt": "262.0", "EstChrgRmn": 77 } })",
         0.5},
        {"ups3", R"({ "drift": false, "values": { "FanFault": 1 } })", 0.5}};
    SiteRun run(sitetest::SiteConfigText(ups, "@DIR@/site.db", port_));
    ASSERT_TRUE(run.WaitForRounds({"ups1", "ups2", "ups3"}, 2, 20s)) << run.Output();

    const nuttest::ProgramRun list = Upsc({"-l", Host()});
    EXPECT_EQ(list.OutLines(), (std::vector<std::string>{"ups1", "ups2", "ups3"})) << list.err;

    for (const char* name : {"ups1", "ups2", "ups3"}) {
        const nuttest::ProgramRun shown = Upsc({At(name)});
        ASSERT_EQ(shown.status, 0) << shown.err;
        const std::map<std::string, std::string> vars = Variables(shown);
        // Drift is off: every round of the UPS carries the same values, so
        // the latest stored round is the one upsc was shown.
        const std::vector<history::Entry> rounds = run.Rounds(name);
        ASSERT_FALSE(rounds.empty());
        const history::Entry& last = rounds.back();
        std::size_t compared = 0;
        for (const catalogue::Value& value : catalogue::Values(last.record.data())) {
            const auto it = vars.find(value.quantity->nut);
            ASSERT_NE(it, vars.end()) << name << " lacks " << value.quantity->nut;
            EXPECT_EQ(it->second, value.text) << name << " " << value.quantity->nut;
            ++compared;
        }
        EXPECT_GT(compared, 20U);
        EXPECT_EQ(vars.at("experimental.line.state"), "up");
        // The rounds are numbered per UPS from 1, with the UPS's data id.
        for (std::size_t i = 0; i < rounds.size(); ++i) {
            EXPECT_EQ(rounds[i].sequence, i + 1) << name;
        }
    }
    EXPECT_EQ(Variables(Upsc({At("ups1")})).at("input.voltage"), "231.5");
    EXPECT_TRUE(Contains(Variables(Upsc({At("ups3")})).at("ups.status"), "ALARM"));
    EXPECT_EQ(run.Stop(), 0) << run.Output();
}

// Started again on the same database, each UPS numbers its rounds on after
// the last one stored.
TEST_F(SiteMonitor, SequencesContinueAfterARestart)
{
    const std::vector<SimUps> ups = {{"ups1", R"({ "drift": false })", 0.3},
                                     {"ups2", R"({ "drift": false })", 0.3}};
    nuttest::TempDir keep;
    const std::string db = keep.File("site.db");
    for (const char* cycles : {"3", "2"}) {
        SiteRun run(sitetest::SiteConfigText(ups, db, port_), {"--cycles", cycles});
        ASSERT_TRUE(nuttest::WaitFor([&] { return run.Ended().has_value(); }, 20s)) << run.Output();
        EXPECT_EQ(run.Ended(), 0) << run.Output();
    }
    const auto source = history::OpenHistory(db);
    for (const char* name : {"ups1", "ups2"}) {
        history::Filter filter;
        filter.ups = name;
        std::vector<std::uint64_t> sequences;
        for (const history::Entry& e : history::ReadAll(*source, filter)) {
            sequences.push_back(e.sequence);
        }
        EXPECT_EQ(sequences, (std::vector<std::uint64_t>{1, 2, 3, 4, 5})) << name;
    }
}

// A UPS that stops answering is DATA-STALE once its limit has passed, and
// its values come back once it answers again; another loses its port (a
// cable pull) and gets it back; the healthy one keeps its cadence
// throughout.
TEST_F(SiteMonitor, SilentUpsGoesStaleAndComesBack)
{
    const std::vector<SimUps> ups = {
        {"ups1", R"({ "drift": false })", 0.5},
        {"ups2", R"({ "drift": false, "script": "silent.script" })", 0.5, 2.0},
        {"ups3", R"({ "drift": false, "script": "pull.script" })", 0.5}};
    SiteRun run(sitetest::SiteConfigText(ups, "@DIR@/site.db", port_), {},
                {{"silent.script", "wait 3s\ndrop all\nwait 6s\ndrop none\n"},
                 {"pull.script", "wait 2s\nclose 4s\n"}});
    ASSERT_TRUE(run.WaitForRounds({"ups1", "ups2"}, 1, 10s)) << run.Output();
    const std::size_t healthy_before = run.Rounds("ups1").size();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Upsc({At("ups2"), "ups.status"}).status, 0);

    bool stale = nuttest::WaitFor(
        [&] {
            return Contains(Upsc({At("ups2"), "ups.status"}).err, "Data stale");
        },
        10s);
    EXPECT_TRUE(stale) << run.Output();
    // Meanwhile the other UPS is served as ever.
    EXPECT_EQ(Upsc({At("ups1"), "ups.status"}).OutLines(), std::vector<std::string>{"OL"});
    const std::string age = Upsc({At("ups2"), "experimental.data.age"}).out;
    EXPECT_GE(std::atoi(age.c_str()), 2) << age;

    const bool back = nuttest::WaitFor(
        [&] {
            return Upsc({At("ups2"), "ups.status"}).OutLines() == std::vector<std::string>{"OL"};
        },
        15s);
    EXPECT_TRUE(back) << run.Output();
    const double period =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(run.Rounds("ups1").size() - healthy_before,
              static_cast<std::size_t>(period / 0.5) - 2)
        << run.Output();
    EXPECT_TRUE(nuttest::WaitFor([&] { return Contains(run.Output(), "reopened"); }, 10s))
        << run.Output();
    run.Stop();
    const std::string output = run.Output();
    // Told once per state change, prefixed with the UPS's name; never a
    // line per failed poll.
    EXPECT_TRUE(Contains(output, "halx-host: ups2: ")) << output;
    std::size_t ups2_lines = 0;
    for (const std::string& line : nuttest::Lines(output)) {
        ups2_lines += line.rfind("halx-host: ups2: ", 0) == 0 ? 1 : 0;
        EXPECT_EQ(line.rfind("halx-host: ups1: ", 0), std::string::npos) << line;
    }
    EXPECT_GE(ups2_lines, 2U) << output;
    EXPECT_LE(ups2_lines, 6U) << output;
}

// upsmon as a secondary of one UPS: the UPS goes on battery (upsmon is told
// ONBATT), then low battery: upsmon runs its shutdown command.
TEST_F(SiteMonitor, UpsmonShutsDownOnLowBattery)
{
    const std::string upsmon = nuttest::UpsmonPath();
    if (upsmon.empty()) {
        GTEST_SKIP() << "upsmon of Debian's nut-client does not run here (install nut-client; "
                        "natively only)";
    }
    const std::vector<SimUps> ups = {
        {"ups1", R"({ "drift": false })", 0.5},
        {"ups2", R"({ "drift": false, "script": "outage.script" })", 0.5}};
    SiteRun run(sitetest::SiteConfigText(ups, "@DIR@/site.db", port_), {},
                {{"outage.script", "wait 4s\nset InptFail 1\nset OutptSrc 1\nwait 6s\n"
                                   "set EstChrgRmn 8\nset ShtdwnImmnnt 1\nset EstMinRmn 1\n"}});
    ASSERT_TRUE(run.WaitForRounds({"ups2"}, 1, 10s)) << run.Output();

    nuttest::TempDir dir;
    std::optional<uid_t> uid;
    std::optional<gid_t> gid;
    if (::geteuid() == 0) {
        if (const passwd* nobody = ::getpwnam("nobody")) {
            uid = nobody->pw_uid;
            gid = nobody->pw_gid;
        }
    }
    const std::string& d = dir.path();
    dir.Write("notify.sh", "#!/bin/sh\necho \"$NOTIFYTYPE $UPSNAME $*\" >> " + d + "/notify\n",
              0755);
    std::string conf = "MONITOR " + At("ups2") + " 1 monuser secret secondary\nMINSUPPLIES 1\n" +
                       "SHUTDOWNCMD \"/bin/sh -c 'echo shutdown >> " + d + "/shutdown'\"\n" +
                       "NOTIFYCMD " + d + "/notify.sh\n";
    for (const char* type : {"ONLINE", "ONBATT", "LOWBATT", "COMMOK", "COMMBAD", "SHUTDOWN"}) {
        conf += std::string("NOTIFYFLAG ") + type + " EXEC\n";
    }
    conf += "POLLFREQ 1\nPOLLFREQALERT 1\nDEADTIME 5\nFINALDELAY 0\nHOSTSYNC 1\n";
    conf += "POWERDOWNFLAG " + d + "/killpower\n";
    dir.Write("upsmon.conf", conf, 0600);
    if (uid) {
        for (const char* name : {"", "/notify.sh", "/upsmon.conf"}) {
            [[maybe_unused]] const int owned = ::chown((d + name).c_str(), *uid, *gid);
        }
    }
    nuttest::Daemon monitor({upsmon, "-D", "-p"},
                            {"NUT_CONFPATH=" + d, "NUT_STATEPATH=" + d, "NUT_ALTPIDPATH=" + d},
                            dir.File("upsmon.log"), uid, gid);
    EXPECT_TRUE(nuttest::WaitFor([&] { return Contains(dir.Read("notify"), "ONBATT ups2@"); }, 20s))
        << dir.Read("upsmon.log") << run.Output();
    EXPECT_TRUE(dir.Read("shutdown").empty()) << "on battery alone is no reason to shut down";
    EXPECT_TRUE(nuttest::WaitFor([&] { return !dir.Read("shutdown").empty(); }, 25s))
        << dir.Read("upsmon.log");
    EXPECT_TRUE(Contains(dir.Read("notify"), "LOWBATT ups2@")) << dir.Read("notify");
    monitor.Stop();
    // The database holds the outage as the rounds showed it.
    const std::vector<history::Entry> rounds = run.Rounds("ups2");
    const bool on_battery = std::any_of(rounds.begin(), rounds.end(), [](const history::Entry& e) {
        const auto tokens = catalogue::StatusTokens(e.record.data());
        return std::find(tokens.begin(), tokens.end(), "LB") != tokens.end();
    });
    EXPECT_TRUE(on_battery);
}

// Bad clients of every kind at once while two UPSes are polled every half
// second: each UPS keeps its cadence (rounds in the database over the
// period), and a good client is served throughout.
TEST_F(SiteMonitor, BadClientsLeaveEveryUpsItsCadence)
{
    const std::vector<SimUps> ups = {{"ups1", R"({ "drift": false })", 0.5},
                                     {"ups2", R"({ "drift": false })", 0.5}};
    SiteRun run(sitetest::SiteConfigText(ups, "@DIR@/site.db", port_));
    ASSERT_TRUE(run.WaitForRounds({"ups1", "ups2"}, 1, 10s)) << run.Output();
    const std::size_t before1 = run.Rounds("ups1").size();
    const std::size_t before2 = run.Rounds("ups2").size();
    const auto start = std::chrono::steady_clock::now();

    std::vector<std::unique_ptr<nuttest::TestClient>> silent;
    for (int i = 0; i < 200; ++i) { // 200 at once, none of them speaking
        silent.push_back(std::make_unique<nuttest::TestClient>(port_));
    }
    {
        nuttest::TestClient long_line(port_);
        long_line.Send(std::string(2000, 'A') + "\n");
        EXPECT_EQ(long_line.ReadLine(), "ERR TOO-LONG");
        EXPECT_TRUE(long_line.ClosedWithin(5s));
    }
    {
        nuttest::TestClient garbage(port_);
        std::string bytes;
        for (int i = 0; i < 512; ++i) {
            bytes.push_back(static_cast<char>((i * 37) & 0xFF));
        }
        garbage.Send(bytes);
        EXPECT_TRUE(garbage.ClosedWithin(5s));
    }
    {
        nuttest::TestClient client(port_);
        EXPECT_EQ(client.Ask("FROBNICATE ups1"), "ERR UNKNOWN-COMMAND");
        EXPECT_EQ(client.Ask("USERNAME monuser"), "OK");
        EXPECT_EQ(client.Ask("PASSWORD wrong"), "OK");
        EXPECT_EQ(client.Ask("LOGIN ups1"), "ERR ACCESS-DENIED");
        EXPECT_EQ(client.Ask("GET VAR ups1 ups.status"), "VAR ups1 ups.status \"OL\"");
    }
    const auto deadline = start + 6s;
    while (std::chrono::steady_clock::now() < deadline) {
        EXPECT_EQ(Upsc({At("ups2"), "ups.status"}).OutLines(), std::vector<std::string>{"OL"});
        std::this_thread::sleep_for(200ms);
    }
    const double period =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::size_t expected = static_cast<std::size_t>(period / 0.5);
    EXPECT_GE(run.Rounds("ups1").size() - before1, expected - 2) << run.Output();
    EXPECT_GE(run.Rounds("ups2").size() - before2, expected - 2) << run.Output();
    silent.clear();
    EXPECT_EQ(run.Stop(), 0);
}

// A database that stops taking rounds (its size limit reached): one line
// saying so, polling goes on, the loss counted and told at the end.
TEST_F(SiteMonitor, FullDatabaseCostsRoundsNotPolling)
{
    const std::vector<SimUps> ups = {{"ups1", R"({ "drift": false })", 0.1}};
    SiteRun run(sitetest::SiteConfigText(ups, "@DIR@/site.db", port_,
                                         ",\n  \"history\": { \"max_bytes\": 40960 }"));
    EXPECT_TRUE(
        nuttest::WaitFor([&] { return Contains(run.Output(), "database or disk is full"); }, 60s))
        << run.Output();
    const std::size_t stored = run.Rounds("ups1").size();
    // Polling goes on: the server sees new rounds.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(Upsc({At("ups1"), "experimental.data.age"}).OutLines(),
              std::vector<std::string>{"0"});
    EXPECT_EQ(run.Rounds("ups1").size(), stored);
    EXPECT_EQ(run.Stop(), 0);
    const std::string output = run.Output();
    std::size_t full_lines = 0;
    for (const std::string& line : nuttest::Lines(output)) {
        full_lines += Contains(line, "database or disk is full") ? 1 : 0;
    }
    EXPECT_LE(full_lines, 3U) << output;
    EXPECT_TRUE(Contains(output, "rounds stored, ")) << output;
    EXPECT_FALSE(Contains(output, " 0 lost")) << output;
}

// A database file halx-host may not write (read-only, halx-host run as an
// unprivileged user): one line naming the file and why, polling and the
// server go on, the rounds lost counted at the end.
TEST_F(SiteMonitor, ReadOnlyDatabaseCostsRoundsNotPolling)
{
    std::optional<std::pair<uid_t, gid_t>> user;
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr) {
            GTEST_SKIP() << "no user \"nobody\" to run halx-host as (root writes any file)";
        }
        user = std::make_pair(nobody->pw_uid, nobody->pw_gid);
    }
    nuttest::TempDir keep;
    ::chmod(keep.path().c_str(), 0755);
    const std::string db = keep.File("site.db");
    {
        history::WriterOptions options;
        options.log = [](const std::string&) {};
        history::HistoryWriter writer(db, options);
        const unsigned char record[338] = {};
        ASSERT_TRUE(writer.Append("ups1", 1, 1, std::chrono::system_clock::now(),
                                  std::chrono::steady_clock::now(), record, sizeof record));
    }
    ::chmod(db.c_str(), 0444);
    const std::vector<SimUps> ups = {{"ups1", R"({ "drift": false })", 0.3}};
    SiteRun run(sitetest::SiteConfigText(ups, db, port_), {}, {}, user);
    run.UseDatabase(db);
    EXPECT_TRUE(nuttest::WaitFor([&] { return Contains(run.Output(), "cannot be written"); }, 10s))
        << run.Output();
    // Rounds go on and are served, not stored.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(Upsc({At("ups1"), "experimental.data.age"}).OutLines(),
              std::vector<std::string>{"0"});
    EXPECT_EQ(run.Rounds("ups1").size(), 1U);
    EXPECT_EQ(run.Stop(), 0) << run.Output();
    const std::string output = run.Output();
    std::size_t lines = 0;
    for (const std::string& line : nuttest::Lines(output)) {
        lines += Contains(line, "cannot be written") ? 1 : 0;
    }
    EXPECT_LE(lines, 3U) << output;
    EXPECT_TRUE(Contains(output, ": 0 rounds stored, ")) << output;
    EXPECT_FALSE(Contains(output, " 0 lost")) << output;
}

// --decode reads the site database: by UPS, the newest rounds, CSV; a flat
// file read by UPS is refused in one line with status 2.
TEST_F(SiteMonitor, DecodeReadsTheSiteDatabase)
{
    const std::vector<SimUps> ups = {{"ups1", R"({ "drift": false })", 0.2},
                                     {"ups2", R"({ "drift": false })", 0.2}};
    SiteRun run(sitetest::SiteConfigText(ups, "@DIR@/site.db", port_), {"--cycles", "4"});
    ASSERT_TRUE(nuttest::WaitFor([&] { return run.Ended().has_value(); }, 20s)) << run.Output();
    const std::string db = run.Database();

    const nuttest::ProgramRun csv =
        nuttest::RunProgram(sitetest::Host({"--decode", db, "--ups", "ups2", "--csv"}));
    ASSERT_EQ(csv.status, 0) << csv.err;
    const std::vector<std::string> lines = csv.OutLines();
    ASSERT_EQ(lines.size(), 5U) << csv.out;
    EXPECT_EQ(lines[0].rfind("ups,sequence,time,data_id,", 0), 0U) << lines[0];
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind("ups2," + std::to_string(i) + ",", 0), 0U) << lines[i];
    }

    const nuttest::ProgramRun newest =
        nuttest::RunProgram(sitetest::Host({"--decode", db, "--newest", "2", "--json"}));
    ASSERT_EQ(newest.status, 0) << newest.err;
    ASSERT_EQ(newest.OutLines().size(), 2U) << newest.out;
    for (const std::string& line : newest.OutLines()) {
        EXPECT_TRUE(Contains(line, "\"sequence\":4")) << line;
    }

    const nuttest::ProgramRun view = nuttest::RunProgram(
        sitetest::Host({"--decode", db, "--ups", "ups1", "--limit", "1", "--field", "BattryVlt"}));
    ASSERT_EQ(view.status, 0) << view.err;
    EXPECT_TRUE(Contains(view.out, "UPS ups1, round 1, ")) << view.out;
    EXPECT_TRUE(Contains(view.out, "BattryVlt")) << view.out;

    run.Dir().Write("flat.bin", std::string(338, '\0'));
    const nuttest::ProgramRun flat = nuttest::RunProgram(
        sitetest::Host({"--decode", run.Dir().File("flat.bin"), "--ups", "ups1"}));
    EXPECT_EQ(flat.status, 2);
    EXPECT_EQ(nuttest::Lines(flat.err).size(), 1U) << flat.err;
    EXPECT_TRUE(Contains(flat.err, "no UPS names")) << flat.err;
}

// With --json every event names its UPS; the Prometheus listener of the
// same process labels each UPS's values.
TEST_F(SiteMonitor, JsonEventsAndMetricsNameEachUps)
{
    const std::uint16_t metrics_port = sitetest::FreePort();
    const std::vector<SimUps> ups = {{"ups1", R"({ "drift": false })", 0.3},
                                     {"ups2", R"({ "drift": false })", 0.3}};
    SiteRun run(sitetest::SiteConfigText(ups, "@DIR@/site.db", port_,
                                         ",\n  \"prometheus\": { \"listen\": [\"127.0.0.1:" +
                                             std::to_string(metrics_port) + "\"] }"),
                {"--json"});
    ASSERT_TRUE(run.WaitForRounds({"ups1", "ups2"}, 2, 10s)) << run.Output();
    nuttest::TestClient http(metrics_port);
    ASSERT_TRUE(http.Send("GET /metrics HTTP/1.0\r\n\r\n"));
    std::string body;
    while (const std::optional<std::string> line = http.ReadLine(5s)) {
        body += *line + "\n";
    }
    EXPECT_TRUE(Contains(body, "{ups=\"ups1\"")) << body;
    EXPECT_TRUE(Contains(body, "{ups=\"ups2\"")) << body;
    EXPECT_EQ(run.Stop(), 0);

    std::map<std::string, std::size_t> rounds;
    for (const std::string& line : nuttest::Lines(run.Output())) {
        if (line.empty() || line[0] != '{') {
            EXPECT_EQ(line.rfind("halx-host: ", 0), 0U) << line;
            continue;
        }
        const bool named = Contains(line, "\"ups\":\"ups1\"") || Contains(line, "\"ups\":\"ups2\"");
        EXPECT_TRUE(named) << line;
        if (Contains(line, "\"event\":\"values\"")) {
            ++rounds[Contains(line, "\"ups\":\"ups1\"") ? "ups1" : "ups2"];
        }
    }
    EXPECT_GE(rounds["ups1"], 2U);
    EXPECT_GE(rounds["ups2"], 2U);
}

// keep_days: rounds older than that go soon after start; newer ones and
// the new rounds stay, numbered on after the last one stored.
TEST_F(SiteMonitor, RetentionDeletesRoundsOlderThanKeepDays)
{
    nuttest::TempDir keep;
    const std::string db = keep.File("site.db");
    {
        history::WriterOptions options;
        options.log = [](const std::string&) {};
        history::HistoryWriter writer(db, options);
        const auto now = std::chrono::system_clock::now();
        const unsigned char record[338] = {};
        for (std::uint64_t sequence = 1; sequence <= 4; ++sequence) {
            const auto age = sequence < 4 ? std::chrono::hours(24 * 100) : std::chrono::hours(24);
            ASSERT_TRUE(writer.Append("ups1", 1, sequence, now - age,
                                      std::chrono::steady_clock::now(), record, sizeof record));
        }
    }
    const std::vector<SimUps> ups = {{"ups1", R"({ "drift": false })", 0.5}};
    SiteRun run(
        sitetest::SiteConfigText(ups, db, port_, ",\n  \"history\": { \"keep_days\": 30 }"));
    run.UseDatabase(db);
    const auto sequences = [&] {
        std::vector<std::uint64_t> out;
        for (const history::Entry& e : run.Rounds("ups1")) {
            out.push_back(e.sequence);
        }
        return out;
    };
    EXPECT_TRUE(nuttest::WaitFor(
        [&] {
            const std::vector<std::uint64_t> s = sequences();
            return !s.empty() && s.front() == 4 && s.size() >= 3;
        },
        15s))
        << run.Output();
    const std::vector<std::uint64_t> s = sequences();
    for (std::size_t i = 0; i < s.size(); ++i) {
        EXPECT_EQ(s[i], 4 + i);
    }
    EXPECT_EQ(run.Stop(), 0);
}

// Configurations that cannot be used: one line naming the file (and the
// line where there is one), status 2, nothing started.
TEST(SiteConfigRefused, OneLineAndStatusTwo)
{
    nuttest::TempDir dir;
    const std::uint16_t busy_port = sitetest::FreePort();
    // A listener on the port the last case names.
    const int busy = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(busy_port);
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(busy, 4), 0);

    const std::string two_ups = R"({ "ups": [
  { "name": "ups1", "port": "/dev/ttyS0" },
  { "name": "ups1", "port": "/dev/ttyS1" } ] })";
    struct Case {
        const char* what;
        std::string text;
        std::string expected; // after "FILE:"
    };
    const std::vector<Case> cases = {
        {"syntax", "{\n  \"ups\": [ { \"name\": \"ups1\" \"port\": \"/dev/ttyS0\" } ]\n}\n", "2: "},
        {"unknown key",
         "{\n  \"ups\": [ { \"name\": \"ups1\", \"sim\": true } ],\n  \"colour\": 1\n}\n",
         "3: the file: unknown key \"colour\""},
        {"duplicate name", two_ups, "3: ups \"ups1\" appears twice"},
        {"one port twice",
         "{ \"ups\": [\n  { \"name\": \"a\", \"port\": \"/dev/ttyS0\" },\n"
         "  { \"name\": \"b\", \"port\": \"/dev/ttyS0\" } ] }",
         "3: ups \"b\": port /dev/ttyS0 is already polled"},
        {"bad sim value",
         "{ \"ups\": [\n  { \"name\": \"a\", \"sim\": { \"values\": { \"Nonsense\": 1 } } } ] }",
         "2: ups \"a\" sim value Nonsense: "},
        {"port in use",
         "{ \"ups\": [ { \"name\": \"a\", \"sim\": true } ],\n  \"nut\": { \"listen\": "
         "[\"127.0.0.1:" +
             std::to_string(busy_port) + "\"] } }",
         " cannot listen on 127.0.0.1:" + std::to_string(busy_port) + ": Address already in use"},
    };
    for (const Case& c : cases) {
        const std::string file = dir.File("site.conf");
        dir.Write("site.conf", c.text);
        const nuttest::ProgramRun run =
            nuttest::RunProgram(sitetest::Host({"--config", file, "--timeout", "5"}), 10s);
        EXPECT_EQ(run.status, 2) << c.what << ": " << run.err;
        const std::vector<std::string> lines = nuttest::Lines(run.err);
        ASSERT_EQ(lines.size(), 1U) << c.what << ": " << run.err;
        EXPECT_EQ(lines[0].rfind("halx-host: " + file + ":" + c.expected, 0), 0U)
            << c.what << ": " << lines[0];
        EXPECT_TRUE(run.out.empty()) << c.what << ": " << run.out;
    }
    ::close(busy);
}

} // namespace

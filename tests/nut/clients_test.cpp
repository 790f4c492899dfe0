// The real clients of Debian's nut-client against the server, in process on
// 127.0.0.1 and a free port: upsc lists the UPSes and shows what the
// catalogue makes of each record, sees new rounds and stale data; upsmon
// logs in as a secondary, sees the UPS go on battery and shuts the machine
// down (its shutdown command writes a file) on low battery or when the UPS
// on battery goes stale, and as a primary sets the forced shutdown its
// secondaries follow.
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Catalogue.h"
#include "NutTest.h"

namespace
{

using namespace std::chrono_literals;
using nuttest::LoopServer;
using nuttest::ProgramRun;

class RealClients : public testing::Test
{
protected:
    void SetUp() override
    {
        upsc_ = nuttest::UpscPath();
        if (upsc_.empty()) {
            GTEST_SKIP() << "upsc of Debian's nut-client does not run here (install nut-client; "
                            "the tests with the real clients run natively, not under an emulator)";
        }
        server_ = std::make_unique<LoopServer>();
        server_->OnLoop([&] {
            auto& ups = server_->List().ups;
            ups.push_back(
                nuttest::Ups("ups1", "Server room", nuttest::SinglePhaseOnLine(), 0ms, 60s));
            ups.push_back(nuttest::Ups("ups2", "", nuttest::ThreePhaseWithAlarm(), 0ms, 60s));
            ups.push_back(nuttest::Ups("ups3", "Far rack", nuttest::SinglePhaseOnLine(), 0ms, 1s));
        });
    }

    std::string Host() const { return "127.0.0.1:" + std::to_string(server_->Port()); }
    std::string At(const std::string& ups) const { return ups + "@" + Host(); }

    ProgramRun Upsc(const std::vector<std::string>& args) const
    {
        std::vector<std::string> command{upsc_};
        command.insert(command.end(), args.begin(), args.end());
        return nuttest::RunProgram(command);
    }

    void Round(const std::string& ups, const nuttest::TestRecord& record,
               std::chrono::milliseconds age = 0ms)
    {
        server_->OnLoop([&] {
            nuttest::NewRound(*server_->List().Find(ups), record, nuttest::Steady::now() - age);
        });
    }

    // What the catalogue and the round say the UPS's variables are, in the
    // server's order; the age as it is at `now`.
    std::vector<std::pair<std::string, std::string>> Expected(const std::string& name)
    {
        std::vector<std::pair<std::string, std::string>> expected;
        server_->OnLoop([&] {
            const site::UpsSnapshot& ups = *server_->List().Find(name);
            for (const catalogue::Value& value : catalogue::Values(ups.last->record.data())) {
                expected.emplace_back(value.quantity->nut, value.text);
            }
            expected.emplace_back("experimental.data.age", "");
            const std::time_t t = std::chrono::system_clock::to_time_t(ups.last->time);
            std::tm tm{};
            gmtime_r(&t, &tm);
            char text[32];
            std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
            expected.emplace_back("experimental.data.time", text);
            expected.emplace_back("experimental.line.state", "up");
        });
        return expected;
    }

    std::string upsc_;
    std::unique_ptr<LoopServer> server_;
};

// "name: value" lines, as upsc writes them.
std::vector<std::pair<std::string, std::string>> Variables(const ProgramRun& run)
{
    std::vector<std::pair<std::string, std::string>> variables;
    for (const std::string& line : run.OutLines()) {
        const std::size_t colon = line.find(": ");
        if (colon == std::string::npos) {
            ADD_FAILURE() << "not a variable: " << line;
            continue;
        }
        variables.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
    return variables;
}

// upsc's own diagnostics aside ("Init SSL without certificate database").
std::string ErrorOf(const ProgramRun& run)
{
    for (const std::string& line : nuttest::Lines(run.err)) {
        if (line.rfind("Error: ", 0) == 0) {
            return line;
        }
    }
    return "";
}

TEST_F(RealClients, UpscListsTheUpsesWithTheirDescriptions)
{
    const ProgramRun names = Upsc({"-l", Host()});
    EXPECT_EQ(names.status, 0) << names.err;
    EXPECT_EQ(names.OutLines(), (std::vector<std::string>{"ups1", "ups2", "ups3"}));
    const ProgramRun described = Upsc({"-L", Host()});
    EXPECT_EQ(described.status, 0) << described.err;
    EXPECT_EQ(
        described.OutLines(),
        (std::vector<std::string>{"ups1: Server room", "ups2: Unavailable", "ups3: Far rack"}));
}

TEST_F(RealClients, UpscShowsWhatTheCatalogueMakesOfEachRecord)
{
    for (const char* ups : {"ups1", "ups2"}) {
        SCOPED_TRACE(ups);
        const ProgramRun run = Upsc({At(ups)});
        ASSERT_EQ(run.status, 0) << run.err;
        auto shown = Variables(run);
        auto expected = Expected(ups);
        ASSERT_EQ(shown.size(), expected.size());
        for (std::size_t i = 0; i < shown.size(); ++i) {
            EXPECT_EQ(shown[i].first, expected[i].first);
            if (expected[i].first == "experimental.data.age") {
                EXPECT_LE(std::stoi(shown[i].second), 30) << "the round is fresh";
            } else {
                EXPECT_EQ(shown[i].second, expected[i].second) << shown[i].first;
            }
        }
    }
}

TEST_F(RealClients, UpscGetsOneVariableOrSaysWhyNot)
{
    struct Row {
        std::string ups, variable, value, error;
    };
    const std::vector<Row> rows = {
        {"ups1", "ups.status", "OL", ""},
        {"ups1", "input.voltage", "229.8", ""},
        {"ups1", "device.model", "NH-PLUS 10K", ""},
        {"ups1", "battery.runtime", "2520", ""},
        {"ups2", "ups.status", "OL BYPASS ALARM", ""},
        {"ups2", "ups.alarm", "fan fault", ""},
        {"ups2", "input.L3-N.voltage", "228.4", ""},
        {"ups2", "ups.load", "31", ""},
        {"ups2", "ups.realpower", "7860", ""},
        {"ups1", "experimental.line.state", "up", ""},
        {"ups1", "input.L3-N.voltage", "", "Error: Variable not supported by UPS"},
        {"ups1", "no.such.variable", "", "Error: Variable not supported by UPS"},
        {"nope", "ups.status", "", "Error: Unknown UPS"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ups + " " + row.variable);
        const ProgramRun run = Upsc({At(row.ups), row.variable});
        if (row.error.empty()) {
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.out, row.value + "\n");
        } else {
            EXPECT_NE(run.status, 0);
            EXPECT_EQ(ErrorOf(run), row.error) << run.err;
        }
    }
}

TEST_F(RealClients, UpscSeesEachNewRound)
{
    Round("ups1", nuttest::OnBattery(false));
    ProgramRun run = Upsc({At("ups1"), "ups.status"});
    EXPECT_EQ(run.out, "OB ALARM\n") << run.err;
    EXPECT_EQ(Upsc({At("ups1"), "battery.charge"}).out, "71\n");
    EXPECT_EQ(Upsc({At("ups1"), "experimental.battery.onbattery"}).out, "95\n");
    Round("ups1", nuttest::SinglePhaseOnLine());
    EXPECT_EQ(Upsc({At("ups1"), "ups.status"}).out, "OL\n");
    EXPECT_EQ(Upsc({At("ups2"), "ups.status"}).out, "OL BYPASS ALARM\n") << "the others alone";
}

TEST_F(RealClients, UpscSeesDataStaleOnceTheLimitHasPassedAndValuesAfterANewRound)
{
    // ups3 may be a second old at most; its last round is left to age.
    std::this_thread::sleep_for(1300ms);
    ProgramRun run = Upsc({At("ups3"), "ups.status"});
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(ErrorOf(run), "Error: Data stale") << run.err;
    run = Upsc({At("ups3")});
    EXPECT_EQ(ErrorOf(run), "Error: Data stale") << run.err;
    EXPECT_EQ(run.out, "");
    // How old, and how the line is, are said all the same.
    run = Upsc({At("ups3"), "experimental.data.age"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_GE(std::stoi(run.out), 1);
    EXPECT_EQ(Upsc({At("ups1"), "ups.status"}).out, "OL\n") << "the others are fresh";
    server_->OnLoop([&] { server_->List().Find("ups3")->line = site::LineState::Silent; });
    EXPECT_EQ(Upsc({At("ups3"), "experimental.line.state"}).out, "silent\n");

    Round("ups3", nuttest::OnBattery(false));
    run = Upsc({At("ups3"), "ups.status"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "OB ALARM\n");
    EXPECT_EQ(Upsc({At("ups3"), "experimental.data.age"}).out, "0\n");
}

TEST_F(RealClients, UpscListsTheClientsLoggedIn)
{
    nuttest::TestClient client(server_->Port());
    client.Send("USERNAME monuser\nPASSWORD secret\nLOGIN ups2\n");
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(client.ReadLine(), "OK");
    }
    EXPECT_EQ(Upsc({"-c", At("ups2")}).OutLines(), std::vector<std::string>{"127.0.0.1"});
    EXPECT_TRUE(Upsc({"-c", At("ups1")}).OutLines().empty());
}

// --- upsmon ---

// One upsmon in the foreground (-D) in a directory of its own, with its
// configuration, the notification script and the shutdown command writing
// to files there.  As root it runs as "nobody": upsmon then neither drops
// privileges itself nor writes a PID file to /run/nut (which would make two
// of them in parallel tests refuse to start).
class Upsmon
{
public:
    Upsmon(const std::string& monitor, int hostsync)
    {
        if (::geteuid() == 0) {
            if (const passwd* nobody = ::getpwnam("nobody")) {
                uid_ = nobody->pw_uid;
                gid_ = nobody->pw_gid;
            }
        }
        const std::string& d = dir_.path();
        dir_.Write("notify.sh", "#!/bin/sh\necho \"$NOTIFYTYPE $UPSNAME $*\" >> " + d + "/notify\n",
                   0755);
        std::string conf = "MONITOR " + monitor + "\n" + "MINSUPPLIES 1\n" +
                           "SHUTDOWNCMD \"/bin/sh -c 'echo shutdown >> " + d + "/shutdown'\"\n" +
                           "NOTIFYCMD " + d + "/notify.sh\n";
        for (const char* type :
             {"ONLINE", "ONBATT", "LOWBATT", "FSD", "COMMOK", "COMMBAD", "SHUTDOWN", "NOCOMM"}) {
            conf += std::string("NOTIFYFLAG ") + type + " EXEC\n";
        }
        conf += "POLLFREQ 1\nPOLLFREQALERT 1\nDEADTIME 5\nFINALDELAY 0\n";
        conf += "HOSTSYNC " + std::to_string(hostsync) + "\n";
        conf += "POWERDOWNFLAG " + d + "/killpower\n";
        dir_.Write("upsmon.conf", conf, 0600);
        if (uid_) {
            for (const char* name : {"", "/notify.sh", "/upsmon.conf"}) {
                [[maybe_unused]] const int owned = ::chown((d + name).c_str(), *uid_, *gid_);
            }
        }
        daemon_ = std::make_unique<nuttest::Daemon>(
            std::vector<std::string>{nuttest::UpsmonPath(), "-D", "-p"},
            std::vector<std::string>{"NUT_CONFPATH=" + d, "NUT_STATEPATH=" + d,
                                     "NUT_ALTPIDPATH=" + d},
            dir_.File("upsmon.log"), uid_, gid_);
    }

    std::string Notified() const { return dir_.Read("notify"); }
    bool ShutDown() const { return !dir_.Read("shutdown").empty(); }
    std::string Output() const { return dir_.Read("upsmon.log"); }
    void Stop() { daemon_->Stop(); }

private:
    nuttest::TempDir dir_;
    std::optional<uid_t> uid_;
    std::optional<gid_t> gid_;
    std::unique_ptr<nuttest::Daemon> daemon_;
};

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class RealUpsmon : public RealClients
{
protected:
    void SetUp() override
    {
        RealClients::SetUp();
        if (IsSkipped()) {
            return;
        }
        if (nuttest::UpsmonPath().empty()) {
            GTEST_SKIP() << "upsmon of Debian's nut-client does not run here";
        }
    }
};

TEST_F(RealUpsmon, SecondaryLogsInSeesOnBatteryAndShutsDownOnLowBattery)
{
    Upsmon upsmon(At("ups1") + " 1 monuser secret secondary", 1);
    ASSERT_TRUE(nuttest::WaitFor([&] { return server_->Logins("ups1") == 1; }, 20s))
        << upsmon.Output();
    const std::vector<std::string> log = server_->Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "server: monuser@127.0.0.1 logged in to ups1"),
              log.end());
    EXPECT_EQ(Upsc({"-c", At("ups1")}).OutLines(), std::vector<std::string>{"127.0.0.1"});

    Round("ups1", nuttest::OnBattery(false));
    EXPECT_TRUE(nuttest::WaitFor([&] { return Contains(upsmon.Notified(), "ONBATT ups1@"); }, 20s))
        << upsmon.Output();
    std::this_thread::sleep_for(2s);
    EXPECT_FALSE(upsmon.ShutDown()) << "on battery alone is no reason";

    Round("ups1", nuttest::OnBattery(true));
    EXPECT_TRUE(nuttest::WaitFor([&] { return upsmon.ShutDown(); }, 30s)) << upsmon.Output();
    EXPECT_TRUE(nuttest::WaitFor([&] { return Contains(upsmon.Notified(), "LOWBATT ups1@"); }, 10s))
        << upsmon.Notified();
    // The notifications run beside the shutdown command and may end later.
    EXPECT_TRUE(nuttest::WaitFor([&] { return Contains(upsmon.Notified(), "SHUTDOWN"); }, 10s))
        << upsmon.Notified();
}

TEST_F(RealUpsmon, SecondaryTakesAUpsOnBatteryWhoseDataWentStaleAsCritical)
{
    // ups3 may be a second old at most; its rounds stop while on battery.
    Round("ups3", nuttest::OnBattery(false));
    Upsmon upsmon(At("ups3") + " 1 monuser secret secondary", 1);
    ASSERT_TRUE(nuttest::WaitFor([&] { return server_->Logins("ups3") == 1; }, 20s))
        << upsmon.Output();
    EXPECT_TRUE(nuttest::WaitFor([&] { return Contains(upsmon.Notified(), "ONBATT ups3@"); }, 20s))
        << upsmon.Output();
    EXPECT_TRUE(nuttest::WaitFor([&] { return upsmon.ShutDown(); }, 30s)) << upsmon.Output();
    EXPECT_TRUE(Contains(upsmon.Output(), "Data stale")) << upsmon.Output();
    EXPECT_TRUE(nuttest::WaitFor([&] { return Contains(upsmon.Notified(), "COMMBAD ups3@"); }, 10s))
        << upsmon.Notified();
}

TEST_F(RealUpsmon, PrimarysForcedShutdownReachesItsSecondaryAndClearsWhenBothHaveGone)
{
    // The secondary would wait half a minute for the primary's word before
    // shutting down on its own; the primary's FSD comes at once.
    Upsmon primary(At("ups1") + " 1 admin adm1n primary", 20);
    Upsmon secondary(At("ups1") + " 1 monuser secret secondary", 30);
    ASSERT_TRUE(nuttest::WaitFor([&] { return server_->Logins("ups1") == 2; }, 20s))
        << primary.Output() << secondary.Output();
    const auto on_battery = nuttest::Steady::now();
    Round("ups1", nuttest::OnBattery(true));

    EXPECT_TRUE(nuttest::WaitFor([&] { return secondary.ShutDown(); }, 25s)) << secondary.Output();
    EXPECT_LT(nuttest::Steady::now() - on_battery, 25s) << "the secondary waited for nothing";
    EXPECT_TRUE(nuttest::WaitFor([&] { return Contains(secondary.Notified(), "FSD ups1@"); }, 10s))
        << secondary.Notified();
    EXPECT_FALSE(Contains(secondary.Output(), "Giving up on the primary")) << secondary.Output();
    EXPECT_TRUE(nuttest::WaitFor([&] { return primary.ShutDown(); }, 25s)) << primary.Output();
    secondary.Stop();
    primary.Stop();

    ASSERT_TRUE(nuttest::WaitFor([&] { return server_->Logins("ups1") == 0; }, 10s));
    const std::vector<std::string> log = server_->Log();
    EXPECT_NE(
        std::find(log.begin(), log.end(), "server: forced shutdown of ups1 set by admin@127.0.0.1"),
        log.end())
        << testing::PrintToString(log);
    EXPECT_EQ(log.back(), "server: forced shutdown of ups1 cleared: no client is logged in to it");
    EXPECT_EQ(Upsc({At("ups1"), "ups.status"}).out, "OB LB ALARM\n");
}

} // namespace

// The protocol's decisions without a network: every command and error token,
// quoting both ways, credentials and roles, the forced-shutdown mark,
// staleness at its edge, and a client's bytes cut anywhere, too long or not
// text.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Catalogue.h"
#include "NutTest.h"
#include "Session.h"
#include "SnapshotList.h"
#include "Words.h"
#include "support/ParamNames.h"

namespace
{

using namespace std::chrono_literals;
using nuttest::Steady;
using nuttest::TestRecord;

// 2024-05-01T12:00:00Z
const auto kRoundTime = std::chrono::system_clock::from_time_t(1714564800);

// A site of five UPSes at a fixed moment `now`.
class Site
{
public:
    Site()
    {
        using nuttest::Ups;
        list.ups.push_back(Ups("ups1", "Server room", nuttest::SinglePhaseOnLine(), 1s, 30s, now));
        list.ups.push_back(Ups("ups2", "", nuttest::ThreePhaseWithAlarm(), 5s, 30s, now));
        list.ups.push_back(Ups("stale", "Old data", nuttest::SinglePhaseOnLine(), 90s, 60s, now));
        site::UpsSnapshot never;
        never.name = "never";
        never.line = site::LineState::Silent;
        list.ups.push_back(never);
        TestRecord odd = nuttest::SinglePhaseOnLine();
        odd.Text("UpsMod", "A\nB\"C\\D");
        list.ups.push_back(Ups("odd", "Rack \"B\" \\ left", odd, 1s, 30s, now));
        for (site::UpsSnapshot& ups : list.ups) {
            if (ups.last) {
                ups.last->time = kRoundTime;
            }
        }
        users = nuttest::TestUsers();
        hub = std::make_unique<nut::Hub>(list, users, "halx-host test",
                                         [this](const std::string& line) { log.push_back(line); });
    }

    // One request's reply lines.
    std::vector<std::string> Ask(nut::Session& session, const std::string& request)
    {
        return session.Request(request, now).lines;
    }

    Steady::time_point now = Steady::now();
    nut::SnapshotList list;
    std::vector<nut::User> users;
    std::vector<std::string> log;
    std::unique_ptr<nut::Hub> hub;
};

// --- Words ---

struct SplitRow {
    const char* name;
    std::string line;
    bool ok;
    std::vector<std::string> words;
};

void PrintTo(const SplitRow& row, std::ostream* os)
{
    *os << '"' << row.line << '"';
}

class Split : public testing::TestWithParam<SplitRow>
{
};

TEST_P(Split, WordsOfARequest)
{
    const auto words = nut::SplitWords(GetParam().line);
    ASSERT_EQ(words.has_value(), GetParam().ok);
    if (words) {
        EXPECT_EQ(*words, GetParam().words);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Split,
    testing::Values(
        SplitRow{"Plain", "GET VAR ups1 ups.status", true, {"GET", "VAR", "ups1", "ups.status"}},
        SplitRow{"TabsAndRuns", " GET\t VAR  x ", true, {"GET", "VAR", "x"}},
        SplitRow{"Empty", "", true, {}},
        SplitRow{"Quoted", "PASSWORD \"two words\"", true, {"PASSWORD", "two words"}},
        SplitRow{"EmptyQuoted", "PASSWORD \"\"", true, {"PASSWORD", ""}},
        SplitRow{"EscapedQuote", "X \"a\\\"b\"", true, {"X", "a\"b"}},
        SplitRow{"EscapedBackslash", "X \"a\\\\b\"", true, {"X", "a\\b"}},
        SplitRow{"EscapeOutsideQuotes", "X a\\ b", true, {"X", "a b"}},
        SplitRow{"QuoteInsideWord", "X ab\"c d\"e", true, {"X", "abc de"}},
        SplitRow{"UnterminatedQuote", "X \"abc", false, {}},
        SplitRow{"TrailingBackslash", "X abc\\", false, {}}),
    RowName());

TEST(Quote, EscapesQuotesAndBackslashesAndHidesControlCharacters)
{
    EXPECT_EQ(nut::Quote("OL"), "\"OL\"");
    EXPECT_EQ(nut::Quote(""), "\"\"");
    EXPECT_EQ(nut::Quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(nut::Quote("a\nb\rc\x7f"), "\"a?b?c?\"");
    EXPECT_EQ(nut::Quote("h\xc3\xa9"), "\"h\xc3\xa9\"") << "UTF-8 as it is";
    // What SplitWords reads back is what was quoted.
    for (const std::string text : {"plain", "a \"q\" b", "back\\slash", ""}) {
        const auto words = nut::SplitWords("X " + nut::Quote(text));
        ASSERT_TRUE(words.has_value());
        ASSERT_EQ(words->size(), 2U);
        EXPECT_EQ((*words)[1], text);
    }
}

TEST(Words, BareNamesAreThoseUpscCanName)
{
    EXPECT_TRUE(nut::IsBareWord("ups1"));
    EXPECT_TRUE(nut::IsBareWord("Site-A_rack.2"));
    for (const char* bad : {"", "two words", "a@b", "a:b", "q\"", "tab\t"}) {
        EXPECT_FALSE(nut::IsBareWord(bad)) << bad;
    }
    EXPECT_FALSE(nut::IsBareWord(std::string(65, 'a')));
}

// --- Requests ---

struct RequestRow {
    const char* name;
    std::vector<std::string> before; // requests first, their replies not checked
    std::string request;
    std::vector<std::string> reply;
};

void PrintTo(const RequestRow& row, std::ostream* os)
{
    *os << '"' << row.request << '"';
}

class Requests : public testing::TestWithParam<RequestRow>
{
};

TEST_P(Requests, Answer)
{
    Site site;
    nut::Session session(*site.hub, "192.0.2.7");
    for (const std::string& request : GetParam().before) {
        site.Ask(session, request);
    }
    EXPECT_EQ(site.Ask(session, GetParam().request), GetParam().reply);
}

using Lines = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    Basics, Requests,
    testing::Values(
        RequestRow{"Ver", {}, "VER", {"halx-host test"}},
        RequestRow{"Netver", {}, "NETVER", {"1.3"}},
        RequestRow{"Help",
                   {},
                   "HELP",
                   {"Commands: HELP VER NETVER GET LIST USERNAME PASSWORD LOGIN LOGOUT PRIMARY "
                    "MASTER FSD"}},
        RequestRow{
            "CommandsInAnyCase", {}, "get var ups1 ups.status", {"VAR ups1 ups.status \"OL\""}},
        RequestRow{"UnknownCommand", {}, "REQ ups1 ups.status", {"ERR UNKNOWN-COMMAND"}},
        RequestRow{"BlankLine", {}, "   ", {}},
        RequestRow{"StartTlsNotOffered", {}, "STARTTLS", {"ERR FEATURE-NOT-SUPPORTED"}},
        RequestRow{"UnterminatedQuote", {}, "GET VAR \"ups1 ups.status", {"ERR INVALID-ARGUMENT"}},
        RequestRow{"QuotedArguments",
                   {},
                   "GET VAR \"ups1\" \"ups.status\"",
                   {"VAR ups1 ups.status \"OL\""}},
        RequestRow{
            "EscapedArgument", {}, "GET VAR ups\\1 ups.status", {"VAR ups1 ups.status \"OL\""}}),
    RowName());

INSTANTIATE_TEST_SUITE_P(
    Lists, Requests,
    testing::Values(
        RequestRow{"Ups",
                   {},
                   "LIST UPS",
                   {"BEGIN LIST UPS", "UPS ups1 \"Server room\"", "UPS ups2 \"Unavailable\"",
                    "UPS stale \"Old data\"", "UPS never \"Unavailable\"",
                    "UPS odd \"Rack \\\"B\\\" \\\\ left\"", "END LIST UPS"}},
        RequestRow{"UpsWithArgument", {}, "LIST UPS ups1", {"ERR INVALID-ARGUMENT"}},
        RequestRow{"VarStale", {}, "LIST VAR stale", {"ERR DATA-STALE"}},
        RequestRow{"VarNoRoundYet", {}, "LIST VAR never", {"ERR DATA-STALE"}},
        RequestRow{"VarUnknownUps", {}, "LIST VAR nope", {"ERR UNKNOWN-UPS"}},
        RequestRow{"VarNoUps", {}, "LIST VAR", {"ERR INVALID-ARGUMENT"}},
        RequestRow{"RwEmpty", {}, "LIST RW ups1", {"BEGIN LIST RW ups1", "END LIST RW ups1"}},
        RequestRow{
            "RwEvenWhenStale", {}, "LIST RW stale", {"BEGIN LIST RW stale", "END LIST RW stale"}},
        RequestRow{"CmdEmpty", {}, "LIST CMD ups1", {"BEGIN LIST CMD ups1", "END LIST CMD ups1"}},
        RequestRow{"CmdUnknownUps", {}, "LIST CMD nope", {"ERR UNKNOWN-UPS"}},
        RequestRow{"EnumEmpty",
                   {},
                   "LIST ENUM ups1 ups.status",
                   {"BEGIN LIST ENUM ups1 ups.status", "END LIST ENUM ups1 ups.status"}},
        RequestRow{"RangeEmpty",
                   {},
                   "LIST RANGE ups1 battery.charge",
                   {"BEGIN LIST RANGE ups1 battery.charge", "END LIST RANGE ups1 battery.charge"}},
        RequestRow{"EnumUnknownVariable", {}, "LIST ENUM ups1 no.such", {"ERR VAR-NOT-SUPPORTED"}},
        RequestRow{"ClientNone",
                   {},
                   "LIST CLIENT ups1",
                   {"BEGIN LIST CLIENT ups1", "END LIST CLIENT ups1"}},
        RequestRow{"ClientLoggedIn",
                   {"USERNAME monuser", "PASSWORD secret", "LOGIN ups1"},
                   "LIST CLIENT ups1",
                   {"BEGIN LIST CLIENT ups1", "CLIENT ups1 192.0.2.7", "END LIST CLIENT ups1"}},
        RequestRow{"UnknownList", {}, "LIST THINGS ups1", {"ERR INVALID-ARGUMENT"}},
        RequestRow{"ListAlone", {}, "LIST", {"ERR INVALID-ARGUMENT"}}),
    RowName());

INSTANTIATE_TEST_SUITE_P(
    Get, Requests,
    testing::Values(
        RequestRow{"Var", {}, "GET VAR ups1 input.voltage", {"VAR ups1 input.voltage \"229.8\""}},
        RequestRow{"VarThreePhase",
                   {},
                   "GET VAR ups2 input.L3-N.voltage",
                   {"VAR ups2 input.L3-N.voltage \"228.4\""}},
        RequestRow{"VarStatusWithAlarm",
                   {},
                   "GET VAR ups2 ups.status",
                   {"VAR ups2 ups.status \"OL BYPASS ALARM\""}},
        RequestRow{"VarAlarm", {}, "GET VAR ups2 ups.alarm", {"VAR ups2 ups.alarm \"fan fault\""}},
        RequestRow{"VarNoAlarm", {}, "GET VAR ups1 ups.alarm", {"ERR VAR-NOT-SUPPORTED"}},
        RequestRow{
            "VarLineNotInUse", {}, "GET VAR ups1 input.L3-N.voltage", {"ERR VAR-NOT-SUPPORTED"}},
        RequestRow{"VarUnknown", {}, "GET VAR ups1 no.such", {"ERR VAR-NOT-SUPPORTED"}},
        RequestRow{"VarServerSpace", {}, "GET VAR ups1 server.info", {"ERR VAR-NOT-SUPPORTED"}},
        RequestRow{"VarUnknownUps", {}, "GET VAR nope ups.status", {"ERR UNKNOWN-UPS"}},
        RequestRow{"VarUpsNameIsExact", {}, "GET VAR UPS1 ups.status", {"ERR UNKNOWN-UPS"}},
        RequestRow{"VarStale", {}, "GET VAR stale ups.status", {"ERR DATA-STALE"}},
        RequestRow{"VarStaleBeforeUnknown", {}, "GET VAR stale no.such", {"ERR DATA-STALE"}},
        RequestRow{"VarNoRoundYet", {}, "GET VAR never ups.status", {"ERR DATA-STALE"}},
        RequestRow{"VarTooFew", {}, "GET VAR ups1", {"ERR INVALID-ARGUMENT"}},
        RequestRow{"VarTooMany", {}, "GET VAR ups1 ups.status x", {"ERR INVALID-ARGUMENT"}},
        RequestRow{"VarQuotesEscaped",
                   {},
                   "GET VAR odd device.model",
                   {"VAR odd device.model \"A?B\\\"C\\\\D\""}},
        RequestRow{"Age",
                   {},
                   "GET VAR ups2 experimental.data.age",
                   {"VAR ups2 experimental.data.age \"5\""}},
        RequestRow{"AgeWhileStale",
                   {},
                   "GET VAR stale experimental.data.age",
                   {"VAR stale experimental.data.age \"90\""}},
        RequestRow{"TimeWhileStale",
                   {},
                   "GET VAR stale experimental.data.time",
                   {"VAR stale experimental.data.time \"2024-05-01T12:00:00Z\""}},
        RequestRow{"LineWhileStale",
                   {},
                   "GET VAR stale experimental.line.state",
                   {"VAR stale experimental.line.state \"up\""}},
        RequestRow{"AgeNoRoundYet", {}, "GET VAR never experimental.data.age", {"ERR DATA-STALE"}},
        RequestRow{
            "TimeNoRoundYet", {}, "GET VAR never experimental.data.time", {"ERR DATA-STALE"}},
        RequestRow{"LineNoRoundYet",
                   {},
                   "GET VAR never experimental.line.state",
                   {"VAR never experimental.line.state \"silent\""}},
        RequestRow{"TypeNumber",
                   {},
                   "GET TYPE ups1 battery.voltage",
                   {"TYPE ups1 battery.voltage NUMBER"}},
        RequestRow{
            "TypeText", {}, "GET TYPE ups1 device.model", {"TYPE ups1 device.model STRING:16"}},
        RequestRow{"TypeRoundValue",
                   {},
                   "GET TYPE ups1 experimental.data.time",
                   {"TYPE ups1 experimental.data.time STRING:20"}},
        RequestRow{"TypeWhileStale",
                   {},
                   "GET TYPE stale experimental.data.age",
                   {"TYPE stale experimental.data.age NUMBER"}},
        RequestRow{"TypeUnknown", {}, "GET TYPE ups1 no.such", {"ERR VAR-NOT-SUPPORTED"}},
        RequestRow{"Desc", {}, "GET DESC ups1 ups.status", {"DESC ups1 ups.status \"UPS status\""}},
        RequestRow{"DescRoundValue",
                   {},
                   "GET DESC ups1 experimental.data.age",
                   {"DESC ups1 experimental.data.age \"Seconds since the last completed round\""}},
        RequestRow{"DescNoRoundYet",
                   {},
                   "GET DESC never battery.charge",
                   {"DESC never battery.charge \"Battery charge\""}},
        RequestRow{"DescUnknownUps", {}, "GET DESC nope ups.status", {"ERR UNKNOWN-UPS"}},
        RequestRow{"DescUnknown", {}, "GET DESC ups1 no.such", {"ERR VAR-NOT-SUPPORTED"}},
        RequestRow{"UpsDesc", {}, "GET UPSDESC ups1", {"UPSDESC ups1 \"Server room\""}},
        RequestRow{"UpsDescUnset", {}, "GET UPSDESC ups2", {"UPSDESC ups2 \"Unavailable\""}},
        RequestRow{
            "UpsDescEscaped", {}, "GET UPSDESC odd", {"UPSDESC odd \"Rack \\\"B\\\" \\\\ left\""}},
        RequestRow{"UpsDescUnknownUps", {}, "GET UPSDESC nope", {"ERR UNKNOWN-UPS"}},
        RequestRow{"NumLoginsNone", {}, "GET NUMLOGINS ups1", {"NUMLOGINS ups1 0"}},
        RequestRow{"NumLoginsOwn",
                   {"USERNAME monuser", "PASSWORD secret", "LOGIN ups1"},
                   "GET NUMLOGINS ups1",
                   {"NUMLOGINS ups1 1"}},
        RequestRow{"NumLoginsOtherUps",
                   {"USERNAME monuser", "PASSWORD secret", "LOGIN ups1"},
                   "GET NUMLOGINS ups2",
                   {"NUMLOGINS ups2 0"}},
        RequestRow{"CmdDesc", {}, "GET CMDDESC ups1 load.off", {"ERR CMD-NOT-SUPPORTED"}},
        RequestRow{"UnknownGet", {}, "GET TRACKING", {"ERR INVALID-ARGUMENT"}},
        RequestRow{"GetAlone", {}, "GET", {"ERR INVALID-ARGUMENT"}}),
    RowName());

INSTANTIATE_TEST_SUITE_P(
    ReadOnly, Requests,
    testing::Values(
        RequestRow{"SetVar", {}, "SET VAR ups1 battery.charge \"50\"", {"ERR READONLY"}},
        RequestRow{"SetVarLoggedIn",
                   {"USERNAME admin", "PASSWORD adm1n", "LOGIN ups1"},
                   "SET VAR ups1 ups.status \"OB\"",
                   {"ERR READONLY"}},
        RequestRow{"SetUnknownVariable",
                   {},
                   "SET VAR ups1 ups.delay.shutdown 20",
                   {"ERR VAR-NOT-SUPPORTED"}},
        RequestRow{"SetUnknownUps", {}, "SET VAR nope battery.charge 50", {"ERR UNKNOWN-UPS"}},
        RequestRow{"SetTracking", {}, "SET TRACKING ON", {"ERR INVALID-ARGUMENT"}},
        RequestRow{"Instcmd", {}, "INSTCMD ups1 load.off", {"ERR CMD-NOT-SUPPORTED"}},
        RequestRow{"InstcmdWithParameter",
                   {},
                   "INSTCMD ups1 load.off.delay 120",
                   {"ERR CMD-NOT-SUPPORTED"}},
        RequestRow{"InstcmdUnknownUps", {}, "INSTCMD nope load.off", {"ERR UNKNOWN-UPS"}},
        RequestRow{"InstcmdAlone", {}, "INSTCMD", {"ERR INVALID-ARGUMENT"}}),
    RowName());

INSTANTIATE_TEST_SUITE_P(
    Credentials, Requests,
    testing::Values(
        RequestRow{"Username", {}, "USERNAME monuser", {"OK"}},
        RequestRow{"UsernameUnknownIsNotSaidYet", {}, "USERNAME nobody", {"OK"}},
        RequestRow{
            "UsernameTwice", {"USERNAME monuser"}, "USERNAME admin", {"ERR ALREADY-SET-USERNAME"}},
        RequestRow{"UsernameEmpty", {}, "USERNAME \"\"", {"ERR INVALID-USERNAME"}},
        RequestRow{"UsernameMissing", {}, "USERNAME", {"ERR INVALID-ARGUMENT"}},
        RequestRow{"Password", {}, "PASSWORD secret", {"OK"}},
        RequestRow{
            "PasswordTwice", {"PASSWORD secret"}, "PASSWORD other", {"ERR ALREADY-SET-PASSWORD"}},
        RequestRow{"PasswordEmpty", {}, "PASSWORD \"\"", {"ERR INVALID-PASSWORD"}},
        RequestRow{
            "LoginWithoutUsername", {"PASSWORD secret"}, "LOGIN ups1", {"ERR USERNAME-REQUIRED"}},
        RequestRow{
            "LoginWithoutPassword", {"USERNAME monuser"}, "LOGIN ups1", {"ERR PASSWORD-REQUIRED"}},
        RequestRow{"Login", {"USERNAME monuser", "PASSWORD secret"}, "LOGIN ups1", {"OK"}},
        RequestRow{"LoginPasswordWithSpace",
                   {"USERNAME spaced", "PASSWORD \"two words\""},
                   "LOGIN ups1",
                   {"OK"}},
        RequestRow{"LoginWrongPassword",
                   {"USERNAME monuser", "PASSWORD Secret"},
                   "LOGIN ups1",
                   {"ERR ACCESS-DENIED"}},
        RequestRow{"PasswordWithSpaceUnquoted",
                   {"USERNAME spaced"},
                   "PASSWORD two words",
                   {"ERR INVALID-ARGUMENT"}},
        RequestRow{"LoginAnotherUsersPassword",
                   {"USERNAME monuser", "PASSWORD adm1n"},
                   "LOGIN ups1",
                   {"ERR ACCESS-DENIED"}},
        RequestRow{"LoginUnknownUser",
                   {"USERNAME nobody", "PASSWORD secret"},
                   "LOGIN ups1",
                   {"ERR ACCESS-DENIED"}},
        RequestRow{"LoginUnknownUps",
                   {"USERNAME monuser", "PASSWORD secret"},
                   "LOGIN nope",
                   {"ERR UNKNOWN-UPS"}},
        RequestRow{"LoginTwice",
                   {"USERNAME monuser", "PASSWORD secret", "LOGIN ups1"},
                   "LOGIN ups2",
                   {"ERR ALREADY-LOGGED-IN"}},
        RequestRow{
            "LoginToStaleUps", {"USERNAME monuser", "PASSWORD secret"}, "LOGIN stale", {"OK"}},
        RequestRow{"LoginMissingUps",
                   {"USERNAME monuser", "PASSWORD secret"},
                   "LOGIN",
                   {"ERR INVALID-ARGUMENT"}},
        RequestRow{"Primary",
                   {"USERNAME admin", "PASSWORD adm1n"},
                   "PRIMARY ups1",
                   {"OK PRIMARY-GRANTED"}},
        RequestRow{"MasterOldName",
                   {"USERNAME admin", "PASSWORD adm1n"},
                   "MASTER ups1",
                   {"OK MASTER-GRANTED"}},
        RequestRow{"PrimaryAsSecondary",
                   {"USERNAME monuser", "PASSWORD secret"},
                   "PRIMARY ups1",
                   {"ERR ACCESS-DENIED"}},
        RequestRow{"PrimaryWrongPassword",
                   {"USERNAME admin", "PASSWORD secret"},
                   "PRIMARY ups1",
                   {"ERR ACCESS-DENIED"}},
        RequestRow{"PrimaryWithoutCredentials", {}, "PRIMARY ups1", {"ERR USERNAME-REQUIRED"}},
        RequestRow{"PrimaryUnknownUps",
                   {"USERNAME admin", "PASSWORD adm1n"},
                   "PRIMARY nope",
                   {"ERR UNKNOWN-UPS"}},
        RequestRow{"Fsd",
                   {"USERNAME admin", "PASSWORD adm1n", "LOGIN ups1", "PRIMARY ups1"},
                   "FSD ups1",
                   {"OK FSD-SET"}},
        RequestRow{"FsdShowsInStatus",
                   {"USERNAME admin", "PASSWORD adm1n", "LOGIN ups1", "PRIMARY ups1", "FSD ups1"},
                   "GET VAR ups1 ups.status",
                   {"VAR ups1 ups.status \"OL FSD\""}},
        RequestRow{"FsdOnlyOnItsUps",
                   {"USERNAME admin", "PASSWORD adm1n", "LOGIN ups1", "PRIMARY ups1", "FSD ups1"},
                   "GET VAR ups2 ups.status",
                   {"VAR ups2 ups.status \"OL BYPASS ALARM\""}},
        RequestRow{"FsdWithoutPrimary",
                   {"USERNAME admin", "PASSWORD adm1n", "LOGIN ups1"},
                   "FSD ups1",
                   {"ERR ACCESS-DENIED"}},
        RequestRow{"FsdWithoutLogin",
                   {"USERNAME admin", "PASSWORD adm1n", "PRIMARY ups1"},
                   "FSD ups1",
                   {"ERR ACCESS-DENIED"}},
        RequestRow{
            "FsdOnAnotherUps",
            {"USERNAME admin", "PASSWORD adm1n", "LOGIN ups1", "PRIMARY ups1", "PRIMARY ups2"},
            "FSD ups2",
            {"ERR ACCESS-DENIED"}},
        RequestRow{"FsdAsSecondary",
                   {"USERNAME monuser", "PASSWORD secret", "LOGIN ups1"},
                   "FSD ups1",
                   {"ERR ACCESS-DENIED"}},
        RequestRow{
            "FsdWithoutCredentials", {"USERNAME admin"}, "FSD ups1", {"ERR PASSWORD-REQUIRED"}},
        RequestRow{
            "FsdUnknownUps", {"USERNAME admin", "PASSWORD adm1n"}, "FSD nope", {"ERR UNKNOWN-UPS"}},
        RequestRow{"Logout", {}, "LOGOUT", {"OK Goodbye"}}),
    RowName());

TEST(Session, ListVarIsTheCataloguesValuesThenTheRoundsOwn)
{
    Site site;
    nut::Session session(*site.hub, "192.0.2.7");
    for (const char* name : {"ups1", "ups2", "odd"}) {
        SCOPED_TRACE(name);
        const site::UpsSnapshot& ups = *site.list.Find(name);
        std::vector<std::string> expected{std::string("BEGIN LIST VAR ") + name};
        for (const catalogue::Value& value : catalogue::Values(ups.last->record.data())) {
            expected.push_back(std::string("VAR ") + name + " " + value.quantity->nut + " " +
                               nut::Quote(value.text));
        }
        const std::string age = std::string(name) == "ups2" ? "5" : "1";
        expected.push_back(std::string("VAR ") + name + " experimental.data.age \"" + age + "\"");
        expected.push_back(std::string("VAR ") + name +
                           " experimental.data.time \"2024-05-01T12:00:00Z\"");
        expected.push_back(std::string("VAR ") + name + " experimental.line.state \"up\"");
        expected.push_back(std::string("END LIST VAR ") + name);
        EXPECT_EQ(site.Ask(session, std::string("LIST VAR ") + name), expected);
        // And each one alone is what the list says.
        for (std::size_t i = 1; i + 1 < expected.size(); ++i) {
            const std::string variable = nut::SplitWords(expected[i])->at(2);
            EXPECT_EQ(site.Ask(session, std::string("GET VAR ") + name + " " + variable),
                      std::vector<std::string>{expected[i]});
        }
    }
}

TEST(Session, DescAndTypeForEveryExportedName)
{
    Site site;
    nut::Session session(*site.hub, "192.0.2.7");
    for (const catalogue::Quantity& q : catalogue::Quantities()) {
        EXPECT_EQ(site.Ask(session, std::string("GET DESC ups1 ") + q.nut),
                  Lines{std::string("DESC ups1 ") + q.nut + " " + nut::Quote(q.description)});
        EXPECT_EQ(site.Ask(session, std::string("GET TYPE ups1 ") + q.nut),
                  Lines{std::string("TYPE ups1 ") + q.nut + " " + catalogue::ProtocolType(q)});
    }
}

TEST(Session, StaleOnceTheRoundIsOlderThanTheLimitAndFreshAfterANewOne)
{
    Site site;
    nut::Session session(*site.hub, "192.0.2.7");
    site::UpsSnapshot& ups = *site.list.Find("ups1");
    const Steady::time_point round = ups.last->steady;
    const auto status = [&](Steady::time_point at) {
        return session.Request("GET VAR ups1 ups.status", at).lines;
    };
    EXPECT_EQ(status(round + 30s), Lines{"VAR ups1 ups.status \"OL\""}) << "at the limit";
    EXPECT_EQ(status(round + 30s + 1ms), Lines{"ERR DATA-STALE"}) << "just past it";
    EXPECT_EQ(session.Request("GET VAR ups1 experimental.data.age", round + 45s).lines,
              Lines{"VAR ups1 experimental.data.age \"45\""});
    // The next round is on battery: only its values show.
    nuttest::NewRound(ups, nuttest::OnBattery(false), round + 50s);
    EXPECT_EQ(status(round + 51s), Lines{"VAR ups1 ups.status \"OB ALARM\""});
    EXPECT_EQ(session.Request("GET VAR ups1 experimental.data.age", round + 51s).lines,
              Lines{"VAR ups1 experimental.data.age \"1\""});
}

TEST(Session, AgeNeverNegativeWhenTheRoundIsNewerThanNow)
{
    Site site;
    nut::Session session(*site.hub, "192.0.2.7");
    const Steady::time_point round = site.list.Find("ups1")->last->steady;
    EXPECT_EQ(session.Request("GET VAR ups1 experimental.data.age", round - 2s).lines,
              Lines{"VAR ups1 experimental.data.age \"0\""});
}

// --- Sessions together ---

struct LoggedIn {
    std::unique_ptr<nut::Session> session;
    LoggedIn(Site& site, const std::string& peer, const std::string& user,
             const std::string& password, const std::string& ups, bool primary = false)
        : session(std::make_unique<nut::Session>(*site.hub, peer))
    {
        EXPECT_EQ(site.Ask(*session, "USERNAME " + user), Lines{"OK"});
        EXPECT_EQ(site.Ask(*session, "PASSWORD " + nut::Quote(password)), Lines{"OK"});
        EXPECT_EQ(site.Ask(*session, "LOGIN " + ups), Lines{"OK"});
        if (primary) {
            EXPECT_EQ(site.Ask(*session, "PRIMARY " + ups), Lines{"OK PRIMARY-GRANTED"});
        }
    }
};

TEST(Hub, CountsAndListsTheClientsOfEachUpsInLoginOrder)
{
    Site site;
    LoggedIn a(site, "192.0.2.1", "monuser", "secret", "ups1");
    LoggedIn b(site, "192.0.2.2", "monuser", "secret", "ups2");
    LoggedIn c(site, "2001:db8::3", "admin", "adm1n", "ups1");
    nut::Session anyone(*site.hub, "192.0.2.9");
    EXPECT_EQ(site.Ask(anyone, "GET NUMLOGINS ups1"), Lines{"NUMLOGINS ups1 2"});
    EXPECT_EQ(site.Ask(anyone, "LIST CLIENT ups1"),
              (Lines{"BEGIN LIST CLIENT ups1", "CLIENT ups1 192.0.2.1", "CLIENT ups1 2001:db8::3",
                     "END LIST CLIENT ups1"}));
    a.session.reset(); // the connection closed
    EXPECT_EQ(site.Ask(anyone, "GET NUMLOGINS ups1"), Lines{"NUMLOGINS ups1 1"});
    EXPECT_EQ(site.Ask(*c.session, "LOGOUT"), Lines{"OK Goodbye"});
    EXPECT_EQ(site.Ask(anyone, "GET NUMLOGINS ups1"), Lines{"NUMLOGINS ups1 0"});
    EXPECT_EQ(site.Ask(anyone, "GET NUMLOGINS ups2"), Lines{"NUMLOGINS ups2 1"});
    EXPECT_EQ(site.log, (Lines{"server: monuser@192.0.2.1 logged in to ups1",
                               "server: monuser@192.0.2.2 logged in to ups2",
                               "server: admin@2001:db8::3 logged in to ups1",
                               "server: monuser@192.0.2.1 left ups1",
                               "server: admin@2001:db8::3 left ups1"}));
}

TEST(Hub, ForcedShutdownShowsToEveryoneUntilTheLastClientOfTheUpsHasGone)
{
    Site site;
    auto primary = std::make_unique<LoggedIn>(site, "192.0.2.1", "admin", "adm1n", "ups1", true);
    auto secondary = std::make_unique<LoggedIn>(site, "192.0.2.2", "monuser", "secret", "ups1");
    LoggedIn elsewhere(site, "192.0.2.3", "monuser", "secret", "ups2");
    nut::Session anyone(*site.hub, "192.0.2.9");
    EXPECT_EQ(site.Ask(*primary->session, "FSD ups1"), Lines{"OK FSD-SET"});
    EXPECT_EQ(site.Ask(*primary->session, "FSD ups1"), Lines{"OK FSD-SET"}) << "again: no change";
    EXPECT_TRUE(site.hub->ForcedShutdown("ups1"));
    EXPECT_EQ(site.Ask(*secondary->session, "GET VAR ups1 ups.status"),
              Lines{"VAR ups1 ups.status \"OL FSD\""});
    const Lines list = site.Ask(anyone, "LIST VAR ups1");
    EXPECT_NE(std::find(list.begin(), list.end(), "VAR ups1 ups.status \"OL FSD\""), list.end());
    // The primary waits for the secondaries to go, then goes itself.
    secondary.reset();
    EXPECT_TRUE(site.hub->ForcedShutdown("ups1"));
    primary.reset();
    EXPECT_FALSE(site.hub->ForcedShutdown("ups1"));
    EXPECT_EQ(site.Ask(anyone, "GET VAR ups1 ups.status"), Lines{"VAR ups1 ups.status \"OL\""})
        << "restarted machines are not shut down again";
    EXPECT_EQ(std::count(site.log.begin(), site.log.end(),
                         "server: forced shutdown of ups1 set by admin@192.0.2.1"),
              1);
    EXPECT_EQ(site.log.back(),
              "server: forced shutdown of ups1 cleared: no client is logged in to it");
}

TEST(Hub, RefusedLoginsAreLoggedOnceThenAtMostEveryMinuteWithTheirCount)
{
    Site site;
    const auto refuse = [&](Steady::time_point at) {
        nut::Session session(*site.hub, "198.51.100.4");
        session.Request("USERNAME monuser", at);
        session.Request("PASSWORD guess", at);
        EXPECT_EQ(session.Request("LOGIN ups1", at).lines, Lines{"ERR ACCESS-DENIED"});
    };
    for (int i = 0; i < 5; ++i) {
        refuse(site.now + std::chrono::seconds(i));
    }
    ASSERT_EQ(site.log.size(), 1U);
    EXPECT_EQ(site.log[0], "server: refused login of user \"monuser\" from 198.51.100.4 (unknown "
                           "user or wrong password)");
    refuse(site.now + 61s);
    ASSERT_EQ(site.log.size(), 2U);
    EXPECT_NE(site.log[1].find("; 5 refused logins since the last line"), std::string::npos)
        << site.log[1];
}

// --- Bytes ---

struct Transcript {
    std::string out;
    nut::Received last;
    std::size_t requests = 0;
};

Transcript Feed(Site& site, nut::Session& session, const std::vector<std::string>& pieces)
{
    Transcript t;
    for (const std::string& piece : pieces) {
        t.last = session.Receive(piece, site.now, t.out);
        t.requests += t.last.requests;
    }
    return t;
}

TEST(Receive, RequestsCutAtEveryByteGiveTheSameReplies)
{
    const std::string bytes =
        "VER\nGET VAR ups1 ups.status\r\nLIST UPS\n\nUSERNAME monuser\nPASSWORD secret\n"
        "LOGIN ups1\nGET NUMLOGINS ups1\n";
    Site whole_site;
    nut::Session whole(*whole_site.hub, "192.0.2.7");
    const Transcript expected = Feed(whole_site, whole, {bytes});
    EXPECT_EQ(expected.requests, 8U) << "the empty line too";
    EXPECT_EQ(nuttest::Lines(expected.out).size(), 13U);
    for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
        Site site;
        nut::Session session(*site.hub, "192.0.2.7");
        const Transcript t = Feed(site, session, {bytes.substr(0, cut), bytes.substr(cut)});
        ASSERT_EQ(t.out, expected.out) << "cut at " << cut;
        EXPECT_EQ(t.requests, expected.requests);
    }
    // And byte by byte.
    Site site;
    nut::Session session(*site.hub, "192.0.2.7");
    std::vector<std::string> bytewise;
    for (const char c : bytes) {
        bytewise.emplace_back(1, c);
    }
    EXPECT_EQ(Feed(site, session, bytewise).out, expected.out);
}

struct BytesRow {
    const char* name;
    std::vector<std::string> pieces;
    std::string out;
    bool close;
};

void PrintTo(const BytesRow& row, std::ostream* os)
{
    *os << row.name;
}

class Bytes : public testing::TestWithParam<BytesRow>
{
};

TEST_P(Bytes, Refused)
{
    Site site;
    nut::Session session(*site.hub, "192.0.2.7");
    const Transcript t = Feed(site, session, GetParam().pieces);
    EXPECT_EQ(t.out, GetParam().out);
    EXPECT_EQ(t.last.close, GetParam().close);
    EXPECT_EQ(session.Closing(), GetParam().close);
    EXPECT_EQ(t.last.refused,
              GetParam().close && GetParam().out.find("Goodbye") == std::string::npos);
}

// A request of exactly `length` bytes: GET VAR of a long unknown name.
std::string LongRequest(std::size_t length)
{
    const std::string head = "GET VAR ups1 ";
    return head + std::string(length - head.size(), 'x');
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Bytes,
    testing::Values(
        BytesRow{"LineOfTheLimit", {LongRequest(1024) + "\n"}, "ERR VAR-NOT-SUPPORTED\n", false},
        BytesRow{"LineOfTheLimitWithCrLf",
                 {LongRequest(1024) + "\r\n"},
                 "ERR VAR-NOT-SUPPORTED\n",
                 false},
        BytesRow{"LineOverTheLimit", {LongRequest(1025) + "\n"}, "ERR TOO-LONG\n", true},
        BytesRow{
            "EndlessLine", {std::string(700, 'A'), std::string(700, 'A')}, "ERR TOO-LONG\n", true},
        BytesRow{"NothingReadAfterTheRefusal",
                 {"VER\n" + std::string(2000, 'A') + "\nVER\n"},
                 "halx-host test\nERR TOO-LONG\n",
                 true},
        BytesRow{"NulByte", {std::string("VER\0\n", 5)}, "ERR INVALID-ARGUMENT\n", true},
        BytesRow{"TlsClientHello",
                 {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)},
                 "ERR INVALID-ARGUMENT\n",
                 true},
        BytesRow{"EscapeSequence", {"VER\x1b[A\n"}, "ERR INVALID-ARGUMENT\n", true},
        BytesRow{"RequestsBeforeGarbageAnswered",
                 {"NETVER\nVER\n\x01\x02\x03\n"},
                 "1.3\nhalx-host test\nERR INVALID-ARGUMENT\n",
                 true},
        BytesRow{"HighBytesAreText", {"\xc3\xa9t\xc3\xa9\n"}, "ERR UNKNOWN-COMMAND\n", false},
        BytesRow{
            "TabsAreText", {"GET\tVAR\tups1\tups.status\n"}, "VAR ups1 ups.status \"OL\"\n", false},
        BytesRow{"LogoutEndsIt", {"LOGOUT\nVER\n"}, "OK Goodbye\n", true},
        BytesRow{"UnknownCommandsDoNot",
                 {"HELO\nEHLO x\nVER\n"},
                 "ERR UNKNOWN-COMMAND\nERR UNKNOWN-COMMAND\nhalx-host test\n",
                 false},
        BytesRow{"PartialLineWaits", {"GET VAR ups1"}, "", false}),
    RowName());

} // namespace

// The built plug-in polling the simulator: complete cycles decode what the
// simulator was told to send, and its faults reach the plug-in as the
// faults they stand for.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "SimTest.h"
#include "common/Format.h"
#include "record/DeltanhntCmdsRply.h"
#include "record/RecordFields.h"
#include "record/ServedSignals.h"
#include "support/PluginLoader.h"
#include "support/Replies.h"
#include "upssim/PtySimulator.h"
#include "upssim/Trace.h"

namespace
{

using namespace std::chrono_literals;
using simtest::PluginHarness;
using upssim::Options;

upssim::Script ParseScript(const std::string& text)
{
    std::istringstream in(text);
    return upssim::ParseScript(in, "test");
}

std::string Text16(const std::vector<std::uint8_t>& record, std::size_t offset)
{
    const char* text = reinterpret_cast<const char*>(record.data() + offset);
    return std::string(text, strnlen(text, 16));
}

// What the plug-in stores for a wire value, by the field's type.
double Decoded(FieldType type, std::int32_t wire)
{
    switch (type) {
    case FieldType::Float32:
        return static_cast<float>(static_cast<double>(static_cast<float>(wire)) * 0.1);
    case FieldType::Int8:
        return static_cast<std::int8_t>(static_cast<std::uint8_t>(wire & 0xFF));
    default:
        return wire;
    }
}

double Stored(const std::vector<std::uint8_t>& record, const RecordField& field)
{
    const std::uint8_t* at = record.data() + field.offset;
    switch (field.type) {
    case FieldType::Float32: {
        float value = 0;
        std::memcpy(&value, at, sizeof value);
        return value;
    }
    case FieldType::Int8:
        return static_cast<std::int8_t>(*at);
    default: {
        std::int32_t value = 0;
        std::memcpy(&value, at, sizeof value);
        return value;
    }
    }
}

// Every numeric field of the reported record against the simulator's
// model, whose values are the ones last sent.
void ExpectRecordMatchesModel(const std::vector<std::uint8_t>& record,
                              const upssim::UpsModel& model)
{
    ASSERT_EQ(record.size(), sizeof(DeltanhntCmdsRply_t));
    for (const upssim::ReplyField& field : upssim::ReplyFields()) {
        for (const RecordField& stored : kRecordFields) {
            if (std::strcmp(stored.name, field.name) == 0) {
                EXPECT_EQ(Stored(record, stored), Decoded(field.type, model.Value(field)))
                    << field.name;
            }
        }
    }
}

TEST(PluginCycle, CompletesAndDecodesWhatTheSimulatorWasTold)
{
    Options options;
    options.model = "NT-40K";
    options.version = "DSP 2.07";
    options.values["BattryVlt"] = 2650;
    options.values["InptVlt1"] = 2305;
    options.values["OutptCrrent3"] = -15;
    options.values["RatBttryVlt"] = 192;
    options.values["InptFail"] = 1;
    options.values["ShtdwnImmnnt"] = 1;
    PluginHarness h(options);

    ASSERT_EQ(h.RunCycle(), 1);
    EXPECT_EQ(h.log().Frames(), CycleFrames());
    EXPECT_FLOAT_EQ(h.dev().Get_Value(0, "BattryVlt"), 265.0F);
    EXPECT_FLOAT_EQ(h.dev().Get_Value(0, "InptVlt1"), 230.5F);
    EXPECT_FLOAT_EQ(h.dev().Get_Value(0, "OutptCrrent3"), -1.5F);
    EXPECT_FLOAT_EQ(h.dev().Get_Value(0, "RatBttryVlt"), 192.0F);
    EXPECT_EQ(h.log().ActiveAlarms(), (std::vector<std::string>{"deltaNHNT_1", "deltaNHNT_14"}));

    const std::vector<std::uint8_t> record = h.log().LastRecord();
    EXPECT_EQ(Text16(record, offsetof(DeltanhntCmdsRply_t, UpsMnu)), "DELTA");
    EXPECT_EQ(Text16(record, offsetof(DeltanhntCmdsRply_t, UpsMod)), "NT-40K");
    EXPECT_EQ(Text16(record, offsetof(DeltanhntCmdsRply_t, UpsVer)), "DSP 2.07");
    ExpectRecordMatchesModel(record, h.ups().Model());
}

// Drifting values: every cycle's record holds exactly what was sent.
TEST(PluginCycle, DriftingValuesDecodeAsSent)
{
    Options options;
    options.seed = 11;
    PluginHarness h(options);
    std::vector<float> voltages;
    for (int cycle = 0; cycle < 25; ++cycle) {
        ASSERT_EQ(h.RunCycle(), 1) << "cycle " << cycle;
        ExpectRecordMatchesModel(h.log().LastRecord(), h.ups().Model());
        voltages.push_back(h.dev().Get_Value(0, "InptVlt1"));
        EXPECT_NEAR(voltages.back(), 220.5F, 4.01F);
    }
    EXPECT_TRUE(h.log().ActiveAlarms().empty());
    EXPECT_NE(*std::min_element(voltages.begin(), voltages.end()),
              *std::max_element(voltages.begin(), voltages.end()));
}

TEST(PluginCycle, ScriptedScenarioRaisesAndClearsAnAlarm)
{
    Options options;
    options.script = ParseScript("wait 1 cycle\n"
                                 "flag InptFail 1\n"
                                 "set BattryVlt 2450\n"
                                 "wait 1 cycle\n"
                                 "flag InptFail 0\n");
    PluginHarness h(options);
    std::vector<std::vector<std::string>> alarms;
    std::vector<float> battery;
    for (int cycle = 0; cycle < 3; ++cycle) {
        h.log().Clear();
        ASSERT_EQ(h.RunCycle(), 1);
        alarms.push_back(h.log().ActiveAlarms());
        battery.push_back(h.dev().Get_Value(0, "BattryVlt"));
    }
    EXPECT_TRUE(alarms[0].empty());
    EXPECT_EQ(alarms[1], std::vector<std::string>{"deltaNHNT_1"});
    EXPECT_TRUE(alarms[2].empty());
    EXPECT_FLOAT_EQ(battery[1], 245.0F);
    EXPECT_FLOAT_EQ(battery[2], 245.0F);
}

// A fault in force for one cycle: what the plug-in sends in that cycle,
// whether it reports, and that it reports again within three cycles after.
struct FaultCase {
    const char* name;
    const char* script; // applied before the first cycle, lifted after it
    std::vector<std::string> frames;
    bool reset;
};

TEST(PluginCycle, FaultsReachThePluginAsTheFaultsTheyStandFor)
{
    const std::vector<std::string> mnu = {"~00P003MNU"};
    const std::vector<std::string> to_sta(CycleFrames().begin(), CycleFrames().begin() + 8);
    const FaultCase cases[] = {
        {"wrong manufacturer", "manufacturer ACME", mnu, true},
        {"manufacturer too short", "manufacturer DELT", mnu, true},
        {"wrong address", "address 01", mnu, true},
        {"no reply", "drop all", mnu, false},
        {"no STA reply", "drop STA", to_sta, false},
        {"truncated reply", "truncate 1", mnu, false},
        {"noise burst", "noise 4000 before", mnu, true},
    };
    for (const FaultCase& c : cases) {
        Options options;
        options.script = ParseScript(std::string(c.script) + "\nwait 1 cycle\nreset\n");
        PluginHarness h(options);
        EXPECT_EQ(h.RunCycle(), 0) << c.name;
        EXPECT_EQ(h.log().Frames(), c.frames) << c.name;
        EXPECT_EQ(h.log().Count(HostCall::Op::Reset) > 0, c.reset) << c.name;
        int reported = 0;
        for (int cycle = 0; cycle < 3 && reported == 0; ++cycle) {
            reported = h.RunCycle();
        }
        EXPECT_EQ(reported, 1) << c.name << ": no recovery";
    }
}

// Replay: a session recorded as halx-host traces it, replayed to a fresh
// device, gives the same record.
TEST(PluginCycle, ReplayedSessionGivesTheSameRecord)
{
    Options live;
    live.seed = 3;
    PluginHarness recorded(live);
    ASSERT_EQ(recorded.RunCycle(), 1);
    const std::vector<std::uint8_t> original = recorded.log().LastRecord();

    // The same UPS's answers, each reply in pieces of 5 bytes 10 ms apart.
    std::ostringstream trace;
    upssim::Responder ups(live);
    int second = 10;
    for (const std::string& frame : CycleFrames()) {
        trace << "2026-12-08T18:39:" << ++second << ".000000 tx " << tools::Hex(frame) << "\n";
        const std::string reply = simtest::SentBytes(simtest::Ask(ups, frame.substr(7)));
        for (std::size_t at = 0; at < reply.size(); at += 5) {
            trace << "2026-12-08T18:39:" << second << "." << (100000 + at * 2000) << " rx "
                  << tools::Hex(reply.substr(at, 5)) << "\n";
        }
    }
    std::istringstream in(trace.str());
    Options replay;
    replay.replay = std::make_shared<upssim::ReplayBook>(upssim::ReadTrace(in, "trace"));
    PluginHarness replayed(replay);
    ASSERT_EQ(replayed.RunCycle(), 1);
    const std::vector<std::uint8_t> again = replayed.log().LastRecord();
    const auto stamp = static_cast<std::ptrdiff_t>(offsetof(DeltanhntCmdsRply_t, RoundTime));
    EXPECT_TRUE(std::equal(again.begin(), again.begin() + stamp, original.begin()));
}

// The host side of a serial line to the simulator: frames the device sends
// go to the pseudo-terminal.
class SerialHost : public CallLog
{
public:
    explicit SerialHost(int fd) : fd_(fd) {}
    void OnSendData(HalxSPDevice& dev, const unsigned char* data, unsigned int length) override
    {
        CallLog::OnSendData(dev, data, length);
        EXPECT_EQ(::write(fd_, data, length), static_cast<ssize_t>(length));
    }

private:
    int fd_;
};

// The whole path: the plug-in polls the simulator through a real
// pseudo-terminal, the replies arriving in small pieces.
TEST(PluginOverPty, CompletesCyclesThroughTheLine)
{
    Options options;
    options.chunk = 3;
    options.chunk_gap = 1ms;
    options.values["BattryVlt"] = 2555;
    options.values["FanFault"] = 1;
    upssim::PtySimulator sim(options);
    const int fd = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios raw{};
    ::tcgetattr(fd, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(fd, TCSANOW, &raw);

    SerialHost host(fd);
    TestDevice device(BuiltPlugin().Create(), &host);
    testing::internal::CaptureStdout();
    for (int cycle = 1; cycle <= 2; ++cycle) {
        device.dev().RefreshStatus();
        while (host.Count(HostCall::Op::SendSP) < static_cast<std::size_t>(cycle)) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) {
                break;
            }
            unsigned char buffer[256];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            device.Feed(buffer, static_cast<std::size_t>(n));
        }
    }
    testing::internal::GetCapturedStdout();
    ::close(fd);
    EXPECT_EQ(host.Count(HostCall::Op::SendSP), 2U);
    EXPECT_FLOAT_EQ(device.dev().Get_Value(0, "BattryVlt"), 255.5F);
    EXPECT_EQ(host.ActiveAlarms(), (std::vector<std::string>{"deltaNHNT_9", "deltaNHNT_9"}));
    EXPECT_EQ(sim.Stats().cycles, 2U);
}

} // namespace

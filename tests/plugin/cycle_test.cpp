// Whole poll cycles against the stand-in host: the frames, the order of the
// host calls and the record that is reported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DeviceFixture.h"
#include "support/ParamNames.h"

namespace
{

using Cycle = DeviceFixture;

// The calls of one healthy cycle, up to the round's checks.  Each SendData
// shows the command state at the moment of sending: the first steps store
// the next state before sending, the later ones after.
const std::vector<std::string> kCycleStart = {
    "RefreshStatus",
    "SendData ~00P003MNU state=1",
    "SendData ~00P003MOD state=2",
    "SendData ~00P003RAT state=3",
    "SendData ~00P003STB state=5",
    "SendData ~00P003STI state=6",
    "SendData ~00P003STO state=6",
    "SendData ~00P003STP state=7",
    "SendData ~00P003STA state=8",
    "SendData ~00P003VER state=9",
    "SendSP 5035 len=338 urgent=0",
    "Reset",
};

TEST_F(Cycle, HealthyCycleSendsNineFramesAndCompletesOnce)
{
    dev().RefreshStatus();
    const std::vector<std::string> replies = HealthyReplies();
    std::vector<int> results;
    std::vector<int> states;
    for (const std::string& reply : replies) {
        results.push_back(Feed(reply));
        states.push_back(dev().CommandState());
    }
    EXPECT_EQ(results, (std::vector<int>{1, 1, 1, 1, 1, 1, 1, 1, 0}));
    EXPECT_EQ(states, (std::vector<int>{2, 3, 5, 6, 7, 8, 9, 13, 13}));
    EXPECT_EQ(log().Frames(), CycleFrames());

    const std::vector<std::string> lines = log().Lines();
    ASSERT_GE(lines.size(), kCycleStart.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + kCycleStart.size()),
              kCycleStart);
    EXPECT_EQ(log().Lines(HostCall::Op::CheckThresholdBool).size(), 15U);
    EXPECT_EQ(lines.back(), "SaveDeviceHistory len=338");
}

// The record reported at the end of the healthy cycle, field by field.
struct Expected {
    const char* name;
    std::size_t offset;
    double value; // int32, float32 or int8, by the field's width and kind
    char kind;    // 'i' int32, 'f' float32, 'b' int8
};

// clang-format off
const Expected kHealthyRecord[] = {
    {"DataId", 0, 77, 'i'},
    {"RatInptVlt", 36, 220, 'i'}, {"RatValue1", 40, 50.0F, 'f'}, {"RatOuptVlt", 44, 220, 'i'},
    {"RatValue3", 48, 50.0F, 'f'}, {"RatValue4", 52, 20000, 'i'}, {"RatValue5", 56, 16000, 'i'},
    {"RatByte6", 60, 1, 'b'}, {"RatValue7", 61, 3, 'i'}, {"RatValue12", 81, 1, 'i'},
    {"RatByte13", 85, 2, 'b'}, {"RatBttryVlt", 86, 240, 'i'}, {"RatValue15", 90, 240.0F, 'f'},
    {"RatValue20", 110, 100.0F, 'f'},
    {"EstMinRmn", 121, 120, 'i'}, {"EstChrgRmn", 125, 100, 'i'}, {"BattryVlt", 129, 271.2F, 'f'},
    {"BattryTmp", 137, 25, 'i'},
    {"InptLines", 146, 1, 'i'}, {"InptFrq1", 150, 50.0F, 'f'}, {"InptVlt1", 154, 220.5F, 'f'},
    {"InptCrrent1", 158, 12.3F, 'f'}, {"InptPwr1", 162, 2700, 'i'}, {"InptVlt2", 170, 221.0F, 'f'},
    {"InptVlt3", 186, 219.8F, 'f'}, {"InptCrrent3", 190, 11.8F, 'f'},
    {"OutptSrc", 198, 0, 'b'}, {"OutptFrq", 199, 50.0F, 'f'}, {"OutptLines", 203, 1, 'b'},
    {"OutptVlt1", 204, 220.0F, 'f'}, {"OutptCrrent1", 208, 11.5F, 'f'}, {"OutptPwr1", 212, 2530, 'i'},
    {"OutptLd1", 216, 45, 'i'}, {"OutptCrrent3", 240, 11.4F, 'f'}, {"OutptLd3", 248, 44, 'i'},
    {"BypssFrq", 252, 50.0F, 'f'}, {"BypssLines", 256, 1, 'b'}, {"BypssVlt1", 257, 220.5F, 'f'},
    {"BypssPwr3", 289, 240, 'i'},
    {"TmpFault", 293, 0, 'b'}, {"StaFlag18", 311, 0, 'b'},
};
// clang-format on

TEST_F(Cycle, ReportedRecordHoldsTheDecodedValues)
{
    RunHealthyCycle();
    const std::vector<std::string> sp = log().Lines(HostCall::Op::SendSP);
    ASSERT_EQ(sp.size(), 1U);
    const std::vector<std::uint8_t>& bytes = log().calls[10].bytes;
    ASSERT_EQ(log().calls[10].op, HostCall::Op::SendSP);
    ASSERT_EQ(bytes.size(), 338U);
    EXPECT_EQ(bytes, RecordBytes());
    for (const Expected& e : kHealthyRecord) {
        switch (e.kind) {
        case 'i':
            EXPECT_EQ(At<std::int32_t>(e.offset), static_cast<std::int32_t>(e.value)) << e.name;
            break;
        case 'f':
            EXPECT_EQ(At<float>(e.offset), static_cast<float>(e.value)) << e.name;
            break;
        default:
            EXPECT_EQ(At<std::int8_t>(e.offset), static_cast<std::int8_t>(e.value)) << e.name;
            break;
        }
    }
    EXPECT_EQ(std::string(rec().UpsMnu), "DELTA");
    EXPECT_EQ(std::string(rec().UpsMod), "NH-PLUS 20K");
    EXPECT_EQ(std::string(rec().UpsVer), "V1.23");
    // Reserved bytes stay zero in every record the device builds itself.
    EXPECT_EQ(bytes[145], 0);
    for (std::size_t off : {194U, 195U, 196U, 197U, 312U, 313U, 314U}) {
        EXPECT_EQ(bytes[off], 0) << off;
    }
}

TEST_F(Cycle, DuplicateVersionReplyCompletesTheRoundAgain)
{
    RunHealthyCycle();
    log().Clear();
    EXPECT_EQ(Feed(Reply("V9.99")), 0);
    EXPECT_EQ(log().Lines(HostCall::Op::SendSP).size(), 1U);
    EXPECT_TRUE(log().Frames().empty());
    EXPECT_EQ(std::string(rec().UpsVer), "V9.99");
}

TEST_F(Cycle, RefreshMidCycleRestartsAtManufacturer)
{
    dev().RefreshStatus();
    for (std::size_t i = 0; i < 4; ++i) {
        Feed(HealthyReplies()[i]);
    }
    ASSERT_EQ(dev().CommandState(), 6); // the input reply is awaited
    log().Clear();
    EXPECT_EQ(dev().RefreshStatus(), 1);
    EXPECT_EQ(log().Lines(),
              (std::vector<std::string>{"RefreshStatus", "SendData ~00P003MNU state=1"}));
    EXPECT_EQ(dev().CommandState(), 1);
    for (const std::string& reply : HealthyReplies()) {
        Feed(reply);
    }
    EXPECT_EQ(log().Lines(HostCall::Op::SendSP).size(), 1U);
}

TEST_F(Cycle, RefreshSendsMnuFromAnyState)
{
    for (int state : {0, 1, 2, 3, 4, 5, 9, 13, 99, -1}) {
        dev().SetCommandState(state);
        log().Clear();
        EXPECT_EQ(dev().RefreshStatus(), 1);
        ASSERT_EQ(log().calls.size(), 2U);
        EXPECT_EQ(log().calls[1].bytes,
                  (std::vector<std::uint8_t>{'~', '0', '0', 'P', '0', '0', '3', 'M', 'N', 'U'}));
        EXPECT_EQ(dev().CommandState(), 1);
    }
}

TEST_F(Cycle, AbandonedCycleReportsNothingAndKeepsWhatWasDecoded)
{
    RunHealthyCycle();
    log().Clear();
    dev().RefreshStatus();
    Feed(Reply("DELTA"));
    Feed(Reply("NEW MODEL"));
    EXPECT_EQ(Feed("~01D003abc"), 0); // bad address: the exchange ends
    EXPECT_EQ(log().Lines(HostCall::Op::SendSP).size(), 0U);
    EXPECT_EQ(log().Lines(HostCall::Op::Reset).size(), 1U);
    EXPECT_EQ(std::string(rec().UpsMod), "NEW MODEL");
    EXPECT_EQ(Val(rec().RatInptVlt), 220); // from the earlier cycle
    // Nothing more is sent until the host starts the next cycle.
    EXPECT_EQ(log().Frames(), (std::vector<std::string>{"~00P003MNU", "~00P003MOD", "~00P003RAT"}));
}

} // namespace

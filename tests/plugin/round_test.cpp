// Round completion: what the host receives once a cycle (or a cached record)
// has filled the record, in order, and the status alarm table.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <stdexcept>
#include <string>
#include <vector>

#include "DeviceFixture.h"
#include "TemplateDevice.h"
#include "halx/ttime.h"
#include "support/ParamNames.h"

namespace
{

class Round : public DeviceFixture
{
protected:
    // A record whose fifteen alarm flags are given (others as in `flags`).
    static DeltanhntCmdsRply_t WithFlags(const std::vector<std::uint8_t>& flags)
    {
        DeltanhntCmdsRply_t r{};
        std::memcpy(reinterpret_cast<std::uint8_t*>(&r) + 293, flags.data(), flags.size());
        return r;
    }
    std::string CompleteRoundQuietly()
    {
        testing::internal::CaptureStdout();
        RunHealthyCycle();
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(Round, CallsComeInTheirFixedOrder)
{
    dev().SignalKeys() = {"k_absent", "k2", "k1"};
    dev().AnalogValues()["k1"] = 1.5F;
    dev().AnalogValues()["k2"] = -2.0F;
    dev().BatchRules().resize(3);
    const std::string out = CompleteRoundQuietly();
    std::vector<std::string> lines = log().Lines();
    // From the report on: drop the poll frames and the fifteen alarm rows.
    lines.erase(lines.begin(), lines.begin() + 10);
    lines.erase(lines.begin() + 2, lines.begin() + 17);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "SendSP 5035 len=338 urgent=0",
                         "Reset",
                         "CheckAOReport k2 -2",
                         "CheckThreshold k2 '' -2 1",
                         "CheckAOReport k1 1.5",
                         "CheckThreshold k1 '' 1.5 1",
                         "DoBatchCheckThreshold rules=3",
                         "SaveDeviceHistory len=338",
                     }));
    EXPECT_EQ(out, "rvSize is 3\n");
    // Keys without a value are skipped and never added; rules are emptied.
    EXPECT_EQ(dev().AnalogValues().count("k_absent"), 0U);
    EXPECT_TRUE(dev().BatchRules().empty());
    // CheckThreshold gets the host's own value, not a copy.
    for (const HostCall& c : log().calls) {
        if (c.op == HostCall::Op::CheckThreshold) {
            EXPECT_EQ(c.value_ref, &dev().AnalogValues()[c.key]) << c.key;
        }
    }
}

TEST_F(Round, ReportedAndStoredRecordsAreTheSameStampedBytes)
{
    const boost::posix_time::ptime before = boost::posix_time::second_clock::local_time();
    CompleteRoundQuietly();
    const boost::posix_time::ptime after = boost::posix_time::second_clock::local_time();
    const HostCall* sp = nullptr;
    const HostCall* history = nullptr;
    for (const HostCall& c : log().calls) {
        sp = c.op == HostCall::Op::SendSP ? &c : sp;
        history = c.op == HostCall::Op::SaveDeviceHistory ? &c : history;
    }
    ASSERT_NE(sp, nullptr);
    ASSERT_NE(history, nullptr);
    EXPECT_EQ(sp->number, 5035);
    EXPECT_FALSE(sp->flag);
    EXPECT_EQ(sp->bytes, history->bytes);
    EXPECT_EQ(sp->bytes, RecordBytes());
    // The stamp is the host's encoding of the round's time.
    const boost::posix_time::ptime t = dev().LastRoundTime();
    EXPECT_LE(before, t);
    EXPECT_LE(t, after);
    const ttime_t stamp = get_ttime(t);
    EXPECT_TRUE(std::equal(stamp.begin(), stamp.end(), sp->bytes.begin() + 331));
    EXPECT_EQ(dev().DataValid(), 1);
}

TEST_F(Round, AlarmChangedFlagReflectsOnlyThisRound)
{
    dev().SignalKeys() = {"k"};
    dev().AnalogValues()["k"] = 1.0F;
    log().ao_report_result = true;
    CompleteRoundQuietly();
    EXPECT_TRUE(dev().AlarmChanged());
    log().ao_report_result = false;
    CompleteRoundQuietly();
    EXPECT_FALSE(dev().AlarmChanged());
    log().batch_result = true;
    CompleteRoundQuietly();
    EXPECT_TRUE(dev().AlarmChanged());
}

TEST_F(Round, EmptyRuleListStillRunsTheBatchCheck)
{
    EXPECT_EQ(CompleteRoundQuietly(), "rvSize is 0\n");
    EXPECT_EQ(log().Lines(HostCall::Op::DoBatchCheckThreshold),
              std::vector<std::string>{"DoBatchCheckThreshold rules=0"});
}

TEST_F(Round, HostExceptionStopsTheRoundWhereItIsThrown)
{
    dev().BatchRules().resize(2);
    log().after_call = [](const HostCall& c) {
        if (c.op == HostCall::Op::CheckThresholdBool && c.key == "deltaNHNT_3") {
            throw std::runtime_error("threshold engine down");
        }
    };
    dev().RefreshStatus();
    const std::vector<std::string> replies = HealthyReplies();
    for (std::size_t i = 0; i + 1 < replies.size(); ++i) {
        Feed(replies[i]);
    }
    EXPECT_THROW(Feed(replies.back()), std::runtime_error);
    EXPECT_EQ(log().Lines(HostCall::Op::CheckThresholdBool).size(), 4U);
    EXPECT_TRUE(log().Lines(HostCall::Op::SaveDeviceHistory).empty());
    EXPECT_TRUE(log().Lines(HostCall::Op::DoBatchCheckThreshold).empty());
    EXPECT_EQ(dev().BatchRules().size(), 2U);
    EXPECT_EQ(log().Lines(HostCall::Op::SendSP).size(), 1U);
}

// ---- cached records -------------------------------------------------------

class Cache : public Round, public ::testing::WithParamInterface<int>
{
};

TEST_P(Cache, OnlyExactly338BytesAreAccepted)
{
    const int length = GetParam();
    std::vector<unsigned char> blob(400, 0x11);
    const bool accepted = dev().LoadFromCache(blob.data(), length);
    EXPECT_EQ(accepted, length == 338);
    const std::vector<std::uint8_t> bytes = RecordBytes();
    if (!accepted) {
        EXPECT_TRUE(log().calls.empty());
        EXPECT_NE(dev().DataValid(), 1);
        EXPECT_EQ(bytes[40], 0);
    } else {
        EXPECT_EQ(dev().DataValid(), 1);
        EXPECT_EQ(bytes[40], 0x11);
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, Cache, ::testing::Values(0, 1, 337, 338, 339, -338, 400));

TEST_F(Round, CachedRecordCompletesARoundWithANewStamp)
{
    DeltanhntCmdsRply_t cached{};
    cached.RatInptVlt = 230;
    cached.OutptOvrCrrent = 1;
    std::memset(cached.RoundTime, 0xEE, sizeof cached.RoundTime);
    for (std::size_t i = 0; i < 15; ++i) {
        reinterpret_cast<std::uint8_t*>(&cached)[293 + i] = i == 3 ? 1 : 255;
    }
    const std::string blob(reinterpret_cast<const char*>(&cached), sizeof cached);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(dev().LoadFromCache(blob));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\n");
    const std::vector<std::string> lines = log().Lines();
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "SendSP 5035 len=338 urgent=0", "Reset",
                         "CheckThresholdBool 1 deltaNHNT_3 2A1211804 交流输出电流过高 "
                         "交流输出电流过高 active=1 seq=1",
                         "DoBatchCheckThreshold rules=0", "SaveDeviceHistory len=338"}));
    const ttime_t stamp = get_ttime(dev().LastRoundTime());
    EXPECT_TRUE(std::equal(stamp.begin(), stamp.end(), log().calls[0].bytes.begin() + 331));
    EXPECT_EQ(dev().Get_Value(0, "RatInptVlt"), 230.0F);
}

TEST_F(Round, CachedStringOfOtherLengthIsRefused)
{
    EXPECT_FALSE(dev().LoadFromCache(std::string(337, 'x')));
    EXPECT_FALSE(dev().LoadFromCache(std::string(339, 'x')));
    EXPECT_FALSE(dev().LoadFromCache(std::string()));
    EXPECT_FALSE(dev().LoadFromCache(nullptr, 338));
    EXPECT_TRUE(log().calls.empty());
}

TEST(TemplateRound, BareTemplateReportsUnderItsOwnIdentifierAndRaisesNoAlarm)
{
    TemplateDevice device;
    CallLog log;
    device.SetObserver(&log);
    DeltanhntCmdsRply_t r{};
    r.TmpFault = 1;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(device.LoadFromCache(reinterpret_cast<const unsigned char*>(&r), 338));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"SendSP 7 len=338 urgent=0", "Reset",
                                                     "DoBatchCheckThreshold rules=0",
                                                     "SaveDeviceHistory len=338"}));
    EXPECT_EQ(device.AlarmSequence(), 1);
}

// ---- the status alarm table ----------------------------------------------

struct AlarmRow {
    const char* name;
    const char* key;
    const char* id;
    const char* alarm;
    const char* description;
};

// clang-format off
const AlarmRow kAlarmRows[] = {
    {"TmpFault", "deltaNHNT_0", "2A1460201", "温度传感器故障告警", "温度传感器故障告警"},
    {"InptFail", "deltaNHNT_1", "2A1415001", "输入电源中断告警", "输入电源中断告警"},
    {"OutptFault", "deltaNHNT_2", "2A1417201", "输出电源故障告警", "输出电源故障告警"},
    {"OutptOvrCrrent", "deltaNHNT_3", "2A1211804", "交流输出电流过高", "交流输出电流过高"},
    {"BypssOutOfLmt", "deltaNHNT_4", "2A1400101", "其它故障告警", "旁路超限"},
    {"OutptOff", "deltaNHNT_5", "2A1400101", "UPS停机输出", "UPS停机输出"},
    {"UpsOff", "deltaNHNT_6", "2A1400101", "其它故障告警", "UPS关机"},
    {"ChrgrFault", "deltaNHNT_7", "2A1431801", "充电器故障告警", "充电器故障告警"},
    {"SysOff", "deltaNHNT_8", "2A1400101", "其它故障告警", "告警系统关闭"},
    {"FanFault", "deltaNHNT_9", "2A1431C01", "风机故障告警", "风机故障告警"},
    {"FuseFault", "deltaNHNT_10", "2A1420301", "熔丝故障告警", "熔丝故障告警"},
    {"SysAbnrml", "deltaNHNT_11", "2A1400101", "其它故障告警", "系统异常告警"},
    {"UpsPwrLost", "deltaNHNT_12", "2A1400101", "其它故障告警", "UPS掉电"},
    {"ShttngDwn", "deltaNHNT_13", "2A1433701", "即将停机告警", "正在关机"},
    {"ShtdwnImmnnt", "deltaNHNT_14", "2A1433701", "即将停机告警", "即将停机告警"},
};
// clang-format on

class AlarmTable : public Round, public ::testing::WithParamInterface<std::size_t>
{
};

// Each row alone, active: its four texts byte for byte, sequence 1.
TEST_P(AlarmTable, RowPassesItsTextsExactly)
{
    const std::size_t row = GetParam();
    std::vector<std::uint8_t> flags(15, 255);
    flags[row] = 1;
    LoadRecord(WithFlags(flags));
    std::vector<const HostCall*> alarms;
    for (const HostCall& c : log().calls) {
        if (c.op == HostCall::Op::CheckThresholdBool) {
            alarms.push_back(&c);
        }
    }
    ASSERT_EQ(alarms.size(), 1U);
    const HostCall& c = *alarms[0];
    EXPECT_EQ(c.number, 1);
    EXPECT_EQ(c.key, kAlarmRows[row].key);
    EXPECT_EQ(c.alarm_id, kAlarmRows[row].id);
    EXPECT_EQ(c.name, kAlarmRows[row].alarm);
    EXPECT_EQ(c.description, kAlarmRows[row].description);
    EXPECT_TRUE(c.flag);
    EXPECT_EQ(c.sequence, 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, AlarmTable, ::testing::Range<std::size_t>(0, 15),
                         [](const ::testing::TestParamInfo<std::size_t>& row) {
                             return std::string(kAlarmRows[row.param].name);
                         });

struct NumberingCase {
    const char* name;
    std::vector<std::uint8_t> flags; // fifteen
    std::vector<std::string> keys;   // reported, in order
    std::vector<bool> active;
    unsigned short counter_after;
};

class AlarmNumbering : public Round, public ::testing::WithParamInterface<NumberingCase>
{
};

TEST_P(AlarmNumbering, SkippedRowsTakeNoNumber)
{
    const NumberingCase& c = GetParam();
    LoadRecord(WithFlags(c.flags));
    std::vector<std::string> keys;
    std::vector<bool> active;
    unsigned short expected_sequence = 1;
    for (const HostCall& call : log().calls) {
        if (call.op == HostCall::Op::CheckThresholdBool) {
            keys.push_back(call.key);
            active.push_back(call.flag);
            EXPECT_EQ(call.sequence, expected_sequence++) << call.key;
        }
    }
    EXPECT_EQ(keys, c.keys);
    EXPECT_EQ(active, c.active);
    EXPECT_EQ(dev().AlarmSequence(), c.counter_after);
}

std::vector<std::string> AllKeys()
{
    std::vector<std::string> keys;
    for (int i = 0; i < 15; ++i) {
        keys.push_back("deltaNHNT_" + std::to_string(i));
    }
    return keys;
}

const std::uint8_t N = 255; // not reported

// clang-format off
const NumberingCase kNumbering[] = {
    {"AllNotReported", std::vector<std::uint8_t>(15, N), {}, {}, 1},
    {"AllClear", std::vector<std::uint8_t>(15, 0), AllKeys(), std::vector<bool>(15, false), 16},
    {"AllActive", std::vector<std::uint8_t>(15, 1), AllKeys(), std::vector<bool>(15, true), 16},
    {"OnlyRowsThreeAndNine", {N, N, N, 1, N, N, N, N, N, 0, N, N, N, N, N},
     {"deltaNHNT_3", "deltaNHNT_9"}, {true, false}, 3},
    {"TwoIsInactiveNotSkipped", {2, N, N, N, N, N, N, N, N, N, N, N, N, N, 254},
     {"deltaNHNT_0", "deltaNHNT_14"}, {false, false}, 3},
    {"SharedIdentifierRows", {N, N, N, N, 1, N, 1, N, 1, N, N, 1, 1, N, N},
     {"deltaNHNT_4", "deltaNHNT_6", "deltaNHNT_8", "deltaNHNT_11", "deltaNHNT_12"},
     {true, true, true, true, true}, 6},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Sequences, AlarmNumbering, ::testing::ValuesIn(kNumbering), RowName());

TEST_F(Round, FlagsBeyondFourteenRaiseNothing)
{
    DeltanhntCmdsRply_t r = WithFlags(std::vector<std::uint8_t>(15, N));
    r.StaFlag15 = 1;
    r.StaFlag18 = 1;
    LoadRecord(r);
    EXPECT_TRUE(log().Lines(HostCall::Op::CheckThresholdBool).empty());
}

} // namespace

// Values served by signal name, and their three refusals.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <stdexcept>
#include <string>

#include "DeviceFixture.h"
#include "support/ParamNames.h"

namespace
{

using boost::posix_time::hours;
using boost::posix_time::ptime;
using boost::posix_time::second_clock;
using boost::posix_time::seconds;

class Values : public DeviceFixture
{
protected:
    // The refusal message, or "" when the name is answered.
    std::string Refusal(const std::string& name)
    {
        try {
            dev().Get_Value(0, name);
            return "";
        } catch (const std::out_of_range& e) {
            return e.what();
        }
    }
    // Sets the last round `age` seconds back and asks, retrying when the
    // clock ticked over during the question.
    std::string RefusalAtAge(long age, const std::string& name)
    {
        for (int attempt = 0; attempt < 10; ++attempt) {
            const ptime now = second_clock::local_time();
            dev().SetLastRoundTime(now - seconds(age));
            const std::string refusal = Refusal(name);
            if (second_clock::local_time() == now) {
                return refusal;
            }
        }
        ADD_FAILURE() << "the clock kept ticking";
        return "?";
    }
};

struct ServedCase {
    const char* name;
    std::size_t offset;
    bool integer;
};

// clang-format off
const ServedCase kServed[] = {
    {"RatInptVlt", 36, true}, {"RatOuptVlt", 44, true}, {"RatBttryVlt", 86, true},
    {"BattryVlt", 129, false}, {"InptVlt1", 154, false}, {"InptCrrent1", 158, false},
    {"InptVlt2", 170, false}, {"InptCrrent2", 174, false}, {"InptVlt3", 186, false},
    {"InptCrrent3", 190, false}, {"OutptVlt1", 204, false}, {"OutptCrrent1", 208, false},
    {"OutptVlt2", 220, false}, {"OutptCrrent2", 224, false}, {"OutptVlt3", 236, false},
    {"OutptCrrent3", 240, false},
};
// clang-format on

// Every served field gets a value of its own; each name must read its own.
DeltanhntCmdsRply_t DistinctValues()
{
    DeltanhntCmdsRply_t r{};
    auto* bytes = reinterpret_cast<std::uint8_t*>(&r);
    for (std::size_t i = 0; i < std::size(kServed); ++i) {
        if (kServed[i].integer) {
            const std::int32_t v = 200 + static_cast<std::int32_t>(i);
            std::memcpy(bytes + kServed[i].offset, &v, sizeof v);
        } else {
            const float v = 1.25F + static_cast<float>(i);
            std::memcpy(bytes + kServed[i].offset, &v, sizeof v);
        }
    }
    return r;
}

class ServedValue : public Values, public ::testing::WithParamInterface<ServedCase>
{
};

TEST_P(ServedValue, NameReadsItsOwnField)
{
    LoadRecord(DistinctValues());
    std::size_t i = 0;
    while (std::string(kServed[i].name) != GetParam().name) {
        ++i;
    }
    const float expected =
        GetParam().integer ? static_cast<float>(200 + i) : 1.25F + static_cast<float>(i);
    EXPECT_EQ(dev().Get_Value(0, GetParam().name), expected);
    EXPECT_EQ(dev().Get_Value(12345, GetParam().name), expected); // the channel is not used
}

INSTANTIATE_TEST_SUITE_P(Sixteen, ServedValue, ::testing::ValuesIn(kServed), RowName());

TEST_F(Values, FullCycleValuesComeFromTheReplies)
{
    testing::internal::CaptureStdout();
    RunHealthyCycle();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(dev().Get_Value(0, "RatInptVlt"), 220.0F);
    EXPECT_EQ(dev().Get_Value(0, "RatBttryVlt"), 240.0F);
    EXPECT_EQ(dev().Get_Value(0, "BattryVlt"), 271.2F);
    EXPECT_EQ(dev().Get_Value(0, "InptVlt1"), 220.5F);
    EXPECT_EQ(dev().Get_Value(0, "OutptCrrent3"), 11.4F);
}

TEST_F(Values, NegativeAndExtremeIntegersConvertToFloat)
{
    DeltanhntCmdsRply_t r{};
    r.RatInptVlt = -5;
    r.RatOuptVlt = 2147483647;
    LoadRecord(r);
    EXPECT_EQ(dev().Get_Value(0, "RatInptVlt"), -5.0F);
    EXPECT_EQ(dev().Get_Value(0, "RatOuptVlt"), 2147483648.0F);
    EXPECT_EQ(dev().Get_Value(0, "InptCrrent2"), 0.0F);
}

TEST_F(Values, UnservedNamesAreRefused)
{
    LoadRecord(DistinctValues());
    for (const char* name :
         {"ratinptvlt", "RATINPTVLT", "RatInptVlt ", " RatInptVlt", "BattryVlt\n", "InptFrq1",
          "OutptPwr1", "OutptLd1", "TmpFault", "UpsMnu", "RoundTime", "DataId", "RatValue1", "",
          "InptVlt4", "BattryVolt"}) {
        EXPECT_EQ(Refusal(name), "不支持变量") << '"' << name << '"';
    }
}

TEST_F(Values, DataIsFreshForSixtySeconds)
{
    LoadRecord(DistinctValues());
    EXPECT_EQ(RefusalAtAge(0, "BattryVlt"), "");
    EXPECT_EQ(RefusalAtAge(59, "BattryVlt"), "");
    EXPECT_EQ(RefusalAtAge(60, "BattryVlt"), "");
    EXPECT_EQ(RefusalAtAge(61, "BattryVlt"), "数据已超时");
    EXPECT_EQ(RefusalAtAge(3600, "BattryVlt"), "数据已超时");
    // Timing out is checked before the name.
    EXPECT_EQ(RefusalAtAge(61, "NoSuchName"), "数据已超时");
    EXPECT_EQ(RefusalAtAge(60, "NoSuchName"), "不支持变量");
}

TEST_F(Values, ClockSetBackCountsAsFresh)
{
    LoadRecord(DistinctValues());
    dev().SetLastRoundTime(second_clock::local_time() + hours(24 * 365 * 30));
    EXPECT_EQ(Refusal("RatInptVlt"), "");
}

TEST_F(Values, StampFarInThePastDoesNotWrapIntoFresh)
{
    LoadRecord(DistinctValues());
    // Seventy years: beyond what 32-bit seconds can hold.
    dev().SetLastRoundTime(second_clock::local_time() - hours(24 * 365 * 70));
    EXPECT_EQ(Refusal("RatInptVlt"), "数据已超时");
}

TEST_F(Values, AbandonedCyclesDoNotMakeDataReady)
{
    dev().RefreshStatus();
    Feed(Reply("ACME"));
    EXPECT_EQ(Refusal("RatInptVlt"), "数据未就绪");
    EXPECT_EQ(Refusal("NoSuchName"), "数据未就绪");
}

} // namespace

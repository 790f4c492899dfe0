// Reassembly of received chunks into replies, and the reply header checks.
#include <gtest/gtest.h>

#include "support/ParamNames.h"

#include <string>
#include <vector>

#include "DeviceFixture.h"

namespace
{

class Framing : public DeviceFixture
{
protected:
    // Waiting for the "MOD" reply after a good "MNU", so that every decoded
    // reply shows as one more frame sent.
    void SetUp() override
    {
        dev().RefreshStatus();
        log().Clear();
    }
    std::vector<std::string> Sent() const { return log().Frames(); }
    bool WasReset() const { return log().Count(HostCall::Op::Reset) > 0; }
};

// A reply split into two chunks at every position gives the same record as
// the reply in one chunk.
TEST_F(Framing, EveryReplySplitAtEveryPointDecodesAsWhole)
{
    // The reference: the whole cycle, one chunk per reply.
    RunHealthyCycle();
    const std::vector<std::uint8_t> expected = RecordBytes();
    const std::vector<std::string> replies = HealthyReplies();

    for (std::size_t r = 0; r < replies.size(); ++r) {
        for (std::size_t cut = 1; cut < replies[r].size(); ++cut) {
            dev().RefreshStatus();
            for (std::size_t i = 0; i < replies.size(); ++i) {
                if (i == r) {
                    ASSERT_EQ(Feed(replies[i].substr(0, cut)), 1) << r << '@' << cut;
                    Feed(replies[i].substr(cut));
                } else {
                    Feed(replies[i]);
                }
            }
            const std::vector<std::uint8_t> got = RecordBytes();
            // The time stamp differs between rounds; compare everything else.
            ASSERT_TRUE(std::equal(got.begin(), got.begin() + 331, expected.begin()))
                << "reply " << r << " cut at " << cut;
        }
    }
}

TEST_F(Framing, ReplyOneBytePerCallCompletesOnItsLastByte)
{
    const std::string reply = Reply("DELTA");
    for (std::size_t i = 0; i + 1 < reply.size(); ++i) {
        ASSERT_EQ(Feed(reply.substr(i, 1)), 1);
        ASSERT_TRUE(Sent().empty()) << "decoded early at byte " << i;
        ASSERT_EQ(dev().ReceivedCount(), i + 1);
    }
    EXPECT_EQ(Feed(reply.substr(reply.size() - 1)), 1);
    EXPECT_EQ(Sent(), std::vector<std::string>{"~00P003MOD"});
    EXPECT_EQ(dev().ReceivedCount(), 0U);
}

TEST_F(Framing, WholeCycleByteByByteGivesTheSameRecordAsWholeReplies)
{
    RunHealthyCycle();
    const std::vector<std::uint8_t> whole = RecordBytes();
    log().Clear();
    dev().RefreshStatus();
    for (const std::string& reply : HealthyReplies()) {
        for (char c : reply) {
            Feed(std::string(1, c));
        }
    }
    EXPECT_EQ(log().Lines(HostCall::Op::SendSP).size(), 1U);
    const std::vector<std::uint8_t> bytewise = RecordBytes();
    EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + 331, bytewise.begin()));
}

struct ChunkCase {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<int> results;        // process() result per chunk
    std::vector<std::string> frames; // frames sent
    bool reset;                      // Reset called
    unsigned int buffered;           // bytes buffered at the end
};

class FramingCases : public Framing, public ::testing::WithParamInterface<ChunkCase>
{
};

TEST_P(FramingCases, ChunksGiveTheExpectedReplies)
{
    const ChunkCase& c = GetParam();
    std::vector<int> results;
    for (const std::string& chunk : c.chunks) {
        results.push_back(Feed(chunk));
    }
    EXPECT_EQ(results, c.results);
    EXPECT_EQ(Sent(), c.frames);
    EXPECT_EQ(WasReset(), c.reset);
    EXPECT_EQ(dev().ReceivedCount(), c.buffered);
}

const std::vector<std::string> kMod = {"~00P003MOD"};
const std::vector<std::string> kNone = {};

// clang-format off
const ChunkCase kChunkCases[] = {
    {"GarbageBeforeStartIsDropped", {"xx\r\n\x7f~00D005DELTA"}, {1}, kMod, false, 0},
    {"ChunkWithoutStartIsDropped", {"noise only", "~00D005DELTA"}, {1, 1}, kMod, false, 0},
    {"GarbageAfterPartialReplyBelongsToIt", {"~00D005DE", "xxLTA"}, {1, 0}, kNone, true, 0},
    {"TrailerInSameChunkIsDropped", {"~00D005DELTA\r\n~00D"}, {1}, kMod, false, 0},
    {"TrailerInLaterChunkIsDropped", {"~00D005DELTA", "\r\nCRC"}, {1, 1}, kMod, false, 0},
    {"SecondReplyInSameChunkIsDropped", {"~00D005DELTA~00D003NH1"}, {1}, kMod, false, 0},
    {"WrongAddressFirstChar", {"~10D005DELTA"}, {0}, kNone, true, 0},
    {"WrongAddressSecondChar", {"~01D005DELTA"}, {0}, kNone, true, 0},
    {"WrongTypeQueryEcho", {"~00P003MNU"}, {0}, kNone, true, 0},
    {"WrongTypeLowerCase", {"~00d005DELTA"}, {0}, kNone, true, 0},
    {"HeaderCheckedAtSevenBytes", {"~01", "D005"}, {1, 0}, kNone, true, 0},
    {"SixBytesWait", {"~01D00"}, {1}, kNone, false, 6},
    {"LengthBlankLed", {"~00D 05DELTA"}, {1}, kMod, false, 0},
    {"LengthTwoBlanks", {"~00D  5DELTA"}, {1}, kMod, false, 0},
    {"LengthStopsAtNonDigit", {"~00D5;0DELTA"}, {1}, kMod, false, 0},
    {"LengthWithPlus", {"~00D+5;DELTA"}, {1}, kMod, false, 0},
    {"LengthLetters", {"~00DabcDELTA"}, {0}, kNone, true, 0},
    {"LengthBlanks", {"~00D   DELTA"}, {0}, kNone, true, 0},
    {"LengthSignOnly", {"~00D-  DELTA"}, {0}, kNone, true, 0},
    {"LengthNegativeIsBadHeader", {"~00D-05DELTA"}, {0}, kNone, true, 0},
    {"LengthMinusOneIsBadHeader", {"~00D-1;DELTA"}, {0}, kNone, true, 0},
    {"IncompletePayloadWaits", {"~00D005DEL"}, {1}, kNone, false, 10},
    // "000": complete with the header alone; "" fails the manufacturer check.
    {"EmptyPayloadCompletesAtSevenBytes", {"~00D000"}, {0}, kNone, true, 0},
    {"ZeroLengthChunkWhileEmpty", {""}, {1}, kNone, false, 0},
    {"ZeroLengthChunkMidReply", {"~00D005DE", "", "LTA"}, {1, 1, 1}, kMod, false, 0},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Chunks, FramingCases, ::testing::ValuesIn(kChunkCases), RowName());

TEST_F(Framing, ZeroLengthNullChunkChangesNothing)
{
    EXPECT_EQ(dev().process(nullptr, 0), 1);
    EXPECT_EQ(dev().ReceivedCount(), 0U);
    EXPECT_TRUE(log().calls.empty());
}

TEST_F(Framing, LengthBelowNineHundredNinetyNineIsReadExactly)
{
    // "MNU" reply of 999 bytes: "DELTA" then padding; completes only at 1006.
    const std::string payload = "DELTA" + std::string(994, 'x');
    const std::string reply = Reply(payload);
    ASSERT_EQ(reply.size(), 1006U);
    EXPECT_EQ(Feed(reply.substr(0, 1005)), 1);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(Feed(reply.substr(1005)), 1);
    EXPECT_EQ(Sent(), kMod);
    EXPECT_EQ(std::string(rec().UpsMnu, 16), "DELTAxxxxxxxxxxx");
}

// The reception buffer holds 4096 bytes: a chunk that would not fit behind
// the buffered bytes ends the exchange before anything is copied.
struct LimitCase {
    const char* name;
    const char* buffered; // what is buffered before the chunk
    unsigned int chunk;   // chunk length; the chunk continues "~00D999" + "9..."
    int result;
    bool reset;
};

class BufferLimit : public Framing, public ::testing::WithParamInterface<LimitCase>
{
};

TEST_P(BufferLimit, ChunkIsMeasuredAgainstTheRoomLeft)
{
    const LimitCase& c = GetParam();
    // No decoder in this state: a completed reply is dropped with result 1,
    // so an accepted chunk and a rejected one are told apart.
    dev().SetCommandState(0);
    Feed(c.buffered);
    ASSERT_EQ(dev().ReceivedCount(), std::string(c.buffered).size());
    const std::string buffered = c.buffered;
    std::string stream = "~00D999" + std::string(8192, '9');
    const std::string chunk = stream.substr(buffered.size(), c.chunk);
    EXPECT_EQ(Feed(chunk), c.result);
    EXPECT_EQ(WasReset(), c.reset);
    EXPECT_EQ(dev().ReceivedCount(), 0U);
}

// clang-format off
const LimitCase kLimitCases[] = {
    {"EmptyAccepts4096", "", 4096, 1, false},
    {"EmptyRejects4097", "", 4097, 0, true},
    {"SixBufferedAccepts4090", "~00D99", 4090, 1, false},
    {"SixBufferedRejects4091", "~00D99", 4091, 0, true},
    {"SevenBufferedAccepts4089", "~00D999", 4089, 1, false},
    {"SevenBufferedRejects4090", "~00D999", 4090, 0, true},
    {"OneBufferedAccepts4095", "~", 4095, 1, false},
    {"OneBufferedRejects4096", "~", 4096, 0, true},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Limits, BufferLimit, ::testing::ValuesIn(kLimitCases), RowName());

TEST_F(Framing, HugeChunkLengthCannotWrapTheRoomTest)
{
    Feed("~00D0");
    unsigned char byte = '0';
    // 5 + 0xFFFFFFFB wraps to 0 in 32-bit arithmetic; the chunk must still be
    // refused (and never read).
    EXPECT_EQ(dev().process(&byte, 0xFFFFFFFBU), 0);
    EXPECT_TRUE(WasReset());
    EXPECT_EQ(dev().process(&byte, 0xFFFFFFFFU), 0);
}

TEST_F(Framing, AfterBadHeaderNoLaterStartIsSearchedInTheSameBytes)
{
    // The good reply behind the bad header is not used: the host's Reset
    // empties the buffer and only the next chunk is hunted for "~".
    EXPECT_EQ(Feed("~01D005xxxxx~00D005DELTA"), 0);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(dev().CommandState(), 1);
    EXPECT_EQ(Feed("~00D005DELTA"), 1);
    EXPECT_EQ(Sent(), kMod);
}

TEST_F(Framing, ReplyInAStateWithoutDecoderIsDropped)
{
    for (int state : {0, 4, 10, 11, 12, 14, -1}) {
        dev().SetCommandState(state);
        EXPECT_EQ(Feed(Reply("DELTA")), 1) << state;
        EXPECT_EQ(dev().ReceivedCount(), 0U);
        EXPECT_EQ(dev().CommandState(), state);
    }
    EXPECT_TRUE(log().calls.empty());
}

TEST_F(Framing, RefreshDoesNotEmptyTheBuffer)
{
    Feed("~00D005DE");
    dev().RefreshStatus();
    EXPECT_EQ(dev().ReceivedCount(), 9U);
    EXPECT_EQ(Feed("LTA"), 1);
    EXPECT_EQ(Sent(), (std::vector<std::string>{"~00P003MNU", "~00P003MOD"}));
}

} // namespace

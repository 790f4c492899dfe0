// Reassembly of received chunks into replies, the reply header checks and
// the header's length field.
#include <gtest/gtest.h>

#include "support/ParamNames.h"

#include <cstdio>
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

// ---- replies in pieces ------------------------------------------------------

using Chunks = std::vector<std::string>;

// Runs one healthy cycle on `d`, reply r cut into the chunks cut(r, reply).
// Every chunk but a reply's last gives result 1 and sends nothing; the last
// sends the next query (result 1) or, for the last reply, completes the
// round (result 0).  Returns the reported record without its time stamp.
template <class Cut> std::vector<std::uint8_t> CycleRecord(TestDevice& d, Cut cut)
{
    d.log().Clear();
    d.dev().RefreshStatus();
    const std::vector<std::string>& replies = HealthyReplies();
    for (std::size_t r = 0; r < replies.size(); ++r) {
        const Chunks chunks = cut(r, replies[r]);
        for (std::size_t c = 0; c < chunks.size(); ++c) {
            const std::size_t frames_before = d.log().Frames().size();
            const int result = d.Feed(chunks[c]);
            const bool last = c + 1 == chunks.size();
            const bool cycle_done = r + 1 == replies.size();
            EXPECT_EQ(result, last && cycle_done ? 0 : 1) << "reply " << r << " chunk " << c;
            const std::size_t expect_frames = frames_before + (last && !cycle_done ? 1 : 0);
            EXPECT_EQ(d.log().Frames().size(), expect_frames) << "reply " << r << " chunk " << c;
        }
    }
    EXPECT_EQ(d.log().Frames(), CycleFrames());
    EXPECT_EQ(d.log().Count(HostCall::Op::SendSP), 1U) << "one report per cycle";
    std::vector<std::uint8_t> record = d.log().FirstRecord();
    EXPECT_EQ(record.size(), 338U);
    EXPECT_EQ(record, d.RecordBytes()) << "the reported record is the device's";
    record.resize(record.size() >= kRoundTimeOffset ? kRoundTimeOffset : 0);
    return record;
}

Chunks Whole(std::size_t /*index*/, const std::string& reply)
{
    return {reply};
}

Chunks Bytewise(std::size_t /*index*/, const std::string& reply)
{
    Chunks chunks;
    for (const char c : reply) {
        chunks.emplace_back(1, c);
    }
    return chunks;
}

// One reply at a time split into two chunks at every position, the others
// whole, cycle after cycle on one device: each gives the record of whole
// replies.
TEST_F(Framing, EveryReplySplitAtEveryPointDecodesAsWhole)
{
    const std::vector<std::uint8_t> expected = CycleRecord(*this, Whole);
    const std::vector<std::string>& replies = HealthyReplies();
    for (std::size_t r = 0; r < replies.size(); ++r) {
        for (std::size_t cut = 1; cut < replies[r].size(); ++cut) {
            const auto split_one = [r, cut](std::size_t index, const std::string& reply) {
                return index == r ? Chunks{reply.substr(0, cut), reply.substr(cut)} : Chunks{reply};
            };
            const std::vector<std::uint8_t> got = CycleRecord(*this, split_one);
            ASSERT_EQ(got, expected) << "reply " << r << " cut at " << cut;
            ASSERT_FALSE(HasFailure()) << "reply " << r << " cut at " << cut;
        }
    }
}

// Every reply split in two at the same byte, each cycle on a new device.
TEST(Split, EveryReplyInTwoAtEveryByte)
{
    TestDevice reference(BuiltPlugin().Create());
    const std::vector<std::uint8_t> whole = CycleRecord(reference, Whole);
    std::size_t longest = 0;
    for (const std::string& r : HealthyReplies()) {
        longest = r.size() > longest ? r.size() : longest;
    }
    for (std::size_t at = 1; at < longest; ++at) {
        TestDevice d(BuiltPlugin().Create());
        const std::vector<std::uint8_t> split =
            CycleRecord(d, [at](std::size_t /*index*/, const std::string& r) {
                return at >= r.size() ? Chunks{r} : Chunks{r.substr(0, at), r.substr(at)};
            });
        ASSERT_EQ(split, whole) << "split at " << at;
        ASSERT_FALSE(HasFailure()) << "split at " << at;
    }
}

// Every reply in three chunks around every pair of bytes of its header.
TEST(Split, EveryReplyInThreeAroundItsHeader)
{
    TestDevice reference(BuiltPlugin().Create());
    const std::vector<std::uint8_t> whole = CycleRecord(reference, Whole);
    for (std::size_t a = 1; a <= 7; ++a) {
        for (std::size_t b = a + 1; b <= 9; ++b) {
            TestDevice d(BuiltPlugin().Create());
            const std::vector<std::uint8_t> split =
                CycleRecord(d, [a, b](std::size_t /*index*/, const std::string& r) {
                    return Chunks{r.substr(0, a), r.substr(a, b - a), r.substr(b)};
                });
            ASSERT_EQ(split, whole) << "split at " << a << " and " << b;
            ASSERT_FALSE(HasFailure()) << "split at " << a << " and " << b;
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

// A whole cycle one byte per call, after a cycle of whole replies on the
// same device.
TEST_F(Framing, WholeCycleByteByByteGivesTheSameRecordAsWholeReplies)
{
    const std::vector<std::uint8_t> whole = CycleRecord(*this, Whole);
    const std::vector<std::uint8_t> bytewise = CycleRecord(*this, Bytewise);
    EXPECT_EQ(bytewise, whole);
}

// ---- chunk by chunk ---------------------------------------------------------

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

// ---- the length field -------------------------------------------------------
//
// The three length characters of a reply header, every one of "000" to "999"
// and the shapes a noisy line produces: each header ends, within the call
// that completes it, either in a reply that completes after exactly that
// many payload bytes or in a rejection (Reset, result 0).  The sanitizer
// build runs the same cases with bounds checking.

// The model reply is awaited: it takes any payload and is followed by RAT.
constexpr int kStateMOD = 2;
const std::vector<std::string> kRatFrame = {"~00P003RAT"};

// The header and all of its payload but the last byte in one chunk, then the
// last byte with the start of another reply: the reply completes on exactly
// its last payload byte.
void ExpectCompletesAfter(const std::string& length_field, int length)
{
    SCOPED_TRACE("length field \"" + length_field + "\", in pieces");
    TestDevice d(BuiltPlugin().Create());
    d.dev().SetCommandState(kStateMOD);
    const std::string payload(static_cast<std::size_t>(length), 'x');

    if (length > 0) {
        EXPECT_EQ(d.Feed("~00D" + length_field + payload.substr(1)), 1);
        EXPECT_TRUE(d.log().calls.empty());
        EXPECT_EQ(d.dev().ReceivedCount(), 6U + static_cast<unsigned>(length));
        EXPECT_EQ(d.Feed(payload.substr(0, 1) + "~00D"), 1);
    } else {
        // Complete with the header; a "~" in the same chunk goes with it.
        EXPECT_EQ(d.Feed("~00D" + length_field + "~00D"), 1);
    }
    EXPECT_EQ(d.log().Frames(), kRatFrame);
    EXPECT_EQ(d.dev().ReceivedCount(), 0U);
}

// The whole reply in one chunk, its payload all "~": it completes in that
// call, and no "~" inside it starts another reply.
void ExpectCompletesInOneChunk(const std::string& length_field, int length)
{
    SCOPED_TRACE("length field \"" + length_field + "\", in one chunk");
    TestDevice d(BuiltPlugin().Create());
    d.dev().SetCommandState(kStateMOD);
    EXPECT_EQ(d.Feed("~00D" + length_field + std::string(static_cast<std::size_t>(length), '~')),
              1);
    EXPECT_EQ(d.log().Lines(), std::vector<std::string>{"SendData ~00P003RAT state=3"});
    EXPECT_EQ(d.dev().ReceivedCount(), 0U);
}

void ExpectRejected(const std::string& length_field)
{
    SCOPED_TRACE("length field \"" + length_field + "\"");
    TestDevice d(BuiltPlugin().Create());
    d.dev().SetCommandState(kStateMOD);
    EXPECT_EQ(d.Feed("~00D" + length_field + "DELTA"), 0);
    EXPECT_EQ(d.log().Lines(), std::vector<std::string>{"Reset"});
    EXPECT_EQ(d.dev().ReceivedCount(), 0U);
}

std::string ThreeDigits(int length)
{
    char field[8];
    std::snprintf(field, sizeof field, "%03d", length);
    return field;
}

TEST(LengthField, EveryThreeDigitLengthCompletesAfterExactlyThatManyBytes)
{
    for (int length = 0; length <= 999 && !HasFailure(); ++length) {
        ExpectCompletesAfter(ThreeDigits(length), length);
    }
}

TEST(LengthField, EveryThreeDigitLengthInOneChunkCompletesInThatCall)
{
    for (int length = 0; length <= 999 && !HasFailure(); ++length) {
        ExpectCompletesInOneChunk(ThreeDigits(length), length);
    }
}

constexpr int kRejected = -1;

struct LengthCase {
    const char* name;
    std::string field;
    int length; // the payload length it announces, or kRejected
};

class LengthShapes : public ::testing::TestWithParam<LengthCase>
{
};

TEST_P(LengthShapes, ReadAsTheirLengthOrRejected)
{
    const LengthCase& c = GetParam();
    if (c.length == kRejected) {
        ExpectRejected(c.field);
    } else {
        ExpectCompletesAfter(c.field, c.length);
        ExpectCompletesInOneChunk(c.field, c.length);
    }
}

// Leading white space and a sign are skipped, the digits read up to the
// first character that is none; no digit at all, or a negative value, is a
// bad header.
// clang-format off
const LengthCase kLengthShapes[] = {
    {"BlankLed", " 05", 5},
    {"TwoBlanks", "  5", 5},
    {"StopsAtNonDigit", "5;0", 5},
    {"WithPlus", "+5;", 5},
    {"BlankThenTwelve", " 12", 12},
    {"TwelveThenSemicolon", "12;", 12},
    {"BlankEndsTheNumber", "1 2", 1},
    {"PlusTwelve", "+12", 12},
    {"TwoBlanksThenSeven", "  7", 7},
    {"TabAndNewLineSkipped", "\t\n7", 7},
    {"VerticalTabAndFormFeedSkipped", "\v\f7", 7},
    {"HexPrefixReadsZero", "0x1", 0},
    {"ExponentStops", "1e2", 1},
    {"ZeroZeroSemicolon", "00;", 0},
    {"MinusZero", "-00", 0},
    {"PlusZero", "+00", 0},
    {"BlankThenPlus", " +5", 5},
    {"NineBlankNine", "9 9", 9},
    {"LineEndAfterTheDigit", "5\r\n", 5},
    {"SemicolonsAfterTheDigit", "7;;", 7},
    {"LetterAfterTheDigits", "08A", 8},
    {"LeadingZero", "099", 99},
    {"StartCharacterEndsTheNumber", "1~0", 1},
    {"FrameTypeLetterEndsTheNumber", "3D0", 3},
    {"Letters", "abc", kRejected},
    {"Blanks", "   ", kRejected},
    {"SignOnly", "-  ", kRejected},
    {"NegativeIsBadHeader", "-05", kRejected},
    {"MinusOneIsBadHeader", "-1;", kRejected},
    {"SemicolonFirst", ";12", kRejected},
    {"PlusMinus", "+-1", kRejected},
    {"TwoMinus", "--1", kRejected},
    {"MinusBlank", "- 1", kRejected},
    {"PlusBlank", "+ 1", kRejected},
    {"BlankMinusOne", " -1", kRejected},
    {"MinusZeroOne", "-01", kRejected},
    {"MinusNinetyNine", "-99", kRejected},
    {"MinusNineSemicolon", "-9;", kRejected},
    {"AnotherHeader", "~00", kRejected},
    {"UpperCaseLetters", "DEL", kRejected},
    {"LineEnds", "\r\n\r", kRejected},
    {"LetterFirst", "x12", kRejected},
    {"Semicolons", ";;;", kRejected},
    {"Pluses", "+++", kRejected},
    {"ZeroByteFirst", std::string("\0" "12", 3), kRejected},
    {"HighBytes", "\xB3\xB2\xB1", kRejected},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Shapes, LengthShapes, ::testing::ValuesIn(kLengthShapes), RowName());

} // namespace

// A healthy cycle with every reply split in two at every byte, and in three
// around every pair of bytes of its header: the device decodes each reply
// exactly once, on the call that delivers its last byte, and reports the
// same record as with whole replies.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ReliabilityDevice.h"

namespace
{

// Runs one cycle, each reply cut by `cut` into chunks; returns the reported
// record without its time stamp (the last seven bytes).
template <class Cut> std::vector<std::uint8_t> CycleRecord(Cut cut)
{
    ReliabilityDevice d;
    d.device().RefreshStatus();
    const std::vector<std::string> replies = HealthyReplies();
    for (std::size_t r = 0; r < replies.size(); ++r) {
        const std::vector<std::string> chunks = cut(replies[r]);
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
    std::vector<std::uint8_t> record;
    for (const HostCall& call : d.log().calls) {
        if (call.op == HostCall::Op::SendSP) {
            EXPECT_TRUE(record.empty()) << "one report per cycle";
            record = call.bytes;
        }
    }
    EXPECT_EQ(record.size(), 338U);
    record.resize(record.size() >= 7 ? record.size() - 7 : 0);
    return record;
}

} // namespace

TEST(Split, EveryReplyInTwoAtEveryByte)
{
    const std::vector<std::uint8_t> whole =
        CycleRecord([](const std::string& r) { return std::vector<std::string>{r}; });
    std::size_t longest = 0;
    for (const std::string& r : HealthyReplies()) {
        longest = r.size() > longest ? r.size() : longest;
    }
    for (std::size_t at = 1; at < longest; ++at) {
        const std::vector<std::uint8_t> split = CycleRecord([at](const std::string& r) {
            if (at >= r.size()) {
                return std::vector<std::string>{r};
            }
            return std::vector<std::string>{r.substr(0, at), r.substr(at)};
        });
        ASSERT_EQ(split, whole) << "split at " << at;
    }
}

TEST(Split, EveryReplyInThreeAroundItsHeader)
{
    const std::vector<std::uint8_t> whole =
        CycleRecord([](const std::string& r) { return std::vector<std::string>{r}; });
    for (std::size_t a = 1; a <= 7; ++a) {
        for (std::size_t b = a + 1; b <= 9; ++b) {
            const std::vector<std::uint8_t> split = CycleRecord([a, b](const std::string& r) {
                return std::vector<std::string>{r.substr(0, a), r.substr(a, b - a), r.substr(b)};
            });
            ASSERT_EQ(split, whole) << "split at " << a << " and " << b;
        }
    }
}

TEST(Split, ByteByByte)
{
    const std::vector<std::uint8_t> whole =
        CycleRecord([](const std::string& r) { return std::vector<std::string>{r}; });
    const std::vector<std::uint8_t> bytes = CycleRecord([](const std::string& r) {
        std::vector<std::string> chunks;
        for (const char c : r) {
            chunks.emplace_back(1, c);
        }
        return chunks;
    });
    EXPECT_EQ(bytes, whole);
}

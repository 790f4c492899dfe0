// Fuzz target: reply reassembly and decoding over many poll cycles.
//
// Input layout:
//   byte 0      n = byte % 32 + 1, the number of chunk sizes
//   byte 1      m = byte % 64, the number of RefreshStatus calls
//   n bytes     chunk sizes: chunk i is (size[i % n] & 0x3F) + 1 bytes long
//               (1 to 64; the last chunk takes what is left)
//   2m bytes    where the RefreshStatus calls fall: m 16-bit little-endian
//               steps; call k comes before chunk step[0] + ... + step[k]
//   the rest    the byte stream the UPS sends
//
// Checked on every input:
//  1. Chunk by chunk the device agrees with FramingModel: the buffered byte
//     count (never above 4096), the result of process(), and Reset as the
//     only host call of a rejected or overflowing chunk.
//  2. The same stream fed again to a second device, this time merging every
//     run of chunks whose boundaries the framing rules ignore (within one
//     reply being assembled, or before its "~"), gives exactly the same host
//     calls (frames, records, alarms) and the same final record.  The
//     boundaries the rules do depend on stay where they were: after a
//     complete, rejected or overflowing chunk, and where RefreshStatus is
//     called.
//  3. Whatever the stream did, a healthy cycle afterwards completes: after
//     the host's stall handling (Reset when a reply is left half-assembled),
//     RefreshStatus and nine healthy replies give exactly the host calls of
//     a fresh device's first cycle, with exactly one SendSP, and the same
//     record.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/CallLog.h"
#include "support/FramingModel.h"
#include "support/FuzzCheck.h"
#include "support/LinkedDevice.h"
#include "support/Replies.h"
#include "support/TestDevice.h"

namespace
{

struct Chunk {
    std::size_t offset;
    std::size_t length;
    bool refresh_before;
};

std::vector<Chunk> Schedule(const std::uint8_t* sizes, std::size_t n, const std::uint8_t* refreshes,
                            std::size_t m, std::size_t stream_size)
{
    std::vector<Chunk> chunks;
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < stream_size; ++i) {
        const std::size_t want = (sizes[i % n] & 0x3FU) + 1U;
        const std::size_t length = want < stream_size - offset ? want : stream_size - offset;
        chunks.push_back(Chunk{offset, length, false});
        offset += length;
    }
    std::size_t at = 0;
    for (std::size_t k = 0; k < m; ++k) {
        at += static_cast<std::size_t>(refreshes[2 * k]) |
              static_cast<std::size_t>(refreshes[2 * k + 1]) << 8U;
        if (at < chunks.size()) {
            chunks[at].refresh_before = true;
        }
    }
    return chunks;
}

// Hands `length` bytes to process() at the very end of a heap buffer, so
// that AddressSanitizer sees any read past the chunk.
int FeedExact(HalxSPDevice& device, const std::uint8_t* data, std::size_t length)
{
    constexpr std::size_t kRoom = 4096 + 64; // the largest group of the merged run
    FUZZ_CHECK(length <= kRoom, "chunk of " + std::to_string(length) + " bytes");
    static std::unique_ptr<unsigned char[]> buffer(new unsigned char[kRoom]);
    unsigned char* const chunk = buffer.get() + (kRoom - length);
    std::memcpy(chunk, data, length);
    return device.process(chunk, static_cast<unsigned int>(length));
}

std::string ChunkText(std::size_t index, const Chunk& chunk, FramingModel::Outcome outcome)
{
    return "chunk " + std::to_string(index) + " at offset " + std::to_string(chunk.offset) + ", " +
           std::to_string(chunk.length) + " bytes, model: " + OutcomeName(outcome);
}

struct Reference {
    std::vector<HostCall> calls;
    DeltanhntCmdsRply_t record;
};

// A fresh device's first healthy cycle.
const Reference& HealthyReference()
{
    static const Reference reference = [] {
        TestDevice fresh(LinkedDevice());
        fresh.RunHealthyCycle();
        return Reference{fresh.log().calls, fresh.rec()};
    }();
    return reference;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool silenced = (RedirectDiagnostics(nullptr), true);
    static_cast<void>(silenced);
    const Reference& reference = HealthyReference();

    if (size < 2) {
        return 0;
    }
    const std::size_t n = data[0] % 32U + 1U;
    const std::size_t m = data[1] % 64U;
    const std::size_t header = 2 + n + 2 * m;
    if (size < header) {
        return 0;
    }
    const std::uint8_t* const stream = data + header;
    const std::size_t stream_size = size - header;
    const std::vector<Chunk> chunks = Schedule(data + 2, n, data + 2 + n, m, stream_size);

    // Run 1: chunk by chunk, against the model.
    TestDevice chunked(LinkedDevice());
    FramingModel model;
    std::vector<bool> boundary_after(chunks.size(), false);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const Chunk& chunk = chunks[i];
        if (chunk.refresh_before) {
            chunked.dev().RefreshStatus();
        }
        const std::size_t calls_before = chunked.log().calls.size();
        const FramingModel::Outcome outcome = model.Feed(stream + chunk.offset, chunk.length);
        const int result = FeedExact(chunked.dev(), stream + chunk.offset, chunk.length);
        const unsigned int count = chunked.dev().ReceivedCount();
        const std::size_t new_calls = chunked.log().calls.size() - calls_before;

        FUZZ_CHECK(count <= 4096U, ChunkText(i, chunk, outcome));
        FUZZ_CHECK(count == model.count(), ChunkText(i, chunk, outcome) + ": device holds " +
                                               std::to_string(count) + " bytes, model " +
                                               std::to_string(model.count()));
        switch (outcome) {
        case FramingModel::Outcome::Dropped:
        case FramingModel::Outcome::Pending:
            FUZZ_CHECK(result == 1 && new_calls == 0, ChunkText(i, chunk, outcome));
            break;
        case FramingModel::Outcome::Rejected:
        case FramingModel::Outcome::Overflow:
            FUZZ_CHECK(result == 0 && new_calls == 1 &&
                           chunked.log().calls.back().op == HostCall::Op::Reset,
                       ChunkText(i, chunk, outcome));
            boundary_after[i] = true;
            break;
        case FramingModel::Outcome::Complete:
            FUZZ_CHECK(result == 0 || result == 1, ChunkText(i, chunk, outcome));
            boundary_after[i] = true;
            break;
        }
    }

    // Run 2: the same stream, merged wherever the chunk boundary is
    // immaterial.  A group never grows past the room left in the buffer when
    // it starts, so that merging cannot turn fitting chunks into an overflow.
    TestDevice merged(LinkedDevice());
    std::size_t group_begin = 0;
    std::size_t group_length = 0;
    const auto flush = [&] {
        if (group_length > 0) {
            FeedExact(merged.dev(), stream + group_begin, group_length);
            FUZZ_CHECK(merged.dev().ReceivedCount() <= 4096U,
                       "merged group at offset " + std::to_string(group_begin));
        }
        group_length = 0;
    };
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const Chunk& chunk = chunks[i];
        const bool starts_group =
            i == 0 || chunk.refresh_before || boundary_after[i - 1] ||
            merged.dev().ReceivedCount() + group_length + chunk.length > 4096U;
        if (starts_group) {
            flush();
            group_begin = chunk.offset;
            if (chunk.refresh_before) {
                merged.dev().RefreshStatus();
            }
        }
        group_length += chunk.length;
    }
    flush();

    const std::string difference = CompareCalls(chunked.log().calls, merged.log().calls);
    FUZZ_CHECK(difference.empty(), "chunked and merged feeding differ: " + difference);
    FUZZ_CHECK(chunked.SameRecord(merged.rec()),
               "chunked and merged feeding leave different records");
    FUZZ_CHECK(chunked.dev().CommandState() == merged.dev().CommandState(),
               "chunked and merged feeding leave different command states");
    FUZZ_CHECK(chunked.dev().ReceivedCount() == merged.dev().ReceivedCount(),
               "chunked and merged feeding leave different byte counts");

    // Recovery: the line goes quiet, the host ends a half-assembled reply
    // and polls again.
    if (chunked.dev().ReceivedCount() != 0) {
        chunked.dev().Reset();
    }
    chunked.log().Clear();
    chunked.dev().RefreshStatus();
    const std::vector<std::string>& healthy = HealthyReplies();
    for (std::size_t i = 0; i < healthy.size(); ++i) {
        const int result = chunked.Feed(healthy[i]);
        FUZZ_CHECK(result == (i + 1 == healthy.size() ? 0 : 1),
                   "healthy reply " + std::to_string(i) + " after the stream");
    }
    FUZZ_CHECK(chunked.log().Count(HostCall::Op::SendSP) == 1,
               "a healthy cycle after the stream reports once");
    const std::string recovery = CompareCalls(reference.calls, chunked.log().calls);
    FUZZ_CHECK(recovery.empty(), "healthy cycle after the stream: " + recovery);
    FUZZ_CHECK(chunked.SameRecord(reference.record),
               "healthy cycle after the stream leaves a different record");
    return 0;
}

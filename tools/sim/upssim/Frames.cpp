#include "upssim/Frames.h"

#include <cstdio>

#include "protocol/FrameLayout.h"

namespace upssim
{

namespace
{

constexpr std::size_t kHeader = kFrameHeaderSize;
// Longer command fields than this are not queries of this protocol.
constexpr std::size_t kMaxLetters = 16;

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsCodeLetter(char c)
{
    return c >= 'A' && c <= 'Z';
}

} // namespace

void QueryScanner::Feed(const char* data, std::size_t length, std::vector<Query>& out)
{
    pending_.append(data, length);
    for (;;) {
        const std::size_t start = pending_.find(kFrameStart);
        if (start == std::string::npos) {
            skipped_ += pending_.size();
            pending_.clear();
            return;
        }
        skipped_ += start;
        pending_.erase(0, start);

        // A "~" after the start opens a new frame: whatever came before it
        // was not a query.
        const std::size_t restart = pending_.find(kFrameStart, 1);
        const std::size_t known = restart == std::string::npos ? pending_.size() : restart;
        bool bad = false;
        if (known > 3 && pending_[3] != kQueryType) {
            bad = true;
        }
        for (std::size_t i = 4; i < kHeader && i < known; ++i) {
            bad = bad || !IsDigit(pending_[i]);
        }
        std::size_t letters = 0;
        if (!bad && known >= kHeader) {
            letters = static_cast<std::size_t>(std::stoul(pending_.substr(4, 3)));
            bad = letters == 0 || letters > kMaxLetters;
        }
        for (std::size_t i = kHeader; !bad && i < kHeader + letters && i < known; ++i) {
            bad = !IsCodeLetter(pending_[i]);
        }
        if (bad) {
            skipped_ += 1;
            pending_.erase(0, 1);
            continue;
        }
        if (known < kHeader || known < kHeader + letters) {
            if (restart != std::string::npos) {
                // Broken off by the next frame.
                skipped_ += restart;
                pending_.erase(0, restart);
                continue;
            }
            return; // wait for more bytes
        }
        Query query;
        query.frame = pending_.substr(0, kHeader + letters);
        query.address = pending_.substr(1, 2);
        query.code = pending_.substr(kHeader, letters);
        pending_.erase(0, kHeader + letters);
        out.push_back(std::move(query));
    }
}

std::size_t QueryScanner::TakeSkipped()
{
    const std::size_t skipped = skipped_;
    skipped_ = 0;
    return skipped;
}

std::string ReplyFrame(const std::string& address, const std::string& payload)
{
    char length[16];
    std::snprintf(length, sizeof length, "%03zu", payload.size());
    return kFrameStart + address + kReplyType + length + payload;
}

} // namespace upssim

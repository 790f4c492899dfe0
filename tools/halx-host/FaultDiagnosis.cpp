#include "FaultDiagnosis.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <sstream>

#include "common/Format.h"
#include "halx/HalxSPDevice.h"
#include "protocol/FrameLayout.h"
#include "protocol/PollSequence.h"

namespace halxhost
{

namespace
{

constexpr std::size_t kBuffer = HalxSPDevice::RECV_BUF_SIZE;
// The reply address the plug-in's settings give it.
const std::string kReplyAddress = "00";
const std::string kReplyStart = std::string(1, kFrameStart) + kReplyAddress + kReplyType;

bool AllPrintable(const std::string& bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// The length characters read as the plug-in reads them: white space, a
// sign, then digits up to the first other character; nullopt without a
// digit.
std::optional<long> LengthOf(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) {
        ++i;
    }
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        ++i;
    }
    long value = 0;
    bool digits = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        digits = true;
    }
    if (!digits) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

// At most `limit` bytes, printable, "..." when there were more.
std::string Shown(const std::string& bytes, std::size_t limit = 24)
{
    return tools::Printable(bytes.substr(0, limit)) + (bytes.size() > limit ? "..." : "");
}

std::string Seconds(double s)
{
    std::ostringstream text;
    text << s;
    return text.str();
}

Verdict Make(Fault fault, const ReplyWindow& window, std::string text, std::string label)
{
    Verdict verdict;
    verdict.fault = fault;
    verdict.query = window.query;
    verdict.text = std::move(text);
    verdict.label = std::move(label);
    return verdict;
}

const char* const kNoiseLabel = "noise before the reply";
const char* const kHeaderLabel = "bad header or length";

} // namespace

const char* FaultName(Fault fault)
{
    switch (fault) {
    case Fault::NoReply:
        return "no_reply";
    case Fault::Unanswered:
        return "unanswered";
    case Fault::WrongAddress:
        return "wrong_address";
    case Fault::BadHeader:
        return "bad_header";
    case Fault::WrongManufacturer:
        return "wrong_manufacturer";
    case Fault::CutShort:
        return "cut_short";
    case Fault::Noise:
        return "noise";
    case Fault::PortLost:
        return "port_lost";
    }
    return "?";
}

Verdict DiagnoseReset(const ReplyWindow& window, const std::string& buffered,
                      const std::string& chunk, int awaited)
{
    const std::size_t first_start = chunk.find(kFrameStart);
    // The frame the plug-in was assembling: what it had, and the chunk; or,
    // with nothing buffered, the chunk from its first "~".
    std::string frame = buffered;
    if (buffered.empty() && first_start != std::string::npos) {
        frame = chunk.substr(first_start);
    } else if (!buffered.empty()) {
        frame += chunk;
    }

    // Three length characters announce at most 999 bytes: what overflows
    // the plug-in's buffer is noise (with a "~" early in it).
    if (buffered.size() + chunk.size() > kBuffer) {
        return Make(Fault::Noise, window,
                    "noise before the reply: " + std::to_string(window.received.size()) +
                        " bytes came for the " + window.query + " reply, more than the plug-in's " +
                        std::to_string(kBuffer) + "-byte buffer holds",
                    kNoiseLabel);
    }
    if (frame.size() < kFrameHeaderSize) {
        return Make(Fault::BadHeader, window,
                    "the plug-in gave up on the " + window.query + " reply (" + Shown(frame) + ")",
                    kHeaderLabel);
    }

    // Where the frame began among the bytes of the window.
    const std::size_t tail = buffered.empty() ? chunk.size() - first_start : frame.size();
    const std::size_t start =
        window.received.size() >= tail ? window.received.size() - tail : std::size_t{0};
    const std::string header = frame.substr(0, kFrameHeaderSize);
    const std::string address = header.substr(1, 2);
    const char type = header[3];
    const std::optional<long> length = LengthOf(header.substr(4, 3));

    // A header of random bytes, or a true reply start behind the one the
    // plug-in took: a "~" among noise began a false frame.
    if (!AllPrintable(header) ||
        window.received.find(kReplyStart, start + 1) != std::string::npos) {
        return Make(Fault::Noise, window,
                    "noise before the reply: a \"~\" among the noise began a false frame (" +
                        Shown(header) + ")",
                    kNoiseLabel);
    }
    if (address != kReplyAddress && type == kReplyType && length) {
        return Make(Fault::WrongAddress, window,
                    "reply with the wrong address: " + Shown(frame) + " (address " + address +
                        ", expected " + kReplyAddress + ")",
                    "wrong address");
    }
    if (address != kReplyAddress || type != kReplyType || !length || *length < 0) {
        std::string why = "type " + std::string(1, type) + ", expected " + kReplyType;
        if (address != kReplyAddress) {
            why = "address " + address + ", expected " + kReplyAddress;
        } else if (type == kReplyType) {
            why = "length \"" + header.substr(4, 3) + "\" is not a payload length";
        }
        return Make(Fault::BadHeader, window,
                    "reply with a bad header or length: " + Shown(frame) + " (" + why + ")",
                    kHeaderLabel);
    }
    const std::size_t complete = kFrameHeaderSize + static_cast<std::size_t>(*length);
    if (awaited == STATE_MNU && frame.size() >= complete) {
        return Make(Fault::WrongManufacturer, window,
                    "manufacturer text not DELTA (got \"" +
                        Shown(frame.substr(kFrameHeaderSize, *length), 32) + "\")",
                    "manufacturer not DELTA");
    }
    return Make(Fault::BadHeader, window,
                "the plug-in gave up on the " + window.query + " reply (" + Shown(frame) + ")",
                kHeaderLabel);
}

Verdict DiagnoseStall(const ReplyWindow& window, const std::string& buffered, double silence_s)
{
    const std::string& q = window.query;
    if (!buffered.empty()) {
        if (buffered.size() < kFrameHeaderSize) {
            const std::size_t n = std::min(buffered.size(), kReplyStart.size());
            if (AllPrintable(buffered) && buffered.compare(0, n, kReplyStart, 0, n) == 0) {
                return Make(Fault::CutShort, window,
                            "reply cut short: " + std::to_string(buffered.size()) +
                                " bytes of the " + q + " reply's header came (" + Shown(buffered) +
                                ")",
                            "reply cut short (" + q + ")");
            }
            return Make(Fault::Noise, window,
                        "noise before the reply: a \"~\" in the noise began a false frame (" +
                            Shown(buffered) + ") and no reply followed",
                        kNoiseLabel);
        }
        const std::optional<long> length = LengthOf(buffered.substr(4, 3));
        return Make(Fault::CutShort, window,
                    "reply cut short: the " + q + " reply announced " +
                        std::to_string(length.value_or(0)) + " payload bytes, " +
                        std::to_string(buffered.size() - kFrameHeaderSize) + " came",
                    "reply cut short (" + q + ")");
    }
    if (window.received.empty()) {
        if (window.first_of_cycle) {
            return Make(Fault::NoReply, window,
                        "no reply at all to " + q + " within " + Seconds(silence_s) + " s",
                        "no reply at all");
        }
        return Make(Fault::Unanswered, window,
                    q + " query unanswered for " + Seconds(silence_s) +
                        " s (the replies before it came)",
                    q + " query unanswered");
    }
    return Make(Fault::Noise, window,
                "no reply to " + q + " within " + Seconds(silence_s) + " s, only " +
                    std::to_string(window.received.size()) + " bytes of noise",
                "noise instead of a reply");
}

Verdict PortLostVerdict(const ReplyWindow& window, const std::string& message)
{
    return Make(Fault::PortLost, window,
                "port lost while awaiting the " + window.query + " reply: " + message, "port lost");
}

} // namespace halxhost

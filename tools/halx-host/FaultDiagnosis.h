// Why a poll cycle failed, told from what the host saw on the line: the bytes
// that came after the query, what the plug-in had buffered of its reply, and
// how the cycle ended (the plug-in's own Reset, or the host's after a
// silence).  Decisions only: no line, no clock.
#pragma once

#include <string>

namespace halxhost
{

enum class Fault {
    NoReply,           // nothing at all came after the first query of the cycle
    Unanswered,        // earlier replies of the cycle came, this query got none
    WrongAddress,      // a reply header with another address
    BadHeader,         // a reply header with a wrong type or length characters
    WrongManufacturer, // the MNU text does not begin with DELTA
    CutShort,          // a reply stopped before the length its header announced
    Noise,             // random bytes: a "~" among them began a false frame, or
                       // they overflowed the plug-in's buffer, or came alone
    PortLost,          // the line itself went away
};

// "no_reply", "unanswered", "wrong_address", "bad_header",
// "wrong_manufacturer", "cut_short", "noise", "port_lost".
const char* FaultName(Fault fault);

struct Verdict {
    Fault fault = Fault::NoReply;
    std::string query; // the query whose reply failed: "MNU" ... "VER"
    // For people, one line: "STA query unanswered for 2 s (the replies
    // before it came)", "manufacturer text not DELTA (got \"ACME\")", ...
    std::string text;
    // Short, for counting faults of a kind: "STA query unanswered",
    // "noise before the reply", ...
    std::string label;
};

// What the host saw of the reply to one query.
struct ReplyWindow {
    std::string query;           // "STB"
    bool first_of_cycle = false; // the cycle's first query (MNU)
    std::string received;        // every byte that came since the query went out
};

// The plug-in reset the exchange while it handled `chunk` (the last bytes
// of window.received); `buffered` is what it held of its reply before that
// chunk.  `awaited` is the command state it was in.
Verdict DiagnoseReset(const ReplyWindow& window, const std::string& buffered,
                      const std::string& chunk, int awaited);

// The host ended the cycle after `silence_s` seconds without a byte;
// `buffered` is what the plug-in holds of an unfinished reply.
Verdict DiagnoseStall(const ReplyWindow& window, const std::string& buffered, double silence_s);

// The port failed while a cycle was in progress.
Verdict PortLostVerdict(const ReplyWindow& window, const std::string& message);

} // namespace halxhost

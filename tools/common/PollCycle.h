// The poll cycle in the plug-in's own terms (protocol/PollSequence.h,
// protocol/deltanhnt_cmd.h), for the tools and tests that show, send or
// answer its queries.
#pragma once

#include <array>
#include <iterator>
#include <string>

#include "protocol/PollSequence.h"
#include "protocol/deltanhnt_cmd.h"
#include "record/RecordFields.h"

namespace tools
{

inline constexpr std::size_t kPollCycleLength = std::size(kPollSteps);

// The queries of one cycle in the order they go out: MNU, with which
// RefreshStatus opens every cycle, then the frame each step sends after its
// reply.  Query i is answered by the reply step i decodes.
std::array<CommandIndex, kPollCycleLength> PollCycle();

// The query whose reply a command state awaits ("MNU" ... "VER"); "" for a
// state without a decoder.
const char* AwaitedReply(int state);

// The reply group that decodes the answer to `command`; ReplyGroup::Host for
// a query no poll step sends (TSR, UID).
ReplyGroup ReplyGroupOf(CommandIndex command);

// The frame of a query as the plug-in sends it: "~00P003MNU".
std::string QueryFrame(CommandIndex command);

// The command a query code names ("MNU" -> CMD_MNU), or CMD_COUNT.
CommandIndex FindCommand(const std::string& code);

} // namespace tools

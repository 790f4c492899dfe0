#include "common/PollCycle.h"

namespace tools
{

std::array<CommandIndex, kPollCycleLength> PollCycle()
{
    std::array<CommandIndex, kPollCycleLength> cycle{};
    cycle[0] = CMD_MNU;
    for (std::size_t i = 1; i < kPollCycleLength; ++i) {
        cycle[i] = kPollSteps[i - 1].next;
    }
    return cycle;
}

const char* AwaitedReply(int state)
{
    const std::array<CommandIndex, kPollCycleLength> cycle = PollCycle();
    for (std::size_t i = 0; i < kPollCycleLength; ++i) {
        if (kPollSteps[i].state == state) {
            return kCommandCodes[cycle[i]];
        }
    }
    return "";
}

ReplyGroup ReplyGroupOf(CommandIndex command)
{
    const std::array<CommandIndex, kPollCycleLength> cycle = PollCycle();
    for (std::size_t i = 0; i < kPollCycleLength; ++i) {
        if (cycle[i] == command) {
            return kPollSteps[i].reply;
        }
    }
    return ReplyGroup::Host;
}

std::string QueryFrame(CommandIndex command)
{
    deltanhnt_cmd<3> frame;
    frame.SetCode(kCommandCodes[command]);
    return std::string(frame.data(), frame.data() + frame.size());
}

CommandIndex FindCommand(const std::string& code)
{
    for (unsigned i = 0; i < CMD_COUNT; ++i) {
        if (code == kCommandCodes[i]) {
            return static_cast<CommandIndex>(i);
        }
    }
    return CMD_COUNT;
}

} // namespace tools

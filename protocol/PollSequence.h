// The fixed poll sequence: which reply each command state awaits and what
// follows it.
#pragma once

#include "protocol/deltanhnt_cmd.h"
#include "record/RecordFields.h"

// Command states: the reply being awaited.  4, 10, 11 and 12 are never used.
enum CommandState : int {
    STATE_MNU = 1,
    STATE_MOD = 2,
    STATE_RAT = 3,
    STATE_STB = 5,
    STATE_STI = 6,
    STATE_STO = 7,
    STATE_STP = 8,
    STATE_STA = 9,
    STATE_VER = 13,
};

struct PollStep {
    int state;         // command state in which the reply is decoded
    ReplyGroup reply;  // the reply's decoder
    CommandIndex next; // the frame sent after it (CMD_COUNT: the cycle is complete)
    int next_state;    // the state stored with that frame
    // The first steps store the next state before sending its frame, the later
    // ones send first; a host that looks at the state inside SendData sees
    // the difference.
    bool state_first;
};

inline constexpr PollStep kPollSteps[] = {
    {STATE_MNU, ReplyGroup::MNU, CMD_MOD, STATE_MOD, true},
    {STATE_MOD, ReplyGroup::MOD, CMD_RAT, STATE_RAT, true},
    {STATE_RAT, ReplyGroup::RAT, CMD_STB, STATE_STB, true},
    {STATE_STB, ReplyGroup::STB, CMD_STI, STATE_STI, true},
    {STATE_STI, ReplyGroup::STI, CMD_STO, STATE_STO, false},
    {STATE_STO, ReplyGroup::STO, CMD_STP, STATE_STP, false},
    {STATE_STP, ReplyGroup::STP, CMD_STA, STATE_STA, false},
    {STATE_STA, ReplyGroup::STA, CMD_VER, STATE_VER, false},
    {STATE_VER, ReplyGroup::VER, CMD_COUNT, STATE_VER, false},
};

// The step for a command state, or nullptr for a state without a decoder.
inline const PollStep* FindPollStep(int state)
{
    for (const PollStep& step : kPollSteps) {
        if (step.state == state) {
            return &step;
        }
    }
    return nullptr;
}

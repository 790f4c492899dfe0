// Decoding a complete reply into the device record.  The decoder is chosen
// by the command state alone (PollSequence.h): no reply says which command
// it answers, and nothing in a reply is checked but the manufacturer text.
#pragma once

#include <cstddef>

#include "record/DeltanhntCmdsRply.h"
#include "record/RecordFields.h"

// What the reply leads to.
enum class DecodeOutcome {
    Advance,           // send the next command of the sequence
    WrongManufacturer, // "MNU" not beginning with "DELTA": the cycle ends here
    CycleComplete,     // "VER", the last reply: the round is done
};

// Decodes the payload of one reply of `group` into the record.
DecodeOutcome DecodeReply(ReplyGroup group, const char* payload, std::size_t length,
                          DeltanhntCmdsRply_t& record);

// Stores the ";"-separated fields of a RAT, STB, STI, STO, STP or STA reply.
// Every field of the group is written, so a short reply resets the fields
// it lacks: status flags to "not reported", the rest to 0.
void DecodeFields(ReplyGroup group, const char* payload, std::size_t length,
                  DeltanhntCmdsRply_t& record);

// The only check on reply content: the manufacturer text begins with
// "DELTA" (strncmp over 5 bytes).
bool IsDeltaManufacturer(const DeltanhntCmdsRply_t& record);

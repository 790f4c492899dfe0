// Decoding a complete reply into the device record, chosen by the command
// state alone: no reply says which command it answers.
#include <cstring>

#include "device/DeltaNHNT.h"
#include "protocol/PayloadFields.h"
#include "protocol/PollSequence.h"

namespace
{

template <class T> void StoreAt(unsigned char* record, std::size_t offset, T value)
{
    std::memcpy(record + offset, &value, sizeof value);
}

} // namespace

void DeltaNHNT::DecodeFields(ReplyGroup group, const char* payload, std::size_t length)
{
    FieldList fields;
    SplitFields(payload, length, fields);

    // Every field of the reply's group is written, so a short reply resets
    // the fields it lacks: status flags to 255 (not reported), the rest to 0.
    const std::int32_t absent = group == ReplyGroup::STA ? 255 : 0;
    const ReplyFields group_fields = FieldsOf(group);
    auto* record = reinterpret_cast<unsigned char*>(&record_);
    for (std::size_t i = 0; i < group_fields.count; ++i) {
        const RecordField& field = group_fields.first[i];
        const std::int32_t value =
            i < fields.size() ? ParseInt(fields[i].begin(), fields[i].end()) : absent;
        switch (field.type) {
        case FieldType::Int32:
            StoreAt(record, field.offset, value);
            break;
        case FieldType::Float32:
            StoreAt(record, field.offset, ToTenths(value));
            break;
        case FieldType::Int8:
            StoreAt(record, field.offset, ToByte(value));
            break;
        default:
            break;
        }
    }
}

int DeltaNHNT::DecodeReply()
{
    const PollStep* step = FindPollStep(cmd_state_);
    if (step == nullptr) {
        // Nobody asked for this reply.
        return 1;
    }
    const char* payload = reinterpret_cast<const char*>(recv_buf_) + 7;
    const auto length = static_cast<std::size_t>(reply_len_);

    switch (step->reply) {
    case ReplyGroup::MNU:
        CopyText(record_.UpsMnu, payload, length);
        // The only check on reply content: this must be a DELTA UPS.
        if (std::strncmp(record_.UpsMnu, "DELTA", 5) != 0) {
            Reset();
            return 0;
        }
        break;
    case ReplyGroup::MOD:
        CopyText(record_.UpsMod, payload, length);
        break;
    case ReplyGroup::VER:
        CopyText(record_.UpsVer, payload, length);
        // The last reply of the sequence: the cycle is complete.
        RoundDone();
        return 0;
    default:
        DecodeFields(step->reply, payload, length);
        break;
    }
    Advance(step->next, step->next_state, step->state_first);
    return 1;
}

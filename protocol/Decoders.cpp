#include "protocol/Decoders.h"

#include <cstdint>
#include <cstring>

#include "protocol/NumericText.h"
#include "protocol/PayloadFields.h"
#include "record/StatusFlags.h"

namespace
{

template <class T> void StoreAt(unsigned char* record, std::size_t offset, T value)
{
    std::memcpy(record + offset, &value, sizeof value);
}

} // namespace

void DecodeFields(ReplyGroup group, const char* payload, std::size_t length,
                  DeltanhntCmdsRply_t& record)
{
    FieldList fields;
    SplitFields(payload, length, fields);

    const std::int32_t absent = group == ReplyGroup::STA ? kStatusFlagNotReported : 0;
    const ReplyFields group_fields = FieldsOf(group);
    auto* bytes = reinterpret_cast<unsigned char*>(&record);
    for (std::size_t i = 0; i < group_fields.count; ++i) {
        const RecordField& field = group_fields.first[i];
        const std::int32_t value =
            i < fields.size() ? ParseInt(fields[i].begin(), fields[i].end()) : absent;
        switch (field.type) {
        case FieldType::Int32:
            StoreAt(bytes, field.offset, value);
            break;
        case FieldType::Float32:
            StoreAt(bytes, field.offset, ToTenths(value));
            break;
        case FieldType::Int8:
            StoreAt(bytes, field.offset, ToByte(value));
            break;
        default:
            break;
        }
    }
}

bool IsDeltaManufacturer(const DeltanhntCmdsRply_t& record)
{
    return std::strncmp(record.UpsMnu, "DELTA", 5) == 0;
}

DecodeOutcome DecodeReply(ReplyGroup group, const char* payload, std::size_t length,
                          DeltanhntCmdsRply_t& record)
{
    switch (group) {
    case ReplyGroup::MNU:
        CopyText(record.UpsMnu, payload, length);
        return IsDeltaManufacturer(record) ? DecodeOutcome::Advance
                                           : DecodeOutcome::WrongManufacturer;
    case ReplyGroup::MOD:
        CopyText(record.UpsMod, payload, length);
        return DecodeOutcome::Advance;
    case ReplyGroup::VER:
        CopyText(record.UpsVer, payload, length);
        return DecodeOutcome::CycleComplete;
    default:
        DecodeFields(group, payload, length, record);
        return DecodeOutcome::Advance;
    }
}

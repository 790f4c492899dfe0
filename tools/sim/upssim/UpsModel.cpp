#include "upssim/UpsModel.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <strings.h>

namespace upssim
{

namespace
{

bool IsReplyGroup(ReplyGroup group)
{
    switch (group) {
    case ReplyGroup::RAT:
    case ReplyGroup::STB:
    case ReplyGroup::STI:
    case ReplyGroup::STO:
    case ReplyGroup::STP:
    case ReplyGroup::STA:
        return true;
    default:
        return false;
    }
}

// A healthy 20 kVA three-phase UPS on mains, battery full.  Wire values:
// tenths fields are ten times the quantity (2205 is 220.5 V).  Spread is the
// largest drift from nominal, step the largest move per poll.
struct Healthy {
    const char* name;
    std::int32_t nominal, spread, step;
};

// clang-format off
constexpr Healthy kHealthy[] = {
    // Ratings: constant.
    {"RatInptVlt", 220, 0, 0}, {"RatValue1", 500, 0, 0}, {"RatOuptVlt", 220, 0, 0},
    {"RatValue3", 500, 0, 0}, {"RatValue4", 20000, 0, 0}, {"RatValue5", 16000, 0, 0},
    {"RatByte6", 1, 0, 0}, {"RatValue7", 3, 0, 0}, {"RatValue8", 3, 0, 0},
    {"RatValue9", 1, 0, 0}, {"RatValue10", 1, 0, 0}, {"RatValue11", 1, 0, 0},
    {"RatValue12", 1, 0, 0}, {"RatByte13", 2, 0, 0}, {"RatBttryVlt", 240, 0, 0},
    {"RatValue15", 2400, 0, 0}, {"RatValue16", 2200, 0, 0}, {"RatValue17", 1800, 0, 0},
    {"RatValue18", 1500, 0, 0}, {"RatValue19", 1200, 0, 0}, {"RatValue20", 1000, 0, 0},
    // Battery: floating, full.
    {"EstMinRmn", 120, 6, 1}, {"EstChrgRmn", 100, 0, 0}, {"BattryVlt", 2712, 15, 2},
    {"BattryCrrent", 3, 3, 1}, {"BattryTmp", 25, 2, 1},
    // Input: three lines of mains.
    {"InptLines", 3, 0, 0},
    {"InptFrq1", 500, 2, 1}, {"InptVlt1", 2205, 40, 5}, {"InptCrrent1", 123, 8, 2}, {"InptPwr1", 2700, 150, 20},
    {"InptFrq2", 500, 2, 1}, {"InptVlt2", 2210, 40, 5}, {"InptCrrent2", 120, 8, 2}, {"InptPwr2", 2650, 150, 20},
    {"InptFrq3", 500, 2, 1}, {"InptVlt3", 2198, 40, 5}, {"InptCrrent3", 118, 8, 2},
    // Output: on the inverter (source 0), regulated voltage.
    {"OutptFrq", 500, 1, 1}, {"OutptLines", 3, 0, 0},
    {"OutptVlt1", 2200, 5, 1}, {"OutptCrrent1", 115, 10, 2}, {"OutptPwr1", 2530, 200, 25}, {"OutptLd1", 45, 5, 1},
    {"OutptVlt2", 2201, 5, 1}, {"OutptCrrent2", 116, 10, 2}, {"OutptPwr2", 2540, 200, 25}, {"OutptLd2", 46, 5, 1},
    {"OutptVlt3", 2199, 5, 1}, {"OutptCrrent3", 114, 10, 2}, {"OutptPwr3", 2520, 200, 25}, {"OutptLd3", 44, 5, 1},
    // Bypass: available, carrying no load.
    {"BypssFrq", 500, 2, 1}, {"BypssLines", 3, 0, 0},
    {"BypssVlt1", 2205, 40, 5}, {"BypssVlt2", 2206, 40, 5}, {"BypssVlt3", 2207, 40, 5},
};
// clang-format on

} // namespace

const std::vector<ReplyField>& ReplyFields()
{
    static const std::vector<ReplyField> fields = [] {
        std::vector<ReplyField> list;
        unsigned index = 0;
        ReplyGroup group = ReplyGroup::Host;
        for (const RecordField& field : kRecordFields) {
            if (!IsReplyGroup(field.group)) {
                continue;
            }
            if (field.group != group) {
                group = field.group;
                index = 0;
            }
            list.push_back(ReplyField{field.name, field.group, index++, field.type});
        }
        return list;
    }();
    return fields;
}

const ReplyField* FindReplyField(const std::string& name)
{
    for (const ReplyField& field : ReplyFields()) {
        if (strcasecmp(field.name, name.c_str()) == 0) {
            return &field;
        }
    }
    return nullptr;
}

const ReplyField* StatusFlag(unsigned index)
{
    for (const ReplyField& field : ReplyFields()) {
        if (field.group == ReplyGroup::STA && field.index == index) {
            return &field;
        }
    }
    return nullptr;
}

UpsModel::UpsModel(std::uint32_t seed) : slots_(ReplyFields().size()), random_(seed)
{
    Reset();
}

void UpsModel::Reset()
{
    const std::vector<ReplyField>& fields = ReplyFields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        Slot slot;
        for (const Healthy& healthy : kHealthy) {
            if (std::strcmp(healthy.name, fields[i].name) == 0) {
                slot.nominal = healthy.nominal;
                slot.spread = healthy.spread;
                slot.step = healthy.step;
            }
        }
        slot.value = slot.nominal;
        slots_[i] = slot;
    }
    manufacturer_ = kDefaultManufacturer;
    model_ = kDefaultModel;
    version_ = kDefaultVersion;
    drift_ = true;
}

std::size_t UpsModel::SlotOf(const ReplyField& field) const
{
    const std::vector<ReplyField>& fields = ReplyFields();
    const auto at = static_cast<std::size_t>(&field - fields.data());
    if (at >= fields.size()) {
        throw std::invalid_argument("not a reply field");
    }
    return at;
}

std::int32_t UpsModel::Value(const ReplyField& field) const
{
    return slots_[SlotOf(field)].value;
}

std::int32_t UpsModel::Nominal(const ReplyField& field) const
{
    return slots_[SlotOf(field)].nominal;
}

std::int32_t UpsModel::Spread(const ReplyField& field) const
{
    return slots_[SlotOf(field)].spread;
}

void UpsModel::Set(const ReplyField& field, std::int32_t value)
{
    Slot& slot = slots_[SlotOf(field)];
    slot.value = value;
    slot.pinned = true;
}

void UpsModel::SetAllFlags(std::int32_t value)
{
    for (const ReplyField& field : ReplyFields()) {
        if (field.group == ReplyGroup::STA) {
            Set(field, value);
        }
    }
}

const std::string& UpsModel::Text(CommandIndex command) const
{
    switch (command) {
    case CMD_MNU:
        return manufacturer_;
    case CMD_MOD:
        return model_;
    case CMD_VER:
        return version_;
    default:
        throw std::invalid_argument("not a text reply");
    }
}

void UpsModel::SetText(CommandIndex command, const std::string& text)
{
    switch (command) {
    case CMD_MNU:
        manufacturer_ = text;
        break;
    case CMD_MOD:
        model_ = text;
        break;
    case CMD_VER:
        version_ = text;
        break;
    default:
        throw std::invalid_argument("not a text reply");
    }
}

void UpsModel::Step(Slot& slot)
{
    if (!drift_ || slot.pinned || slot.spread == 0) {
        return;
    }
    // A bounded random walk that leans back towards nominal: readings wander
    // like a real supply's but never leave nominal +- spread.
    std::uniform_int_distribution<std::int32_t> move(-slot.step, slot.step);
    std::int32_t next = slot.value + move(random_);
    const std::int32_t offset = slot.value - slot.nominal;
    if (offset > slot.spread / 2) {
        next -= 1;
    } else if (offset < -slot.spread / 2) {
        next += 1;
    }
    slot.value = std::clamp(next, slot.nominal - slot.spread, slot.nominal + slot.spread);
}

std::string UpsModel::Fields(ReplyGroup group)
{
    std::string payload;
    const std::vector<ReplyField>& fields = ReplyFields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].group != group) {
            continue;
        }
        Step(slots_[i]);
        if (fields[i].index > 0) {
            payload += ';';
        }
        payload += std::to_string(slots_[i].value);
    }
    return payload;
}

std::optional<std::string> UpsModel::Payload(CommandIndex command)
{
    switch (command) {
    case CMD_MNU:
    case CMD_MOD:
    case CMD_VER:
        return Text(command);
    case CMD_TSR:
        // No self-test running, last one passed.
        return std::string("0;0");
    case CMD_UID:
        return std::string("NH20K-00000001");
    case CMD_COUNT:
        return std::nullopt;
    default:
        return Fields(tools::ReplyGroupOf(command));
    }
}

} // namespace upssim

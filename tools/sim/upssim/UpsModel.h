// The UPS as the simulator plays it: its identity texts, its measurements
// and status flags, and how the measurements drift from one poll to the next.
// Knows what to answer, not how it reaches the line.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/PollCycle.h"
#include "protocol/deltanhnt_cmd.h"
#include "record/RecordFields.h"

namespace upssim
{

// A numeric field of a reply, named as the device record names it.
struct ReplyField {
    const char* name; // "BattryVlt", "InptFail", ...
    ReplyGroup group; // RAT, STB, STI, STO, STP or STA
    unsigned index;   // position in the reply's field list
    FieldType type;   // Int32, Float32 (sent in tenths) or Int8
};

// Every numeric reply field, in reply order (RAT, STB, STI, STO, STP, STA).
const std::vector<ReplyField>& ReplyFields();
// The field named `name` (compared without regard to case), or nullptr.
const ReplyField* FindReplyField(const std::string& name);
// Status flag `index` (0..18) of the STA reply, or nullptr.
const ReplyField* StatusFlag(unsigned index);
inline constexpr unsigned kStatusFlagCount = FieldsOf(ReplyGroup::STA).count;

using tools::FindCommand;

// The texts and default measurements of a healthy UPS.
inline constexpr const char* kDefaultManufacturer = "DELTA";
inline constexpr const char* kDefaultModel = "NH-PLUS 20K";
inline constexpr const char* kDefaultVersion = "V1.23";

class UpsModel
{
public:
    explicit UpsModel(std::uint32_t seed = 1);

    // The payload answering query `command`: texts for MNU, MOD, VER (and
    // TSR, UID), ";"-separated wire values for the others.  Every call moves
    // the drifting values of that reply one step.  nullopt for a command the
    // UPS does not answer.
    std::optional<std::string> Payload(CommandIndex command);

    // The wire value of a field: integer, or tenths for Float32 fields
    // (2205 means 220.5).  Set pins it: it stops drifting until Reset.
    std::int32_t Value(const ReplyField& field) const;
    void Set(const ReplyField& field, std::int32_t value);
    void SetAllFlags(std::int32_t value);
    // Drift on (the default) or off for all unpinned values.
    void SetDrift(bool on) { drift_ = on; }
    bool Drift() const { return drift_; }

    // The text answering MNU, MOD or VER.
    const std::string& Text(CommandIndex command) const;
    void SetText(CommandIndex command, const std::string& text);

    // Back to a healthy UPS: default texts, nominal values, flags clear,
    // drift on.  The random sequence continues.
    void Reset();

    // How far a field may drift from its nominal value (0: it is constant).
    std::int32_t Nominal(const ReplyField& field) const;
    std::int32_t Spread(const ReplyField& field) const;

private:
    struct Slot {
        std::int32_t nominal = 0;
        std::int32_t spread = 0; // largest distance from nominal
        std::int32_t step = 0;   // largest move per poll
        std::int32_t value = 0;
        bool pinned = false;
    };

    std::size_t SlotOf(const ReplyField& field) const;
    void Step(Slot& slot);
    std::string Fields(ReplyGroup group);

    std::vector<Slot> slots_; // parallel to ReplyFields()
    std::string manufacturer_, model_, version_;
    bool drift_ = true;
    std::mt19937 random_;
};

} // namespace upssim

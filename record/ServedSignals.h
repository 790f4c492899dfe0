// The sixteen values served by name from the device record, in the order
// in which a requested name is compared with them.
#pragma once

#include <cstddef>
#include <string>

#include "record/DeltanhntCmdsRply.h"

struct ServedSignal {
    const char* name;   // signal name, equal to the record field it reads
    std::size_t offset; // the field's offset in the record
    bool integer;       // int32 in the record, served as its float
    const char* unit;   // for people reading the values
};

// clang-format off
#define DELTANHNT_SIGNAL(field, integer, unit) {#field, offsetof(DeltanhntCmdsRply_t, field), integer, unit}

inline constexpr ServedSignal kServedSignals[] = {
    DELTANHNT_SIGNAL(RatInptVlt, true, "V"),
    DELTANHNT_SIGNAL(RatOuptVlt, true, "V"),
    DELTANHNT_SIGNAL(RatBttryVlt, true, "V"),
    DELTANHNT_SIGNAL(BattryVlt, false, "V"),
    DELTANHNT_SIGNAL(InptVlt1, false, "V"),
    DELTANHNT_SIGNAL(InptCrrent1, false, "A"),
    DELTANHNT_SIGNAL(InptVlt2, false, "V"),
    DELTANHNT_SIGNAL(InptCrrent2, false, "A"),
    DELTANHNT_SIGNAL(InptVlt3, false, "V"),
    DELTANHNT_SIGNAL(InptCrrent3, false, "A"),
    DELTANHNT_SIGNAL(OutptVlt1, false, "V"),
    DELTANHNT_SIGNAL(OutptCrrent1, false, "A"),
    DELTANHNT_SIGNAL(OutptVlt2, false, "V"),
    DELTANHNT_SIGNAL(OutptCrrent2, false, "A"),
    DELTANHNT_SIGNAL(OutptVlt3, false, "V"),
    DELTANHNT_SIGNAL(OutptCrrent3, false, "A"),
};
// clang-format on

#undef DELTANHNT_SIGNAL

inline constexpr std::size_t kServedSignalCount =
    sizeof(kServedSignals) / sizeof(kServedSignals[0]);
static_assert(kServedSignalCount == 16, "sixteen values are served");

// The served signal of that name (an exact, case-sensitive match, in table
// order), or nullptr when the name is not served.
const ServedSignal* FindServedSignal(const std::string& name);

// The signal's field of the record as a float: int32 fields converted,
// float fields as stored.
float ServedValue(const DeltanhntCmdsRply_t& record, const ServedSignal& signal);

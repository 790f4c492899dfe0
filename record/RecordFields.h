// The catalogue of the device record: every field with its name, place, type
// and the reply it is decoded from, in offset order.
//
// The reply decoders walk the catalogue: field i of a reply's field list goes
// to the i-th catalogue entry of that reply, converted as its type says
// (int32: integer, float32: tenths, int8: byte).  Tools use it to show a
// record field by field.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/DeltanhntCmdsRply.h"

enum class FieldType : std::uint8_t {
    UInt32,   // unsigned 32-bit
    Int32,    // signed 32-bit; "integer" conversion
    Float32,  // IEEE-754 single; "tenths" conversion
    Int8,     // one signed byte; "byte" conversion
    Text16,   // 16 bytes of text, no guaranteed terminator
    Stamp7,   // the host's 7-byte time stamp
    Reserved, // never written by decoding
};

enum class ReplyGroup : std::uint8_t { Host, MNU, MOD, RAT, STB, STI, STO, STP, STA, VER };

struct RecordField {
    const char* name;
    std::uint16_t offset;
    std::uint8_t width;
    FieldType type;
    ReplyGroup group;
};

// clang-format off
#define DELTANHNT_FIELD(field, type, group)                                               \
    RecordField{#field, static_cast<std::uint16_t>(offsetof(DeltanhntCmdsRply_t, field)), \
                static_cast<std::uint8_t>(sizeof(DeltanhntCmdsRply_t::field)),            \
                FieldType::type, ReplyGroup::group}
// clang-format on

// clang-format off
inline constexpr RecordField kRecordFields[] = {
    DELTANHNT_FIELD(DataId, UInt32, Host),
    DELTANHNT_FIELD(UpsMnu, Text16, MNU),
    DELTANHNT_FIELD(UpsMod, Text16, MOD),
    DELTANHNT_FIELD(RatInptVlt, Int32, RAT),
    DELTANHNT_FIELD(RatValue1, Float32, RAT),
    DELTANHNT_FIELD(RatOuptVlt, Int32, RAT),
    DELTANHNT_FIELD(RatValue3, Float32, RAT),
    DELTANHNT_FIELD(RatValue4, Int32, RAT),
    DELTANHNT_FIELD(RatValue5, Int32, RAT),
    DELTANHNT_FIELD(RatByte6, Int8, RAT),
    DELTANHNT_FIELD(RatValue7, Int32, RAT),
    DELTANHNT_FIELD(RatValue8, Int32, RAT),
    DELTANHNT_FIELD(RatValue9, Int32, RAT),
    DELTANHNT_FIELD(RatValue10, Int32, RAT),
    DELTANHNT_FIELD(RatValue11, Int32, RAT),
    DELTANHNT_FIELD(RatValue12, Int32, RAT),
    DELTANHNT_FIELD(RatByte13, Int8, RAT),
    DELTANHNT_FIELD(RatBttryVlt, Int32, RAT),
    DELTANHNT_FIELD(RatValue15, Float32, RAT),
    DELTANHNT_FIELD(RatValue16, Float32, RAT),
    DELTANHNT_FIELD(RatValue17, Float32, RAT),
    DELTANHNT_FIELD(RatValue18, Float32, RAT),
    DELTANHNT_FIELD(RatValue19, Float32, RAT),
    DELTANHNT_FIELD(RatValue20, Float32, RAT),
    DELTANHNT_FIELD(StbByte0, Int8, STB),
    DELTANHNT_FIELD(StbByte1, Int8, STB),
    DELTANHNT_FIELD(StbByte2, Int8, STB),
    DELTANHNT_FIELD(SecOnBattry, Int32, STB),
    DELTANHNT_FIELD(EstMinRmn, Int32, STB),
    DELTANHNT_FIELD(EstChrgRmn, Int32, STB),
    DELTANHNT_FIELD(BattryVlt, Float32, STB),
    DELTANHNT_FIELD(BattryCrrent, Float32, STB),
    DELTANHNT_FIELD(BattryTmp, Int32, STB),
    DELTANHNT_FIELD(StbValue9, Int32, STB),
    DELTANHNT_FIELD(Reserved145, Reserved, Host),
    DELTANHNT_FIELD(InptLines, Int32, STI),
    DELTANHNT_FIELD(InptFrq1, Float32, STI),
    DELTANHNT_FIELD(InptVlt1, Float32, STI),
    DELTANHNT_FIELD(InptCrrent1, Float32, STI),
    DELTANHNT_FIELD(InptPwr1, Int32, STI),
    DELTANHNT_FIELD(InptFrq2, Float32, STI),
    DELTANHNT_FIELD(InptVlt2, Float32, STI),
    DELTANHNT_FIELD(InptCrrent2, Float32, STI),
    DELTANHNT_FIELD(InptPwr2, Int32, STI),
    DELTANHNT_FIELD(InptFrq3, Float32, STI),
    DELTANHNT_FIELD(InptVlt3, Float32, STI),
    DELTANHNT_FIELD(InptCrrent3, Float32, STI),
    DELTANHNT_FIELD(Reserved194, Reserved, Host),
    DELTANHNT_FIELD(OutptSrc, Int8, STO),
    DELTANHNT_FIELD(OutptFrq, Float32, STO),
    DELTANHNT_FIELD(OutptLines, Int8, STO),
    DELTANHNT_FIELD(OutptVlt1, Float32, STO),
    DELTANHNT_FIELD(OutptCrrent1, Float32, STO),
    DELTANHNT_FIELD(OutptPwr1, Int32, STO),
    DELTANHNT_FIELD(OutptLd1, Int32, STO),
    DELTANHNT_FIELD(OutptVlt2, Float32, STO),
    DELTANHNT_FIELD(OutptCrrent2, Float32, STO),
    DELTANHNT_FIELD(OutptPwr2, Int32, STO),
    DELTANHNT_FIELD(OutptLd2, Int32, STO),
    DELTANHNT_FIELD(OutptVlt3, Float32, STO),
    DELTANHNT_FIELD(OutptCrrent3, Float32, STO),
    DELTANHNT_FIELD(OutptPwr3, Int32, STO),
    DELTANHNT_FIELD(OutptLd3, Int32, STO),
    DELTANHNT_FIELD(BypssFrq, Float32, STP),
    DELTANHNT_FIELD(BypssLines, Int8, STP),
    DELTANHNT_FIELD(BypssVlt1, Float32, STP),
    DELTANHNT_FIELD(BypssCrrent1, Float32, STP),
    DELTANHNT_FIELD(BypssPwr1, Int32, STP),
    DELTANHNT_FIELD(BypssVlt2, Float32, STP),
    DELTANHNT_FIELD(BypssCrrent2, Float32, STP),
    DELTANHNT_FIELD(BypssPwr2, Int32, STP),
    DELTANHNT_FIELD(BypssVlt3, Float32, STP),
    DELTANHNT_FIELD(BypssCrrent3, Float32, STP),
    DELTANHNT_FIELD(BypssPwr3, Int32, STP),
    DELTANHNT_FIELD(TmpFault, Int8, STA),
    DELTANHNT_FIELD(InptFail, Int8, STA),
    DELTANHNT_FIELD(OutptFault, Int8, STA),
    DELTANHNT_FIELD(OutptOvrCrrent, Int8, STA),
    DELTANHNT_FIELD(BypssOutOfLmt, Int8, STA),
    DELTANHNT_FIELD(OutptOff, Int8, STA),
    DELTANHNT_FIELD(UpsOff, Int8, STA),
    DELTANHNT_FIELD(ChrgrFault, Int8, STA),
    DELTANHNT_FIELD(SysOff, Int8, STA),
    DELTANHNT_FIELD(FanFault, Int8, STA),
    DELTANHNT_FIELD(FuseFault, Int8, STA),
    DELTANHNT_FIELD(SysAbnrml, Int8, STA),
    DELTANHNT_FIELD(UpsPwrLost, Int8, STA),
    DELTANHNT_FIELD(ShttngDwn, Int8, STA),
    DELTANHNT_FIELD(ShtdwnImmnnt, Int8, STA),
    DELTANHNT_FIELD(StaFlag15, Int8, STA),
    DELTANHNT_FIELD(StaFlag16, Int8, STA),
    DELTANHNT_FIELD(StaFlag17, Int8, STA),
    DELTANHNT_FIELD(StaFlag18, Int8, STA),
    DELTANHNT_FIELD(Reserved312, Reserved, Host),
    DELTANHNT_FIELD(UpsVer, Text16, VER),
    DELTANHNT_FIELD(RoundTime, Stamp7, Host),
};
// clang-format on

#undef DELTANHNT_FIELD

// The catalogue entries of one reply: a contiguous run of kRecordFields.
struct ReplyFields {
    const RecordField* first;
    std::size_t count;
};

constexpr ReplyFields FieldsOf(ReplyGroup group)
{
    constexpr std::size_t total = sizeof(kRecordFields) / sizeof(kRecordFields[0]);
    std::size_t begin = total;
    std::size_t count = 0;
    for (std::size_t i = 0; i < total; ++i) {
        if (kRecordFields[i].group == group) {
            if (count == 0) {
                begin = i;
            }
            ++count;
        }
    }
    return ReplyFields{kRecordFields + begin, count};
}

// The device data record: everything decoded from one poll cycle of the UPS.
//
// The same 338 bytes are reported upstream under data identifier 5035, stored
// as device history and loaded back from the host's cache, so the layout is a
// binary format fixed to the byte: packed, little-endian, no padding.  Many
// 4-byte fields sit at odd offsets; never take a pointer or reference to a
// field (the MIPS target faults on unaligned loads through such pointers).
// Assign fields directly, or copy bytes at offsetof().
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct DeltanhntCmdsRply_t {
    std::uint32_t DataId; // the host's identifier of this device
    char UpsMnu[16];      // manufacturer text ("MNU")
    char UpsMod[16];      // model text ("MOD")

    // Ratings ("RAT" fields 0 to 20).
    std::int32_t RatInptVlt; // rated input voltage, volts
    float RatValue1;
    std::int32_t RatOuptVlt; // rated output voltage, volts
    float RatValue3;
    std::int32_t RatValue4;
    std::int32_t RatValue5;
    std::int8_t RatByte6;
    std::int32_t RatValue7;
    std::int32_t RatValue8;
    std::int32_t RatValue9;
    std::int32_t RatValue10;
    std::int32_t RatValue11;
    std::int32_t RatValue12;
    std::int8_t RatByte13;
    std::int32_t RatBttryVlt; // rated battery voltage, volts
    float RatValue15;
    float RatValue16;
    float RatValue17;
    float RatValue18;
    float RatValue19;
    float RatValue20;

    // Battery ("STB" fields 0 to 9).
    std::int8_t StbByte0;
    std::int8_t StbByte1;
    std::int8_t StbByte2;
    std::int32_t SecOnBattry; // seconds on battery
    std::int32_t EstMinRmn;   // estimated minutes of battery time remaining
    std::int32_t EstChrgRmn;  // estimated charge remaining, percent
    float BattryVlt;          // battery voltage, volts
    float BattryCrrent;       // battery current, amperes
    std::int32_t BattryTmp;   // battery temperature, degrees Celsius
    std::int32_t StbValue9;
    std::uint8_t Reserved145;

    // Input ("STI" fields 0 to 11).
    std::int32_t InptLines;
    float InptFrq1;
    float InptVlt1;
    float InptCrrent1;
    std::int32_t InptPwr1;
    float InptFrq2;
    float InptVlt2;
    float InptCrrent2;
    std::int32_t InptPwr2;
    float InptFrq3;
    float InptVlt3;
    float InptCrrent3;
    std::uint8_t Reserved194[4];

    // Output ("STO" fields 0 to 14).
    std::int8_t OutptSrc; // code of the source feeding the output
    float OutptFrq;
    std::int8_t OutptLines;
    float OutptVlt1;
    float OutptCrrent1;
    std::int32_t OutptPwr1;
    std::int32_t OutptLd1;
    float OutptVlt2;
    float OutptCrrent2;
    std::int32_t OutptPwr2;
    std::int32_t OutptLd2;
    float OutptVlt3;
    float OutptCrrent3;
    std::int32_t OutptPwr3;
    std::int32_t OutptLd3;

    // Bypass ("STP" fields 0 to 10).
    float BypssFrq;
    std::int8_t BypssLines;
    float BypssVlt1;
    float BypssCrrent1;
    std::int32_t BypssPwr1;
    float BypssVlt2;
    float BypssCrrent2;
    std::int32_t BypssPwr2;
    float BypssVlt3;
    float BypssCrrent3;
    std::int32_t BypssPwr3;

    // Status flags ("STA" fields 0 to 18): 1 present, 255 not reported,
    // anything else absent.  Flags 0 to 14 raise the status alarms.
    std::int8_t TmpFault;
    std::int8_t InptFail;
    std::int8_t OutptFault;
    std::int8_t OutptOvrCrrent;
    std::int8_t BypssOutOfLmt;
    std::int8_t OutptOff;
    std::int8_t UpsOff;
    std::int8_t ChrgrFault;
    std::int8_t SysOff;
    std::int8_t FanFault;
    std::int8_t FuseFault;
    std::int8_t SysAbnrml;
    std::int8_t UpsPwrLost;
    std::int8_t ShttngDwn;
    std::int8_t ShtdwnImmnnt;
    std::int8_t StaFlag15;
    std::int8_t StaFlag16;
    std::int8_t StaFlag17;
    std::int8_t StaFlag18;
    std::uint8_t Reserved312[3];

    char UpsVer[16];           // version text ("VER")
    std::uint8_t RoundTime[7]; // host time stamp of the cycle's completion
};
#pragma pack(pop)

static_assert(sizeof(DeltanhntCmdsRply_t) == 338, "the device record is 338 bytes");
static_assert(alignof(DeltanhntCmdsRply_t) == 1, "the device record is packed");

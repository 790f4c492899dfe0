// Command frames of the UPS serial protocol.
//
// A query is "~", the address "00", the frame type "P", the length of the
// command field as three decimal digits, then the command letters.  It goes
// to the line exactly as stored: no terminator, no checksum.
#pragma once

#include <cstddef>
#include <cstring>

#include "protocol/FrameLayout.h"

template <unsigned char Letters> struct deltanhnt_cmd {
    static constexpr std::size_t kHeaderSize = kFrameHeaderSize;
    static constexpr std::size_t kSize = kHeaderSize + Letters;

    unsigned char bytes[kSize];

    // Writes the fixed prefix; the command letters come with the settings.
    deltanhnt_cmd()
        : bytes{static_cast<unsigned char>(kFrameStart),
                '0',
                '0',
                static_cast<unsigned char>(kQueryType),
                static_cast<unsigned char>('0' + Letters / 100),
                static_cast<unsigned char>('0' + Letters / 10 % 10),
                static_cast<unsigned char>('0' + Letters % 10)}
    {
    }

    void SetCode(const char* code) { std::memcpy(bytes + kHeaderSize, code, Letters); }
    const unsigned char* data() const { return bytes; }
    static constexpr unsigned int size() { return static_cast<unsigned int>(kSize); }
};

static_assert(sizeof(deltanhnt_cmd<3>) == 10, "a query frame is 10 bytes");

// The command table, in table order.  "TSR" and "UID" are built like the
// others but no poll step sends them.
enum CommandIndex : unsigned char {
    CMD_MNU,
    CMD_MOD,
    CMD_RAT,
    CMD_STB,
    CMD_STI,
    CMD_STO,
    CMD_STP,
    CMD_STA,
    CMD_TSR,
    CMD_UID,
    CMD_VER,
    CMD_COUNT
};

inline constexpr const char* kCommandCodes[CMD_COUNT] = {"MNU", "MOD", "RAT", "STB", "STI", "STO",
                                                         "STP", "STA", "TSR", "UID", "VER"};

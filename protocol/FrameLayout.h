// The frame layout shared by the host's queries and the UPS's replies:
//
//   byte 0      "~", the start of a frame (the only synchronisation character)
//   bytes 1..2  the address, "00"
//   byte 3      the frame type: "P" for a query, "D" for a reply
//   bytes 4..6  the length of what follows, three decimal characters
//   bytes 7..   the command letters (query) or the payload (reply)
//
// No checksum, no terminator.
#pragma once

inline constexpr unsigned int kFrameHeaderSize = 7;
inline constexpr char kFrameStart = '~';
inline constexpr char kQueryType = 'P';
inline constexpr char kReplyType = 'D';
// Three length characters: no payload is longer than this.
inline constexpr unsigned int kMaxFramePayload = 999;

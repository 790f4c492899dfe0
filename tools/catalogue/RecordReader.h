// Reading the fields of a 338-byte device record by name, wherever the bytes
// come from (a round just reported, the history, a file).  The record is
// packed and little-endian: numbers are assembled byte by byte, never read
// through a pointer to the field (the MIPS target faults on unaligned loads).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "record/RecordFields.h"

namespace catalogue
{

inline constexpr std::size_t kRecordSize = sizeof(DeltanhntCmdsRply_t);

// The catalogue entry of a record field, or nullptr.
const RecordField* FindRecordField(const char* name);

// A numeric field (uint32, int32, float32, int8) of the record as a double;
// int8 reads as signed.  Texts, the stamp and reserved bytes read as 0.
double NumberAt(const unsigned char* record, const RecordField& field);
// A 16-byte text field up to its first zero byte, bytes as they are.
std::string TextAt(const unsigned char* record, const RecordField& field);
// One byte of the record (a status flag or a line count) as stored.
inline std::uint8_t ByteAt(const unsigned char* record, const RecordField& field)
{
    return record[field.offset];
}

} // namespace catalogue

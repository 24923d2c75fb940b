// Reading and writing field values inside one record buffer.
//
// A record is `RecordSize` bytes: `RecStatus` (0 active, 1 deleted), `RecLink` (its own number
// when active, the next deleted slot when deleted), `RowId`, then for each stored field a
// null-flag byte and `PhysSize` value bytes at the field's `FieldOffset`. An auto-increment
// field has no bytes of its own: its value is the RowId at offset 5 and it is never NULL.
//
// The write rules are the engine's: strings are cut at `PhysSize` - 1 characters (and at an
// embedded NUL), lose their trailing blanks and take the field's character case; an empty
// string is stored as NULL; Booleans above 1 become 1; a Blob field stores its first-block
// number and is NULL when that is 0; clearing a field zeroes its flag and value bytes.
//
// Thread safety: pure functions over caller-owned buffers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/storage/formats/FieldDefs.h"

namespace zorvic::engine {

class TCollation;

inline constexpr std::uint8_t kRecActive = 0;
inline constexpr std::uint8_t kRecDeleted = 1;

inline std::uint8_t RecStatus(const std::uint8_t* rec) {
  return rec[0];
}
inline std::int32_t RecLink(const std::uint8_t* rec) {
  return GetI32(rec + 1);
}
inline std::int32_t RecRowId(const std::uint8_t* rec) {
  return GetI32(rec + kRowIdOffset);
}
inline void SetRecStatus(std::uint8_t* rec, std::uint8_t status) {
  rec[0] = status;
}
inline void SetRecLink(std::uint8_t* rec, std::int32_t link) {
  PutI32(rec + 1, link);
}
inline void SetRecRowId(std::uint8_t* rec, std::int32_t rowId) {
  PutI32(rec + kRowIdOffset, rowId);
}

// The collation whose case mapping a table's CharCase uses: the table's own, or US English
// when it has none (or its collation is not installed).
const TCollation& CaseCollationFor(std::uint16_t languageId, std::uint16_t sortId);

// NULL when the flag byte is 0; an auto-increment field never is.
bool IsFieldNull(const TFieldDesc& field, const std::uint8_t* rec);
// Copies the value bytes (`ValueSize()`: PhysSize, or 4 for a Blob's first-block number) into
// out; false (and out untouched) when NULL.
bool ReadFieldBytes(const TFieldDesc& field, const std::uint8_t* rec, std::uint8_t* out);
// The text of a String field ("" when NULL).
std::string ReadStringField(const TFieldDesc& field, const std::uint8_t* rec);
// The first-block number of a Blob field (0 when NULL).
std::int32_t ReadBlobField(const TFieldDesc& field, const std::uint8_t* rec);

// Writes the text of a String field by the rules above; `caseCollation` maps its case.
void WriteStringField(const TFieldDesc& field, std::uint8_t* rec, std::string_view text,
                      const TCollation& caseCollation);
// Writes a Blob field's first-block number (the other 4 reference bytes become 0).
void WriteBlobField(const TFieldDesc& field, std::uint8_t* rec, std::int32_t firstBlock);
// Writes the `PhysSize` value bytes of any other field (Boolean values normalised, an
// auto-increment field's 4 bytes going to the RowId) and sets its flag. String and Blob fields
// take their own writers above.
void WriteFieldBytes(const TFieldDesc& field, std::uint8_t* rec, const std::uint8_t* value);
// Writes NULL: flag 0 and the value bytes zeroed. False for auto-increment fields, which cannot
// be cleared.
bool ClearField(const TFieldDesc& field, std::uint8_t* rec);

// Whether a field's stored bytes are consistent: flag 0 or 1, all value bytes 0 when NULL,
// and a value the type can hold (a terminated string, a calendar date, a time of day, a valid
// BCD, a Boolean 0 or 1, ...). On failure `why` says what is wrong.
bool CheckStoredField(const TFieldDesc& field, const std::uint8_t* rec, std::string* why);

}  // namespace zorvic::engine

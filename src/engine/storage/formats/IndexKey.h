// Index keys: building them from records and comparing them.
//
// A key is, for each key field, one flag byte (1 = has a value, 0 = NULL) and the field's value
// encoded so that an unsigned byte comparison gives the field's order (integers big-endian with
// the sign bit inverted, doubles with the sign folded in, BCD as a 64-bit number of
// ten-thousandths, strings upper-cased for NoCase indexes); a non-unique index appends the
// record's RowId, which makes every key of the index distinct. Without a collation a descending
// field's bytes are inverted so that the whole key still compares as bytes; with a collation
// the comparison walks the fields and compares String fields with the collation.
//
// Thread safety: TKeyLayout, TKeyBuilder and TKeyCompare are immutable after construction and
// may be shared between threads (collations are process-wide and thread-safe).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/IndexFormat.h"

namespace zorvic::engine {

// What a key needs to know of one table field.
struct TIndexFieldInfo {
  std::uint16_t FieldNo = 0;
  std::uint8_t DataType = 0;
  std::uint8_t SubType = 0;
  std::uint16_t PhysSize = 0;
  std::uint16_t Offset = 0;  // offset of the null-flag byte in the record (5 for auto-increment)
  std::string Name;
};

// One key field as the key sees it.
struct TKeyField {
  TIndexFieldInfo Field;
  bool Descending = false;  // this field descending (the index's own flag is separate)
  // Bytes of the value part: 8 for BCD, else PhysSize.
  int Width() const;
};

// Everything needed to build and compare the keys of one index.
struct TKeyLayout {
  int Slot = 0;
  std::uint16_t KeySize = 0;
  bool Unique = true;
  bool Descending = false;
  bool NoCase = false;
  std::vector<TKeyField> Fields;
  // The table's collation: binary order (language 0) when it has none; its case mapping
  // upper-cases NoCase keys either way.
  const TCollation* Collation = &TCollation::Binary();

  // The sum of (width + 1) over the fields: the key without its RowId suffix.
  int FieldBytes() const;
  // True when fields are compared one by one (a collation); false: one byte comparison.
  bool FieldWise() const { return !Collation->IsBinary(); }
};

// Encodes values of the table's field types into key bytes (one field: flag + width bytes).
// `value` points at the field's PhysSize bytes in a record (never for auto-increment fields).
void EncodeKeyValue(const TKeyField& field, const std::uint8_t* value, const TKeyLayout& layout,
                    std::uint8_t* out);

class TKeyBuilder {
 public:
  explicit TKeyBuilder(const TKeyLayout& layout) : layout_(layout) {}
  // The key of a record buffer (RowId from record bytes 5..8) into `key` (KeySize bytes).
  void Build(const std::uint8_t* record, std::uint8_t* key) const;
  // The key bytes of one field (flag and value) at its place in `key`, from a record.
  void BuildField(int fieldIndex, const std::uint8_t* record, std::uint8_t* key) const;
  // Offset of field i's flag byte inside the key.
  int FieldOffset(int fieldIndex) const;
  const TKeyLayout& Layout() const { return layout_; }

 private:
  TKeyLayout layout_;
};

// The 4-byte order-preserving form of a RowId (big-endian, sign bit inverted).
void EncodeRowId(std::int32_t rowId, std::uint8_t* out);
std::int32_t DecodeRowId(const std::uint8_t* in);
// The "Sys Deleted" key of a record slot: RecStatus byte + RowId.
void BuildSysDeletedKey(std::uint8_t recStatus, std::int32_t rowId, std::uint8_t* key);

class TKeyCompare {
 public:
  explicit TKeyCompare(const TKeyLayout& layout);
  // <0, 0, >0: the order of two full keys of the index.
  int operator()(const std::uint8_t* a, const std::uint8_t* b) const {
    if (mode_ == Mode::Bytes) return CompareBytes(a, b);
    return CompareSlow(a, b);
  }
  int KeySize() const { return layout_.KeySize; }
  const TKeyLayout& Layout() const { return layout_; }

 private:
  enum class Mode { Bytes, Fields, Text };
  int CompareBytes(const std::uint8_t* a, const std::uint8_t* b) const;
  int CompareSlow(const std::uint8_t* a, const std::uint8_t* b) const;

  TKeyLayout layout_;
  Mode mode_ = Mode::Bytes;
};

}  // namespace zorvic::engine

// The data file's table header and field descriptors, byte for byte, and the checks a new
// table definition must pass.
//
// A data file starts with the 127-byte table header, followed by one 768-byte descriptor per
// field. TTableHeader and TFieldDesc are their decoded forms; Encode/Decode convert exactly,
// keeping every byte (reserved ones and the bytes after a counted string's text included), so
// a header read and written back is unchanged.
//
// TTableDefinition is what a creator asks for (the SQL engine's CREATE TABLE, the table tool);
// BuildFieldDescs checks it in the engine's fixed order and raises the first failure as an
// EVELDOREngineError; BuildTableHeader then derives the header.
//
// Thread safety: plain values and pure functions.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/EngineError.h"
#include "engine/storage/formats/FieldTypes.h"

namespace zorvic::engine {

// A counted string [N]: one length byte, then N bytes of text.
template <std::size_t N>
struct TCountedString {
  std::array<std::uint8_t, N + 1> Bytes{};

  // The text (its length byte clamped to N).
  std::string Text() const {
    const std::size_t n = Bytes[0] > N ? N : Bytes[0];
    return std::string(reinterpret_cast<const char*>(Bytes.data() + 1), n);
  }
  // Whether the length byte is within N.
  bool WellFormed() const { return Bytes[0] <= N; }
  // Stores at most N characters; the bytes after the text become zero.
  void Set(std::string_view text) {
    Bytes.fill(0);
    const std::size_t n = text.size() > N ? N : text.size();
    Bytes[0] = static_cast<std::uint8_t>(n);
    for (std::size_t i = 0; i < n; ++i)
      Bytes[1 + i] = static_cast<std::uint8_t>(text[i]);
  }
  void Load(const std::uint8_t* p) {
    for (std::size_t i = 0; i < N + 1; ++i)
      Bytes[i] = p[i];
  }
  void Store(std::uint8_t* p) const {
    for (std::size_t i = 0; i < N + 1; ++i)
      p[i] = Bytes[i];
  }
};

inline constexpr std::size_t kTableHeaderSize = 127;
inline constexpr std::size_t kFieldDescSize = 768;
inline constexpr std::uint8_t kDataFormatVersion = 5;
inline constexpr std::int64_t kWriterVersion = 32100;  // version 3.21, fixed point times 10000
// Offset of the first field's null-flag byte, and the place of the RowId in every record.
inline constexpr std::uint16_t kRecordHeaderSize = 9;
inline constexpr std::uint16_t kRowIdOffset = 5;

// Offset in the data file of the first record.
inline std::int64_t DataHeaderBytes(std::uint32_t fieldCount) {
  return static_cast<std::int64_t>(kTableHeaderSize) +
         static_cast<std::int64_t>(kFieldDescSize) * fieldCount;
}

struct TTableHeader {
  std::int32_t ChangeCount = 0;
  std::uint32_t BlobBlockSize = 0;  // 0 reads as 512
  std::uint8_t FormatVersion = kDataFormatVersion;
  std::int32_t FirstDeleted = 0;
  std::int32_t NextRecordNo = 1;
  std::int32_t LastAutoInc = 0;
  std::uint16_t RecordSize = 0;
  std::uint16_t FieldCount = 0;
  std::uint16_t BlobFieldCount = 0;
  double LastUpdated = 0;               // day count since 1899-12-30 minus 693594.0
  TCountedString<50> TableDescription;  // scrambled with TextSeed when Encrypted
  std::uint8_t Encrypted = 0;
  TCountedString<15> TablePassword;  // text bytes scrambled with TextSeed
  std::uint16_t LocaleLanguage = 0;
  std::uint16_t LocaleSort = 0;
  std::uint16_t UserMajorVersion = 0;
  std::uint16_t UserMinorVersion = 0;
  std::uint8_t HeaderModified = 0;
  std::array<std::uint8_t, 4> Reserved112{};
  std::int64_t WriterVersion = 0;
  std::array<std::uint8_t, 3> Reserved124{};

  void Decode(const std::uint8_t* p);
  void Encode(std::uint8_t* p) const;
  std::uint32_t EffectiveBlobBlockSize() const { return BlobBlockSize == 0 ? 512 : BlobBlockSize; }
  // Description and password in plain text (unscrambled when the table is encrypted).
  std::string Description() const;
  std::string Password() const;
};

struct TFieldDesc {
  std::uint16_t FieldNo = 0;
  TCountedString<30> FieldName;
  TCountedString<50> FieldDescription;
  std::uint8_t DataType = 0;
  std::uint8_t SubType = 0;
  std::uint8_t FieldSize = 0;
  std::uint8_t FieldScale = 0;
  std::uint8_t PhysSize = 0;
  std::uint8_t ScaleCopy = 0;
  std::uint16_t FieldOffset = 0;
  std::uint8_t Required = 0;
  std::uint8_t CharCase = 0;  // 0 unchanged, 1 lower case, 2 upper case
  TCountedString<50> MinValue;
  TCountedString<50> MaxValue;
  TCountedString<50> DefaultValue;
  std::uint8_t NotStored = 0;
  std::array<std::uint8_t, 520> Reserved{};

  void Decode(const std::uint8_t* p);
  void Encode(std::uint8_t* p) const;

  std::string Name() const { return FieldName.Text(); }
  bool IsAutoInc() const { return IsAutoIncField(DataType, SubType); }
  bool IsBlob() const { return DataType == ftBlob; }
  bool IsMemo() const { return DataType == ftBlob && IsMemoSubType(SubType); }
  // Bytes of the value as read back (Blob fields hand out their 4-byte first-block number).
  std::uint32_t ValueSize() const { return DataType == ftBlob ? 4u : PhysSize; }
};

inline constexpr std::uint8_t kCharCaseNone = 0;
inline constexpr std::uint8_t kCharCaseLower = 1;
inline constexpr std::uint8_t kCharCaseUpper = 2;

// One field as a creator asks for it.
struct TFieldDefinition {
  std::uint16_t FieldNo = 0;  // 0: its position (1-based); otherwise must equal the position
  std::string Name;
  std::string Description;  // cut to 50 characters
  std::uint8_t DataType = 0;
  std::uint8_t SubType = 0;
  std::uint32_t Size = 0;   // String, Bytes, VarBytes: 1..250
  std::uint32_t Scale = 0;  // BCD: 0..4
  bool Required = false;
  std::uint8_t CharCase = kCharCaseNone;
  std::string MinValue;
  std::string MaxValue;
  std::string DefaultValue;
};

// A whole table as a creator asks for it.
struct TTableDefinition {
  std::vector<TFieldDefinition> Fields;
  std::uint32_t IndexCount = 0;  // index descriptors asked for (checked against the limit)
  std::uint16_t LanguageId = 0;
  std::uint16_t SortId = 0;
  std::uint32_t BlobBlockSize = 512;
  std::string Description;  // cut to 50 characters
  std::string Password;
  bool Encrypted = false;
  std::uint16_t UserMajorVersion = 0;
  std::uint16_t UserMinorVersion = 0;
  std::int64_t LastAutoInc = 0;  // starting value; below -1 is refused
};

// Whether a field name (already trimmed) is acceptable on its own: non-empty, at most 30
// characters, first character a letter, "_" or a character 128..254.
bool IsValidFieldName(std::string_view name);
// Name comparison of fields: case-insensitive (Windows-1252 upper case).
bool SameFieldName(std::string_view a, std::string_view b);

// Checks a definition in the engine's order (password, collation, field and index counts,
// block size, then field by field) and returns the descriptors with sizes, scales and offsets
// filled in. `tableName` names the table in the errors raised.
std::vector<TFieldDesc> BuildFieldDescs(const TTableDefinition& def, const std::string& tableName);

// The header of a new table for checked descriptors: VELDOR_BLOBLIMIT past 128 Blob fields,
// VELDOR_RECTOOBIG for records above 65,535 bytes. Description and password are scrambled with
// TextSeed when the table is encrypted.
TTableHeader BuildTableHeader(const TTableDefinition& def, const std::vector<TFieldDesc>& fields,
                              const std::string& tableName);

// Problems of stored descriptors against a header (the first-open checks of the field
// descriptors: names, numbers, sizes, literals, scales, offsets, the record size). Returns an
// empty text when they agree, otherwise a short description of the first problem.
std::string CheckFieldDescs(const TTableHeader& header, const std::vector<TFieldDesc>& fields);

}  // namespace zorvic::engine

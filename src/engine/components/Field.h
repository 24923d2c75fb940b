// TVELDORField: one column of an open dataset, read and written by value, and the mapping
// between the engine's field types and the components' column kinds.
//
// Opening a dataset turns every engine field into one column in field-number order (Extended
// fields get none). A column reads the value of the dataset's current record buffer and writes
// into it; nothing reaches the table before the dataset's Post. Values convert between the
// column's kind and the requested one: integers, floats, BCD and Booleans between each other,
// every kind to and from its text form, dates and times as the engine's time stamp
// (milliseconds since 0001-01-01 00:00, day number times 86,400,000 plus the time of day, the
// form TimeStamp fields store). BLOB and memo columns read and write their whole value.
//
// Thread safety: a column belongs to its dataset and is used by one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/formats/FieldDefs.h"

namespace zorvic::engine {

class TVELDORDataSet;

enum class TFieldKind : std::uint8_t {
  Unknown,
  String,
  FixedChar,
  Date,
  Memo,
  FormattedMemo,
  Graphic,
  TypedBinary,
  Blob,
  Boolean,
  SmallInt,
  Integer,
  AutoInc,
  Float,
  Currency,
  BCD,
  Bytes,
  Time,
  DateTime,
  Word,
  VarBytes,
  LargeInt,
};

// A column's kind with its size (characters or bytes; the scale for BCD) and precision.
struct TColumnType {
  TFieldKind Kind = TFieldKind::Unknown;
  int Size = 0;
  int Precision = 0;
};
// The column of an engine field; nullopt for fields that get no column (Extended).
std::optional<TColumnType> ColumnTypeOf(const TFieldDesc& field);
// The engine type and subtype a column kind is stored as (when tables are created from field
// definitions).
struct TEngineFieldType {
  std::uint8_t Type = 0;
  std::uint8_t SubType = 0;
};
TEngineFieldType EngineTypeOf(TFieldKind kind);
// "String", "Integer", ... for messages and listings.
const char* FieldKindName(TFieldKind kind);
bool IsBlobKind(TFieldKind kind);
// The name a new column gets: `name`, or when a column of that name exists (case-insensitive)
// the first of name_1, name_2, ... that is free.
std::string UniqueColumnName(const std::vector<std::string>& taken, const std::string& name);

class TVELDORField {
 public:
  TVELDORField(TVELDORDataSet& dataSet, const TFieldDesc& field, const TColumnType& type,
               std::string name);

  // The column's name (the field's, or with a suffix "_1", "_2", ... when that was taken).
  const std::string& FieldName() const { return FName; }
  // The engine field number (1-based).
  std::uint16_t FieldNo() const { return FFieldNo; }
  TFieldKind DataType() const { return FType.Kind; }
  int Size() const { return FType.Size; }
  int Precision() const { return FType.Precision; }
  bool Required() const { return FRequired; }
  // For a column of a query result that names a table column: takes that column's NOT NULL
  // mark, and turns an Integer column of an auto-increment one into an AutoInc column (read
  // only, as the table's own). The result table itself carries neither mark.
  void TakeTableColumnMarks(bool required, bool autoInc);
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool on) { FReadOnly = on; }
  bool IsBlob() const { return IsBlobKind(FType.Kind); }
  // The field's description when the dataset takes labels from descriptions, else its name.
  std::string DisplayLabel() const;
  TVELDORDataSet& DataSet() const { return FDataSet; }

  // ---- reading (the current record buffer; NULL reads as 0, false or empty) -------------
  bool IsNull() const;
  std::string AsString() const;
  std::int32_t AsInteger() const;
  std::int64_t AsLargeInt() const;
  double AsFloat() const;
  bool AsBoolean() const;
  // Date, Time and DateTime columns: the engine's time stamp (see above); a Time column gives
  // the milliseconds of the day, a Date column midnight of its day.
  double AsDateTime() const;
  // Bytes, VarBytes, BLOB and memo columns: the raw value.
  std::string AsBytes() const;

  // ---- writing (the dataset in edit or insert state, the column not read-only) ----------
  void Clear();
  void SetAsString(std::string_view text);
  void SetAsInteger(std::int32_t value);
  void SetAsLargeInt(std::int64_t value);
  void SetAsFloat(double value);
  void SetAsBoolean(bool value);
  void SetAsDateTime(double value);
  void SetAsBytes(std::string_view bytes);

 private:
  const TFieldDesc& Desc() const;
  // The checks of every write: edit or insert state, not read-only.
  void CheckWritable() const;
  void WriteRaw(const std::uint8_t* bytes);
  void SetIntegral(std::int64_t value, const std::string& text);
  [[noreturn]] void NoConversion() const;

  TVELDORDataSet& FDataSet;
  std::uint16_t FFieldNo;
  TColumnType FType;
  std::string FName;
  std::string FDescription;
  bool FRequired;
  bool FReadOnly;
};

}  // namespace zorvic::engine

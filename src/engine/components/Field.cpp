// Columns: the type mapping and the conversions of values read from and written to the
// dataset's record buffer.
#include "engine/components/Field.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "engine/components/DataSet.h"
#include "engine/components/DatabaseError.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine {

// ---- type mapping ------------------------------------------------------------------------

std::optional<TColumnType> ColumnTypeOf(const TFieldDesc& f) {
  const int size = f.FieldSize;
  switch (f.DataType) {
    case ftString:
      return TColumnType{f.SubType == fstFixedChar ? TFieldKind::FixedChar : TFieldKind::String,
                         size, 0};
    case ftDate:
      return TColumnType{TFieldKind::Date, 0, 0};
    case ftBlob:
      switch (f.SubType) {
        case fstMemo:
          return TColumnType{TFieldKind::Memo, 0, 0};
        case fstFormattedMemo:
          return TColumnType{TFieldKind::FormattedMemo, 0, 0};
        case fstGraphic:
          return TColumnType{TFieldKind::Graphic, 0, 0};
        case fstTypedBinary:
          return TColumnType{TFieldKind::TypedBinary, 0, 0};
        default:
          return TColumnType{TFieldKind::Blob, 0, 0};
      }
    case ftBoolean:
      return TColumnType{TFieldKind::Boolean, 0, 0};
    case ftSmallInt:
      return TColumnType{TFieldKind::SmallInt, 0, 0};
    case ftInteger:
      return TColumnType{f.SubType == fstAutoInc ? TFieldKind::AutoInc : TFieldKind::Integer, 0, 0};
    case ftFloat:
      return TColumnType{f.SubType == fstMoney ? TFieldKind::Currency : TFieldKind::Float, 0, 0};
    case ftBCD:
      return TColumnType{TFieldKind::BCD, f.FieldScale, 32};
    case ftBytes:
      return TColumnType{f.SubType == fstFixedChar ? TFieldKind::FixedChar : TFieldKind::Bytes,
                         size, 0};
    case ftTime:
      return TColumnType{TFieldKind::Time, 0, 0};
    case ftTimeStamp:
      return TColumnType{TFieldKind::DateTime, 0, 0};
    case ftWord:
      return TColumnType{TFieldKind::Word, 0, 0};
    case ftCardinal:
      return TColumnType{TFieldKind::Integer, 0, 0};
    case ftVarBytes:
      return TColumnType{f.SubType == fstFixedChar ? TFieldKind::FixedChar : TFieldKind::VarBytes,
                         size, 0};
    case ftLargeInt:
      return TColumnType{TFieldKind::LargeInt, 0, 0};
    default:
      return std::nullopt;  // Extended and unknown codes get no column
  }
}

TEngineFieldType EngineTypeOf(TFieldKind kind) {
  switch (kind) {
    case TFieldKind::String:
      return {ftString, 0};
    case TFieldKind::FixedChar:
      return {ftString, fstFixedChar};
    case TFieldKind::Date:
      return {ftDate, 0};
    case TFieldKind::Memo:
      return {ftBlob, fstMemo};
    case TFieldKind::FormattedMemo:
      return {ftBlob, fstFormattedMemo};
    case TFieldKind::Graphic:
      return {ftBlob, fstGraphic};
    case TFieldKind::TypedBinary:
      return {ftBlob, fstTypedBinary};
    case TFieldKind::Blob:
      return {ftBlob, fstBinary};
    case TFieldKind::Boolean:
      return {ftBoolean, 0};
    case TFieldKind::SmallInt:
      return {ftSmallInt, 0};
    case TFieldKind::Integer:
      return {ftInteger, 0};
    case TFieldKind::AutoInc:
      return {ftInteger, fstAutoInc};
    case TFieldKind::Float:
      return {ftFloat, 0};
    case TFieldKind::Currency:
      return {ftFloat, fstMoney};
    case TFieldKind::BCD:
      return {ftBCD, 0};
    case TFieldKind::Bytes:
      return {ftBytes, 0};
    case TFieldKind::Time:
      return {ftTime, 0};
    case TFieldKind::DateTime:
      return {ftTimeStamp, 0};
    case TFieldKind::Word:
      return {ftWord, 0};
    case TFieldKind::VarBytes:
      return {ftVarBytes, 0};
    case TFieldKind::LargeInt:
      return {ftLargeInt, 0};
    case TFieldKind::Unknown:
      break;
  }
  return {ftUnknown, 0};
}

const char* FieldKindName(TFieldKind kind) {
  static const char* const names[] = {
      "Unknown",  "String",      "FixedChar", "Date",    "Memo",     "FormattedMemo",
      "Graphic",  "TypedBinary", "Blob",      "Boolean", "SmallInt", "Integer",
      "AutoInc",  "Float",       "Currency",  "BCD",     "Bytes",    "Time",
      "DateTime", "Word",        "VarBytes",  "LargeInt"};
  const auto i = static_cast<std::size_t>(kind);
  return i < sizeof(names) / sizeof(names[0]) ? names[i] : "Unknown";
}

bool IsBlobKind(TFieldKind kind) {
  return kind == TFieldKind::Memo || kind == TFieldKind::FormattedMemo ||
         kind == TFieldKind::Graphic || kind == TFieldKind::TypedBinary || kind == TFieldKind::Blob;
}

std::string UniqueColumnName(const std::vector<std::string>& taken, const std::string& name) {
  auto isTaken = [&](const std::string& candidate) {
    for (const std::string& t : taken)
      if (SameFieldName(t, candidate)) return true;
    return false;
  };
  std::string result = name;
  for (int n = 1; isTaken(result); ++n)
    result = name + "_" + std::to_string(n);
  return result;
}

// ---- column ------------------------------------------------------------------------------

TVELDORField::TVELDORField(TVELDORDataSet& dataSet, const TFieldDesc& field,
                           const TColumnType& type, std::string name)
    : FDataSet(dataSet),
      FFieldNo(field.FieldNo),
      FType(type),
      FName(std::move(name)),
      FDescription(field.FieldDescription.Text()),
      FRequired(field.Required != 0),
      FReadOnly(type.Kind == TFieldKind::AutoInc) {}

void TVELDORField::TakeTableColumnMarks(bool required, bool autoInc) {
  if (required) FRequired = true;
  if (autoInc && FType.Kind == TFieldKind::Integer) {
    FType.Kind = TFieldKind::AutoInc;
    FReadOnly = true;
  }
}

const TFieldDesc& TVELDORField::Desc() const {
  const TFieldDesc* f = FDataSet.Cursor().Field(FFieldNo);
  if (!f) RaiseDatabaseError(kFieldNotFound, FName);
  return *f;
}

std::string TVELDORField::DisplayLabel() const {
  return FDataSet.AutoDisplayLabels && !FDescription.empty() ? FDescription : FName;
}

void TVELDORField::NoConversion() const {
  RaiseDatabaseError(kFieldNoConversion, FName);
}

bool TVELDORField::IsNull() const {
  const TFieldDesc& f = Desc();
  return engine::IsFieldNull(f, FDataSet.RecordBuffer());
}

namespace {
// The value bytes of a non-NULL field (PhysSize, 4 for a BLOB reference).
std::vector<std::uint8_t> RawValue(const TFieldDesc& f, const std::uint8_t* rec) {
  std::vector<std::uint8_t> v(f.ValueSize());
  ReadFieldBytes(f, rec, v.data());
  return v;
}

bool IsIntegral(std::uint8_t type) {
  return type == ftSmallInt || type == ftInteger || type == ftWord || type == ftCardinal ||
         type == ftLargeInt || type == ftBoolean;
}

std::int64_t IntegralValue(const TFieldDesc& f, const std::uint8_t* v) {
  switch (f.DataType) {
    case ftSmallInt:
      return GetI16(v);
    case ftWord:
      return GetU16(v);
    case ftBoolean:
      return GetU16(v) != 0 ? 1 : 0;
    case ftInteger:
      return GetI32(v);
    case ftCardinal:
      return GetU32(v);
    default:
      return GetI64(v);
  }
}
}  // namespace

std::string TVELDORField::AsString() const {
  const TFieldDesc& f = Desc();
  const std::uint8_t* rec = FDataSet.RecordBuffer();
  if (f.DataType == ftBlob) return FDataSet.GetBlobValue(*this);
  if (engine::IsFieldNull(f, rec)) return {};
  if (f.DataType == ftString) return ReadStringField(f, rec);
  const std::vector<std::uint8_t> v = RawValue(f, rec);
  switch (f.DataType) {
    case ftDate:
      return DateToText(GetI32(v.data()));
    case ftTime:
      return TimeToText(GetI32(v.data()));
    case ftTimeStamp:
      return TimeStampToText(GetDouble(v.data()));
    case ftBoolean:
      return BoolToText(GetU16(v.data()) != 0);
    case ftFloat:
      return FloatToText(GetDouble(v.data()));
    case ftBCD:
      return BcdToText(LoadBcd(v.data()));
    case ftBytes:
    case ftVarBytes:
      return std::string(reinterpret_cast<const char*>(v.data()), v.size());
    default:
      if (IsIntegral(f.DataType)) return IntToText(IntegralValue(f, v.data()));
      NoConversion();
  }
}

std::int64_t TVELDORField::AsLargeInt() const {
  const TFieldDesc& f = Desc();
  const std::uint8_t* rec = FDataSet.RecordBuffer();
  if (f.DataType == ftBlob) NoConversion();
  if (engine::IsFieldNull(f, rec)) return 0;
  if (f.DataType == ftString)
    return TextToInt(ReadStringField(f, rec), std::numeric_limits<std::int64_t>::min(),
                     std::numeric_limits<std::int64_t>::max());
  const std::vector<std::uint8_t> v = RawValue(f, rec);
  if (IsIntegral(f.DataType)) return IntegralValue(f, v.data());
  double d = 0;
  if (f.DataType == ftFloat)
    d = GetDouble(v.data());
  else if (f.DataType == ftBCD)
    d = BcdToDouble(LoadBcd(v.data()));
  else
    NoConversion();
  if (!std::isfinite(d) || std::fabs(d) >= 9.2e18)
    RaiseDatabaseError(kFieldValueOutOfRange, FloatToText(d), FName);
  return std::llround(d);
}

std::int32_t TVELDORField::AsInteger() const {
  const std::int64_t v = AsLargeInt();
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    RaiseDatabaseError(kFieldValueOutOfRange, IntToText(v), FName);
  return static_cast<std::int32_t>(v);
}

double TVELDORField::AsFloat() const {
  const TFieldDesc& f = Desc();
  const std::uint8_t* rec = FDataSet.RecordBuffer();
  if (f.DataType == ftBlob) NoConversion();
  if (engine::IsFieldNull(f, rec)) return 0;
  if (f.DataType == ftString) return TextToFloat(ReadStringField(f, rec));
  const std::vector<std::uint8_t> v = RawValue(f, rec);
  switch (f.DataType) {
    case ftFloat:
    case ftTimeStamp:
      return GetDouble(v.data());
    case ftBCD:
      return BcdToDouble(LoadBcd(v.data()));
    case ftDate:
    case ftTime:
      return GetI32(v.data());
    default:
      if (IsIntegral(f.DataType)) return static_cast<double>(IntegralValue(f, v.data()));
      NoConversion();
  }
}

bool TVELDORField::AsBoolean() const {
  const TFieldDesc& f = Desc();
  const std::uint8_t* rec = FDataSet.RecordBuffer();
  if (engine::IsFieldNull(f, rec)) return false;
  if (f.DataType == ftString) return TextToBool(ReadStringField(f, rec));
  if (f.DataType == ftBoolean || IsIntegral(f.DataType)) return AsLargeInt() != 0;
  NoConversion();
}

double TVELDORField::AsDateTime() const {
  const TFieldDesc& f = Desc();
  const std::uint8_t* rec = FDataSet.RecordBuffer();
  if (engine::IsFieldNull(f, rec)) return 0;
  if (f.DataType == ftString) return TextToTimeStamp(ReadStringField(f, rec));
  const std::vector<std::uint8_t> v = RawValue(f, rec);
  switch (f.DataType) {
    case ftDate:
      return EncodeTimeStamp(GetI32(v.data()), 0);
    case ftTime:
      return GetI32(v.data());
    case ftTimeStamp:
      return GetDouble(v.data());
    default:
      NoConversion();
  }
}

std::string TVELDORField::AsBytes() const {
  const TFieldDesc& f = Desc();
  if (f.DataType == ftBlob) return FDataSet.GetBlobValue(*this);
  if (f.DataType == ftBytes || f.DataType == ftVarBytes || f.DataType == ftString)
    return AsString();
  NoConversion();
}

// ---- writing -----------------------------------------------------------------------------

void TVELDORField::CheckWritable() const {
  FDataSet.CheckEditing();
  if (FReadOnly) RaiseDatabaseError(kFieldReadOnly, FName);
}

void TVELDORField::WriteRaw(const std::uint8_t* bytes) {
  FDataSet.Cursor().SetFieldBytes(FDataSet.RecordBuffer(), FFieldNo, bytes);
  FDataSet.MarkModified();
}

void TVELDORField::Clear() {
  CheckWritable();
  const TFieldDesc& f = Desc();
  if (f.DataType == ftBlob) {
    FDataSet.SetBlobValue(*this, {});
    return;
  }
  FDataSet.Cursor().ClearField(FDataSet.RecordBuffer(), FFieldNo);
  FDataSet.MarkModified();
}

void TVELDORField::SetIntegral(std::int64_t value, const std::string& text) {
  const TFieldDesc& f = Desc();
  std::uint8_t b[8] = {};
  auto range = [&](std::int64_t lo, std::int64_t hi) {
    if (value < lo || value > hi) RaiseDatabaseError(kFieldValueOutOfRange, text, FName);
  };
  switch (f.DataType) {
    case ftSmallInt:
      range(std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max());
      PutI16(b, static_cast<std::int16_t>(value));
      break;
    case ftWord:
      range(0, std::numeric_limits<std::uint16_t>::max());
      PutU16(b, static_cast<std::uint16_t>(value));
      break;
    case ftBoolean:
      PutU16(b, value != 0 ? 1 : 0);
      break;
    case ftInteger:
      range(std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
      PutI32(b, static_cast<std::int32_t>(value));
      break;
    case ftCardinal:
      range(0, std::numeric_limits<std::uint32_t>::max());
      PutU32(b, static_cast<std::uint32_t>(value));
      break;
    case ftLargeInt:
      PutI64(b, value);
      break;
    case ftFloat:
      PutDouble(b, static_cast<double>(value));
      break;
    case ftBCD: {
      const auto bcd = BcdFromDouble(static_cast<double>(value), f.FieldScale);
      if (!bcd) RaiseDatabaseError(kFieldValueOutOfRange, text, FName);
      std::uint8_t buf[kBcdSize];
      StoreBcd(*bcd, buf);
      WriteRaw(buf);
      return;
    }
    case ftString:
      FDataSet.Cursor().SetString(FDataSet.RecordBuffer(), FFieldNo, text);
      FDataSet.MarkModified();
      return;
    default:
      NoConversion();
  }
  WriteRaw(b);
}

void TVELDORField::SetAsLargeInt(std::int64_t value) {
  CheckWritable();
  SetIntegral(value, IntToText(value));
}

void TVELDORField::SetAsInteger(std::int32_t value) {
  SetAsLargeInt(value);
}

void TVELDORField::SetAsBoolean(bool value) {
  CheckWritable();
  if (Desc().DataType == ftString) {
    FDataSet.Cursor().SetString(FDataSet.RecordBuffer(), FFieldNo, BoolToText(value));
    FDataSet.MarkModified();
    return;
  }
  SetIntegral(value ? 1 : 0, BoolToText(value));
}

void TVELDORField::SetAsFloat(double value) {
  CheckWritable();
  const TFieldDesc& f = Desc();
  std::uint8_t b[kBcdSize] = {};
  switch (f.DataType) {
    case ftFloat:
    case ftTimeStamp:
      PutDouble(b, value);
      WriteRaw(b);
      return;
    case ftBCD: {
      const auto bcd = BcdFromDouble(value, f.FieldScale);
      if (!bcd) RaiseDatabaseError(kFieldValueOutOfRange, FloatToText(value), FName);
      StoreBcd(*bcd, b);
      WriteRaw(b);
      return;
    }
    case ftString:
      FDataSet.Cursor().SetString(FDataSet.RecordBuffer(), FFieldNo, FloatToText(value));
      FDataSet.MarkModified();
      return;
    default:
      if (!std::isfinite(value) || std::fabs(value) >= 9.2e18)
        RaiseDatabaseError(kFieldValueOutOfRange, FloatToText(value), FName);
      SetIntegral(std::llround(value), FloatToText(value));
  }
}

void TVELDORField::SetAsDateTime(double value) {
  CheckWritable();
  const TFieldDesc& f = Desc();
  std::uint8_t b[8] = {};
  const auto parts = SplitTimeStamp(value);
  switch (f.DataType) {
    case ftTimeStamp:
      if (!parts) RaiseDatabaseError(kFieldValueOutOfRange, FloatToText(value), FName);
      PutDouble(b, value);
      break;
    case ftDate:
      if (!parts || parts->DayNumber < 1)
        RaiseDatabaseError(kFieldValueOutOfRange, FloatToText(value), FName);
      PutI32(b, parts->DayNumber);
      break;
    case ftTime:
      if (!parts) RaiseDatabaseError(kFieldValueOutOfRange, FloatToText(value), FName);
      PutI32(b, parts->MsOfDay);
      break;
    case ftString:
      FDataSet.Cursor().SetString(FDataSet.RecordBuffer(), FFieldNo, TimeStampToText(value));
      FDataSet.MarkModified();
      return;
    default:
      NoConversion();
  }
  WriteRaw(b);
}

void TVELDORField::SetAsString(std::string_view text) {
  CheckWritable();
  const TFieldDesc& f = Desc();
  std::uint8_t b[kBcdSize] = {};
  switch (f.DataType) {
    case ftString:
      FDataSet.Cursor().SetString(FDataSet.RecordBuffer(), FFieldNo, text);
      FDataSet.MarkModified();
      return;
    case ftBlob:
      FDataSet.SetBlobValue(*this, text);
      return;
    case ftBytes:
    case ftVarBytes:
      SetAsBytes(text);
      return;
    default:
      break;
  }
  // Any other kind: an empty text is NULL, otherwise the value's text form.
  if (TrimBlanks(text).empty()) {
    if (f.IsAutoInc()) NoConversion();
    FDataSet.Cursor().ClearField(FDataSet.RecordBuffer(), FFieldNo);
    FDataSet.MarkModified();
    return;
  }
  switch (f.DataType) {
    case ftDate:
      PutI32(b, TextToDate(text));
      break;
    case ftTime:
      PutI32(b, TextToTime(text));
      break;
    case ftTimeStamp:
      PutDouble(b, TextToTimeStamp(text));
      break;
    case ftBoolean:
      PutU16(b, TextToBool(text) ? 1 : 0);
      break;
    case ftFloat:
      PutDouble(b, TextToFloat(text));
      break;
    case ftBCD: {
      const auto bcd = ParseBcdWithScale(TrimBlanks(text), f.FieldScale);
      if (!bcd) RaiseDatabaseError(kFieldValueOutOfRange, std::string(text), FName);
      StoreBcd(*bcd, b);
      break;
    }
    default:
      if (!IsIntegral(f.DataType)) NoConversion();
      SetIntegral(TextToInt(text, std::numeric_limits<std::int64_t>::min(),
                            std::numeric_limits<std::int64_t>::max()),
                  std::string(text));
      return;
  }
  WriteRaw(b);
}

void TVELDORField::SetAsBytes(std::string_view bytes) {
  CheckWritable();
  const TFieldDesc& f = Desc();
  if (f.DataType == ftBlob) {
    FDataSet.SetBlobValue(*this, bytes);
    return;
  }
  if (f.DataType == ftString) {
    SetAsString(bytes);
    return;
  }
  if (f.DataType != ftBytes && f.DataType != ftVarBytes) NoConversion();
  // Raw bytes are cut or zero-padded to the field's size.
  std::vector<std::uint8_t> b(f.PhysSize, 0);
  std::memcpy(b.data(), bytes.data(), std::min<std::size_t>(bytes.size(), b.size()));
  WriteRaw(b.data());
}

}  // namespace zorvic::engine

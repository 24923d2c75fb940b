// Field values of record buffers as expression values, and back.
//
// The value forms of expression nodes are the fields' own little-endian bytes, so fixed-size
// fields copy straight across. Types that SQL has no value form for read as the nearest one
// (Cardinal as LargeInt, Extended as Float, VarBytes as Bytes). BLOB values are read through
// the cursor's open values and written into an open value of the buffer, which stays open so
// that posting the record stores it.
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "engine/sql/eval/EvalInternal.h"
#include "engine/sql/eval/RecordValues.h"
#include "engine/storage/cursors/DataCursor.h"

namespace zorvic::engine {

namespace {

TDataType ValueTypeOf(const TFieldDesc& f) {
  switch (f.DataType) {
    case ftCardinal:
      return dtLargeInt;
    case ftExtended:
      return dtFloat;
    case ftVarBytes:
      return dtBytes;
    default:
      return static_cast<TDataType>(f.DataType);
  }
}

void SetFieldType(const TFieldDesc& f, TExpToken& out) {
  out.DataType = ValueTypeOf(f);
  out.SubType = static_cast<TSubType>(f.SubType);
  out.Scale = f.FieldScale;
  switch (f.DataType) {
    case ftString:
      out.Size = f.FieldSize + 1;
      break;
    case ftBytes:
    case ftVarBytes:
      out.Size = f.FieldSize;
      break;
    case ftBlob:
      out.Size = 0;
      break;
    default:
      out.Size = FixedTypeSize(out.DataType);
      break;
  }
}

// Reads a whole BLOB value through an open value of the buffer.
std::string ReadBlobValue(TDataCursor& cursor, std::uint8_t* record, std::uint32_t fieldNo) {
  cursor.OpenBlob(record, fieldNo, TBlobOpenMode::bmRead);
  std::string bytes;
  try {
    std::int64_t size = 0;
    if (cursor.BlobSize(record, fieldNo, &size) == VELDOR_NONE && size > 0) {
      bytes.resize(static_cast<std::size_t>(size));
      std::int64_t read = 0;
      cursor.ReadBlob(record, fieldNo, 0, bytes.data(), size, &read);
      bytes.resize(static_cast<std::size_t>(read));
    }
  } catch (...) {
    cursor.FreeBlob(record, fieldNo);
    throw;
  }
  cursor.FreeBlob(record, fieldNo);
  return bytes;
}

bool WriteBlobValue(TDataCursor& cursor, std::uint8_t* record, std::uint32_t fieldNo,
                    std::string_view bytes) {
  // The value stays open: posting the record writes it to the BLOB file.
  cursor.OpenBlob(record, fieldNo, TBlobOpenMode::bmWrite);
  if (cursor.TruncateBlob(record, fieldNo, 0) != VELDOR_NONE) return false;
  if (bytes.empty()) return true;
  return cursor.WriteBlob(record, fieldNo, 0, bytes.data(),
                          static_cast<std::int64_t>(bytes.size())) == VELDOR_NONE;
}

bool StoreBlob(TDataCursor& cursor, std::uint8_t* record, const TFieldDesc& f,
               const TExpToken& value) {
  if (value.IsNull || value.DataType == dtNull) {
    // Nothing to do for a NULL field without an open value.
    if (GetI32(record + f.FieldOffset + 1) >= 0 && record[f.FieldOffset] == 0) return true;
    return WriteBlobValue(cursor, record, f.FieldNo, {});
  }
  if (f.IsMemo()) {
    const std::string text =
        eval::IsTextValue(value) ? std::string(value.StringValue()) : ValueToText(value);
    return WriteBlobValue(cursor, record, f.FieldNo, text);
  }
  if (eval::IsTextValue(value))
    return WriteBlobValue(cursor, record, f.FieldNo, eval::TextOf(value));
  if (value.DataType == dtBlob || value.DataType == dtBytes) {
    return WriteBlobValue(cursor, record, f.FieldNo, eval::BytesOf(value));
  }
  TExpTokenPtr converted = NewExpToken();
  eval::CopyValue(value, *converted);
  if (!ConvertValue(*converted, dtBlob, static_cast<TSubType>(f.SubType), 0, 0)) return false;
  return WriteBlobValue(cursor, record, f.FieldNo, eval::BytesOf(*converted));
}

}  // namespace

void SetFieldValueType(const TFieldDesc& field, TExpToken& out) {
  SetFieldType(field, out);
}

void FetchFieldValue(TDataCursor& cursor, std::uint8_t* record, std::uint32_t fieldNo,
                     TExpToken& out) {
  const TFieldDesc* f = cursor.Field(fieldNo);
  if (f == nullptr) {
    out.SetNullValue();
    return;
  }
  SetFieldType(*f, out);
  if (cursor.IsFieldNull(record, fieldNo)) {
    out.ReserveValue(0);
    out.IsNull = true;
    return;
  }
  if (f->IsBlob()) {
    const std::string bytes = ReadBlobValue(cursor, record, fieldNo);
    if (f->IsMemo()) {
      out.SetStringValue(bytes.substr(0, bytes.find('\0')));
    } else {
      out.SetBytesValue(bytes.data(), bytes.size());
    }
    return;
  }
  std::uint8_t fixed[kBcdSize + 8];
  std::vector<std::uint8_t> large;
  std::uint8_t* bytes = fixed;
  if (f->ValueSize() > sizeof(fixed)) {
    large.resize(f->ValueSize());
    bytes = large.data();
  }
  if (!cursor.GetFieldBytes(record, fieldNo, bytes)) {
    out.ReserveValue(0);
    out.IsNull = true;
    return;
  }
  switch (f->DataType) {
    case ftString:
      out.SetStringValue(
          std::string_view(reinterpret_cast<const char*>(bytes),
                           strnlen(reinterpret_cast<const char*>(bytes), f->PhysSize)));
      return;
    case ftBoolean:
      out.SetScalar<std::int16_t>(GetI16(bytes) != 0 ? 1 : 0);
      return;
    case ftCardinal:
      out.SetScalar<std::int64_t>(GetU32(bytes));
      return;
    case ftExtended:
      out.SetScalar<double>(LoadExtended(bytes));
      return;
    default:
      out.SetBytesValue(bytes, f->ValueSize());
      return;
  }
}

bool StoreFieldValue(TDataCursor& cursor, std::uint8_t* record, std::uint32_t fieldNo,
                     const TExpToken& value) {
  const TFieldDesc* f = cursor.Field(fieldNo);
  if (f == nullptr) return false;
  if (f->IsBlob()) return StoreBlob(cursor, record, *f, value);
  if (value.IsNull || value.DataType == dtNull) {
    // An auto-increment field is never NULL: inserting gives it its value.
    if (f->IsAutoInc()) return true;
    cursor.ClearField(record, fieldNo);
    return true;
  }
  if (f->DataType == ftString) {
    TExpTokenPtr text = NewExpToken();
    eval::CopyValue(value, *text);
    if (!eval::IsTextValue(*text) &&
        !ConvertValue(*text, dtString, stNone, static_cast<std::int32_t>(f->PhysSize), 0)) {
      return false;
    }
    // The field's own writer cuts the text to the field, drops trailing blanks, applies the
    // field's character case and stores an empty text as NULL.
    cursor.SetString(record, fieldNo, text->StringValue());
    return true;
  }
  TExpTokenPtr converted = NewExpToken();
  eval::CopyValue(value, *converted);
  const TDataType type = ValueTypeOf(*f);
  const bool same = converted->DataType == type &&
                    (type != dtBCD || converted->Scale == f->FieldScale ||
                     (converted->ValueLength() >= kBcdSize &&
                      BcdScale(LoadBcd(converted->ValueData())) == f->FieldScale)) &&
                    type != dtBytes;
  if (!same) {
    const std::int32_t size = type == dtBytes ? f->FieldSize : 0;
    if (!ConvertValue(*converted, type, static_cast<TSubType>(f->SubType), size, f->FieldScale)) {
      return false;
    }
    if (converted->IsNull) return false;
  }
  std::uint8_t fixed[kBcdSize + 8] = {};
  std::vector<std::uint8_t> large;
  std::uint8_t* bytes = fixed;
  if (f->PhysSize > sizeof(fixed)) {
    large.assign(f->PhysSize, 0);
    bytes = large.data();
  }
  switch (f->DataType) {
    case ftDate:
      if (!DecodeDate(converted->Scalar<std::int32_t>())) return false;
      break;
    case ftTime:
      if (!DecodeTime(converted->Scalar<std::int32_t>())) return false;
      break;
    case ftTimeStamp:
      if (!SplitTimeStamp(converted->Scalar<double>())) return false;
      break;
    case ftBCD:
      if (converted->ValueLength() < kBcdSize || !IsValidBcd(LoadBcd(converted->ValueData()))) {
        return false;
      }
      break;
    default:
      break;
  }
  switch (f->DataType) {
    case ftCardinal: {
      const std::int64_t v = eval::IntegerOf(*converted);
      if (v < 0 || v > static_cast<std::int64_t>(UINT32_MAX)) return false;
      PutU32(bytes, static_cast<std::uint32_t>(v));
      break;
    }
    case ftExtended:
      StoreExtended(converted->Scalar<double>(), bytes);
      break;
    default: {
      const std::size_t n =
          converted->ValueLength() < f->PhysSize ? converted->ValueLength() : f->PhysSize;
      std::memcpy(bytes, converted->ValueData(), n);
      break;
    }
  }
  cursor.SetFieldBytes(record, fieldNo, bytes);
  return true;
}

}  // namespace zorvic::engine

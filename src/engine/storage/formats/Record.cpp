#include "engine/storage/formats/Record.h"

#include <cstring>

#include "engine/storage/formats/Collation.h"

namespace zorvic::engine {

const TCollation& CaseCollationFor(std::uint16_t languageId, std::uint16_t sortId) {
  if (languageId != 0) {
    if (const TCollation* c = TCollation::Get(languageId, sortId)) return *c;
  }
  return TCollation::Binary();  // maps case by US English rules
}

bool IsFieldNull(const TFieldDesc& field, const std::uint8_t* rec) {
  if (field.IsAutoInc()) return false;
  return rec[field.FieldOffset] == 0;
}

bool ReadFieldBytes(const TFieldDesc& field, const std::uint8_t* rec, std::uint8_t* out) {
  if (field.IsAutoInc()) {
    std::memcpy(out, rec + kRowIdOffset, 4);
    return true;
  }
  if (rec[field.FieldOffset] == 0) return false;
  std::memcpy(out, rec + field.FieldOffset + 1, field.ValueSize());
  return true;
}

std::string ReadStringField(const TFieldDesc& field, const std::uint8_t* rec) {
  if (IsFieldNull(field, rec)) return {};
  const auto* p = reinterpret_cast<const char*>(rec + field.FieldOffset + 1);
  return std::string(p, strnlen(p, field.PhysSize));
}

std::int32_t ReadBlobField(const TFieldDesc& field, const std::uint8_t* rec) {
  if (IsFieldNull(field, rec)) return 0;
  return GetI32(rec + field.FieldOffset + 1);
}

void WriteStringField(const TFieldDesc& field, std::uint8_t* rec, std::string_view text,
                      const TCollation& caseCollation) {
  const std::size_t limit = field.PhysSize > 0 ? field.PhysSize - 1u : 0u;
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos)
    text = text.substr(0, nul);
  if (text.size() > limit) text = text.substr(0, limit);
  while (!text.empty() && text.back() == ' ')
    text.remove_suffix(1);
  std::string stored(text);
  if (field.CharCase == kCharCaseLower)
    stored = caseCollation.Lower(stored);
  else if (field.CharCase == kCharCaseUpper)
    stored = caseCollation.Upper(stored);
  std::uint8_t* value = rec + field.FieldOffset + 1;
  std::memset(value, 0, field.PhysSize);
  std::memcpy(value, stored.data(), stored.size());
  rec[field.FieldOffset] = stored.empty() ? 0 : 1;
}

void WriteBlobField(const TFieldDesc& field, std::uint8_t* rec, std::int32_t firstBlock) {
  std::uint8_t* value = rec + field.FieldOffset + 1;
  std::memset(value, 0, field.PhysSize);
  PutI32(value, firstBlock);
  rec[field.FieldOffset] = firstBlock != 0 ? 1 : 0;
}

void WriteFieldBytes(const TFieldDesc& field, std::uint8_t* rec, const std::uint8_t* value) {
  if (field.IsAutoInc()) {
    std::memcpy(rec + kRowIdOffset, value, 4);
    return;
  }
  std::uint8_t* dest = rec + field.FieldOffset + 1;
  std::memcpy(dest, value, field.PhysSize);
  if (field.DataType == ftBoolean && GetU16(dest) > 1) PutU16(dest, 1);
  rec[field.FieldOffset] = 1;
}

bool ClearField(const TFieldDesc& field, std::uint8_t* rec) {
  if (field.IsAutoInc()) return false;
  rec[field.FieldOffset] = 0;
  std::memset(rec + field.FieldOffset + 1, 0, field.PhysSize);
  return true;
}

bool CheckStoredField(const TFieldDesc& field, const std::uint8_t* rec, std::string* why) {
  if (field.IsAutoInc()) return true;
  const std::uint8_t flag = rec[field.FieldOffset];
  const std::uint8_t* v = rec + field.FieldOffset + 1;
  const auto fail = [why](const char* text) {
    if (why) *why = text;
    return false;
  };
  if (flag > 1) return fail("null flag is neither 0 nor 1");
  if (flag == 0) {
    for (std::uint32_t i = 0; i < field.PhysSize; ++i)
      if (v[i] != 0) return fail("NULL value with non-zero bytes");
    return true;
  }
  switch (field.DataType) {
    case ftString:
      if (field.PhysSize == 0 || v[field.PhysSize - 1] != 0) return fail("unterminated string");
      if (v[0] == 0) return fail("empty string not stored as NULL");
      return true;
    case ftDate:
      return DecodeDate(GetI32(v)) ? true : fail("date out of range");
    case ftTime:
      return DecodeTime(GetI32(v)) ? true : fail("time out of range");
    case ftTimeStamp:
      return SplitTimeStamp(GetDouble(v)) ? true : fail("time stamp out of range");
    case ftBoolean:
      return GetU16(v) <= 1 ? true : fail("Boolean neither 0 nor 1");
    case ftBCD:
      return IsValidBcd(LoadBcd(v)) ? true : fail("malformed BCD value");
    case ftBlob:
      if (GetI32(v) <= 0) return fail("Blob reference without a first block");
      return true;
    default:
      return true;
  }
}

}  // namespace zorvic::engine

#include "engine/storage/formats/FieldDefs.h"

#include "engine/EngineLimits.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/Scramble.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine {
namespace {

std::string_view TrimControls(std::string_view s) {
  while (!s.empty() && static_cast<std::uint8_t>(s.front()) < 33)
    s.remove_prefix(1);
  while (!s.empty() && static_cast<std::uint8_t>(s.back()) < 33)
    s.remove_suffix(1);
  return s;
}

template <std::size_t N>
std::string ScrambledText(const TCountedString<N>& s, bool scrambled) {
  std::string text = s.Text();
  if (scrambled && !text.empty()) Scramble(text.data(), text.size(), TextSeed);
  return text;
}

template <std::size_t N>
void SetScrambled(TCountedString<N>& s, std::string_view text, bool scramble) {
  std::string bytes(text.substr(0, N));
  if (scramble && !bytes.empty()) Scramble(bytes.data(), bytes.size(), TextSeed);
  s.Set(bytes);
}

bool IsValidFirstChar(std::uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}

}  // namespace

// ---- header ----------------------------------------------------------------------------

void TTableHeader::Decode(const std::uint8_t* p) {
  ChangeCount = GetI32(p + 0);
  BlobBlockSize = GetU32(p + 4);
  FormatVersion = p[8];
  FirstDeleted = GetI32(p + 9);
  NextRecordNo = GetI32(p + 13);
  LastAutoInc = GetI32(p + 17);
  RecordSize = GetU16(p + 21);
  FieldCount = GetU16(p + 23);
  BlobFieldCount = GetU16(p + 25);
  LastUpdated = GetDouble(p + 27);
  TableDescription.Load(p + 35);
  Encrypted = p[86];
  TablePassword.Load(p + 87);
  LocaleLanguage = GetU16(p + 103);
  LocaleSort = GetU16(p + 105);
  UserMajorVersion = GetU16(p + 107);
  UserMinorVersion = GetU16(p + 109);
  HeaderModified = p[111];
  for (std::size_t i = 0; i < 4; ++i)
    Reserved112[i] = p[112 + i];
  WriterVersion = GetI64(p + 116);
  for (std::size_t i = 0; i < 3; ++i)
    Reserved124[i] = p[124 + i];
}

void TTableHeader::Encode(std::uint8_t* p) const {
  PutI32(p + 0, ChangeCount);
  PutU32(p + 4, BlobBlockSize);
  p[8] = FormatVersion;
  PutI32(p + 9, FirstDeleted);
  PutI32(p + 13, NextRecordNo);
  PutI32(p + 17, LastAutoInc);
  PutU16(p + 21, RecordSize);
  PutU16(p + 23, FieldCount);
  PutU16(p + 25, BlobFieldCount);
  PutDouble(p + 27, LastUpdated);
  TableDescription.Store(p + 35);
  p[86] = Encrypted;
  TablePassword.Store(p + 87);
  PutU16(p + 103, LocaleLanguage);
  PutU16(p + 105, LocaleSort);
  PutU16(p + 107, UserMajorVersion);
  PutU16(p + 109, UserMinorVersion);
  p[111] = HeaderModified;
  for (std::size_t i = 0; i < 4; ++i)
    p[112 + i] = Reserved112[i];
  PutI64(p + 116, WriterVersion);
  for (std::size_t i = 0; i < 3; ++i)
    p[124 + i] = Reserved124[i];
}

std::string TTableHeader::Description() const {
  return ScrambledText(TableDescription, Encrypted != 0);
}
std::string TTableHeader::Password() const {
  return ScrambledText(TablePassword, Encrypted != 0);
}

// ---- descriptors -----------------------------------------------------------------------

void TFieldDesc::Decode(const std::uint8_t* p) {
  FieldNo = GetU16(p + 0);
  FieldName.Load(p + 2);
  FieldDescription.Load(p + 33);
  DataType = p[84];
  SubType = p[85];
  FieldSize = p[86];
  FieldScale = p[87];
  PhysSize = p[88];
  ScaleCopy = p[89];
  FieldOffset = GetU16(p + 90);
  Required = p[92];
  CharCase = p[93];
  MinValue.Load(p + 94);
  MaxValue.Load(p + 145);
  DefaultValue.Load(p + 196);
  NotStored = p[247];
  for (std::size_t i = 0; i < Reserved.size(); ++i)
    Reserved[i] = p[248 + i];
}

void TFieldDesc::Encode(std::uint8_t* p) const {
  PutU16(p + 0, FieldNo);
  FieldName.Store(p + 2);
  FieldDescription.Store(p + 33);
  p[84] = DataType;
  p[85] = SubType;
  p[86] = FieldSize;
  p[87] = FieldScale;
  p[88] = PhysSize;
  p[89] = ScaleCopy;
  PutU16(p + 90, FieldOffset);
  p[92] = Required;
  p[93] = CharCase;
  MinValue.Store(p + 94);
  MaxValue.Store(p + 145);
  DefaultValue.Store(p + 196);
  p[247] = NotStored;
  for (std::size_t i = 0; i < Reserved.size(); ++i)
    p[248 + i] = Reserved[i];
}

bool IsValidFieldName(std::string_view name) {
  return !name.empty() && name.size() <= MaxFieldNameLength &&
         IsValidFirstChar(static_cast<std::uint8_t>(name.front()));
}

bool SameFieldName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const TCollation& c = TCollation::Binary();
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (c.UpperChar(static_cast<std::uint8_t>(a[i])) !=
        c.UpperChar(static_cast<std::uint8_t>(b[i])))
      return false;
  }
  return true;
}

// ---- creation checks -------------------------------------------------------------------

std::vector<TFieldDesc> BuildFieldDescs(const TTableDefinition& def, const std::string& tableName) {
  if (def.Encrypted) {
    const std::string_view password = TrimControls(def.Password);
    if (password.empty() || password.size() > MaxTablePasswordLength)
      RaiseTableError(VELDOR_INVALIDPASSWORD, tableName);
  }
  if ((def.LanguageId != 0 || def.SortId != 0) && !IsInstalledCollation(def.LanguageId, def.SortId))
    RaiseTableError(VELDOR_CANNOTLOADLDDRV, tableName);
  if (def.Fields.empty() || def.Fields.size() > MaxFieldCount || def.LastAutoInc < -1 ||
      def.LastAutoInc > MaxAutoIncValue)
    RaiseTableError(VELDOR_FLDLIMIT, tableName);
  if (def.IndexCount > MaxIndexDescriptors) RaiseTableError(VELDOR_INDEXLIMIT, tableName);
  if (def.BlobBlockSize < static_cast<std::uint32_t>(MinBlobBlockSize) ||
      def.BlobBlockSize > static_cast<std::uint32_t>(MaxBlobBlockSize))
    RaiseTableError(VELDOR_BLOBLIMIT, tableName);

  std::vector<TFieldDesc> out;
  out.reserve(def.Fields.size());
  std::uint32_t offset = kRecordHeaderSize;
  for (std::size_t i = 0; i < def.Fields.size(); ++i) {
    const TFieldDefinition& f = def.Fields[i];
    const std::string name(TrimControls(f.Name));
    if (!IsValidFieldName(name)) RaiseFieldError(VELDOR_INVALIDFIELDNAME, name, tableName);
    for (std::size_t j = 0; j < def.Fields.size(); ++j) {
      if (j != i && SameFieldName(name, TrimControls(def.Fields[j].Name)))
        RaiseFieldError(VELDOR_INVALIDFIELDNAME, name, tableName);
    }
    const std::uint16_t fieldNo = static_cast<std::uint16_t>(i + 1);
    if ((f.FieldNo != 0 && f.FieldNo != fieldNo) || !IsKnownFieldType(f.DataType))
      RaiseFieldError(VELDOR_INVALIDFLDTYPE, name, tableName);
    TFieldDesc d;
    d.FieldNo = fieldNo;
    d.FieldName.Set(name);
    d.FieldDescription.Set(f.Description);
    d.DataType = f.DataType;
    d.SubType = f.SubType;
    if (TypeHasSize(f.DataType)) {
      if (f.Size < 1 || f.Size > MaxFieldSize)
        RaiseFieldError(VELDOR_INVALIDFLDTYPE, name, tableName);
      d.FieldSize = static_cast<std::uint8_t>(f.Size);
    }
    if (f.CharCase > kCharCaseUpper) RaiseFieldError(VELDOR_INVALIDFLDTYPE, name, tableName);
    d.CharCase = f.DataType == ftString ? f.CharCase : kCharCaseNone;
    const auto literalOk = [&](const std::string& text, TLiteralUse use) {
      return text.size() <= MaxFieldLiteralLength &&
             IsValidFieldLiteral(f.DataType, f.SubType, text, use);
    };
    if (!literalOk(f.MinValue, TLiteralUse::Minimum) ||
        !literalOk(f.MaxValue, TLiteralUse::Maximum) ||
        !literalOk(f.DefaultValue, TLiteralUse::Default))
      RaiseFieldError(VELDOR_INVALIDVCHKSTRUCT, name, tableName);
    d.MinValue.Set(f.MinValue);
    d.MaxValue.Set(f.MaxValue);
    d.DefaultValue.Set(f.DefaultValue);
    if (f.DataType == ftBCD) {
      if (f.Scale > 4) RaiseFieldError(VELDOR_INVALIDFLDTYPE, name, tableName);
      d.FieldScale = static_cast<std::uint8_t>(f.Scale);
    }
    d.ScaleCopy = d.FieldScale;
    d.PhysSize = static_cast<std::uint8_t>(PhysSizeOf(d.DataType, d.FieldSize));
    d.Required = f.Required ? 1 : 0;
    if (d.IsAutoInc()) {
      d.FieldOffset = kRowIdOffset;
    } else {
      // Offsets past 65,535 only occur in records that BuildTableHeader refuses as too big.
      d.FieldOffset = static_cast<std::uint16_t>(offset > 0xFFFF ? 0xFFFF : offset);
      offset += d.PhysSize + 1u;
    }
    out.push_back(d);
  }
  return out;
}

TTableHeader BuildTableHeader(const TTableDefinition& def, const std::vector<TFieldDesc>& fields,
                              const std::string& tableName) {
  TTableHeader h;
  h.LocaleLanguage = def.LanguageId;
  h.LocaleSort = def.SortId;
  h.UserMajorVersion = def.UserMajorVersion;
  h.UserMinorVersion = def.UserMinorVersion;
  h.Encrypted = def.Encrypted ? 1 : 0;
  if (def.Encrypted) {
    SetScrambled(h.TablePassword, TrimControls(def.Password), true);
    SetScrambled(h.TableDescription, def.Description, true);
  } else {
    h.TableDescription.Set(def.Description);
  }
  h.FieldCount = static_cast<std::uint16_t>(fields.size());
  std::uint32_t blobs = 0;
  std::uint64_t recordSize = kRecordHeaderSize;
  for (const TFieldDesc& f : fields) {
    if (f.IsBlob() && ++blobs > MaxBlobFieldCount) RaiseTableError(VELDOR_BLOBLIMIT, tableName);
    if (!f.IsAutoInc() && !f.NotStored) recordSize += f.PhysSize + 1u;
  }
  h.BlobFieldCount = static_cast<std::uint16_t>(blobs);
  h.BlobBlockSize = def.BlobBlockSize;
  h.FormatVersion = kDataFormatVersion;
  h.FirstDeleted = 0;
  h.NextRecordNo = 1;
  h.LastAutoInc = def.LastAutoInc > 0 ? static_cast<std::int32_t>(def.LastAutoInc) : 0;
  h.ChangeCount = 0;
  if (recordSize > MaxRecordSize) RaiseTableError(VELDOR_RECTOOBIG, tableName);
  h.RecordSize = static_cast<std::uint16_t>(recordSize);
  return h;
}

// ---- first-open checks -----------------------------------------------------------------

std::string CheckFieldDescs(const TTableHeader& header, const std::vector<TFieldDesc>& fields) {
  if (fields.size() != header.FieldCount) return "field count differs from the header";
  std::uint32_t offset = kRecordHeaderSize;
  std::uint32_t blobs = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const TFieldDesc& f = fields[i];
    const std::string where = "field " + std::to_string(i + 1) + ": ";
    if (f.FieldNo != i + 1) return where + "field number differs from its position";
    if (!f.FieldName.WellFormed() || !f.FieldDescription.WellFormed() || !f.MinValue.WellFormed() ||
        !f.MaxValue.WellFormed() || !f.DefaultValue.WellFormed())
      return where + "counted string too long";
    const std::string name = f.Name();
    if (!IsValidFieldName(TCollation::Binary().Upper(name))) return where + "invalid name";
    for (std::size_t j = 0; j < i; ++j) {
      if (SameFieldName(fields[j].Name(), name)) return where + "duplicate name";
    }
    if (!IsKnownFieldType(f.DataType)) return where + "unknown type";
    if (TypeHasSize(f.DataType) ? f.FieldSize > MaxFieldSize : f.FieldSize != 0)
      return where + "invalid size";
    if (f.PhysSize != PhysSizeOf(f.DataType, f.FieldSize)) return where + "invalid value size";
    if (f.DataType == ftBCD ? f.FieldScale > 63 : f.FieldScale != 0) return where + "invalid scale";
    if (!IsValidFieldLiteral(f.DataType, f.SubType, f.MinValue.Text(), TLiteralUse::Minimum) ||
        !IsValidFieldLiteral(f.DataType, f.SubType, f.MaxValue.Text(), TLiteralUse::Maximum) ||
        !IsValidFieldLiteral(f.DataType, f.SubType, f.DefaultValue.Text(), TLiteralUse::Default))
      return where + "invalid minimum, maximum or default";
    if (f.NotStored) return where + "marked as not stored";
    if (f.IsBlob()) ++blobs;
    if (f.IsAutoInc()) {
      if (f.FieldOffset != kRowIdOffset) return where + "auto-increment field not at offset 5";
    } else {
      if (f.FieldOffset != offset) return where + "offset differs from the layout";
      offset += f.PhysSize + 1u;
    }
  }
  if (offset != header.RecordSize) return "record size differs from the fields";
  if (blobs != header.BlobFieldCount) return "Blob field count differs from the fields";
  return {};
}

}  // namespace zorvic::engine

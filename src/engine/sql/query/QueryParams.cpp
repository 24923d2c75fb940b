// Parameter values, the parameter collection and the scan of named parameters.
#include "engine/sql/query/QueryParams.h"

#include <cstring>

#include "engine/components/DatabaseError.h"
#include "engine/sql/parse/ExpToken.h"
#include "engine/sql/parse/Lexer.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine {

namespace {

template <typename T>
std::string ScalarBytes(T value) {
  std::string bytes(sizeof(T), '\0');
  std::memcpy(bytes.data(), &value, sizeof(T));
  return bytes;
}

template <typename T>
T BytesScalar(const std::string& bytes) {
  T value{};
  if (bytes.size() >= sizeof(T)) std::memcpy(&value, bytes.data(), sizeof(T));
  return value;
}

bool IsParamNameChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         (c >= 128 && c != 255);
}

// Copies a literal starting at text[i] (its opening delimiter) to out and returns the index
// after it. Inside quotes the doubled closing quote stays inside; brackets end at "]".
std::size_t CopyLiteral(std::string_view text, std::size_t i, std::string& out) {
  const char open = text[i];
  const char close = open == '[' ? ']' : open;
  out += text[i++];
  while (i < text.size()) {
    const char c = text[i];
    out += c;
    ++i;
    if (c != close) continue;
    if (close != ']' && i < text.size() && text[i] == close) {
      out += text[i++];
      continue;
    }
    break;
  }
  return i;
}

}  // namespace

// ---- TParam ------------------------------------------------------------------------------

void TParam::Store(TFieldKind kind, std::string bytes) {
  FKind = kind;
  FBytes = std::move(bytes);
  FNull = false;
  FBound = true;
}

void TParam::SetDataType(TFieldKind kind) {
  if (kind == FKind) return;
  FKind = kind;
  FBytes.clear();
  FNull = true;
}

void TParam::Clear() {
  FBytes.clear();
  FNull = true;
  FBound = true;
}

void TParam::SetAsString(std::string_view text) {
  Store(TFieldKind::String, std::string(text));
}
void TParam::SetAsMemo(std::string_view text) {
  Store(TFieldKind::Memo, std::string(text));
}
void TParam::SetAsSmallInt(std::int16_t value) {
  Store(TFieldKind::SmallInt, ScalarBytes(value));
}
void TParam::SetAsWord(std::uint16_t value) {
  Store(TFieldKind::Word, ScalarBytes(value));
}
void TParam::SetAsInteger(std::int32_t value) {
  Store(TFieldKind::Integer, ScalarBytes(value));
}
void TParam::SetAsLargeInt(std::int64_t value) {
  Store(TFieldKind::LargeInt, ScalarBytes(value));
}
void TParam::SetAsFloat(double value) {
  Store(TFieldKind::Float, ScalarBytes(value));
}
void TParam::SetAsCurrency(double value) {
  Store(TFieldKind::Currency, ScalarBytes(value));
}
void TParam::SetAsBoolean(bool value) {
  Store(TFieldKind::Boolean, ScalarBytes<std::int16_t>(value ? 1 : 0));
}
void TParam::SetAsDate(std::int32_t dayNumber) {
  Store(TFieldKind::Date, ScalarBytes(dayNumber));
}
void TParam::SetAsTime(std::int32_t msOfDay) {
  Store(TFieldKind::Time, ScalarBytes(msOfDay));
}
void TParam::SetAsDateTime(double value) {
  Store(TFieldKind::DateTime, ScalarBytes(value));
}
void TParam::SetAsBCD(const TBcd& value) {
  std::string bytes(kBcdSize, '\0');
  StoreBcd(value, reinterpret_cast<std::uint8_t*>(bytes.data()));
  Store(TFieldKind::BCD, std::move(bytes));
}
void TParam::SetAsBlob(std::string_view bytes) {
  Store(TFieldKind::Blob, std::string(bytes));
}
void TParam::SetAsBytes(std::string_view bytes) {
  Store(TFieldKind::Bytes, std::string(bytes));
}

void TParam::Assign(const TParam& other) {
  FKind = other.FKind;
  FBytes = other.FBytes;
  FNull = other.FNull;
  FBound = true;
}

void TParam::AssignField(const TVELDORField& field) {
  const TFieldKind kind = field.DataType();
  if (field.IsNull()) {
    SetDataType(kind == TFieldKind::AutoInc ? TFieldKind::Integer : kind);
    Clear();
    return;
  }
  switch (kind) {
    case TFieldKind::String:
    case TFieldKind::FixedChar:
      SetAsString(field.AsString());
      break;
    case TFieldKind::Memo:
    case TFieldKind::FormattedMemo:
      SetAsMemo(field.AsBytes());
      break;
    case TFieldKind::Graphic:
    case TFieldKind::TypedBinary:
    case TFieldKind::Blob:
      SetAsBlob(field.AsBytes());
      break;
    case TFieldKind::Bytes:
    case TFieldKind::VarBytes:
      SetAsBytes(field.AsBytes());
      break;
    case TFieldKind::Boolean:
      SetAsBoolean(field.AsBoolean());
      break;
    case TFieldKind::SmallInt:
      SetAsSmallInt(static_cast<std::int16_t>(field.AsInteger()));
      break;
    case TFieldKind::Word:
      SetAsWord(static_cast<std::uint16_t>(field.AsInteger()));
      break;
    case TFieldKind::Integer:
    case TFieldKind::AutoInc:
      SetAsInteger(field.AsInteger());
      break;
    case TFieldKind::LargeInt:
      SetAsLargeInt(field.AsLargeInt());
      break;
    case TFieldKind::Float:
      SetAsFloat(field.AsFloat());
      break;
    case TFieldKind::Currency:
      SetAsCurrency(field.AsFloat());
      break;
    case TFieldKind::BCD:
      SetAsBCD(TextToBcd(field.AsString()));
      break;
    case TFieldKind::Date: {
      const auto parts = SplitTimeStamp(field.AsDateTime());
      SetAsDate(parts ? parts->DayNumber : 0);
      break;
    }
    case TFieldKind::Time:
      SetAsTime(static_cast<std::int32_t>(field.AsDateTime()));
      break;
    case TFieldKind::DateTime:
      SetAsDateTime(field.AsDateTime());
      break;
    case TFieldKind::Unknown:
      break;
  }
}

std::string TParam::AsText() const {
  if (FNull) return "NULL";
  switch (FKind) {
    case TFieldKind::SmallInt:
      return IntToText(BytesScalar<std::int16_t>(FBytes));
    case TFieldKind::Word:
      return IntToText(BytesScalar<std::uint16_t>(FBytes));
    case TFieldKind::Integer:
    case TFieldKind::AutoInc:
      return IntToText(BytesScalar<std::int32_t>(FBytes));
    case TFieldKind::LargeInt:
      return IntToText(BytesScalar<std::int64_t>(FBytes));
    case TFieldKind::Float:
    case TFieldKind::Currency:
      return FloatToText(BytesScalar<double>(FBytes));
    case TFieldKind::Boolean:
      return BoolToText(BytesScalar<std::int16_t>(FBytes) != 0);
    case TFieldKind::Date:
      return DateToText(BytesScalar<std::int32_t>(FBytes));
    case TFieldKind::Time:
      return TimeToText(BytesScalar<std::int32_t>(FBytes));
    case TFieldKind::DateTime:
      return TimeStampToText(BytesScalar<double>(FBytes));
    case TFieldKind::BCD:
      return BcdToText(LoadBcd(reinterpret_cast<const std::uint8_t*>(FBytes.data())));
    default:
      return FBytes;
  }
}

TParamEngineType ParamEngineType(TFieldKind kind) {
  switch (kind) {
    case TFieldKind::String:
    case TFieldKind::FixedChar:
      return {dtString, stNone};
    case TFieldKind::Date:
      return {dtDate, stNone};
    case TFieldKind::Memo:
      return {dtBlob, stMemo};
    case TFieldKind::FormattedMemo:
      return {dtBlob, stFormattedMemo};
    case TFieldKind::Graphic:
      return {dtBlob, stGraphic};
    case TFieldKind::TypedBinary:
      return {dtBlob, stTypedBinary};
    case TFieldKind::Blob:
      return {dtBlob, stBinary};
    case TFieldKind::Boolean:
      return {dtBoolean, stNone};
    case TFieldKind::SmallInt:
      return {dtSmallInt, stNone};
    case TFieldKind::Integer:
    case TFieldKind::AutoInc:
      return {dtInteger, stNone};
    case TFieldKind::Float:
      return {dtFloat, stNone};
    case TFieldKind::Currency:
      return {dtFloat, stMoney};
    case TFieldKind::BCD:
      return {dtBCD, stNone};
    case TFieldKind::Bytes:
    case TFieldKind::VarBytes:
      return {dtBytes, stNone};
    case TFieldKind::Time:
      return {dtTime, stNone};
    case TFieldKind::DateTime:
      return {dtTimeStamp, stNone};
    case TFieldKind::Word:
      return {dtWord, stNone};
    case TFieldKind::LargeInt:
      return {dtLargeInt, stNone};
    case TFieldKind::Unknown:
      break;
  }
  return {};
}

void TParam::FillNode(TExpToken& node, const std::string& displayName) const {
  if (FKind == TFieldKind::Unknown) RaiseDatabaseError(kNoParameterValue, displayName);
  const TParamEngineType type = ParamEngineType(FKind);
  node.DataType = type.Type;
  node.SubType = type.SubType;
  node.Scale = 0;
  node.Size = 0;
  if (FNull) {
    node.IsNull = true;
    node.ReserveValue(0);
    return;
  }
  switch (type.Type) {
    case dtString: {
      std::string_view text(FBytes);
      // The value ends at a NUL as every String value does; trailing blanks never count.
      text = text.substr(0, text.find('\0'));
      while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
      if (text.empty()) {
        node.IsNull = true;
        node.ReserveValue(0);
        return;
      }
      node.Size = static_cast<std::int32_t>(text.size() + 1);
      node.SetStringValue(text);
      return;
    }
    case dtBCD:
      node.Size = static_cast<std::int32_t>(kBcdSize);
      node.Scale = BcdScale(LoadBcd(reinterpret_cast<const std::uint8_t*>(FBytes.data())));
      break;
    case dtBlob:
    case dtBytes:
      node.Size = static_cast<std::int32_t>(FBytes.size());
      break;
    default:
      node.Size = static_cast<std::int32_t>(FBytes.size());
      break;
  }
  node.SetBytesValue(FBytes.data(), FBytes.size());
}

// ---- TParams -----------------------------------------------------------------------------

TParam* TParams::FindParam(std::string_view name) const {
  for (const auto& p : FItems)
    if (!p->Name().empty() && SameTextIgnoringCase(p->Name(), name)) return p.get();
  return nullptr;
}

TParam& TParams::ParamByName(std::string_view name) const {
  TParam* p = FindParam(name);
  if (!p) RaiseDatabaseError(kParameterNotFound, std::string(name));
  return *p;
}

TParam& TParams::CreateParam(std::string name, TFieldKind kind) {
  FItems.push_back(std::make_unique<TParam>(std::move(name)));
  if (kind != TFieldKind::Unknown) FItems.back()->SetDataType(kind);
  return *FItems.back();
}

int TParams::IndexOf(const TParam* param) const {
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == param) return static_cast<int>(i);
  return -1;
}

// ---- scanning ----------------------------------------------------------------------------

TParamScan ScanParameters(std::string_view text) {
  TParamScan scan;
  std::string& out = scan.Text;
  out.reserve(text.size());
  auto addPlace = [&](std::string name) {
    out += '?';
    bool known = false;
    for (const std::string& n : scan.Names)
      known = known || SameTextIgnoringCase(n, name);
    if (!known) scan.Names.push_back(name);
    scan.PlaceNames.push_back(std::move(name));
  };
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\'' || c == '"' || c == '[') {
      i = CopyLiteral(text, i, out);
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      const std::size_t end = text.find("*/", i + 2);
      const std::size_t stop = end == std::string_view::npos ? text.size() : end + 2;
      out.append(text.substr(i, stop - i));
      i = stop;
    } else if (c == '?') {
      out += '?';
      scan.PlaceNames.emplace_back();
      ++i;
    } else if (c == ':' && i + 1 < text.size() && text[i + 1] == ':') {
      out += ':';
      i += 2;
    } else if (c == ':' && i + 1 < text.size() && (text[i + 1] == '\'' || text[i + 1] == '"')) {
      // A quoted name may hold any character; a doubled quote stands for one.
      const char quote = text[i + 1];
      std::string name;
      std::size_t j = i + 2;
      while (j < text.size()) {
        if (text[j] == quote) {
          if (j + 1 < text.size() && text[j + 1] == quote) {
            name += quote;
            j += 2;
            continue;
          }
          break;
        }
        name += text[j++];
      }
      if (j >= text.size() || name.empty()) {
        // No closing quote (or an empty name): the text stays as written for the lexer.
        out += c;
        ++i;
        continue;
      }
      addPlace(std::move(name));
      i = j + 1;
    } else if (c == ':' && i + 1 < text.size() &&
               IsParamNameChar(static_cast<unsigned char>(text[i + 1]))) {
      std::size_t j = i + 1;
      while (j < text.size() && IsParamNameChar(static_cast<unsigned char>(text[j])))
        ++j;
      addPlace(std::string(text.substr(i + 1, j - i - 1)));
      i = j;
    } else {
      out += c;
      ++i;
    }
  }
  // Names: only named places count.
  std::erase_if(scan.Names, [](const std::string& n) { return n.empty(); });
  return scan;
}

}  // namespace zorvic::engine

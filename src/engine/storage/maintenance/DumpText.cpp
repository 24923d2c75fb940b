#include "engine/storage/maintenance/DumpText.h"

#include "engine/storage/formats/FieldTypes.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine {

namespace {
const std::uint8_t* U8(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}
}  // namespace

bool IsBinaryDumpField(const TFieldDesc& f) {
  return f.DataType == ftBytes || f.DataType == ftVarBytes || (f.IsBlob() && !f.IsMemo());
}

std::string DumpHex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out = "\\x";
  out.reserve(2 + bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string EscapeDumpText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string FieldValueToDumpText(const TFieldDesc& f, const TFieldValue& value) {
  if (value.IsNull) return "\\N";
  const std::string& b = value.Bytes;
  if (f.DataType == ftString || f.IsMemo()) return EscapeDumpText(b);
  if (IsBinaryDumpField(f)) return DumpHex(b);
  switch (f.DataType) {
    case ftDate:
      return DateToText(GetI32(U8(b)));
    case ftTime:
      return TimeToText(GetI32(U8(b)));
    case ftTimeStamp:
      return TimeStampToText(GetDouble(U8(b)));
    case ftBoolean:
      return BoolToText(GetU16(U8(b)) != 0);
    case ftSmallInt:
      return IntToText(GetI16(U8(b)));
    case ftInteger:
      return IntToText(GetI32(U8(b)));
    case ftWord:
      return IntToText(GetU16(U8(b)));
    case ftCardinal:
      return IntToText(GetU32(U8(b)));
    case ftLargeInt:
      return IntToText(GetI64(U8(b)));
    case ftFloat:
      return FloatToText(GetDouble(U8(b)));
    case ftExtended:
      return FloatToText(LoadExtended(U8(b)));
    case ftBCD:
      return BcdToText(LoadBcd(U8(b)));
    default:
      throw EConvertError("unknown field type");
  }
}

}  // namespace zorvic::engine

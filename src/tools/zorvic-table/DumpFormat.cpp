#include "tools/zorvic-table/DumpFormat.h"

#include <cstring>
#include <limits>

#include "engine/storage/formats/ValueText.h"

namespace zorvic::tools {

using namespace zorvic::engine;

namespace {

bool IsBinary(const TFieldDesc& f) {
  return IsBinaryDumpField(f);
}

std::optional<std::string> Unhex(std::string_view text) {
  if (text.substr(0, 2) != "\\x" || text.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve((text.size() - 2) / 2);
  const auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 2; i < text.size(); i += 2) {
    const int hi = nibble(text[i]);
    const int lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
  }
  return out;
}

template <class T>
std::string Raw(T v, void (*put)(std::uint8_t*, T), std::size_t size) {
  std::string out(size, '\0');
  put(reinterpret_cast<std::uint8_t*>(out.data()), v);
  return out;
}

}  // namespace

std::optional<std::string> UnescapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i >= text.size()) return std::nullopt;
    switch (text[i]) {
      case '\\':
        out += '\\';
        break;
      case 't':
        out += '\t';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      default:
        return std::nullopt;
    }
  }
  return out;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (true) {
    const std::size_t tab = line.find('\t', start);
    out.push_back(
        line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) return out;
    start = tab + 1;
  }
}

TFieldValue TextToFieldValue(const TFieldDesc& f, std::string_view text) {
  if (text == "\\N") return TFieldValue::Null();
  const auto fail = [&f](const std::string& why) -> EDumpFormatError {
    return EDumpFormatError("field " + f.Name() + ": " + why);
  };
  if (f.DataType == ftString || f.IsMemo()) {
    auto plain = UnescapeText(text);
    if (!plain) throw fail("invalid escape sequence");
    if (f.DataType == ftString && plain->size() > f.FieldSize)
      throw fail("text longer than " + std::to_string(f.FieldSize) + " characters");
    if (f.DataType == ftString && plain->find('\0') != std::string::npos)
      throw fail("text holds a NUL character");
    if (plain->empty()) return TFieldValue::Null();
    return TFieldValue::Of(std::move(*plain));
  }
  if (IsBinary(f)) {
    auto bytes = Unhex(text);
    if (!bytes) throw fail("binary values are written as \\x and hex digits");
    if (f.DataType != ftBlob && bytes->size() != f.PhysSize)
      throw fail("needs exactly " + std::to_string(f.PhysSize) + " bytes");
    if (bytes->empty()) return TFieldValue::Null();
    return TFieldValue::Of(std::move(*bytes));
  }
  try {
    switch (f.DataType) {
      case ftDate:
        return TFieldValue::Of(Raw<std::int32_t>(TextToDate(text), PutI32, 4));
      case ftTime:
        return TFieldValue::Of(Raw<std::int32_t>(TextToTime(text), PutI32, 4));
      case ftTimeStamp:
        return TFieldValue::Of(Raw<double>(TextToTimeStamp(text), PutDouble, 8));
      case ftBoolean:
        return TFieldValue::Of(Raw<std::uint16_t>(TextToBool(text) ? 1 : 0, PutU16, 2));
      case ftSmallInt:
        return TFieldValue::Of(Raw<std::int16_t>(
            static_cast<std::int16_t>(TextToInt(text, INT16_MIN, INT16_MAX)), PutI16, 2));
      case ftInteger: {
        const std::int64_t lo = f.IsAutoInc() ? 1 : INT32_MIN;
        return TFieldValue::Of(Raw<std::int32_t>(
            static_cast<std::int32_t>(TextToInt(text, lo, INT32_MAX)), PutI32, 4));
      }
      case ftWord:
        return TFieldValue::Of(Raw<std::uint16_t>(
            static_cast<std::uint16_t>(TextToInt(text, 0, UINT16_MAX)), PutU16, 2));
      case ftCardinal:
        return TFieldValue::Of(Raw<std::uint32_t>(
            static_cast<std::uint32_t>(TextToInt(text, 0, UINT32_MAX)), PutU32, 4));
      case ftLargeInt:
        return TFieldValue::Of(Raw<std::int64_t>(TextToInt(text, INT64_MIN, INT64_MAX), PutI64, 8));
      case ftFloat:
        return TFieldValue::Of(Raw<double>(TextToFloat(text), PutDouble, 8));
      case ftExtended: {
        std::string out(kExtendedSize, '\0');
        StoreExtended(TextToFloat(text), reinterpret_cast<std::uint8_t*>(out.data()));
        return TFieldValue::Of(std::move(out));
      }
      case ftBCD: {
        std::string out(kBcdSize, '\0');
        StoreBcd(TextToBcd(text), reinterpret_cast<std::uint8_t*>(out.data()));
        return TFieldValue::Of(std::move(out));
      }
      default:
        throw fail("unknown field type");
    }
  } catch (const EConvertError& e) {
    throw fail(e.what());
  }
}

}  // namespace zorvic::tools

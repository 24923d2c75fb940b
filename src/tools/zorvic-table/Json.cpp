#include "tools/zorvic-table/Json.h"

#include <charconv>

#include "engine/storage/formats/Collation.h"

namespace zorvic::tools {
namespace {

constexpr int kMaxDepth = 64;

class TJsonParser {
 public:
  explicit TJsonParser(std::string_view text) : FText(text) {}

  TJsonValue Document() {
    TJsonValue v = Value(0);
    SkipBlanks();
    if (FPos != FText.size()) Fail("unexpected text after the value");
    return v;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw EJsonError("JSON error at offset " + std::to_string(FPos) + ": " + what);
  }
  void SkipBlanks() {
    while (FPos < FText.size() && (FText[FPos] == ' ' || FText[FPos] == '\t' ||
                                   FText[FPos] == '\n' || FText[FPos] == '\r'))
      ++FPos;
  }
  bool Take(char c) {
    SkipBlanks();
    if (FPos < FText.size() && FText[FPos] == c) {
      ++FPos;
      return true;
    }
    return false;
  }
  void Expect(char c) {
    if (!Take(c)) Fail(std::string("'") + c + "' expected");
  }
  bool Word(std::string_view w) {
    if (FText.substr(FPos, w.size()) != w) return false;
    FPos += w.size();
    return true;
  }

  TJsonValue Value(int depth) {
    if (depth > kMaxDepth) Fail("nested too deeply");
    SkipBlanks();
    if (FPos >= FText.size()) Fail("value expected");
    TJsonValue v;
    const char c = FText[FPos];
    if (c == '{') {
      ++FPos;
      v.Kind = TJsonValue::TKind::Object;
      if (Take('}')) return v;
      do {
        SkipBlanks();
        if (FPos >= FText.size() || FText[FPos] != '"') Fail("member name expected");
        std::string name = String();
        Expect(':');
        v.Members.emplace_back(std::move(name), Value(depth + 1));
      } while (Take(','));
      Expect('}');
    } else if (c == '[') {
      ++FPos;
      v.Kind = TJsonValue::TKind::Array;
      if (Take(']')) return v;
      do {
        v.Items.push_back(Value(depth + 1));
      } while (Take(','));
      Expect(']');
    } else if (c == '"') {
      v.Kind = TJsonValue::TKind::String;
      v.Text = String();
    } else if (Word("true")) {
      v.Kind = TJsonValue::TKind::Bool;
      v.Bool = true;
    } else if (Word("false")) {
      v.Kind = TJsonValue::TKind::Bool;
    } else if (Word("null")) {
      v.Kind = TJsonValue::TKind::Null;
    } else {
      const std::size_t start = FPos;
      while (FPos < FText.size() &&
             (std::string_view("+-.eE0123456789").find(FText[FPos]) != std::string_view::npos))
        ++FPos;
      v.Text = std::string(FText.substr(start, FPos - start));
      const auto [end, ec] =
          std::from_chars(v.Text.data(), v.Text.data() + v.Text.size(), v.Number);
      if (v.Text.empty() || ec != std::errc() || end != v.Text.data() + v.Text.size())
        Fail("invalid value");
      v.Kind = TJsonValue::TKind::Number;
    }
    return v;
  }

  unsigned Hex4() {
    if (FPos + 4 > FText.size()) Fail("short \\u escape");
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = FText[FPos++];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v |= static_cast<unsigned>(c - 'A' + 10);
      else
        Fail("invalid \\u escape");
    }
    return v;
  }

  void AppendCodePoint(std::string& out, unsigned cp) {
    const auto b = cp <= 0xFFFF ? engine::UnicodeToCp1252(static_cast<char16_t>(cp)) : std::nullopt;
    if (!b) Fail("character U+" + std::to_string(cp) + " has no single-byte form");
    out += static_cast<char>(*b);
  }

  // Decodes one UTF-8 sequence starting at FPos.
  unsigned Utf8() {
    const auto lead = static_cast<unsigned char>(FText[FPos++]);
    int extra = 0;
    unsigned cp = 0;
    if (lead < 0x80) return lead;
    if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      cp = lead & 0x07;
    } else
      Fail("invalid UTF-8");
    for (int i = 0; i < extra; ++i) {
      if (FPos >= FText.size()) Fail("invalid UTF-8");
      const auto c = static_cast<unsigned char>(FText[FPos++]);
      if ((c & 0xC0) != 0x80) Fail("invalid UTF-8");
      cp = (cp << 6) | (c & 0x3F);
    }
    return cp;
  }

  std::string String() {
    ++FPos;  // opening quote
    std::string out;
    while (true) {
      if (FPos >= FText.size()) Fail("unterminated string");
      const char c = FText[FPos];
      if (c == '"') {
        ++FPos;
        return out;
      }
      if (static_cast<unsigned char>(c) < 0x20) Fail("control character in string");
      if (c != '\\') {
        AppendCodePoint(out, Utf8());
        continue;
      }
      ++FPos;
      if (FPos >= FText.size()) Fail("unterminated string");
      const char e = FText[FPos++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u':
          AppendCodePoint(out, Hex4());
          break;
        default:
          Fail("invalid escape");
      }
    }
  }

  std::string_view FText;
  std::size_t FPos = 0;
};

}  // namespace

const TJsonValue* TJsonValue::Find(std::string_view name) const {
  for (const auto& [key, value] : Members)
    if (key == name) return &value;
  return nullptr;
}

TJsonValue ParseJson(std::string_view text) {
  return TJsonParser(text).Document();
}

}  // namespace zorvic::tools

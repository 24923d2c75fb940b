// SQL literals and names from packet values: the only way packet text reaches a statement.
#include <charconv>
#include <cmath>
#include <optional>
#include <string>

#include "engine/storage/formats/FieldTypes.h"
#include "packet/LiteXMLPacket.h"
#include "packet/PacketLimits.h"
#include "packet/PacketText.h"

namespace zorvic {

namespace {

using packet_text::Excerpt;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// Digits, the SQL number the lexer reads as one token: an optional minus, digits with an
// optional fraction (or a point and digits), an optional exponent with an optional sign.
bool IsSqlNumber(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  if (i < n && text[i] == '-') ++i;
  std::size_t intDigits = 0;
  while (i < n && IsDigit(text[i])) {
    ++i;
    ++intDigits;
  }
  std::size_t fracDigits = 0;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && IsDigit(text[i])) {
      ++i;
      ++fracDigits;
    }
    if (fracDigits == 0) return false;
  }
  if (intDigits == 0 && fracDigits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t expDigits = 0;
    while (i < n && IsDigit(text[i])) {
      ++i;
      ++expDigits;
    }
    if (expDigits == 0) return false;
  }
  return i == n;
}

bool IsQuotedSqlString(std::string_view text) {
  if (text.size() < 2 || text.front() != '\'' || text.back() != '\'') return false;
  // Inside the quotes every quote must be one of a doubled pair.
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] == '\0') return false;
    if (text[i] != '\'') continue;
    if (i + 2 < text.size() && text[i + 1] == '\'') {
      ++i;
      continue;
    }
    return false;
  }
  return true;
}

// Reads a run of 1 to maxDigits digits at `pos`.
std::optional<int> ReadDigits(std::string_view text, std::size_t& pos, std::size_t maxDigits) {
  std::size_t start = pos;
  int value = 0;
  while (pos < text.size() && IsDigit(text[pos]) && pos - start < maxDigits) {
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  if (pos == start) return std::nullopt;
  return value;
}

struct TDateTimeValue {
  engine::TCalendarDate Date;
  engine::TClockTime Time;
};

// "YYYY-MM-DD" with an optional " HH:MM", " HH:MM:SS" or " HH:MM:SS.ms" (ms read as a whole
// number of milliseconds, as the engine reads time texts).
std::optional<TDateTimeValue> ReadDateText(std::string_view text) {
  std::size_t pos = 0;
  TDateTimeValue v;
  auto year = ReadDigits(text, pos, 4);
  if (!year || pos != 4 || pos >= text.size() || text[pos++] != '-') return std::nullopt;
  auto month = ReadDigits(text, pos, 2);
  if (!month || pos >= text.size() || text[pos++] != '-') return std::nullopt;
  auto day = ReadDigits(text, pos, 2);
  if (!day) return std::nullopt;
  if (!engine::EncodeDate(*year, *month, *day)) return std::nullopt;
  v.Date = {*year, *month, *day};
  if (pos == text.size()) return v;
  if (text[pos++] != ' ') return std::nullopt;
  auto hour = ReadDigits(text, pos, 2);
  if (!hour || pos >= text.size() || text[pos++] != ':') return std::nullopt;
  auto minute = ReadDigits(text, pos, 2);
  if (!minute) return std::nullopt;
  int second = 0;
  int ms = 0;
  if (pos < text.size() && text[pos] == ':') {
    ++pos;
    auto s = ReadDigits(text, pos, 2);
    if (!s) return std::nullopt;
    second = *s;
    if (pos < text.size() && text[pos] == '.') {
      ++pos;
      auto m = ReadDigits(text, pos, 3);
      if (!m) return std::nullopt;
      ms = *m;
    }
  }
  if (pos != text.size()) return std::nullopt;
  if (!engine::EncodeTime(*hour, *minute, second, ms)) return std::nullopt;
  v.Time = {*hour, *minute, second, ms};
  return v;
}

// A day count: days since 1899-12-30, the fraction the time of day; '.' or ',' as the decimal
// point. The integer part is the day (towards zero) and the fraction's size the time, so
// -1.25 is 1899-12-29 06:00.
std::optional<TDateTimeValue> ReadDayCount(std::string_view text) {
  std::string plain(text);
  std::size_t i = 0;
  if (i < plain.size() && plain[i] == '-') ++i;
  std::size_t digits = 0;
  bool point = false;
  for (; i < plain.size(); ++i) {
    if (IsDigit(plain[i])) {
      ++digits;
    } else if ((plain[i] == '.' || plain[i] == ',') && !point) {
      point = true;
      plain[i] = '.';
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0) return std::nullopt;
  double value = 0;
  const char* begin = plain.data();
  if (*begin == '.') return std::nullopt;  // from_chars wants a digit first; so do we
  auto [end, ec] = std::from_chars(begin, begin + plain.size(), value);
  if (ec != std::errc() || end != begin + plain.size() || !std::isfinite(value))
    return std::nullopt;
  if (std::fabs(value) > 3.0e6) return std::nullopt;  // far beyond 9999-12-31
  double whole = std::trunc(value);
  auto ms = static_cast<std::int64_t>(std::llround(std::fabs(value - whole) * 86'400'000.0));
  auto dayCount = static_cast<std::int64_t>(whole);
  if (ms >= engine::kMsPerDay) {
    ms -= engine::kMsPerDay;
    ++dayCount;
  }
  const std::int64_t dayNumber = engine::kDayNumber18991230 + dayCount;
  if (dayNumber < 1 || dayNumber > engine::kMaxDayNumber) return std::nullopt;
  auto date = engine::DecodeDate(static_cast<std::int32_t>(dayNumber));
  auto time = engine::DecodeTime(static_cast<std::int32_t>(ms));
  if (!date || !time) return std::nullopt;
  return TDateTimeValue{*date, *time};
}

std::string Padded(int value, std::size_t width) {
  std::string s = std::to_string(value);
  while (s.size() < width)
    s.insert(s.begin(), '0');
  return s;
}

std::string DateTimeLiteral(const cPacketField& field, std::string_view value) {
  std::string_view text = TrimBlanks(value);
  if (text.empty()) return "NULL";
  std::optional<TDateTimeValue> v = ReadDateText(text);
  if (!v) v = ReadDayCount(text);
  if (!v)
    throw EPacketError("'" + Excerpt(value) + "' is not a valid date and time for field " +
                       Excerpt(field.Name));
  std::string out = "'" + Padded(v->Date.Year, 4) + "-" + Padded(v->Date.Month, 2) + "-" +
                    Padded(v->Date.Day, 2) + " " + Padded(v->Time.Hour, 2) + ":" +
                    Padded(v->Time.Minute, 2) + ":" + Padded(v->Time.Second, 2);
  if (v->Time.Millisecond != 0) out += "." + std::to_string(v->Time.Millisecond);
  out += "'";
  return out;
}

}  // namespace

std::string QuoteSqlString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  out += '\'';
  return out;
}

std::string SqlLiteral(const cPacketField& field, std::string_view value) {
  const std::string& type = field.TypeText;
  if (type == "string") return QuoteSqlString(value);
  if (type == "boolean") return value == "1" ? "true" : "false";
  if (type == "datetime") return DateTimeLiteral(field, value);
  std::string_view text = TrimBlanks(value);
  if (text.empty()) return "NULL";
  if (type == "binary")
    throw EPacketError("Field " + Excerpt(field.Name) +
                       " holds binary data, which cannot be written from a packet");
  if (!IsSqlNumber(text))
    throw EPacketError("'" + Excerpt(value) + "' is not a valid number for field " +
                       Excerpt(field.Name));
  return std::string(text);
}

bool IsSqlLiteral(std::string_view text) {
  text = TrimBlanks(text);
  if (text.empty()) return false;
  if (text.front() == '\'') return IsQuotedSqlString(text);
  if (EqualsNoCase(text, "TRUE") || EqualsNoCase(text, "FALSE") || EqualsNoCase(text, "NULL"))
    return true;
  return IsSqlNumber(text);
}

bool IsSqlName(std::string_view text) {
  if (text.empty() || text.size() > kPacketMaxSqlNameBytes) return false;
  auto isStart = [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
  };
  if (!isStart(static_cast<unsigned char>(text[0]))) return false;
  for (char c : text.substr(1)) {
    const auto b = static_cast<unsigned char>(c);
    if (!isStart(b) && !IsDigit(c)) return false;
  }
  return true;
}

}  // namespace zorvic

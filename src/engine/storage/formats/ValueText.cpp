#include "engine/storage/formats/ValueText.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace zorvic::engine {
namespace {

[[noreturn]] void Fail(std::string_view text, const char* what) {
  throw EConvertError("'" + std::string(text) + "' " + what);
}

bool IsDigits(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// A run of decimal digits as a number; nullopt when empty, not digits or above 9 digits.
std::optional<int> SmallNumber(std::string_view s) {
  s = TrimBlanks(s);
  if (!IsDigits(s) || s.size() > 9) return std::nullopt;
  int v = 0;
  for (const char c : s)
    v = v * 10 + (c - '0');
  return v;
}

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

std::size_t FindNoCase(std::string_view hay, std::string_view needle) {
  if (needle.size() > hay.size()) return std::string_view::npos;
  for (std::size_t i = 0; i + needle.size() <= hay.size(); ++i)
    if (EqualsNoCase(hay.substr(i, needle.size()), needle)) return i;
  return std::string_view::npos;
}

void AppendTwoDigits(std::string& out, int v) {
  out += static_cast<char>('0' + v / 10 % 10);
  out += static_cast<char>('0' + v % 10);
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ')
    text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ')
    text.remove_suffix(1);
  return text;
}

// ---- dates -----------------------------------------------------------------------------

std::string DateToText(std::int32_t dayNumber) {
  const auto d = DecodeDate(dayNumber);
  if (!d) throw EConvertError("'" + std::to_string(dayNumber) + "' is not a valid date");
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d->Year, d->Month, d->Day);
  return buf;
}

std::optional<std::int32_t> ParseDate(std::string_view text) {
  text = TrimBlanks(text);
  const std::size_t first = text.find('-');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = text.find('-', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const auto y = SmallNumber(text.substr(0, first));
  const auto m = SmallNumber(text.substr(first + 1, second - first - 1));
  const auto d = SmallNumber(text.substr(second + 1));
  if (!y || !m || !d) return std::nullopt;
  return EncodeDate(*y, *m, *d);
}

std::int32_t TextToDate(std::string_view text) {
  const auto v = ParseDate(text);
  if (!v) Fail(text, "is not a valid date");
  return *v;
}

// ---- times -----------------------------------------------------------------------------

std::string TimeToText(std::int32_t msOfDay, bool twelveHour) {
  const auto t = DecodeTime(msOfDay);
  if (!t) throw EConvertError("'" + std::to_string(msOfDay) + "' is not a valid time");
  std::string out;
  int hour = t->Hour;
  if (twelveHour) {
    hour = hour % 12;
    if (hour == 0) hour = 12;
  }
  AppendTwoDigits(out, hour);
  out += ':';
  AppendTwoDigits(out, t->Minute);
  out += ':';
  AppendTwoDigits(out, t->Second);
  if (t->Millisecond != 0) {
    out += '.';
    out += std::to_string(t->Millisecond);
  }
  if (twelveHour) out += t->Hour < 12 ? " AM" : " PM";
  return out;
}

std::optional<std::int32_t> ParseTime(std::string_view input) {
  std::string text(input);
  int half = 0;  // 0: 24-hour reading, 1: AM, 2: PM
  if (const auto at = FindNoCase(text, "AM"); at != std::string::npos) {
    half = 1;
    text.erase(at, 2);
  } else if (const auto pt = FindNoCase(text, "PM"); pt != std::string::npos) {
    half = 2;
    text.erase(pt, 2);
  }
  const std::string_view s = TrimBlanks(text);
  const std::size_t c1 = s.find(':');
  if (c1 == std::string_view::npos) return std::nullopt;
  const auto hour = SmallNumber(s.substr(0, c1));
  std::string_view rest = s.substr(c1 + 1);
  const std::size_t c2 = rest.find(':');
  const auto minute = SmallNumber(rest.substr(0, c2));
  std::optional<int> second = 0;
  std::optional<int> ms = 0;
  if (c2 != std::string_view::npos) {
    rest = rest.substr(c2 + 1);
    const std::size_t dot = rest.find('.');
    second = SmallNumber(rest.substr(0, dot));
    if (dot != std::string_view::npos) ms = SmallNumber(rest.substr(dot + 1));
  }
  if (!hour || !minute || !second || !ms) return std::nullopt;
  int h = *hour;
  if (half != 0) {
    if (h > 12) return std::nullopt;
    if (half == 1 && h == 12) h = 0;
    if (half == 2 && h != 12) h += 12;
  }
  return EncodeTime(h, *minute, *second, *ms);
}

std::int32_t TextToTime(std::string_view text) {
  const auto v = ParseTime(text);
  if (!v) Fail(text, "is not a valid time");
  return *v;
}

// ---- time stamps -----------------------------------------------------------------------

std::string TimeStampToText(double value) {
  const auto parts = SplitTimeStamp(value);
  if (!parts) throw EConvertError("'" + FloatToText(value) + "' is not a valid date and time");
  std::string out = DateToText(parts->DayNumber);
  out += ' ';
  out += TimeToText(parts->MsOfDay);
  return out;
}

std::optional<double> ParseTimeStamp(std::string_view text) {
  const std::string_view s = TrimBlanks(text);
  if (const std::size_t blank = s.find(' '); blank != std::string_view::npos) {
    const auto day = ParseDate(s.substr(0, blank));
    const auto ms = ParseTime(s.substr(blank + 1));
    if (!day || !ms) return std::nullopt;
    return EncodeTimeStamp(*day, *ms);
  }
  if (s.find(':') != std::string_view::npos) {
    const auto ms = ParseTime(s);
    if (!ms) return std::nullopt;
    return EncodeTimeStamp(kDayNumber18991230, *ms);
  }
  const auto day = ParseDate(s);
  if (!day) return std::nullopt;
  return EncodeTimeStamp(*day, 0);
}

double TextToTimeStamp(std::string_view text) {
  const auto v = ParseTimeStamp(text);
  if (!v) Fail(text, "is not a valid date and time");
  return *v;
}

// ---- booleans --------------------------------------------------------------------------

std::string BoolToText(bool value) {
  return value ? "True" : "False";
}

std::optional<bool> ParseBool(std::string_view text) {
  if (EqualsNoCase(text, "TRUE")) return true;
  if (EqualsNoCase(text, "FALSE")) return false;
  return std::nullopt;
}

bool TextToBool(std::string_view text) {
  const auto v = ParseBool(text);
  if (!v) Fail(text, "is not a valid boolean");
  return *v;
}

// ---- integers --------------------------------------------------------------------------

std::string IntToText(std::int64_t value) {
  return std::to_string(value);
}

std::optional<std::int64_t> ParseInt(std::string_view text, std::int64_t min, std::int64_t max) {
  std::string_view s = TrimBlanks(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() == '+') return std::nullopt;
  std::int64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  if (v < min || v > max) return std::nullopt;
  return v;
}

std::int64_t TextToInt(std::string_view text, std::int64_t min, std::int64_t max) {
  const auto v = ParseInt(text, min, max);
  if (!v) Fail(text, "is not a valid integer value");
  return *v;
}

// ---- floats ----------------------------------------------------------------------------

std::string FloatToText(double value) {
  if (std::isnan(value)) return "nan";
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return ec == std::errc() ? std::string(buf, end) : std::string("nan");
}

std::optional<double> ParseFloat(std::string_view text) {
  std::string_view s = TrimBlanks(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() == '+') return std::nullopt;
  double v = 0;
  const auto [end, ec] =
      std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

double TextToFloat(std::string_view text) {
  const auto v = ParseFloat(text);
  if (!v) Fail(text, "is not a valid floating point value");
  return *v;
}

// ---- BCD -------------------------------------------------------------------------------

std::string BcdToText(const TBcd& value) {
  if (!IsValidBcd(value)) throw EConvertError("Invalid BCD value");
  const int scale = BcdScale(value);
  std::string digits;
  for (int i = 0; i < value.Precision; ++i) {
    const std::uint8_t b = value.Digits[static_cast<std::size_t>(i / 2)];
    digits += static_cast<char>('0' + (i % 2 == 0 ? b >> 4 : b & 0x0F));
  }
  if (static_cast<int>(digits.size()) <= scale)
    digits.insert(0, static_cast<std::size_t>(scale) - digits.size() + 1, '0');
  std::size_t intLen = digits.size() - static_cast<std::size_t>(scale);
  std::size_t lead = 0;
  while (lead + 1 < intLen && digits[lead] == '0')
    ++lead;
  std::string out;
  bool zero = digits.find_first_not_of('0') == std::string::npos;
  if (BcdIsNegative(value) && !zero) out += '-';
  out.append(digits, lead, intLen - lead);
  if (scale > 0) {
    out += '.';
    out.append(digits, intLen, std::string::npos);
  }
  return out;
}

std::optional<TBcd> ParseBcd(std::string_view text) {
  std::string_view s = TrimBlanks(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  const std::size_t dot = s.find('.');
  const std::string_view intPart = s.substr(0, dot);
  const std::string_view fracPart =
      dot == std::string_view::npos ? std::string_view() : s.substr(dot + 1);
  if (intPart.empty() && fracPart.empty()) return std::nullopt;
  if ((!intPart.empty() && !IsDigits(intPart)) || (!fracPart.empty() && !IsDigits(fracPart)))
    return std::nullopt;
  if (dot != std::string_view::npos && fracPart.empty() && intPart.empty()) return std::nullopt;
  std::string digits(intPart);
  digits += fracPart;
  return MakeBcd(negative, digits, static_cast<int>(fracPart.size()));
}

TBcd TextToBcd(std::string_view text) {
  const auto v = ParseBcd(text);
  if (!v) Fail(text, "is not a valid BCD value");
  return *v;
}

std::optional<TBcd> ParseBcdWithScale(std::string_view text, int scale) {
  auto v = ParseBcd(text);
  if (!v || scale < 0 || scale > 63) return std::nullopt;
  const int have = BcdScale(*v);
  if (have == scale) return v;
  std::string digits;
  for (int i = 0; i < v->Precision; ++i) {
    const std::uint8_t b = v->Digits[static_cast<std::size_t>(i / 2)];
    digits += static_cast<char>('0' + (i % 2 == 0 ? b >> 4 : b & 0x0F));
  }
  if (have < scale) {
    digits.append(static_cast<std::size_t>(scale - have), '0');
    return MakeBcd(BcdIsNegative(*v), digits, scale);
  }
  // Drop digits, rounding half away from zero on the first dropped one.
  const std::size_t drop = static_cast<std::size_t>(have - scale);
  if (digits.size() < drop + 1) digits.insert(0, drop + 1 - digits.size(), '0');
  const bool roundUp = digits[digits.size() - drop] >= '5';
  std::string kept(digits.data(), digits.size() - drop);
  if (roundUp) {
    bool carry = true;
    for (std::size_t i = kept.size(); carry && i > 0; --i) {
      char& d = kept[i - 1];
      carry = d == '9';
      d = carry ? '0' : static_cast<char>(d + 1);
    }
    if (carry) kept.insert(kept.begin(), '1');
  }
  digits.swap(kept);
  return MakeBcd(BcdIsNegative(*v), digits, scale);
}

// ---- literal checks --------------------------------------------------------------------

bool IsCurrentDateTimeWord(std::uint8_t type, std::string_view text) {
  switch (type) {
    case ftDate:
      return EqualsNoCase(text, "CURRENT_DATE");
    case ftTime:
      return EqualsNoCase(text, "CURRENT_TIME");
    case ftTimeStamp:
      return EqualsNoCase(text, "CURRENT_TIMESTAMP");
    default:
      return false;
  }
}

bool IsValidFieldLiteral(std::uint8_t type, std::uint8_t subType, std::string_view text,
                         TLiteralUse use) {
  (void)subType;
  if (text.empty()) return true;
  switch (type) {
    case ftString:
      return true;
    case ftBlob:
    case ftBytes:
    case ftVarBytes:
      return use == TLiteralUse::Default;
    case ftDate:
      return IsCurrentDateTimeWord(type, text) || ParseDate(text).has_value();
    case ftTime:
      return IsCurrentDateTimeWord(type, text) || ParseTime(text).has_value();
    case ftTimeStamp:
      return IsCurrentDateTimeWord(type, text) || ParseTimeStamp(text).has_value();
    case ftBoolean:
      return ParseBool(text).has_value();
    case ftSmallInt:
      return ParseInt(text, std::numeric_limits<std::int16_t>::min(),
                      std::numeric_limits<std::int16_t>::max())
          .has_value();
    case ftInteger:
      return ParseInt(text, std::numeric_limits<std::int32_t>::min(),
                      std::numeric_limits<std::int32_t>::max())
          .has_value();
    case ftWord:
      return ParseInt(text, 0, std::numeric_limits<std::uint16_t>::max()).has_value();
    case ftCardinal:
      return ParseInt(text, 0, std::numeric_limits<std::uint32_t>::max()).has_value();
    case ftLargeInt:
      return ParseInt(text, std::numeric_limits<std::int64_t>::min(),
                      std::numeric_limits<std::int64_t>::max())
          .has_value();
    case ftFloat:
    case ftExtended: {
      const auto v = ParseFloat(text);
      return v.has_value() && std::isfinite(*v);
    }
    case ftBCD:
      return ParseBcd(text).has_value();
    default:
      return false;
  }
}

}  // namespace zorvic::engine

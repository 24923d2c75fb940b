#include "engine/storage/formats/FieldTypes.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

namespace zorvic::engine {

bool IsKnownFieldType(std::uint8_t type) {
  switch (type) {
    case ftString:
    case ftDate:
    case ftBlob:
    case ftBoolean:
    case ftSmallInt:
    case ftInteger:
    case ftFloat:
    case ftBCD:
    case ftBytes:
    case ftTime:
    case ftTimeStamp:
    case ftWord:
    case ftCardinal:
    case ftExtended:
    case ftVarBytes:
    case ftLargeInt:
      return true;
    default:
      return false;
  }
}

bool TypeHasSize(std::uint8_t type) {
  return type == ftString || type == ftBytes || type == ftVarBytes;
}

std::uint32_t PhysSizeOf(std::uint8_t type, std::uint32_t size) {
  switch (type) {
    case ftString:
      return size + 1;
    case ftBytes:
    case ftVarBytes:
      return size;
    case ftDate:
    case ftInteger:
    case ftTime:
    case ftCardinal:
      return 4;
    case ftBlob:
    case ftFloat:
    case ftTimeStamp:
    case ftLargeInt:
      return 8;
    case ftBoolean:
    case ftSmallInt:
    case ftWord:
      return 2;
    case ftBCD:
      return kBcdSize;
    case ftExtended:
      return kExtendedSize;
    default:
      return 0;
  }
}

const char* FieldTypeName(std::uint8_t type) {
  switch (type) {
    case ftString:
      return "String";
    case ftDate:
      return "Date";
    case ftBlob:
      return "Blob";
    case ftBoolean:
      return "Boolean";
    case ftSmallInt:
      return "SmallInt";
    case ftInteger:
      return "Integer";
    case ftFloat:
      return "Float";
    case ftBCD:
      return "BCD";
    case ftBytes:
      return "Bytes";
    case ftTime:
      return "Time";
    case ftTimeStamp:
      return "TimeStamp";
    case ftWord:
      return "Word";
    case ftCardinal:
      return "Cardinal";
    case ftExtended:
      return "Extended";
    case ftVarBytes:
      return "VarBytes";
    case ftLargeInt:
      return "LargeInt";
    default:
      return "Unknown";
  }
}

double GetDouble(const std::uint8_t* p) {
  return std::bit_cast<double>(GetU64(p));
}
void PutDouble(std::uint8_t* p, double v) {
  PutU64(p, std::bit_cast<std::uint64_t>(v));
}

// ---- dates and times -------------------------------------------------------------------

namespace {
constexpr int kDaysBeforeMonth[2][13] = {
    {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
    {0, 0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335}};
constexpr std::int32_t kDaysPer400Years = 146097;
constexpr std::int32_t kDaysPer100Years = 36524;
constexpr std::int32_t kDaysPer4Years = 1461;
}  // namespace

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month];
}

std::optional<std::int32_t> EncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12) return std::nullopt;
  if (day < 1 || day > DaysInMonth(year, month)) return std::nullopt;
  const std::int32_t y = year - 1;
  return 365 * y + y / 4 - y / 100 + y / 400 + kDaysBeforeMonth[IsLeapYear(year)][month] + day;
}

std::optional<TCalendarDate> DecodeDate(std::int32_t dayNumber) {
  if (dayNumber < 1 || dayNumber > kMaxDayNumber) return std::nullopt;
  std::int32_t d = dayNumber - 1;
  const std::int32_t n400 = d / kDaysPer400Years;
  d %= kDaysPer400Years;
  std::int32_t n100 = d / kDaysPer100Years;
  if (n100 == 4) n100 = 3;
  d -= n100 * kDaysPer100Years;
  const std::int32_t n4 = d / kDaysPer4Years;
  d %= kDaysPer4Years;
  std::int32_t n1 = d / 365;
  if (n1 == 4) n1 = 3;
  d -= n1 * 365;
  TCalendarDate out;
  out.Year = 400 * n400 + 100 * n100 + 4 * n4 + n1 + 1;
  const int leap = IsLeapYear(out.Year) ? 1 : 0;
  int month = 12;
  while (kDaysBeforeMonth[leap][month] > d)
    --month;
  out.Month = month;
  out.Day = d - kDaysBeforeMonth[leap][month] + 1;
  return out;
}

std::optional<std::int32_t> EncodeTime(int hour, int minute, int second, int ms) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || ms < 0 ||
      ms > 999)
    return std::nullopt;
  return ((hour * 60 + minute) * 60 + second) * 1000 + ms;
}

std::optional<TClockTime> DecodeTime(std::int32_t msOfDay) {
  if (msOfDay < 0 || msOfDay >= kMsPerDay) return std::nullopt;
  TClockTime t;
  t.Millisecond = msOfDay % 1000;
  std::int32_t s = msOfDay / 1000;
  t.Second = s % 60;
  s /= 60;
  t.Minute = s % 60;
  t.Hour = s / 60;
  return t;
}

std::optional<TTimeStampParts> SplitTimeStamp(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double rounded = std::round(value);
  const double maxMs = (static_cast<double>(kMaxDayNumber) + 1) * static_cast<double>(kMsPerDay);
  if (rounded < static_cast<double>(kMsPerDay) || rounded >= maxMs) return std::nullopt;
  const auto whole = static_cast<std::int64_t>(rounded);
  TTimeStampParts parts;
  parts.DayNumber = static_cast<std::int32_t>(whole / kMsPerDay);
  parts.MsOfDay = static_cast<std::int32_t>(whole % kMsPerDay);
  return parts;
}

TLocalDateTime LocalDateTimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  // The broken-down local time of the current second, kept per thread: every header write asks
  // for it, and the conversion takes the time zone's lock.
  thread_local time_t cachedSecond = -1;
  thread_local tm cachedLocal{};
  if (ts.tv_sec != cachedSecond) {
    localtime_r(&ts.tv_sec, &cachedLocal);
    cachedSecond = ts.tv_sec;
  }
  const tm& local = cachedLocal;
  const auto day = EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  const int sec = local.tm_sec > 59 ? 59 : local.tm_sec;  // a leap second counts as :59
  const auto ms =
      EncodeTime(local.tm_hour, local.tm_min, sec, static_cast<int>(ts.tv_nsec / 1'000'000));
  TLocalDateTime now;
  now.Day = day.value_or(kDayNumber18991230);
  now.Ms = ms.value_or(0);
  return now;
}

double NowAsDayCount() {
  const TLocalDateTime now = LocalDateTimeNow();
  return static_cast<double>(now.Day - kDayNumber18991230) +
         static_cast<double>(now.Ms) / static_cast<double>(kMsPerDay);
}
std::int32_t TodayDayNumber() {
  return LocalDateTimeNow().Day;
}
std::int32_t NowMsOfDay() {
  return LocalDateTimeNow().Ms;
}

// ---- BCD -------------------------------------------------------------------------------

namespace {
int BcdDigit(const TBcd& v, int i) {
  const std::uint8_t b = v.Digits[static_cast<std::size_t>(i / 2)];
  return i % 2 == 0 ? b >> 4 : b & 0x0F;
}
void SetBcdDigit(TBcd& v, int i, int digit) {
  std::uint8_t& b = v.Digits[static_cast<std::size_t>(i / 2)];
  if (i % 2 == 0)
    b = static_cast<std::uint8_t>((b & 0x0F) | (digit << 4));
  else
    b = static_cast<std::uint8_t>((b & 0xF0) | digit);
}
}  // namespace

void StoreBcd(const TBcd& value, std::uint8_t* p) {
  p[0] = value.Precision;
  p[1] = value.SignScale;
  for (std::size_t i = 0; i < value.Digits.size(); ++i)
    p[2 + i] = value.Digits[i];
}

TBcd LoadBcd(const std::uint8_t* p) {
  TBcd v;
  v.Precision = p[0];
  v.SignScale = p[1];
  for (std::size_t i = 0; i < v.Digits.size(); ++i)
    v.Digits[i] = p[2 + i];
  return v;
}

bool IsValidBcd(const TBcd& value) {
  if (value.Precision > kBcdMaxDigits) return false;
  if ((value.SignScale & 0x40) != 0) return false;  // bit 6 is neither sign nor scale
  for (int i = 0; i < kBcdMaxDigits; ++i) {
    const int digit = BcdDigit(value, i);
    if (i < value.Precision ? digit > 9 : digit != 0) return false;
  }
  return true;
}

std::optional<TBcd> MakeBcd(bool negative, std::string_view digits, int scale) {
  if (scale < 0 || scale > 63) return std::nullopt;
  std::string all(digits);
  if (all.size() < static_cast<std::size_t>(scale))
    all.insert(0, static_cast<std::size_t>(scale) - all.size(), '0');
  // Drop leading zeros of the integer part, keeping at least one digit in all.
  std::size_t lead = 0;
  while (lead + static_cast<std::size_t>(scale) < all.size() && all[lead] == '0')
    ++lead;
  all.erase(0, lead);
  if (all.empty()) all.assign(1, '0');
  if (all.size() > static_cast<std::size_t>(kBcdMaxDigits)) return std::nullopt;
  TBcd v;
  bool zero = true;
  for (std::size_t i = 0; i < all.size(); ++i) {
    const char c = all[i];
    if (c < '0' || c > '9') return std::nullopt;
    if (c != '0') zero = false;
    SetBcdDigit(v, static_cast<int>(i), c - '0');
  }
  v.Precision = static_cast<std::uint8_t>(all.size());
  v.SignScale = static_cast<std::uint8_t>(scale | (negative && !zero ? 0x80 : 0));
  return v;
}

std::optional<std::int64_t> BcdToScaledInt(const TBcd& value) {
  if (!IsValidBcd(value)) return std::nullopt;
  const int scale = BcdScale(value);
  unsigned __int128 acc = 0;
  bool roundUp = false;
  // Digit i has the decimal exponent (precision - 1 - i - scale); we keep exponents >= -4.
  for (int i = 0; i < value.Precision; ++i) {
    const int exponent = value.Precision - 1 - i - scale;
    if (exponent < -4) {
      if (exponent == -5) roundUp = BcdDigit(value, i) >= 5;
      break;
    }
    acc = acc * 10 + static_cast<unsigned>(BcdDigit(value, i));
    if (acc > (static_cast<unsigned __int128>(1) << 64)) return std::nullopt;
  }
  // Digits missing below the last stored one (scale < 4) are zeros.
  for (int i = scale; i < 4; ++i) {
    acc *= 10;
    if (acc > (static_cast<unsigned __int128>(1) << 64)) return std::nullopt;
  }
  if (roundUp) acc += 1;
  const bool negative = BcdIsNegative(value);
  const unsigned __int128 limit = negative ? (static_cast<unsigned __int128>(1) << 63)
                                           : (static_cast<unsigned __int128>(1) << 63) - 1;
  if (acc > limit) return std::nullopt;
  if (negative) return static_cast<std::int64_t>(-static_cast<__int128>(acc));
  return static_cast<std::int64_t>(acc);
}

TBcd BcdFromScaledInt(std::int64_t scaled, int scale) {
  if (scale < 0) scale = 0;
  if (scale > 4) scale = 4;
  const bool negative = scaled < 0;
  std::uint64_t mag =
      negative ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
  std::uint64_t divisor = 1;
  for (int i = scale; i < 4; ++i)
    divisor *= 10;
  const std::uint64_t rest = mag % divisor;
  mag /= divisor;
  if (divisor > 1 && rest >= divisor - rest) ++mag;  // half away from zero
  return *MakeBcd(negative, std::to_string(mag), scale);
}

double BcdToDouble(const TBcd& value) {
  std::string text;
  if (BcdIsNegative(value)) text += '-';
  const int scale = BcdScale(value);
  std::string digits;
  for (int i = 0; i < value.Precision && i < kBcdMaxDigits; ++i)
    digits += static_cast<char>('0' + BcdDigit(value, i) % 10);
  if (digits.empty()) digits.assign(1, '0');
  if (static_cast<int>(digits.size()) <= scale)
    digits.insert(0, static_cast<std::size_t>(scale) - digits.size() + 1, '0');
  const std::size_t intLen = digits.size() - static_cast<std::size_t>(scale);
  text.append(digits, 0, intLen);
  if (scale > 0) {
    text += '.';
    text.append(digits, intLen, std::string::npos);
  }
  return std::strtod(text.c_str(), nullptr);
}

std::optional<TBcd> BcdFromDouble(double value, int scale) {
  if (!std::isfinite(value) || scale < 0 || scale > 63) return std::nullopt;
  if (std::fabs(value) >= 1e64) return std::nullopt;
  char buf[160];
  std::snprintf(buf, sizeof buf, "%.*f", scale, std::fabs(value));
  std::string digits;
  for (const char* p = buf; *p; ++p)
    if (*p >= '0' && *p <= '9') digits += *p;
  return MakeBcd(value < 0, digits, scale);
}

// ---- 80-bit extended float -------------------------------------------------------------

double LoadExtended(const std::uint8_t* p) {
  const std::uint64_t mantissa = GetU64(p);
  const std::uint16_t signExp = GetU16(p + 8);
  const bool negative = (signExp & 0x8000) != 0;
  const int exponent = signExp & 0x7FFF;
  double value;
  if (exponent == 0x7FFF) {
    value = (mantissa << 1) == 0 ? HUGE_VAL : std::nan("");
  } else if (exponent == 0 && mantissa == 0) {
    value = 0.0;
  } else {
    value = std::ldexp(static_cast<double>(mantissa), exponent - 16383 - 63);
  }
  return negative ? -value : value;
}

void StoreExtended(double value, std::uint8_t* p) {
  std::uint64_t mantissa = 0;
  std::uint16_t signExp = std::signbit(value) ? 0x8000 : 0;
  if (std::isnan(value)) {
    mantissa = 0xC000000000000000ULL;
    signExp |= 0x7FFF;
  } else if (std::isinf(value)) {
    mantissa = 0x8000000000000000ULL;
    signExp |= 0x7FFF;
  } else if (value != 0.0) {
    int e = 0;
    const double f = std::frexp(std::fabs(value), &e);  // value = f * 2^e, 0.5 <= f < 1
    mantissa = static_cast<std::uint64_t>(std::ldexp(f, 64));
    signExp |= static_cast<std::uint16_t>(e - 1 + 16383);
  }
  PutU64(p, mantissa);
  PutU16(p + 8, signExp);
}

}  // namespace zorvic::engine

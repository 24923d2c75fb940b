// Engine field types and the byte forms their values take inside a record.
//
// Every field of a table has an engine type code (String, Date, Blob, ...) and a subtype; the
// type fixes how many bytes the value occupies after the field's null-flag byte (`PhysSize`)
// and how those bytes encode the value. This header holds the codes, the size rule and the
// conversions between the stored bytes and plain C++ values: day numbers for dates,
// milliseconds for times and time stamps, the 34-byte packed decimal of BCD fields and the
// 80-bit extended float. All multi-byte values are little-endian.
//
// Thread safety: everything here is a pure function or a constant; any thread may call it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zorvic::engine {

// Engine type codes as stored in a field descriptor's `DataType` byte.
enum TFieldType : std::uint8_t {
  ftUnknown = 0,
  ftString = 1,
  ftDate = 2,
  ftBlob = 3,
  ftBoolean = 4,
  ftSmallInt = 5,
  ftInteger = 6,
  ftFloat = 7,
  ftBCD = 8,
  ftBytes = 9,
  ftTime = 10,
  ftTimeStamp = 11,
  ftWord = 12,
  ftCardinal = 13,
  ftExtended = 14,
  ftVarBytes = 15,
  ftLargeInt = 18,
};

// Subtype codes as stored in a field descriptor's `SubType` byte.
enum TFieldSubType : std::uint8_t {
  fstNone = 0,
  fstBinary = 0,  // Blob: binary value
  fstMoney = 21,  // Float: currency
  fstMemo = 22,   // Blob: text
  fstFormattedMemo = 24,
  fstGraphic = 26,
  fstTypedBinary = 28,
  fstAutoInc = 29,  // Integer: the value is the record's RowId
  fstFixedChar = 31,
  fstWideString = 32,
};

// True for every code the engine stores (the table's codes, nothing else).
bool IsKnownFieldType(std::uint8_t type);
// Bytes of the value in the record after the null-flag byte; `size` is the declared
// `FieldSize` (used by String, Bytes and VarBytes only). 0 for an unknown type.
std::uint32_t PhysSizeOf(std::uint8_t type, std::uint32_t size);
// String, Bytes and VarBytes carry a declared size; every other type has size 0.
bool TypeHasSize(std::uint8_t type);
// Integer with the auto-increment subtype: stored as the record's RowId at offset 5.
inline bool IsAutoIncField(std::uint8_t type, std::uint8_t subType) {
  return type == ftInteger && subType == fstAutoInc;
}
// Blob subtypes whose value is text (memo, formatted memo) rather than raw bytes.
inline bool IsMemoSubType(std::uint8_t subType) {
  return subType == fstMemo || subType == fstFormattedMemo;
}
// A short English name of the type for listings ("String", "Date", ...); "Unknown" otherwise.
const char* FieldTypeName(std::uint8_t type);

// ---- little-endian access -------------------------------------------------------------

inline std::uint16_t GetU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t GetU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::int32_t GetI32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(GetU32(p));
}
inline std::int16_t GetI16(const std::uint8_t* p) {
  return static_cast<std::int16_t>(GetU16(p));
}
inline std::uint64_t GetU64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(GetU32(p)) | (static_cast<std::uint64_t>(GetU32(p + 4)) << 32);
}
inline std::int64_t GetI64(const std::uint8_t* p) {
  return static_cast<std::int64_t>(GetU64(p));
}
double GetDouble(const std::uint8_t* p);

inline void PutU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutI32(std::uint8_t* p, std::int32_t v) {
  PutU32(p, static_cast<std::uint32_t>(v));
}
inline void PutI16(std::uint8_t* p, std::int16_t v) {
  PutU16(p, static_cast<std::uint16_t>(v));
}
inline void PutU64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i)
    p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutI64(std::uint8_t* p, std::int64_t v) {
  PutU64(p, static_cast<std::uint64_t>(v));
}
void PutDouble(std::uint8_t* p, double v);

// ---- dates and times -------------------------------------------------------------------

// Day numbers count days of the proleptic Gregorian calendar with 0001-01-01 = 1, so
// 1899-12-30 (the origin of the day-count time stamps in headers) is 693594.
inline constexpr std::int32_t kDayNumber18991230 = 693594;
inline constexpr std::int32_t kMaxDayNumber = 3652059;  // 9999-12-31
inline constexpr std::int64_t kMsPerDay = 86'400'000;

struct TCalendarDate {
  int Year = 1;
  int Month = 1;
  int Day = 1;
};
struct TClockTime {
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
// nullopt when the date lies outside 0001-01-01 .. 9999-12-31 or is not a calendar date.
std::optional<std::int32_t> EncodeDate(int year, int month, int day);
// nullopt for day numbers outside 1 .. kMaxDayNumber.
std::optional<TCalendarDate> DecodeDate(std::int32_t dayNumber);
// nullopt unless 0 <= h < 24, 0 <= m < 60, 0 <= s < 60, 0 <= ms < 1000.
std::optional<std::int32_t> EncodeTime(int hour, int minute, int second, int ms);
// nullopt for values outside 0 .. 86,399,999.
std::optional<TClockTime> DecodeTime(std::int32_t msOfDay);
// A time stamp is the day number times 86,400,000 plus the milliseconds of the day.
inline double EncodeTimeStamp(std::int32_t dayNumber, std::int32_t msOfDay) {
  return static_cast<double>(dayNumber) * static_cast<double>(kMsPerDay) + msOfDay;
}
// Splits a time stamp into day number and milliseconds of the day (rounded to whole
// milliseconds); nullopt when it is not finite or the day is outside the calendar.
struct TTimeStampParts {
  std::int32_t DayNumber = 0;
  std::int32_t MsOfDay = 0;
};
std::optional<TTimeStampParts> SplitTimeStamp(double value);
// The current local date and time, as the header's day count (day 0 = 1899-12-30, fraction =
// time of day) and as the engine's day number / milliseconds.
double NowAsDayCount();
std::int32_t TodayDayNumber();
std::int32_t NowMsOfDay();
// The local date (day number, 0001-01-01 = 1) and the milliseconds since midnight of one
// reading of the clock.
struct TLocalDateTime {
  std::int32_t Day = 0;
  std::int32_t Ms = 0;
};
TLocalDateTime LocalDateTimeNow();

// ---- BCD -------------------------------------------------------------------------------

// The 34-byte packed decimal of BCD fields: a precision byte (the number of digits held), a
// sign-and-scale byte (bit 7 = negative, low 6 bits = digits after the point) and 32 bytes
// holding up to 64 digits two per byte, high nibble first, most significant digit first.
// The digits are left-aligned: digit i sits in byte i/2.
struct TBcd {
  std::uint8_t Precision = 0;
  std::uint8_t SignScale = 0;
  std::array<std::uint8_t, 32> Digits{};
};
inline constexpr std::size_t kBcdSize = 34;
inline constexpr int kBcdMaxDigits = 64;

void StoreBcd(const TBcd& value, std::uint8_t* p);
TBcd LoadBcd(const std::uint8_t* p);
// A well-formed value: precision at most 64, scale at most the precision, digits 0-9, and no
// stray digits after the precision. Zero-filled bytes (a NULL field) are well formed (zero).
bool IsValidBcd(const TBcd& value);
inline bool BcdIsNegative(const TBcd& v) {
  return (v.SignScale & 0x80) != 0;
}
inline int BcdScale(const TBcd& v) {
  return v.SignScale & 0x3F;
}
// Builds a value from a decimal digit string (no sign, no point): `digits` holds the integer
// and fraction digits, the last `scale` of them after the point. Leading zeros of the integer
// part are dropped (one zero stays when it would be empty). nullopt when more than 64 digits
// remain or the scale is above 63.
std::optional<TBcd> MakeBcd(bool negative, std::string_view digits, int scale);
// The value times 10,000, rounded half away from zero (the form the SQL engine computes with
// and the index key uses); nullopt when it does not fit in 64 bits or the value is invalid.
std::optional<std::int64_t> BcdToScaledInt(const TBcd& value);
// A value with the given scale (0..4) from a number scaled by 10,000, rounded half away from
// zero to that scale.
TBcd BcdFromScaledInt(std::int64_t scaled, int scale);
double BcdToDouble(const TBcd& value);
// nullopt when the value is not finite or needs more than 64 digits at that scale.
std::optional<TBcd> BcdFromDouble(double value, int scale);

// ---- 80-bit extended float -------------------------------------------------------------

inline constexpr std::size_t kExtendedSize = 10;
// Reads the 10-byte extended float (64-bit mantissa with explicit integer bit, 15-bit
// exponent, sign); values outside the double range become infinities or zero.
double LoadExtended(const std::uint8_t* p);
// Stores a double as a 10-byte extended float; exact for every double.
void StoreExtended(double value, std::uint8_t* p);

}  // namespace zorvic::engine

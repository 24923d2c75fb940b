// Text forms of engine values, in both directions.
//
// The one place where dates, times, time stamps, booleans, integers, floats and BCD values
// become text and are read back from text. Storage uses it to check a field's minimum,
// maximum and default texts and the table tool uses it for dumps and loads; the SQL engine
// uses the same functions for literals, CAST and the text it builds itself.
//
//   date       "YYYY-MM-DD" (year in 4 digits, month and day in 2)
//   time       "HH:MM:SS", then "." and the milliseconds in decimal without leading zeros when
//              they are not 0 ("13:05:00", "13:05:00.250", "13:05:00.7" = 7 ms); the 12-hour form
//              runs 12, 1 ... 11 and appends " AM" or " PM"
//   timestamp  date text, one blank, time text
//   boolean    "True" / "False"; read back case-insensitively
//   float      the shortest text that reads back as the same double, "." as decimal point
//   BCD        decimal text with exactly the value's scale of digits after the point
//
// Every reader has two forms: ParseXxx returns nullopt on bad text, TextToXxx throws
// EConvertError with the system's message ("'<text>' is not a valid date", ...).
//
// Thread safety: pure functions; any thread may call them.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/storage/formats/FieldTypes.h"

namespace zorvic::engine {

// A text that is not a valid value of the wanted type. The SQL engine folds the message into
// its statement error.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Dates: day numbers (0001-01-01 = 1). DateToText throws for day numbers outside the calendar.
std::string DateToText(std::int32_t dayNumber);
// Splits at the first two "-" into year, month and day, each a decimal number.
std::optional<std::int32_t> ParseDate(std::string_view text);
std::int32_t TextToDate(std::string_view text);

// Times: milliseconds since midnight. TimeToText throws for values outside one day.
std::string TimeToText(std::int32_t msOfDay, bool twelveHour = false);
// An "AM" or "PM" anywhere (any case) is removed and selects 12-hour reading; then hours,
// ":" minutes, optionally ":" seconds, optionally "." milliseconds.
std::optional<std::int32_t> ParseTime(std::string_view text);
std::int32_t TextToTime(std::string_view text);

// Time stamps: milliseconds since 0001-01-01 00:00 as stored in TimeStamp fields.
std::string TimeStampToText(double value);
// With a blank: date, blank, time. Otherwise with ":" a time on 1899-12-30, else a date at
// midnight.
std::optional<double> ParseTimeStamp(std::string_view text);
double TextToTimeStamp(std::string_view text);

std::string BoolToText(bool value);
std::optional<bool> ParseBool(std::string_view text);
bool TextToBool(std::string_view text);

// Integers in decimal, with an optional sign; blanks around the number are ignored.
std::string IntToText(std::int64_t value);
std::optional<std::int64_t> ParseInt(std::string_view text, std::int64_t min, std::int64_t max);
std::int64_t TextToInt(std::string_view text, std::int64_t min, std::int64_t max);

// Floats: shortest round-trip text ("0.1", "1e+20", "-0", "inf", "nan").
std::string FloatToText(double value);
std::optional<double> ParseFloat(std::string_view text);
double TextToFloat(std::string_view text);

// BCD: "-123.4500" for a value with scale 4. BcdToText throws for malformed values.
std::string BcdToText(const TBcd& value);
// An optional sign, digits, optionally "." and more digits; the scale is the number of
// digits after the point.
std::optional<TBcd> ParseBcd(std::string_view text);
TBcd TextToBcd(std::string_view text);
// As ParseBcd, then brought to the given scale (rounded half away from zero when digits are
// dropped, zeros appended otherwise).
std::optional<TBcd> ParseBcdWithScale(std::string_view text, int scale);

// The words a Date, Time or TimeStamp field's default (and minimum and maximum) may hold in
// place of a value: CURRENT_DATE, CURRENT_TIME, CURRENT_TIMESTAMP (any case), each for the
// type it names.
bool IsCurrentDateTimeWord(std::uint8_t type, std::string_view text);

// Whether `text` is a valid minimum, maximum or default text for a field of this type: empty
// text always is; otherwise a literal of the type (String and memo defaults take any text;
// binary types take no minimum or maximum).
enum class TLiteralUse { Minimum, Maximum, Default };
bool IsValidFieldLiteral(std::uint8_t type, std::uint8_t subType, std::string_view text,
                         TLiteralUse use);

// Blanks (character 32) removed at both ends.
std::string_view TrimBlanks(std::string_view text);

}  // namespace zorvic::engine

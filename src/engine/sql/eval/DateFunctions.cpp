// EXTRACT, the calendar numbering of weeks and days, and the statement clock.
//
// The numbering is computed from day numbers of the proleptic Gregorian calendar, never from
// the process's locale: DAYOFWEEK 1 = Sunday .. 7 = Saturday; DAYOFYEAR 1 .. 366; WEEK is the
// week of the year where week 1 is the week holding 1 January and weeks start on Sunday
// (1 .. 54). A Time value is taken on 30 December 1899.
#include <ctime>

#include "engine/sql/eval/EvalInternal.h"
#include "engine/storage/formats/FieldTypes.h"

namespace zorvic::engine {

TStatementClock TStatementClock::Now() {
  // The local time of the current second is converted once per thread (the conversion takes
  // the time zone's lock); each execution reads the clock.
  const TLocalDateTime now = LocalDateTimeNow();
  TStatementClock clock;
  clock.Date = now.Day;
  clock.Milliseconds = now.Ms;
  return clock;
}

namespace eval {

int DayOfWeek(std::int32_t dayNumber) {
  // Day 1 (1 January 0001) was a Monday.
  return static_cast<int>(dayNumber % 7) + 1;
}

int DayOfYear(std::int32_t dayNumber) {
  const auto date = DecodeDate(dayNumber);
  if (!date) return 0;
  return static_cast<int>(dayNumber - *EncodeDate(date->Year, 1, 1)) + 1;
}

int WeekOfYear(std::int32_t dayNumber) {
  const auto date = DecodeDate(dayNumber);
  if (!date) return 0;
  const std::int32_t first = *EncodeDate(date->Year, 1, 1);
  // Days of week 1 before 1 January (0 when the year starts on a Sunday).
  const int lead = DayOfWeek(first) - 1;
  return (static_cast<int>(dayNumber - first) + lead) / 7 + 1;
}

void EvalExtract(const TExpToken& node, const TExpToken& value, TExpToken& out) {
  if (value.IsNull) return SetTypedNull(out, dtInteger, stNone, 4);
  std::int32_t day = kDayNumber18991230;
  std::int32_t ms = 0;
  switch (value.DataType) {
    case dtDate:
      day = value.Scalar<std::int32_t>();
      break;
    case dtTime:
      ms = value.Scalar<std::int32_t>();
      break;
    case dtTimeStamp: {
      const auto parts = SplitTimeStamp(value.Scalar<double>());
      if (!parts) return SetTypedNull(out, dtInteger, stNone, 4);
      day = parts->DayNumber;
      ms = parts->MsOfDay;
      break;
    }
    default:
      return SetTypedNull(out, dtInteger, stNone, 4);
  }
  const auto date = DecodeDate(day);
  const auto time = DecodeTime(ms);
  if (!date || !time) return SetTypedNull(out, dtInteger, stNone, 4);
  int part = 0;
  switch (node.OperatorCode) {
    case opExtractYear:
      part = date->Year;
      break;
    case opExtractMonth:
      part = date->Month;
      break;
    case opExtractWeek:
      part = WeekOfYear(day);
      break;
    case opExtractDay:
      part = date->Day;
      break;
    case opExtractDayOfWeek:
      part = DayOfWeek(day);
      break;
    case opExtractDayOfYear:
      part = DayOfYear(day);
      break;
    case opExtractHour:
      part = time->Hour;
      break;
    case opExtractMinute:
      part = time->Minute;
      break;
    default:
      part = time->Second;
      break;
  }
  SetIntegerValue(out, part);
}

bool ClockValue(const TExpToken& node, const TStatementClock& clock, TExpToken& out) {
  if (node.IsParameter || node.Text.size() < 12 || node.Text.size() > 17) return false;
  std::string name = node.Text;
  for (char& c : name)
    c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  if (name == "CURRENT_DATE" && node.DataType == dtDate) {
    out.SetDateConstant(clock.Date);
  } else if (name == "CURRENT_TIME" && node.DataType == dtTime) {
    out.SetTimeConstant(clock.Milliseconds);
  } else if (name == "CURRENT_TIMESTAMP" && node.DataType == dtTimeStamp) {
    out.SetTimeStampConstant(EncodeTimeStamp(clock.Date, clock.Milliseconds));
  } else {
    return false;
  }
  out.SubType = stNone;
  out.Scale = 0;
  return true;
}

}  // namespace eval

}  // namespace zorvic::engine

// Reading date, time and timestamp literals written as strings in SQL text.
//
// The binder turns a String constant compared with a Date, Time or TimeStamp into a value of
// that type; these readers give the value, or nullopt for text that is no such value.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zorvic::engine {

// "YYYY-MM-DD": day number with 1 January 0001 as day 1.
std::optional<std::int32_t> ReadDateLiteral(std::string_view text);
// "HH:MM[:SS[.mmm]]" with optional AM/PM: milliseconds since midnight.
std::optional<std::int32_t> ReadTimeLiteral(std::string_view text);
// "date time", a time alone (on 30 December 1899) or a date alone: day number * 86400000 +
// milliseconds of the day.
std::optional<double> ReadTimeStampLiteral(std::string_view text);

}  // namespace zorvic::engine

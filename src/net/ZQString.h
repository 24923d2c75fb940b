// Text helpers of the socket library, used across the server.
//
// All are pure functions on byte strings (no locale), safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zorvic {

// Removes leading and trailing characters with codes 0 to 32.
std::string TrimControlChars(std::string_view text);

// Changes the letters a to z to A to Z; every other byte stays as it is.
std::string UpperCaseAscii(std::string_view text);

// The integer in decimal with a comma between each group of three digits from the right:
// 12345 -> "12,345", -1234567 -> "-1,234,567".
std::string GroupThousands(std::int64_t value);

}  // namespace zorvic

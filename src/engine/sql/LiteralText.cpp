#include "engine/sql/LiteralText.h"

#include <charconv>
#include <string>

#include "engine/sql/ExpressionReader.h"

namespace zorvic::engine {

namespace {

constexpr double kMsPerDay = 86400000.0;
constexpr std::int32_t kDay18991230 = 693594;

std::optional<int> ReadNumber(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ')
    text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ')
    text.remove_suffix(1);
  return text;
}

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

}  // namespace

std::optional<std::int32_t> ReadDateLiteral(std::string_view text) {
  const std::size_t first = text.find('-');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = text.find('-', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const auto year = ReadNumber(text.substr(0, first));
  const auto month = ReadNumber(text.substr(first + 1, second - first - 1));
  const auto day = ReadNumber(text.substr(second + 1));
  if (!year || !month || !day) return std::nullopt;
  static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (*year < 1 || *year > 9999 || *month < 1 || *month > 12 || *day < 1) return std::nullopt;
  const int days = kDaysInMonth[*month - 1] + (*month == 2 && IsLeapYear(*year) ? 1 : 0);
  if (*day > days) return std::nullopt;
  return detail::DateValueOf(*year, *month, *day);
}

std::optional<std::int32_t> ReadTimeLiteral(std::string_view input) {
  std::string text(input);
  bool twelveHour = false;
  bool afternoon = false;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    const char a = static_cast<char>(text[i] & ~0x20);
    const char m = static_cast<char>(text[i + 1] & ~0x20);
    if ((a == 'A' || a == 'P') && m == 'M') {
      twelveHour = true;
      afternoon = (a == 'P');
      text.erase(i, 2);
      break;
    }
  }
  const std::string_view body = TrimBlanks(text);
  const std::size_t colon = body.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto hours = ReadNumber(body.substr(0, colon));
  std::string_view rest = body.substr(colon + 1);
  const std::size_t secondColon = rest.find(':');
  const auto minutes = ReadNumber(rest.substr(0, secondColon));
  std::optional<int> seconds = 0;
  std::optional<int> millis = 0;
  if (secondColon != std::string_view::npos) {
    rest = rest.substr(secondColon + 1);
    const std::size_t point = rest.find('.');
    seconds = ReadNumber(rest.substr(0, point));
    if (point != std::string_view::npos) millis = ReadNumber(rest.substr(point + 1));
  }
  if (!hours || !minutes || !seconds || !millis) return std::nullopt;
  int hour = *hours;
  if (twelveHour) {
    if (hour < 1 || hour > 12) return std::nullopt;
    if (hour == 12) hour = 0;
    if (afternoon) hour += 12;
  }
  if (hour > 23 || *minutes > 59 || *seconds > 59 || *millis > 999) return std::nullopt;
  return ((hour * 60 + *minutes) * 60 + *seconds) * 1000 + *millis;
}

std::optional<double> ReadTimeStampLiteral(std::string_view input) {
  const std::string_view text = TrimBlanks(input);
  const std::size_t blank = text.find(' ');
  if (blank != std::string_view::npos) {
    const auto date = ReadDateLiteral(text.substr(0, blank));
    const auto time = ReadTimeLiteral(text.substr(blank + 1));
    if (!date || !time) return std::nullopt;
    return *date * kMsPerDay + *time;
  }
  if (text.find(':') != std::string_view::npos) {
    const auto time = ReadTimeLiteral(text);
    if (!time) return std::nullopt;
    return kDay18991230 * kMsPerDay + *time;
  }
  const auto date = ReadDateLiteral(text);
  if (!date) return std::nullopt;
  return *date * kMsPerDay;
}

}  // namespace zorvic::engine

#include "net/ZQString.h"

namespace zorvic {

std::string TrimControlChars(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 32)
    ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32)
    --end;
  return std::string(text.substr(begin, end - begin));
}

std::string UpperCaseAscii(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

std::string GroupThousands(std::int64_t value) {
  // Work on the magnitude as unsigned so the most negative value has a magnitude too.
  std::uint64_t magnitude = value < 0 ? ~static_cast<std::uint64_t>(value) + 1 : value;
  std::string digits = std::to_string(magnitude);
  std::string result;
  result.reserve(digits.size() + digits.size() / 3 + 1);
  if (value < 0) result.push_back('-');
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) result.push_back(',');
    result.push_back(digits[i]);
  }
  return result;
}

}  // namespace zorvic

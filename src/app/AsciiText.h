// Small text rules shared by the administration commands and zorvic-cli: names compared
// without regard to ASCII case (SQL names, option keys) and arguments trimmed of blanks and
// tabs. Header-only, so the client tool uses them without the server's libraries.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <string_view>

namespace zorvic {

inline char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool AsciiEqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

inline bool AsciiStartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && AsciiEqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// The text without leading and trailing blanks and tabs.
inline std::string_view TrimBlanksAndTabs(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

}  // namespace zorvic

#include "messaging/RetrievalText.h"

#include <charconv>

namespace zorvic {

namespace {

constexpr std::size_t kMaxIdDigits = 18;
constexpr std::size_t kShownArgumentChars = 64;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

}  // namespace

bool IsBlankArgument(std::string_view argument) {
  return TrimBlanks(argument).empty();
}

std::optional<std::int64_t> ParseIdArgument(std::string_view argument) {
  std::string_view text = TrimBlanks(argument);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > kMaxIdDigits) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

std::string ShownArgument(std::string_view argument) {
  std::string shown = "'";
  for (char c : argument.substr(0, kShownArgumentChars))
    shown += static_cast<unsigned char>(c) < 32 ? '?' : c;
  if (argument.size() > kShownArgumentChars) shown += "...";
  return shown + "'";
}

std::string QuotedLogText(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

void AppendBigEndianInt32(std::string& out, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  out += static_cast<char>(v >> 24);
  out += static_cast<char>(v >> 16);
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v);
}

void AppendLittleEndianId(std::string& out, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  out += static_cast<char>(v);
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v >> 16);
  out += static_cast<char>(v >> 24);
}

bool AttachmentListHasId(std::string_view list, std::int32_t attachId) {
  while (!list.empty()) {
    const std::size_t end = list.find_first_of("\r\n");
    std::string_view line = list.substr(0, end);
    list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
    line = TrimBlanks(line);
    const std::size_t blank = line.find(' ');
    const std::string_view first = line.substr(0, blank);
    std::int32_t id = 0;
    const auto [ptr, error] = std::from_chars(first.data(), first.data() + first.size(), id);
    if (error == std::errc() && ptr == first.data() + first.size() && !first.empty() &&
        id == attachId)
      return true;
  }
  return false;
}

}  // namespace zorvic

#include "tools/zorvic-cli/MailboxFiles.h"

#include <algorithm>

namespace zorvic {

namespace {
constexpr std::size_t kMaxIdDigits = 9;
}

bool IsDecimalId(std::string_view text) {
  return !text.empty() && text.size() <= kMaxIdDigits &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::int32_t> DecodeIdList(std::string_view bytes) {
  std::vector<std::int32_t> ids;
  for (std::size_t at = 0; at + 4 <= bytes.size(); at += 4) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
      v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    ids.push_back(static_cast<std::int32_t>(v));
  }
  return ids;
}

std::vector<cAttachmentLine> ParseAttachmentList(std::string_view list) {
  std::vector<cAttachmentLine> lines;
  while (!list.empty()) {
    const std::size_t end = list.find("\r\n");
    std::string_view line = list.substr(0, end);
    list = end == std::string_view::npos ? std::string_view() : list.substr(end + 2);
    const std::size_t first = line.find(' ');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(' ', first + 1);
    cAttachmentLine a;
    a.Id = std::string(line.substr(0, first));
    a.Size = std::string(line.substr(
        first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1));
    if (second != std::string_view::npos) a.Name = std::string(line.substr(second + 1));
    if (IsDecimalId(a.Id)) lines.push_back(std::move(a));
  }
  return lines;
}

std::string HeaderLines(std::string_view header) {
  std::string text;
  while (!header.empty()) {
    const std::size_t end = header.find("\r\n");
    text += header.substr(0, end);
    text += '\n';
    header = end == std::string_view::npos ? std::string_view() : header.substr(end + 2);
  }
  return text;
}

std::string SafeFileName(std::string_view name, std::string_view id) {
  const std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  std::string safe;
  for (char c : name)
    if (static_cast<unsigned char>(c) >= 32 && c != 127) safe += c;
  if (safe.empty() || safe == "." || safe == "..") return "attachment-" + std::string(id);
  return safe;
}

std::string UniqueFileName(const std::string& name, const std::vector<std::string>& taken) {
  auto used = [&](const std::string& n) {
    return std::find(taken.begin(), taken.end(), n) != taken.end();
  };
  if (!used(name)) return name;
  for (int i = 2;; ++i) {
    std::string candidate = name + " (" + std::to_string(i) + ")";
    if (!used(candidate)) return candidate;
  }
}

}  // namespace zorvic

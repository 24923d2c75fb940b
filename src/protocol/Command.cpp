#include "protocol/Command.h"

#include "app/IniFile.h"

namespace zorvic {

namespace {

// Decimal only, optional sign, 32-bit range; "0x10" is junk here, unlike in INI files.
std::int32_t ParseCode(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return -1;
  }
  std::int32_t code = -1;
  return ParseIniInteger(text, code) ? code : -1;
}

}  // namespace

void ParseCommand(std::string_view line, cCommandStruct& command) {
  std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) {
    command.Code = ParseCode(line);
    command.Argument.clear();
  } else {
    command.Code = ParseCode(line.substr(0, blank));
    command.Argument.assign(line.substr(blank + 1));
  }
}

}  // namespace zorvic

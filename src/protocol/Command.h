// The parsed command line of the command protocol, and the parser.
//
// A command line is the decimal command code, optionally one blank and an argument. The
// argument is everything after the first blank, unchanged (it may hold further blanks).
//
// Thread safety: plain values and a pure function.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zorvic {

struct cCommandStruct {
  // The text before the first blank as a decimal integer; -1 when that text is empty, not a
  // decimal number, or outside the 32-bit range.
  std::int32_t Code = -1;
  // The text after the first blank; empty when the line has no blank.
  std::string Argument;
};

// Fills `command` from `line`: " 2000" is code -1 with the argument "2000"; "2000 " is code
// 2000 with an empty argument.
void ParseCommand(std::string_view line, cCommandStruct& command);

// Command codes the session loop knows by name.
enum : std::int32_t {
  kCmdFetchUserInfo = 1000,
  kCmdLogin = 1001,
  kCmdGivenAnswer1 = 1002,
  kCmdGivenAnswer2 = 1003,
  kCmdGoodbye = 2000,
  kCmdSendPassword = 2001,
  kCmdSecurityQuestions = 2002,
  kCmdListUsers = 2010,
  kCmdListGroupMembers = 2011,
  kCmdListGroups = 2012,
  kCmdBecomeListener = 2013,
  kCmdPresenceStatus = 2017,
  kCmdRequestAccount = 2020,
  kCmdAdminListTable = 2100,
  kCmdAdminListMatching = 2101,
  kCmdHasAdminPower = 2105,
};

}  // namespace zorvic

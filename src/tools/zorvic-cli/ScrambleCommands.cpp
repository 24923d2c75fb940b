// zorvic-cli scramble TEXT / unscramble TEXT: the server's text scrambling under the program key.
#include <exception>
#include <string>

#include "crypto/Scramble.h"
#include "tools/zorvic-cli/CliCommands.h"

namespace zorvic {
namespace {

int Convert(TCliArguments arguments, bool encrypt) {
  if (arguments.size() != 1) return kExitUsage;
  std::string result;
  try {
    result = ScrambleString(arguments[0], ProgramKey(), encrypt);
  } catch (const std::exception& error) {
    WriteErrorLine(error.what());
    return kExitFailure;
  }
  if (!WriteResultLine(result)) {
    WriteErrorLine("zorvic-cli: cannot write to standard output");
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace

int RunScramble(TCliArguments arguments) {
  return Convert(arguments, true);
}

int RunUnscramble(TCliArguments arguments) {
  return Convert(arguments, false);
}

}  // namespace zorvic

#include "tools/zorvic-cli/CliCommands.h"

namespace zorvic {

std::span<const cCliCommand> MailboxCliCommands() {
  return {};
}

}  // namespace zorvic

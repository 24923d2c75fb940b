#include "tools/zorvic-cli/CliCommands.h"

namespace zorvic {

std::span<const cCliCommand> SendCliCommands() {
  return {};
}

}  // namespace zorvic

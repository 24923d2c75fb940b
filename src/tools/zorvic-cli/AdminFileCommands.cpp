#include "tools/zorvic-cli/CliCommands.h"

namespace zorvic {

std::span<const cCliCommand> AdminFileCliCommands() {
  return {};
}

}  // namespace zorvic

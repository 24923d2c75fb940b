#include "tools/zorvic-cli/CliCommands.h"

namespace zorvic {

std::span<const cCliCommand> AdminResourceCliCommands() {
  return {};
}

}  // namespace zorvic

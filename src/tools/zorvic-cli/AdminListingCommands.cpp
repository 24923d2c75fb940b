#include "tools/zorvic-cli/CliCommands.h"

namespace zorvic {

std::span<const cCliCommand> AdminListingCliCommands() {
  return {};
}

}  // namespace zorvic

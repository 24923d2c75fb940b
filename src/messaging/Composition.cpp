#include "messaging/Composition.h"

namespace zorvic {

bool DispatchCompositionCommand(cServer& /*server*/, TZQSock& /*socket*/,
                                cClientInfoStruct& /*session*/, const cCommandStruct& /*command*/) {
  return false;
}

}  // namespace zorvic

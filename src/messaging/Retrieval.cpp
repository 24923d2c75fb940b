#include "messaging/Retrieval.h"

namespace zorvic {

bool DispatchRetrievalCommand(cServer& /*server*/, TZQSock& /*socket*/,
                              cClientInfoStruct& /*session*/, const cCommandStruct& /*command*/) {
  return false;
}

}  // namespace zorvic

#include "admin/Manipulation.h"

namespace zorvic {

bool DispatchManipulationCommand(cServer& /*server*/, TZQSock& /*socket*/,
                                 cClientInfoStruct& /*session*/,
                                 const cCommandStruct& /*command*/) {
  return false;
}

bool DispatchAccountRequestCommand(cServer& /*server*/, TZQSock& /*socket*/,
                                   cClientInfoStruct& /*session*/,
                                   const cCommandStruct& /*command*/) {
  return false;
}

}  // namespace zorvic

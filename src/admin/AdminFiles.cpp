#include "admin/AdminFiles.h"

namespace zorvic {

bool DispatchAdminFilesCommand(cServer& /*server*/, TZQSock& /*socket*/,
                               cClientInfoStruct& /*session*/, const cCommandStruct& /*command*/) {
  return false;
}

}  // namespace zorvic

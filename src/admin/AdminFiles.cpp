#include "admin/AdminFiles.h"

#include <cstdint>

#include "protocol/ClientInfo.h"
#include "protocol/Command.h"

namespace zorvic {

namespace {

enum : std::int32_t {
  kCmdSendSettingsFile = 2014,
  kCmdReceiveSettingsFile = 2015,
  kCmdFetchOptions = 2106,
  kCmdStoreOptions = 2107,
  kCmdClientVersion = 2111,
  kCmdUploadUpdate = 2112,
  kCmdUpdatePolicy = 2113,
  kCmdSendUpdate = 2114,
  kCmdChangePolicy = 2117,
  kCmdUpdatePolicyStatus = 2118,
};

}  // namespace

bool DispatchAdminFilesCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                               const cCommandStruct& command) {
  switch (command.Code) {
    case kCmdSendSettingsFile:
      HandleSendSettingsFile(server, socket, session, command.Argument);
      return true;
    case kCmdReceiveSettingsFile:
      HandleReceiveSettingsFile(server, socket, session, command.Argument);
      return true;
    case kCmdFetchOptions:
      HandleAdminFetchOptions(server, socket, session);
      return true;
    case kCmdStoreOptions:
      HandleAdminStoreOptions(server, socket, session);
      return true;
    case kCmdClientVersion:
      SendClientVersion(server, socket);
      return true;
    case kCmdUploadUpdate:
      HandleAdminUploadAutoUpdateFile(server, socket, session, command.Argument);
      return true;
    case kCmdUpdatePolicy:
      SendUpdatePolicy(server, socket, false);
      return true;
    case kCmdSendUpdate:
      HandleSendUpdate(server, socket);
      return true;
    case kCmdChangePolicy:
      ChangeUpdatePolicy(server, socket, command.Argument);
      return true;
    case kCmdUpdatePolicyStatus:
      SendUpdatePolicy(server, socket, true);
      return true;
    default:
      return false;
  }
}

}  // namespace zorvic

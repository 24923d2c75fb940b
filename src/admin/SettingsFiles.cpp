// 2015 and 2014: settings files in the folder of the session's user.
#include <cstdint>
#include <string>

#include "admin/AdminFiles.h"
#include "admin/FileTransfer.h"
#include "app/Folders.h"
#include "app/Server.h"
#include "net/ZQSock.h"
#include "protocol/ClientInfo.h"
#include "protocol/Payload.h"

namespace zorvic {

namespace {

constexpr std::string_view kReceiveLogPrefix = "In cServer.HandleReceiveSettingsFile (): ";
constexpr std::string_view kSendLogPrefix = "In cServer.HandleSendSettingsFile (): ";

void Log(cServer& server, std::string_view prefix, std::string_view message) {
  server.WriteLog(std::string(prefix) + std::string(message));
}

}  // namespace

void HandleReceiveSettingsFile(cServer& server, TZQSock& socket, const cClientInfoStruct& session,
                               std::string_view fileName) {
  std::int32_t size = 0;
  switch (ReadAnnouncedSize(socket, MaxUploadBytes(server.ServerOptions()), size)) {
    case TAnnouncedSize::Accepted:
      break;
    case TAnnouncedSize::Negative:
      Log(server, kReceiveLogPrefix, "Invalid file size " + std::to_string(size));
      socket.WriteLine(kInvalidFileSizeReply);
      return;
    case TAnnouncedSize::TooLarge:
      Log(server, kReceiveLogPrefix,
          "A settings file of " + std::to_string(size) + " bytes is larger than MaxUploadSize");
      socket.WriteLine(kFileTooLargeReply);
      // Its bytes are never read: the connection ends once the reply is delivered.
      socket.CloseGraceful();
      return;
    case TAnnouncedSize::Lost:
      Log(server, kReceiveLogPrefix, "The size of the settings file did not come");
      socket.CloseAbort();
      return;
  }
  const bool userOk = IsSafeFolderName(session.UserName);
  if (!userOk || !IsSafeSettingsFileName(fileName)) {
    Log(server, kReceiveLogPrefix,
        userOk ? "Invalid file name " + ShownClientText(fileName)
               : "Invalid user name " + ShownClientText(session.UserName));
    if (!DiscardPayload(socket, size)) {
      socket.CloseAbort();
      return;
    }
    socket.WriteLine(userOk ? kInvalidFileNameReply : kSettingsErrorReply);
    return;
  }
  std::string error;
  switch (ReceiveFileReplacing(socket, size, UserFolderPath(session.UserName), fileName, error)) {
    case TUploadResult::Stored:
      socket.WriteLine(kFileReceivedReply);
      return;
    case TUploadResult::TransferFailed:
      Log(server, kReceiveLogPrefix, error);
      socket.CloseAbort();
      return;
    case TUploadResult::WriteFailed:
      Log(server, kReceiveLogPrefix, error);
      socket.WriteLine(kSettingsErrorReply);
      return;
  }
}

void HandleSendSettingsFile(cServer& server, TZQSock& socket, const cClientInfoStruct& session,
                            std::string_view fileName) {
  const bool userOk = IsSafeFolderName(session.UserName);
  if (!userOk || !IsSafeSettingsFileName(fileName)) {
    Log(server, kSendLogPrefix,
        userOk ? "Invalid file name " + ShownClientText(fileName)
               : "Invalid user name " + ShownClientText(session.UserName));
    socket.WriteLine(userOk ? kInvalidFileNameReply : kSettingsErrorReply);
    return;
  }
  std::string error;
  auto file =
      cFileForSending::Open(UserFolderPath(session.UserName) + std::string(fileName), error);
  if (!file) {
    if (error.empty()) {
      socket.WriteLine(kNoSettingsFileReply);
    } else {
      Log(server, kSendLogPrefix, error);
      socket.WriteLine(kSettingsErrorReply);
    }
    return;
  }
  socket.WriteLine(kSettingsFollowReply);
  if (!file->SendSizeAndBytes(socket, error)) {
    Log(server, kSendLogPrefix, error);
    socket.CloseAbort();
  }
}

}  // namespace zorvic

// 2111, 2113, 2117, 2118: the client version and the update policy of versions.ini;
// 2114 and 2112: downloading and uploading client update files of the Updates folder.
//
// Every read and write of versions.ini goes through VersionsFile under its lock, 2117 and
// 2118 included, so a change of the policy is never lost beside another writer of the file.
#include <cstdint>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>

#include "admin/AdminFiles.h"
#include "admin/FileTransfer.h"
#include "app/ErrorText.h"
#include "app/Folders.h"
#include "app/Server.h"
#include "app/ThreadINIFile.h"
#include "net/ZQSock.h"
#include "protocol/ClientInfo.h"
#include "protocol/Payload.h"

namespace zorvic {

namespace {

constexpr std::string_view kSendUpdateLogPrefix = "In cServer.HandleSendUpdate (): ";
constexpr std::string_view kUploadLogPrefix = "In cServer.HandleAdminUploadAutoUpdateFile (): ";
constexpr std::string_view kVersionsFileName = "versions.ini";

TThreadINIFile& Versions() {
  if (VersionsFile == nullptr) throw std::runtime_error("versions.ini is not open");
  return *VersionsFile;
}

std::string ReadVersionsValue(std::string_view section, std::string_view key,
                              std::string_view defaultValue) {
  TIniFileLock ini(Versions());
  return ini->ReadString(section, key, defaultValue);
}

void LogQuoted(cServer& server, std::string_view prefix, std::string_view message) {
  server.WriteLog(std::string(prefix) + QuotedLogMessage(message));
}

}  // namespace

void SendClientVersion(cServer& /*server*/, TZQSock& socket) {
  socket.WriteLine(ReadVersionsValue(kClientSection, kVersionKey, kDefaultVersion));
}

void SendUpdatePolicy(cServer& /*server*/, TZQSock& socket, bool withStatus) {
  const std::string policy =
      ReadVersionsValue(kSettingsSection, kUpdatePolicyKey, kDefaultUpdatePolicy);
  socket.WriteLine(withStatus ? "+OK " + policy : policy);
}

void ChangeUpdatePolicy(cServer& server, TZQSock& socket, std::string_view policy) {
  try {
    TIniFileLock ini(Versions());
    ini->WriteString(kSettingsSection, kUpdatePolicyKey, IniValueText(std::string(policy)));
  } catch (...) {
    server.WriteLog("In cServer.ProcessCommand (): " + ErrorMessage(std::current_exception()));
    socket.WriteLine(kPolicyErrorReply);
    return;
  }
  socket.WriteLine(kPolicyChangedReply);
}

void HandleSendUpdate(cServer& server, TZQSock& socket) {
  std::string name;
  try {
    std::lock_guard<std::recursive_mutex> database(server.DatabaseLock);
    name = ReadVersionsValue(kClientSection, kUpdateFileKey, "");
  } catch (...) {
    LogQuoted(server, kSendUpdateLogPrefix, ErrorMessage(std::current_exception()));
    return;
  }
  if (name.empty()) {
    socket.WriteLine(kNoUpdateFileReply);
    return;
  }
  // The entry is the operator's, but it still names a file of the Updates folder only.
  if (!IsSafeTransferFileName(name)) {
    LogQuoted(server, kSendUpdateLogPrefix,
              "The update file " + ShownClientText(name) + " is not a file of the Updates folder");
    socket.WriteLine(kNoUpdateFileReply);
    return;
  }
  // Opened before "+OK": a client never gets the name of a file that cannot be sent.
  std::string error;
  auto file = cFileForSending::Open(UpdatesFolder + name, error);
  if (!file) {
    LogQuoted(
        server, kSendUpdateLogPrefix,
        error.empty() ? "The update file " + UpdatesFolder + name + " does not exist" : error);
    socket.WriteLine(kNoUpdateFileReply);
    return;
  }
  socket.WriteLine("+OK " + name);
  if (!file->SendSizeAndBytes(socket, error)) {
    LogQuoted(server, kSendUpdateLogPrefix, error);
    socket.CloseAbort();
    return;
  }
  socket.WriteLine(kUpdateSentReply);
}

void HandleAdminUploadAutoUpdateFile(cServer& server, TZQSock& socket,
                                     const cClientInfoStruct& session, std::string_view fileName) {
  std::int32_t size = 0;
  const TAnnouncedSize announced =
      ReadAnnouncedSize(socket, MaxUploadBytes(server.ServerOptions()), size);
  if (announced == TAnnouncedSize::Lost) {
    LogQuoted(server, kUploadLogPrefix, "The size of the update file did not come");
    socket.CloseAbort();
    return;
  }
  // Refusals come after the size, and after the bytes when they were announced, so that the
  // bytes are never read as commands.
  std::string_view refusal;
  std::string reason;
  if (!session.HasAdminPower) {
    refusal = kNoPermissionReply;
  } else if (announced == TAnnouncedSize::Negative) {
    refusal = kInvalidFileSizeReply;
    reason = "Invalid file size " + std::to_string(size);
  } else if (announced == TAnnouncedSize::TooLarge) {
    refusal = kFileTooLargeReply;
    reason = "An update file of " + std::to_string(size) + " bytes is larger than MaxUploadSize";
  } else if (!IsSafeTransferFileName(fileName)) {
    refusal = kInvalidFileNameReply;
    reason = "Invalid file name " + ShownClientText(fileName);
  }
  if (!refusal.empty()) {
    if (!reason.empty()) LogQuoted(server, kUploadLogPrefix, reason);
    if (announced == TAnnouncedSize::TooLarge) {
      // Its bytes are never read: the connection ends once the reply is delivered.
      socket.WriteLine(refusal);
      socket.CloseGraceful();
      return;
    }
    if (announced == TAnnouncedSize::Accepted && !DiscardPayload(socket, size)) {
      socket.CloseAbort();
      return;
    }
    socket.WriteLine(refusal);
    return;
  }
  std::string error;
  TThreadINIFile* renameLock = fileName == kVersionsFileName ? VersionsFile : nullptr;
  switch (ReceiveFileReplacing(socket, size, UpdatesFolder, fileName, error, renameLock)) {
    case TUploadResult::Stored:
      socket.WriteLine(kFileReceivedReply);
      return;
    case TUploadResult::TransferFailed:
      LogQuoted(server, kUploadLogPrefix, error);
      socket.CloseAbort();
      return;
    case TUploadResult::WriteFailed:
      LogQuoted(server, kUploadLogPrefix, error);  // no reply, as clients of 2112 expect
      return;
  }
}

}  // namespace zorvic

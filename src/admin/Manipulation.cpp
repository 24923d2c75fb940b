// Resource manipulation (2102, 2103, 2104), self-service account requests (2020) and their
// approval (2115): cServer's HandleAdminManipulateResource and HandleApproveAccountCreation.
//
// The packet is read before the DatabaseLock is taken, with the bounded reader (at most
// MaxPacketSize), so a slow sender holds up nobody else. Everything from the existence check
// to the last statement then runs under the lock; a user's folder is created after it (the
// mailbox registry takes a mailbox lock, which comes before the DatabaseLock), and a user
// whose folder cannot be made is removed again. A refusal that comes before the announced
// packet still reads and drops it, so its bytes are never taken for commands; a packet above
// the ceiling cannot be drained and ends the connection after the reply.
#include "admin/Manipulation.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "admin/ResourcePacket.h"
#include "app/ErrorText.h"
#include "app/Folders.h"
#include "app/Server.h"
#include "app/SharedSql.h"
#include "app/ThreadINIFile.h"
#include "engine/storage/formats/FieldTypes.h"
#include "net/ZQSock.h"
#include "packet/LiteXMLPacket.h"
#include "protocol/ClientInfo.h"
#include "protocol/Command.h"
#include "protocol/CommandSessions.h"
#include "protocol/Login.h"
#include "protocol/Payload.h"

namespace zorvic {

namespace {

constexpr std::int32_t kCmdCreateResource = 2102;
constexpr std::int32_t kCmdUpdateResource = 2103;
constexpr std::int32_t kCmdDeleteResource = 2104;
constexpr std::int32_t kCmdApproveRequest = 2115;

constexpr char kNoPermissionReply[] =
    "-ERR You do not have the permissions to perform this operation";
constexpr char kMalformedXmlReply[] = "-ERR malformed XML";
constexpr char kExistsReply[] = "-ERR a resource with that identifier already exists!";
constexpr char kManipulationErrorReply[] = "-ERR Server-side exception while performing operation";
constexpr char kManipulationOkReply[] = "+OK Admin Resource Manipulation Successful";
constexpr char kPacketTooLargeReply[] = "-ERR The packet is too large";
constexpr char kApproveErrorReply[] = "-ERR Server-side error during operation";
constexpr char kApprovedReply[] = "+OK Request approved";
constexpr char kCreationDisallowedReply[] = "-ERR User Creation by non-admins is disallowed";
constexpr char kActivationRequestType[] = "User Activation Request";

constexpr char kManipulateLog[] = "In cServer.HandleAdminManipulateResource (): ";
constexpr char kApproveLog[] = "In cServer.HandleApproveAccountCreation (): ";

std::string QuotedMessage(std::string_view message) {
  std::string quoted = "'";
  for (char c : message) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

// The packet length of "LENGTH TABLE": a decimal number with an optional sign (0 when the
// text is not one, as the protocol has it); a number beyond 64 bits counts as the largest.
std::int64_t ParsePacketLength(std::string_view text) {
  bool negative = false;
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i == text.size()) return 0;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
    if (value > (INT64_MAX - 9) / 10) {
      value = INT64_MAX;
    } else {
      value = value * 10 + (text[i] - '0');
    }
  }
  return negative ? -value : value;
}

struct cPacketCommand {
  std::int64_t Length = 0;
  std::string Table;
};

cPacketCommand SplitPacketCommand(std::string_view argument) {
  const std::size_t blank = argument.find(' ');
  cPacketCommand parts;
  parts.Length = ParsePacketLength(argument.substr(0, blank));
  if (blank != std::string_view::npos) parts.Table = std::string(argument.substr(blank + 1));
  return parts;
}

// Answers a refusal and keeps the stream in step: a packet within the ceiling is read and
// dropped before the reply; one above it cannot be, so the connection ends after the reply.
void RefuseWithPayload(cServer& server, TZQSock& socket, std::string_view argument,
                       std::string_view reply) {
  const cPacketCommand parts = SplitPacketCommand(argument);
  if (parts.Length > MaxPacketBytes(server.ServerOptions())) {
    socket.WriteLine(reply);
    socket.CloseGraceful();
    return;
  }
  if (parts.Length > 0 && !DiscardPayload(socket, parts.Length)) {
    socket.CloseAbort();  // the packet never came: the stream is out of step
    return;
  }
  socket.WriteLine(reply);
}

TResourceOperation OperationOf(std::int32_t code) {
  if (code == kCmdUpdateResource) return TResourceOperation::Update;
  if (code == kCmdDeleteResource) return TResourceOperation::Delete;
  return TResourceOperation::Create;  // 2102 and 2020
}

// Removes a user's folder with everything in it; only for a name that is one folder level.
void RemoveUserFolder(cServer& server, const std::string& userName) {
  if (!IsSafeUserName(userName)) return;
  std::error_code error;
  std::filesystem::remove_all(UserFolderPath(userName), error);
  if (error)
    server.WriteLog(
        std::string(kManipulateLog) +
        QuotedMessage("Could not remove the folder of user " + userName + ": " + error.message()));
}

// The account request that goes with a self-service creation: the account is enabled at
// once, or it stays disabled and a request is filed for an administrator.
void FileSelfServiceAccount(cServer& server, const std::string& userName) {
  if (ReadIniBool(server.ServerOptions(), kServerOptionsSection, "ActivateNewAccounts", true)) {
    ExecShared(server, "Update Users set AccountDisabled=False where UserName=?", {userName});
  } else {
    ExecShared(server, "Insert into Requests (From, RequestType, RequestDate) values (?, ?, ?)",
               {userName, std::string(kActivationRequestType), cSqlDate{engine::TodayDayNumber()}});
  }
}

// Undoes a user creation whose folder could not be made.
void UndoUserCreation(cServer& server, const std::string& userName, bool selfService) {
  std::lock_guard<std::recursive_mutex> guard(server.DatabaseLock);
  ExecShared(server, "Delete from Users where UserName=?", {userName});
  if (selfService)
    ExecShared(server, "Delete from Requests where From=? and RequestType=?",
               {userName, std::string(kActivationRequestType)});
}

// XML cannot carry a NUL character, raw or as a reference ("&#0;", "&#x00;"); a reader
// would cut the value short there, so a packet holding one is malformed.
bool HoldsNulCharacter(std::string_view xml) {
  if (xml.find('\0') != std::string_view::npos) return true;
  for (std::size_t at = xml.find("&#"); at != std::string_view::npos; at = xml.find("&#", at + 2)) {
    std::size_t i = at + 2;
    if (i < xml.size() && (xml[i] == 'x' || xml[i] == 'X')) ++i;
    const std::size_t digits = i;
    while (i < xml.size() && xml[i] == '0')
      ++i;
    if (i > digits && i < xml.size() && xml[i] == ';') return true;
  }
  return false;
}

enum class TManipulationOutcome { Done, Exists, Ended };

}  // namespace

// 2102, 2103, 2104, and 2020 (selfService) with "LENGTH TABLE" and the packet right after the
// command line.
void HandleAdminManipulateResource(cServer& server, const cClientInfoStruct& session,
                                   const cCommandStruct& command, TZQSock& socket,
                                   bool selfService) {
  if (!selfService && !session.HasAdminPower) {
    RefuseWithPayload(server, socket, command.Argument, kNoPermissionReply);
    return;
  }
  const cPacketCommand parts = SplitPacketCommand(command.Argument);
  if (parts.Length > MaxPacketBytes(server.ServerOptions())) {
    server.WriteLog(std::string(kManipulateLog) +
                    QuotedMessage("A packet of " + std::to_string(parts.Length) +
                                  " bytes is above the limit MaxPacketSize"));
    socket.WriteLine(kPacketTooLargeReply);
    socket.CloseGraceful();
    return;
  }
  std::string xml;
  if (parts.Length > 0 && !ReceivePayload(socket, parts.Length, xml)) {
    server.WriteLog(std::string(kManipulateLog) +
                    QuotedMessage("The connection ended before the announced packet of " +
                                  std::to_string(parts.Length) + " bytes had arrived"));
    socket.CloseAbort();
    return;
  }

  const TResourceOperation operation = OperationOf(command.Code);
  std::optional<cResourceStatement> statement;
  TManipulationOutcome outcome = TManipulationOutcome::Done;
  try {
    cLiteXMLPacket packet;
    if (parts.Length < 0 || HoldsNulCharacter(xml) || !packet.LoadFromXml(xml)) {
      socket.WriteLine(kMalformedXmlReply);
      return;
    }
    statement = CheckResourcePacket(operation, parts.Table, packet, selfService);

    std::lock_guard<std::recursive_mutex> guard(server.DatabaseLock);
    if (!selfService && SessionEnded(server, socket)) {
      outcome = TManipulationOutcome::Ended;
    } else if (operation == TResourceOperation::Create && [&] {
                 const cSqlRows rows =
                     SelectShared(server, "Select count(*) From " + statement->Table + " where " +
                                              statement->KeyField + "=" + statement->KeyLiteral);
                 return !rows.Empty() && rows.Rows[0][0].value_or("0") != "0";
               }()) {
      outcome = TManipulationOutcome::Exists;
    } else {
      // An account that is changed or deleted loses its sessions first, so nobody goes on
      // with the rights it had (an update without assignments changes nothing).
      if (statement->IsUsers &&
          (operation == TResourceOperation::Delete ||
           (operation == TResourceOperation::Update && statement->Record.FieldCount() > 1)))
        EndAccountSessions(server, statement->UserName, &socket);
      ExecShared(server, statement->Sql);
      if (statement->IsUsers && operation == TResourceOperation::Delete)
        RemoveUserFolder(server, statement->UserName);
      if (selfService) {
        try {
          FileSelfServiceAccount(server, statement->UserName);
        } catch (...) {
          UndoUserCreation(server, statement->UserName, false);
          throw;
        }
      }
    }
  } catch (...) {
    server.WriteLog(std::string(kManipulateLog) +
                    QuotedMessage(ErrorMessage(std::current_exception())));
    socket.WriteLine(kManipulationErrorReply);
    return;
  }
  if (outcome == TManipulationOutcome::Exists) {
    socket.WriteLine(kExistsReply);
    return;
  }
  if (outcome == TManipulationOutcome::Ended) {
    socket.WriteLine(kNoPermissionReply);
    return;
  }

  if (statement->IsUsers && operation == TResourceOperation::Create) {
    // Opening the new user's mailbox once creates the folder and its empty Messages table.
    cUserQueryStruct* mailbox = server.ReferenceUserQuery(statement->UserName);
    if (!mailbox) {
      try {
        UndoUserCreation(server, statement->UserName, selfService);
      } catch (...) {
        server.WriteLog(std::string(kManipulateLog) +
                        QuotedMessage(ErrorMessage(std::current_exception())));
      }
      socket.WriteLine(kManipulationErrorReply);
      return;
    }
    server.ReleaseUserQuery(mailbox);
  }
  socket.WriteLine(kManipulationOkReply);
}

// 2115 with a request id: enables the requesting account and removes the request.
void HandleApproveAccountCreation(cServer& server, const cClientInfoStruct& session,
                                  TZQSock& socket, const cCommandStruct& command) {
  std::lock_guard<std::recursive_mutex> guard(server.DatabaseLock);
  if (!session.HasAdminPower || SessionEnded(server, socket)) {
    socket.WriteLine(kNoPermissionReply);
    return;
  }
  try {
    const std::string_view argument = command.Argument;
    std::int64_t id = 0;
    bool valid = !argument.empty() && argument.size() <= 10;
    for (char c : argument)
      valid = valid && c >= '0' && c <= '9';
    if (valid) id = ParsePacketLength(argument);
    if (!valid || id > INT32_MAX)
      throw std::runtime_error("The request id " + QuotedMessage(argument.substr(0, 32)) +
                               " is not a number");
    const cSqlParams idParam = {static_cast<std::int32_t>(id)};
    const cSqlRows rows =
        SelectShared(server, "Select From from Requests where RequestID=?", idParam);
    if (!rows.Empty() && rows.Rows[0][0]) {
      ExecShared(server, "Update Users set AccountDisabled=false where UserName=?",
                 {*rows.Rows[0][0]});
    }
    ExecShared(server, "Delete from Requests where RequestID=?", idParam);
  } catch (...) {
    server.WriteLog(std::string(kApproveLog) +
                    QuotedMessage(ErrorMessage(std::current_exception())));
    socket.WriteLine(kApproveErrorReply);
    return;
  }
  socket.WriteLine(kApprovedReply);
}

bool DispatchManipulationCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                                 const cCommandStruct& command) {
  switch (command.Code) {
    case kCmdCreateResource:
    case kCmdUpdateResource:
    case kCmdDeleteResource:
      HandleAdminManipulateResource(server, session, command, socket, false);
      return true;
    case kCmdApproveRequest:
      HandleApproveAccountCreation(server, session, socket, command);
      return true;
    case kCmdRequestAccount:
      // Only before login; the packet that follows is dropped with the refusal.
      RefuseWithPayload(server, socket, command.Argument,
                        "-ERR Unrecognized command: " + std::to_string(command.Code));
      return true;
    default:
      return false;
  }
}

bool DispatchAccountRequestCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                                   const cCommandStruct& command) {
  switch (command.Code) {
    case kCmdRequestAccount:
      if (!ReadIniBool(server.ServerOptions(), kServerOptionsSection, "AllowUserAccountCreation",
                       true)) {
        RefuseWithPayload(server, socket, command.Argument, kCreationDisallowedReply);
        return true;
      }
      HandleAdminManipulateResource(server, session, command, socket, true);
      return true;
    case kCmdCreateResource:
    case kCmdUpdateResource:
    case kCmdDeleteResource:
      // Only after login; the packet that follows is dropped with the refusal.
      RefuseWithPayload(
          server, socket, command.Argument,
          "-ERR Unrecognized command in the authentication stage: " + std::to_string(command.Code));
      return true;
    default:
      return false;
  }
}

}  // namespace zorvic

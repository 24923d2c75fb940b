#include "messaging/Retrieval.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "app/ErrorText.h"
#include "app/Server.h"
#include "app/SharedSql.h"
#include "app/ThreadINIFile.h"
#include "engine/components/Field.h"
#include "engine/sql/query/Query.h"
#include "messaging/AttachmentFetch.h"
#include "messaging/MailboxRegistry.h"
#include "messaging/MessageRecord.h"
#include "messaging/RetrievalText.h"
#include "net/ZQSock.h"
#include "net/ZQWorkPool.h"
#include "protocol/ClientInfo.h"
#include "protocol/Command.h"

namespace zorvic {

namespace {

constexpr std::int32_t kCmdFetchMessage = 2004;
constexpr std::int32_t kCmdFetchMessageList = 2005;
constexpr std::int32_t kCmdDeleteMessage = 2008;
constexpr std::int32_t kCmdFetchAttachment = 2009;

// Replies and attachment bodies go out in pieces of this size, so that no single write is huge.
constexpr std::size_t kReplyWriteChunk = 1 << 20;

// Takes the session's mailbox (the reference its login holds) under its lock and the
// DatabaseLock, and gives both back when it goes.
class TMailboxHold {
 public:
  TMailboxHold(cServer& server, const cClientInfoStruct& session) : fServer(server) {
    fEntry = session.Mailbox ? server.LockUserQuery(session.Mailbox)
                             : server.LockUserQuery(session.UserName);
    if (!fEntry || !fEntry->Query)
      throw std::runtime_error("The mailbox of " + session.UserName + " is not open");
  }
  // The statement is released before the locks go: a logged-in session keeps its mailbox open
  // for as long as it lasts, and a prepared statement would keep its parse tree, its bound
  // columns and the values of the last row read (a whole message body) for as long.
  ~TMailboxHold() {
    try {
      fEntry->Query->ReleaseSQL();
      fEntry->Query->ClearSQL();
      fEntry->Query->Params().Clear();
    } catch (...) {
      // Releasing a closed statement cannot lose data; the next command prepares its own.
    }
    fServer.UnlockUserQuery(fEntry);
  }
  TMailboxHold(const TMailboxHold&) = delete;
  TMailboxHold& operator=(const TMailboxHold&) = delete;

  engine::TVELDORQuery& Query() { return *fEntry->Query; }

 private:
  cServer& fServer;
  cUserQueryStruct* fEntry = nullptr;
};

std::int32_t ClampToInt32(std::int64_t value) {
  if (value > std::numeric_limits<std::int32_t>::max())
    return std::numeric_limits<std::int32_t>::max();
  if (value < std::numeric_limits<std::int32_t>::min())
    return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

bool FitsInt32(std::int64_t value) {
  return value >= std::numeric_limits<std::int32_t>::min() &&
         value <= std::numeric_limits<std::int32_t>::max();
}

// The argument as an id; a text that is not one decimal integer raises, so that nothing but a
// number ever reaches a statement.
std::int64_t RequireId(std::string_view argument, std::string_view what) {
  if (auto id = ParseIdArgument(argument)) return *id;
  throw std::runtime_error("Invalid " + std::string(what) + " " + ShownArgument(argument));
}

// Sends the bytes in pieces the socket's int-sized writes can take; stops when one fails
// (the socket is closed then).
void SendReply(TZQSock& socket, std::string_view bytes) {
  for (std::size_t at = 0; at < bytes.size(); at += kReplyWriteChunk) {
    const std::size_t n = std::min(kReplyWriteChunk, bytes.size() - at);
    if (socket.WriteBuffer(bytes.data() + at, static_cast<int>(n)) < static_cast<int>(n)) return;
  }
}

// What a retrieval command's engine work hands back to the session thread, which writes it.
struct TRetrievalReply {
  std::string Bytes;
  // The command failed: its error line goes out instead, the log entry is already written.
  const char* ErrorLine = nullptr;
};

// Runs the engine work of a retrieval command on the shared work pool (ZQWorkPool.h) and
// returns its reply: the statements, the cursor's buffers and the reply are allocated and freed
// there, so this session thread's allocator cache stays as small as it was after the login.
// The work takes the mailbox lock and the DatabaseLock itself and gives them back before it
// returns; the session thread holds no lock while it waits, and does every socket write itself
// afterwards. A failure becomes the error line, with logPrefix and the error in the log.
// The pool gets a reference to the job, so handing it over allocates nothing here.
template <class F>
TRetrievalReply RunOnWorkPool(cServer& server, const char* logPrefix, const char* errorLine,
                              F&& work) {
  TRetrievalReply reply;
  auto job = [&] {
    try {
      work(reply);
    } catch (...) {
      reply.Bytes.clear();
      reply.Bytes.shrink_to_fit();
      reply.ErrorLine = errorLine;
      server.WriteLog(logPrefix + ErrorMessage(std::current_exception()));
    }
  };
  TZQWorkPool::Shared().Run(std::function<void()>(std::ref(job)));
  return reply;
}

// Writes the reply or the error line on the session thread.
void SendRetrievalReply(TZQSock& socket, const TRetrievalReply& reply) {
  if (reply.ErrorLine)
    socket.WriteLine(reply.ErrorLine);
  else
    SendReply(socket, reply.Bytes);
}

// The work of 2005: the ids in ascending order, after the optional one the client has.
void BuildMessageList(cServer& server, const cClientInfoStruct& session, std::string_view argument,
                      TRetrievalReply& reply) {
  const bool all = IsBlankArgument(argument);
  const std::int64_t after = all ? 0 : RequireId(argument, "message ID");
  std::string ids;
  if (all || after < std::numeric_limits<std::int32_t>::max()) {
    TMailboxHold mailbox(server, session);
    const std::string sql = all ? "Select MessageID from Messages order by MessageID"
                                : "Select MessageID from Messages where MessageID > ? order "
                                  "by MessageID";
    cSqlParams params;
    if (!all) params.push_back(ClampToInt32(after));
    RunWithResult(mailbox.Query(), sql, params, [&](engine::TVELDORQuery& query) {
      engine::TVELDORField& id = query.FieldByName("MessageID");
      for (; !query.Eof(); query.Next())
        AppendLittleEndianId(ids, id.AsInteger());
    });
  }
  if (ids.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw std::runtime_error("The message list is too large to send");
  reply.Bytes = "+OK Message list size and contents follow\r\n";
  AppendBigEndianInt32(reply.Bytes, static_cast<std::int32_t>(ids.size()));
  reply.Bytes += ids;
}

// 2005: "+OK Message list size and contents follow", int32 byte count, then the ids as 4-byte
// little-endian integers in ascending order.
void HandleFetchMessagesList(cServer& server, TZQSock& socket, const cClientInfoStruct& session,
                             std::string_view argument) {
  SendRetrievalReply(socket, RunOnWorkPool(server, "In cServer.HandleFetchMessagesList (): ",
                                           "-ERR Server-side error during fetch of message list",
                                           [&](TRetrievalReply& reply) {
                                             BuildMessageList(server, session, argument, reply);
                                           }));
}

// The work of 2004: the record transfer of one message, or the refusal of an unknown id.
void BuildMessageFetch(cServer& server, const cClientInfoStruct& session, std::string_view argument,
                       TRetrievalReply& reply) {
  const std::int64_t id = RequireId(argument, "message ID");
  std::optional<cMessageRecord> record;
  if (FitsInt32(id)) {
    TMailboxHold mailbox(server, session);
    RunWithResult(mailbox.Query(), "Select * from Messages where MessageID = ?",
                  {static_cast<std::int32_t>(id)}, [&](engine::TVELDORQuery& query) {
                    if (query.IsEmpty()) return;
                    record.emplace();
                    ReadMessageRecord(query, *record);
                  });
  }
  if (!record) {
    reply.Bytes = "-ERR Invalid Message ID!\r\n";
  } else {
    std::string bytes = MessageRecordBytes(server, *record);
    record.reset();
    reply.Bytes.reserve(21 + bytes.size());
    reply.Bytes = "+OK Message Follows\r\n";
    reply.Bytes += bytes;
  }
}

// 2004: "+OK Message Follows" and the record transfer, or "-ERR Invalid Message ID!".
void HandleFetchMessageRequest(cServer& server, TZQSock& socket, const cClientInfoStruct& session,
                               std::string_view argument) {
  SendRetrievalReply(socket, RunOnWorkPool(server, "In cServer.HandleFetchMessageRequest (): ",
                                           "-ERR Server-side error during message fetch operation",
                                           [&](TRetrievalReply& reply) {
                                             BuildMessageFetch(server, session, argument, reply);
                                           }));
}

// The work of 2008: one message, or every message when the argument is empty.
void DeleteMessages(cServer& server, const cClientInfoStruct& session, std::string_view argument) {
  const bool all = IsBlankArgument(argument);
  const std::int64_t id = all ? 0 : RequireId(argument, "message ID");
  if (!all && !FitsInt32(id)) return;
  TMailboxHold mailbox(server, session);
  if (all)
    RunExec(mailbox.Query(), "Delete from Messages");
  else
    RunExec(mailbox.Query(), "Delete from Messages where MessageID = ?",
            {static_cast<std::int32_t>(id)});
}

// 2008: deletes one message, or every message when the argument is empty; "+OK Message
// Deleted" also when no message matched.
void HandleDeleteMessage(cServer& server, TZQSock& socket, const cClientInfoStruct& session,
                         std::string_view argument) {
  const TRetrievalReply reply = RunOnWorkPool(
      server, "In cServer.HandleDeleteMessage (): ", "-ERR Server-side error during operation",
      [&](TRetrievalReply&) { DeleteMessages(server, session, argument); });
  socket.WriteLine(reply.ErrorLine ? reply.ErrorLine : "+OK Message Deleted");
}

// With RestrictAttachmentFetch on, whether a message of the session's mailbox lists the id.
bool MailboxRefersToAttachment(cServer& server, const cClientInfoStruct& session,
                               std::int32_t attachId) {
  bool found = false;
  TMailboxHold mailbox(server, session);
  RunWithResult(mailbox.Query(), "Select Attachments from Messages", {},
                [&](engine::TVELDORQuery& query) {
                  engine::TVELDORField& list = query.FieldByName("Attachments");
                  for (; !found && !query.Eof(); query.Next())
                    found = AttachmentListHasId(list.AsBytes(), attachId);
                });
  return found;
}

// 2009: "+OK Attachment body follows", int32 length and the body, or "-ERR Invalid
// attachment ID". The body is read under the DatabaseLock (a large one into a temporary copy,
// AttachmentFetch.h) and sent after the lock is released, so a client that reads slowly or not
// at all holds up nobody.
void HandleFetchAttachment(cServer& server, TZQSock& socket, const cClientInfoStruct& session,
                           std::string_view argument) {
  cAttachmentBody body;
  bool found = false;
  try {
    const std::int64_t id = RequireId(argument, "attachment ID");
    bool allowed = FitsInt32(id);
    if (allowed && !session.HasAdminPower &&
        ReadIniBool(server.ServerOptions(), kServerOptionsSection, "RestrictAttachmentFetch",
                    false))
      allowed = MailboxRefersToAttachment(server, session, static_cast<std::int32_t>(id));
    if (allowed) found = ReadAttachmentBody(server, static_cast<std::int32_t>(id), body);
  } catch (...) {
    socket.WriteLine("-ERR Server-side error in attach fetch operation");
    server.WriteLog("cServer.HandleFetchAttachment (): " +
                    QuotedLogText(ErrorMessage(std::current_exception())));
    return;
  }
  if (!found) {
    socket.WriteLine("-ERR Invalid attachment ID");
    return;
  }
  std::string head = "+OK Attachment body follows\r\n";
  AppendBigEndianInt32(head, static_cast<std::int32_t>(body.Size));
  if (socket.WriteBuffer(head.data(), static_cast<int>(head.size())) <= 0) return;
  SendAttachmentBody(socket, body);
}

}  // namespace

bool DispatchRetrievalCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                              const cCommandStruct& command) {
  switch (command.Code) {
    case kCmdFetchMessageList:
      HandleFetchMessagesList(server, socket, session, command.Argument);
      return true;
    case kCmdFetchMessage:
      HandleFetchMessageRequest(server, socket, session, command.Argument);
      return true;
    case kCmdDeleteMessage:
      HandleDeleteMessage(server, socket, session, command.Argument);
      return true;
    case kCmdFetchAttachment:
      HandleFetchAttachment(server, socket, session, command.Argument);
      return true;
    default:
      return false;
  }
}

}  // namespace zorvic

// Command 2003: a logged-in user sends a message with its attachments.
//
// The exchange (every line the server sends ends with CR LF):
//   client: "2003 n"                      n attachments (missing, 0 or negative: none)
//   server: "+OK Send the rest of the message"
//   client: int32 priority, the recipient line
//   per attachment:
//     client: the file name line, int32 size
//     server: "+OK Proceed with attachment body"
//     client: size bytes
//   client: int32 body size
//   server: "+OK Send msg body"
//   client: the body bytes (scrambled when DataScrambling is on)
//   server: "+OK Message sent out successfuly"
//
// No lock is held while the client's bytes come: each attachment is received first and then
// stored under the DatabaseLock. The confirmation goes out only once the body has arrived and
// been descrambled; delivery follows it. Sizes are the client's word: a negative one ends the
// command with the error line, one above the server's ceiling (MaxUploadSize for attachments,
// MaxPacketSize for bodies) is refused and ends the connection.
#include "messaging/Composition.h"

#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "app/ErrorText.h"
#include "app/Server.h"
#include "crypto/KeyDigest.h"
#include "crypto/Scramble.h"
#include "messaging/AttachmentUpload.h"
#include "messaging/Delivery.h"
#include "messaging/Recipients.h"
#include "net/ZQSock.h"
#include "protocol/ClientInfo.h"
#include "protocol/Command.h"
#include "protocol/Payload.h"

namespace zorvic {

namespace {

constexpr std::int32_t kCmdComposeMessage = 2003;
constexpr int kComposeLineWaitMs = 10000;

constexpr char kLogPrefix[] = "In cServer.HandleUserComposingMessage (): ";
constexpr char kNotAllowed[] =
    "-ERR You are not allowed to send messages. Please contact the network administrator for "
    "more details.";
constexpr char kNoAttachments[] = "-ERR Attachments are not allowed";
constexpr char kSendRest[] = "+OK Send the rest of the message";
constexpr char kAttachmentTooLarge[] = "-ERR Attachment exceeds allowed size";
constexpr char kProceedAttachment[] = "+OK Proceed with attachment body";
constexpr char kMessageTooLarge[] = "-ERR Your message size exceeds the allowed maximum";
constexpr char kSendBody[] = "+OK Send msg body";
constexpr char kSentOut[] = "+OK Message sent out successfuly";
constexpr char kServerSideError[] = "-ERR Server-side error during message composition";

// A failure of the exchange whose text goes to the log; the client gets the error line.
class EComposeFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The attachment count of the command argument: 0 when missing or not a number.
int AttachmentCount(const std::string& argument) {
  long long value = 0;
  std::size_t i = 0;
  bool negative = false;
  if (i < argument.size() && (argument[i] == '+' || argument[i] == '-')) {
    negative = argument[i] == '-';
    ++i;
  }
  if (i == argument.size()) return 0;
  for (; i < argument.size(); ++i) {
    const char c = argument[i];
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<std::int32_t>::max()) return 0;
  }
  return static_cast<int>(negative ? -value : value);
}

// A big-endian int32 of the client; raises when its four bytes do not come.
std::int32_t ReadWireInt32(TZQSock& socket, const char* what) {
  unsigned char bytes[4];
  if (!socket.ReadExactInto(bytes, sizeof bytes))
    throw EComposeFailure(std::string("The client did not send the ") + what);
  return static_cast<std::int32_t>((std::uint32_t{bytes[0]} << 24) |
                                   (std::uint32_t{bytes[1]} << 16) |
                                   (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]});
}

std::string ReadWireLine(TZQSock& socket, const char* what) {
  std::string line = socket.ReadLine(kComposeLineWaitMs);
  if (line.empty() && (socket.LastReadTimeout() || !socket.Connected()))
    throw EComposeFailure(std::string("The client did not send the ") + what);
  return line;
}

// The list text: lines "AttachID size name" joined by CR LF, trimmed of codes 0 to 32.
std::string TrimListText(const std::string& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= 32)
    ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32)
    --last;
  return text.substr(first, last - first);
}

std::int32_t SaturatedSize(std::int64_t total) {
  return total > std::numeric_limits<std::int32_t>::max() ? std::numeric_limits<std::int32_t>::max()
                                                          : static_cast<std::int32_t>(total);
}

// A refusal that ends the command; when the announced size is beyond the ceiling the bytes
// that may follow can never be told from commands, so the connection ends too.
void Refuse(TZQSock& socket, const char* line, bool closeConnection) {
  socket.WriteLine(line);
  if (closeConnection) socket.CloseNormal();
}

}  // namespace

void HandleUserComposingMessage(cServer& server, cClientInfoStruct& session, TZQSock& socket,
                                int attachmentCount) {
  if (session.Privileges != 0 && session.Privileges != 2) {
    socket.WriteLine(kNotAllowed);
    return;
  }
  if (attachmentCount >= 1 && !session.AllowAttachments) {
    socket.WriteLine(kNoAttachments);
    return;
  }
  try {
    socket.WriteLine(kSendRest);
    cComposedMessage message;
    message.From = session.UserName;
    message.SenderEmail = session.PrimaryEmail;
    message.Priority = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(ReadWireInt32(socket, "priority")) & 0xFF);
    message.To = ReadWireLine(socket, "recipient line");
    const std::vector<std::string> recipients = ExpandRecipients(server, message.To);

    const std::int64_t uploadCeiling = MaxUploadBytes(server.ServerOptions());
    const std::int64_t packetCeiling = MaxPacketBytes(server.ServerOptions());
    std::string list;
    std::int64_t total = 0;
    for (int i = 0; i < attachmentCount; ++i) {
      cReceivedAttachment attachment;
      attachment.FileName = ReadWireLine(socket, "attachment name");
      attachment.Size = ReadWireInt32(socket, "attachment size");
      if (attachment.Size < 0) throw EComposeFailure("Negative attachment size");
      const bool beyondCeiling = attachment.Size > uploadCeiling;
      if (beyondCeiling ||
          (session.RestrictAttachSize && attachment.Size > session.MaxAttachSize)) {
        Refuse(socket, kAttachmentTooLarge, beyondCeiling);
        return;
      }
      socket.WriteLine(kProceedAttachment);
      if (!ReceiveAttachment(server, socket, attachment))
        throw EComposeFailure("The connection failed during an attachment");
      const std::string id =
          StoreAttachment(server, attachment, static_cast<std::int32_t>(recipients.size()));
      if (!list.empty()) list += "\r\n";
      list += id + " " + std::to_string(attachment.Size) + " " + attachment.FileName;
      total += attachment.Size;
    }
    message.Attachments = TrimListText(list);

    const std::int32_t bodySize = ReadWireInt32(socket, "body size");
    if (bodySize < 0) throw EComposeFailure("Negative message size");
    const bool beyondCeiling = bodySize > packetCeiling;
    if (beyondCeiling ||
        (session.LimitMessageSize && static_cast<std::int64_t>(bodySize) > session.MaxMsgSize)) {
      Refuse(socket, kMessageTooLarge, beyondCeiling);
      return;
    }
    socket.WriteLine(kSendBody);
    if (!ReceivePayload(socket, bodySize, message.Body))
      throw EComposeFailure("The connection failed during the message body");
    {
      std::lock_guard<std::recursive_mutex> guard(server.ScramblingLock);
      if (server.DataScrambling) message.Body = ScrambleString(message.Body, ProgramKey(), false);
    }
    message.Size = SaturatedSize(total + bodySize);
    socket.WriteLine(kSentOut);

    const cDeliveryOutcome outcome = DeliverMessage(server, message, recipients);
    if (outcome.Failed > 0) socket.WriteLine(kServerSideError);
  } catch (...) {
    server.WriteLog(kLogPrefix + ErrorMessage(std::current_exception()));
    socket.WriteLine(kServerSideError);
  }
}

bool DispatchCompositionCommand(cServer& server, TZQSock& socket, cClientInfoStruct& session,
                                const cCommandStruct& command) {
  if (command.Code != kCmdComposeMessage) return false;
  HandleUserComposingMessage(server, session, socket, AttachmentCount(command.Argument));
  return true;
}

}  // namespace zorvic

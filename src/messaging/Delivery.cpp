#include "messaging/Delivery.h"

#include <filesystem>
#include <system_error>

#include "app/ErrorText.h"
#include "app/Folders.h"
#include "app/Server.h"
#include "engine/components/Field.h"
#include "engine/components/Table.h"
#include "engine/storage/formats/FieldTypes.h"
#include "messaging/Forwarding.h"
#include "messaging/MailboxRegistry.h"
#include "messaging/MessageRecord.h"
#include "protocol/Listening.h"

namespace zorvic {

namespace {

constexpr char kComposeLogPrefix[] = "In cServer.HandleUserComposingMessage (): ";

void PutInt32(std::string& out, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  out.push_back(static_cast<char>(v >> 24));
  out.push_back(static_cast<char>(v >> 16));
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v));
}

bool HasMailboxFolder(const std::string& name) {
  if (!IsSafeFolderName(name)) return false;
  std::error_code error;
  return std::filesystem::is_directory(UserFolderPath(name), error);
}

// Stores the copy in the open mailbox and returns its MessageID; `record.To` becomes the
// stored value (the column cuts a long recipient line), so a push shows what a fetch will.
// Raises on failure, leaving the table out of insert state.
std::int32_t StoreCopy(cUserQueryStruct& box, cMessageRecord& record) {
  engine::TVELDORTable& table = *box.Table;
  table.Append();
  try {
    table.FieldByName("MessageDate").SetAsDateTime(TimeStampFromMessageDate(record.MessageDate));
    table.FieldByName("Size").SetAsInteger(record.Size);
    table.FieldByName("Priority").SetAsInteger(record.Priority);
    table.FieldByName("Attachments").SetAsString(record.Attachments);
    table.FieldByName("From").SetAsString(record.From);
    table.FieldByName("To").SetAsString(record.To);
    table.FieldByName("Body").SetAsString(record.Body);
    table.Post();
  } catch (...) {
    try {
      table.Cancel();
    } catch (...) {
    }
    throw;
  }
  record.To = table.FieldByName("To").AsString();
  return table.FieldByName("MessageID").AsInteger();
}

// The local time now, to the millisecond, as days since 30 December 1899.
double NowMessageDate() {
  const double stamp = engine::EncodeTimeStamp(engine::TodayDayNumber(), engine::NowMsOfDay());
  return MessageDateFromTimeStamp(stamp);
}

}  // namespace

std::string NewMessagePush(std::int32_t messageId, std::int32_t priority,
                           const std::string& recordBytes) {
  std::string bytes;
  bytes.reserve(8 + recordBytes.size());
  PutInt32(bytes, priority == kUrgentPriority ? kPushNewUrgentMessage : kPushNewMessage);
  PutInt32(bytes, messageId);
  bytes += recordBytes;
  return bytes;
}

cDeliveryOutcome DeliverMessage(cServer& server, const cComposedMessage& message,
                                const std::vector<std::string>& recipients) {
  cDeliveryOutcome outcome;
  cMessageRecord record;
  record.Attachments = message.Attachments;
  record.From = message.From;
  record.To = message.To;
  record.Size = message.Size;
  record.Priority = message.Priority;
  record.Body = message.Body;
  // The header and body of the push are the same for every recipient but the date; the
  // scrambled form is made once per distinct date.
  std::string recordBytes;
  double recordBytesDate = -1;

  for (auto it = recipients.rbegin(); it != recipients.rend(); ++it) {
    const std::string& name = *it;
    if (!HasMailboxFolder(name)) continue;
    cUserQueryStruct* box = server.ReferenceUserQuery(name);
    if (!box) {
      ++outcome.Failed;  // ReferenceUserQuery logged why
      continue;
    }
    std::int32_t messageId = 0;
    bool stored = false;
    cUserQueryStruct* held = server.LockUserQuery(box);
    try {
      record.MessageDate = NowMessageDate();
      messageId = StoreCopy(*held, record);
      stored = true;
    } catch (...) {
      server.WriteLog(kComposeLogPrefix + ErrorMessage(std::current_exception()));
    }
    server.UnlockUserQuery(held);
    if (!stored) {
      ++outcome.Failed;
      server.ReleaseUserQuery(box);
      continue;
    }
    ++outcome.Delivered;

    cRecipientPresence presence;
    try {
      if (std::shared_ptr<cNotificationThreadStruct> listener = server.FindListener(name)) {
        presence.Listening = true;
        presence.Status = listener->Status;
        server.WriteLog("New message delivered to " + name);
        if (record.MessageDate != recordBytesDate) {
          recordBytes = MessageRecordBytes(server, record);
          recordBytesDate = record.MessageDate;
        }
        listener->QueueRecord(NewMessagePush(messageId, record.Priority, recordBytes));
      }
    } catch (...) {
      server.WriteLog(ErrorMessage(std::current_exception()));
    }
    try {
      DecideForwarding(server, name, message.SenderEmail, messageId, record.Priority, presence);
    } catch (...) {
      server.WriteLog(kComposeLogPrefix + ErrorMessage(std::current_exception()));
    }
    server.ReleaseUserQuery(box);
  }
  return outcome;
}

}  // namespace zorvic

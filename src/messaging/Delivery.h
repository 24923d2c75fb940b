// Delivery of a composed message: one copy in the Messages table of every recipient, the push
// of the new message to a recipient's listening connection, and the forwarding decision.
//
// Recipients are served from the last name of the list to the first. A name that is not a
// safe folder name, or whose folder does not exist, is skipped silently. A mailbox that cannot
// be opened or a copy that cannot be stored is logged as
// "In cServer.HandleUserComposingMessage (): " + message; that recipient gets no push and no
// e-mail, and the others still get their copies.
//
// A recipient with a listening connection gets the log entry "New message delivered to " +
// name and the record int32 2 (int32 3 when the priority is 2), int32 MessageID, then the
// message record transfer, queued for the listener's own thread to write.
//
// Thread safety and locks: runs on the sender's session thread holding no lock. For each
// recipient it takes the mailbox's lock and the DatabaseLock only around the insert; the push
// and the forwarding decision (which takes the DatabaseLock itself) come after them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zorvic {

class cServer;

struct cComposedMessage {
  std::string From;           // the sender's user name
  std::string SenderEmail;    // the sender's PrimaryEmail (may be empty)
  std::string To;             // the recipient line as the client sent it
  std::int32_t Priority = 0;  // the low 8 bits of the client's value
  std::int32_t Size = 0;      // body plus attachment sizes, in bytes
  std::string Attachments;    // the attachment list text; empty without attachments
  std::string Body;           // in clear
};

inline constexpr std::int32_t kUrgentPriority = 2;
inline constexpr std::int32_t kPushNewMessage = 2;
inline constexpr std::int32_t kPushNewUrgentMessage = 3;

struct cDeliveryOutcome {
  int Delivered = 0;  // copies stored
  int Failed = 0;     // recipients whose copy could not be stored (logged)
};

// The bytes of a new-message push: the code, the message id and the record transfer
// (the bytes of MessageRecordBytes) of one new-message push.
std::string NewMessagePush(std::int32_t messageId, std::int32_t priority,
                           const std::string& recordBytes);

cDeliveryOutcome DeliverMessage(cServer& server, const cComposedMessage& message,
                                const std::vector<std::string>& recipients);

}  // namespace zorvic

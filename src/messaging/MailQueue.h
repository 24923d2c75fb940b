// The mail queue: e-mail copies of delivered messages waiting for the mailer.
//
// Delivery appends one item per recipient whose profile asks for forwarding; the mailer
// thread takes items from the front and sends them through SMTP.
//
// Thread safety: QueueMailItem may be called from any thread, holding any of the server's
// locks except the mailer's own.
#pragma once

#include <cstdint>
#include <string>

namespace zorvic {

class cServer;

struct cMailQueueItem {
  std::string UserName;        // the recipient, whose mailbox holds the copy
  std::string SenderEmail;     // the sender's PrimaryEmail as loaded at login; may be empty
  std::string PrimaryEmail;    // the recipient's PrimaryEmail
  std::string SecondaryEmail;  // the recipient's SecondaryEmail; may be empty
  std::int32_t MessageID = 0;  // the MessageID of the recipient's copy
};

// Appends the item to the queue and makes sure a mailer thread is running to drain it.
void QueueMailItem(cServer& server, cMailQueueItem item);

}  // namespace zorvic

// The forwarding decision: whether a delivered copy also goes out as an e-mail, by the
// recipient's profile (its own, or its group's).
//
// A profile forwards when ForwardMsgs is on; with ForwardingConditionsApply on, only messages
// whose priority's flag (ForwardNormal, ForwardHigh, ForwardUrgent) is on. A recipient who
// holds a listening connection gets the e-mail only when the priority's "only when do not
// disturb" flag is off or the listener's stored status is 2. A priority other than 0, 1 and 2
// has no flags: it is forwarded only to an offline recipient whose profile sets no
// conditions. Flags that are NULL count as off.
//
// Thread safety: ForwardingWanted is pure. DecideForwarding runs its statements on the shared
// query under the DatabaseLock (re-entrant, so delivery may hold it with a mailbox lock) and
// queues the item with QueueMailItem.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "messaging/MailQueue.h"

namespace zorvic {

class cServer;

// The profile flags the decision reads.
struct cForwardingFlags {
  bool ForwardMsgs = false;
  bool ForwardingConditionsApply = false;
  bool ForwardNormal = false;
  bool ForwardHigh = false;
  bool ForwardUrgent = false;
  bool ForwardNormalOnlyDND = false;
  bool ForwardHighOnlyDND = false;
  bool ForwardUrgentOnlyDND = false;
};

// The recipient's presence at delivery time.
struct cRecipientPresence {
  bool Listening = false;   // a listening connection was found
  std::uint8_t Status = 0;  // its stored status (2: do not disturb)
};

inline constexpr std::uint8_t kDoNotDisturbStatus = 2;

bool ForwardingWanted(const cForwardingFlags& flags, int priority,
                      const cRecipientPresence& presence);

// Looks up the recipient's addresses and profile and, when the copy should be forwarded,
// queues it. Returns the queued item (nullopt when nothing was queued). Raises the errors of
// the statements.
std::optional<cMailQueueItem> DecideForwarding(cServer& server, const std::string& recipient,
                                               const std::string& senderEmail,
                                               std::int32_t messageId, int priority,
                                               const cRecipientPresence& presence);

}  // namespace zorvic

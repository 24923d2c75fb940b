// The mailbox reference a logged-in session holds from its login to its end (the mailbox
// registry's ReferenceUserQuery / ReleaseUserQuery, seen from the session loop).
//
// Thread safety: called on the session's own thread; the registry takes its own locks.
#pragma once

#include <string>

namespace zorvic {

class cServer;

// Opens the user's mailbox or adds a reference to it; false when it cannot be opened (the
// registry has logged why).
bool ReferenceSessionMailbox(cServer& server, const std::string& userName);
// Gives back the reference a successful ReferenceSessionMailbox took.
void ReleaseSessionMailbox(cServer& server, const std::string& userName);

}  // namespace zorvic

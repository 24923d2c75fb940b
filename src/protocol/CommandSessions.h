// The logged-in sessions of each account, so that a change to an account can end them.
//
// A session registers once its login has succeeded and leaves the list when it ends. When an
// administrator changes or deletes an account, EndAccountSessions marks every session of that
// account as ended and shuts its socket down, and asks the account's listening connections to
// end: a blocked read wakes at once, the session loop stops before its next command, and a
// handler that must not run for an ended session (a change of the shared tables) checks
// SessionEnded after taking the DatabaseLock.
//
// Thread safety: every function may be called from any thread. The list lock is the
// CommandSessions list lock of cServer; it is held only for membership work, never across a
// network write or wait, and it is taken after the DatabaseLock and before the Listeners
// list lock.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

namespace zorvic {

class cServer;
class TZQSock;

struct cCommandSessionStruct {
  cCommandSessionStruct(std::string userName, TZQSock& socket)
      : UserName(std::move(userName)), Socket(socket) {}

  const std::string UserName;  // compared exactly, as the Users key
  TZQSock& Socket;             // the session's own socket, valid while it is registered
  std::atomic<bool> Ended{false};
};

// Registers the session of `socket`, logged in as `userName`; the caller keeps the record
// and hands it back to UnregisterCommandSession when the session ends.
std::shared_ptr<cCommandSessionStruct> RegisterCommandSession(cServer& server,
                                                              std::string_view userName,
                                                              TZQSock& socket);
// Removes the record (null is ignored).
void UnregisterCommandSession(cServer& server,
                              const std::shared_ptr<cCommandSessionStruct>& record);

// Ends every registered session of `userName` and its listening connections. The session of
// `current` (the caller's own, may be null) is only marked: it sends its reply first and
// then ends. Returns the number of sessions marked.
int EndAccountSessions(cServer& server, std::string_view userName, const TZQSock* current);

// True when the session of `socket` has been ended by EndAccountSessions.
bool SessionEnded(cServer& server, const TZQSock& socket);

}  // namespace zorvic

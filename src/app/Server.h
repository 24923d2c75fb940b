// cServer: the single server object of the process, and the process-wide objects around it.
//
// Creating a cServer reads the options DataScrambling and EnableLogging once, creates and
// starts the TCP server core on the given port (listening begins on the core's own thread;
// creation does not wait for it), writes "Start of log file" and prints the four banner
// lines. Every accepted connection runs OnNewConnect on a thread of its own: the session loop
// of the command protocol (src/protocol). The server's handler methods are declared here and
// defined beside the code of their area (src/protocol, src/messaging, src/admin).
//
// Shutdown (also run by the destructor) writes "Server is closing. End of logfile.", stops
// the listener, shuts down every session socket and waits, bounded, until every session
// thread has returned; only then may the shared objects the sessions use be freed.
//
// Lock order (every thread that holds more than one takes them in this order):
//   1. a mailbox entry's lock (cUserQueryStruct::Lock; at most one at a time)
//   2. DatabaseLock
//   3. the Listeners list lock
//   4. a listener's PushLock
//   5. innermost: ScramblingLock, LogLock, the INI file locks, and the UserQueries list lock;
//      no other lock is taken while one of these is held.
// WriteLog takes DatabaseLock and then LogLock, so it may be called holding 1 or 2, never
// holding only 3 or 4. The registry calls that open or close a mailbox (ReferenceUserQuery,
// LockUserQuery, ReleaseUserQuery) take 1 and then 2 themselves, so they are called holding
// neither.
//
// Thread safety: the handlers run on session threads at the same time. DataScrambling and
// EnableLogging never change after construction. DatabaseLock, ScramblingLock and LogLock are
// re-entrant. Construction and Shutdown run on one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "app/ThreadINIFile.h"
#include "app/ThreadList.h"

namespace zorvic {

class TZQRequestReplyServerCore;
class TZQClientThread;
class TZQSock;
struct cClientInfoStruct;
struct cCommandStruct;
// Mailbox registry entries and listening-connection records; defined with their areas.
struct cUserQueryStruct;
struct cNotificationThreadStruct;
struct cCommandSessionStruct;

// Where log entries go once the log table exists. Called under LogLock with the entry cut to
// kLogEntryMaxChars characters; an error it raises reaches the caller of WriteLog.
using TLogSink = std::function<void(const std::string& entry)>;

class cServer {
 public:
  // port 0 listens on any free port (tests read it from Core->ListeningPort()).
  cServer(int port, TThreadINIFile& serverOptions, TLogSink logSink = {});
  ~cServer();
  cServer(const cServer&) = delete;
  cServer& operator=(const cServer&) = delete;

  // Idempotent. True when every session thread has returned within kShutdownSessionJoinMs;
  // false means some are still running and nothing they use may be freed.
  bool Shutdown();

  // Appends one log entry (cut to 250 characters) when EnableLogging is on; does nothing
  // otherwise. Any thread; takes DatabaseLock, then LogLock. Never raises: an entry that cannot
  // be written is reported on standard error and the caller carries on.
  void WriteLog(std::string_view text) noexcept;

  // ---- mailbox registry (src/messaging/MailboxRegistry.cpp; see MailboxRegistry.h)
  // Adds one reference to the user's open mailbox, opening it on the first; null on failure
  // (an unsafe name, a folder or table that cannot be opened), which is logged as
  // "In cServer.ReferenceUserQuery (): " + message.
  cUserQueryStruct* ReferenceUserQuery(std::string_view userName);
  // The entry's index in UserQueries, or -1.
  int FindUserQuery(std::string_view userName);
  // Pins the entry, takes its lock and then DatabaseLock, and returns it; null (and no lock)
  // when the user's mailbox is not open. The second form locks an entry the caller holds.
  cUserQueryStruct* LockUserQuery(std::string_view userName);
  cUserQueryStruct* LockUserQuery(cUserQueryStruct* entry);
  // Leaves the entry's lock, then DatabaseLock, and drops the pin; does nothing for null.
  void UnlockUserQuery(cUserQueryStruct* entry);
  // Drops the caller's reference and clears `entry`; the last reference closes and frees the
  // mailbox. Null and entries not in the registry are ignored.
  void ReleaseUserQuery(cUserQueryStruct*& entry);

  // ---- command protocol (src/protocol)
  // The core's connection handler: the whole session of one connection.
  void OnNewConnect(TZQClientThread& client);
  // Runs one command and sends its reply. Never raises: errors are logged as
  // "In cServer.ProcessCommand (): " + message and the session goes on.
  void ProcessCommand(TZQSock& socket, cClientInfoStruct& session, const cCommandStruct& command);
  // The core's OnListenerFailed: logs "Could not start server socket, error #" + number and
  // stops the core; the server object stays alive.
  void ListenerFailed(int socketError);

  TThreadINIFile& ServerOptions() { return fServerOptions; }

  // ---- login and listening connections (src/protocol/Login*.cpp, Presence.cpp)
  // Loads the account named by session.UserName (every login-derived field is reset first);
  // false for an unknown account or a database error (logged).
  bool FetchUserInfo(cClientInfoStruct& session);
  // Stores today's date as the account's LastLogin; an error is logged, never raised.
  void UpdateLastLoginDate(const std::string& userName);
  // The first registered listener of the account (exact name), or null. The caller owns a
  // reference, so the record stays valid while it is used.
  std::shared_ptr<cNotificationThreadStruct> FindListener(std::string_view name);
  // Queues one presence record for every registered listener, in list order.
  void BroadcastPresence(std::string_view name, std::string_view group, int status);
  // Queues for `record` one presence record per other registered listener (stored status).
  void SendPresenceSnapshot(cNotificationThreadStruct& record);

  // Fields in the order of the server's data model.
  std::unique_ptr<TZQRequestReplyServerCore> Core;
  TThreadList<cUserQueryStruct*> UserQueries;
  // Registered listening connections, shared with the threads that write to them.
  TThreadList<std::shared_ptr<cNotificationThreadStruct>> Listeners;
  // Logged-in sessions by account, so that a change to an account can end them
  // (src/protocol/CommandSessions.h). Its lock comes after DatabaseLock, before Listeners'.
  TThreadList<std::shared_ptr<cCommandSessionStruct>> CommandSessions;
  bool DataScrambling = true;
  bool EnableLogging = false;

  std::recursive_mutex DatabaseLock;
  std::recursive_mutex ScramblingLock;
  std::recursive_mutex LogLock;

 private:
  // Stage dispatchers: true when the code belongs to the stage and was handled.
  bool DispatchAuthenticationStage(TZQSock& socket, cClientInfoStruct& session,
                                   const cCommandStruct& command);
  bool DispatchCommandStage(TZQSock& socket, cClientInfoStruct& session,
                            const cCommandStruct& command);
  // End of an authenticated session: releases the user's mailbox reference and hands over to
  // or ends the user's listening connection.
  void EndAuthenticatedSession(TZQClientThread& client, cClientInfoStruct& session);
  // Writes a log entry from inside an error handler, where a failing log must not escape.
  void LogCaughtError(const std::string& entry) noexcept;
  // Drops `count` references of an entry under the list lock; true when it was the last and
  // the entry left the registry (the caller then closes and frees it).
  bool DropReferences(cUserQueryStruct* entry, int count);
  // Takes the lock of an entry the caller has pinned, then DatabaseLock; when the entry was
  // closed meanwhile, drops the pin instead and returns null.
  cUserQueryStruct* LockPinnedUserQuery(cUserQueryStruct* entry);
  // Closes the components of an entry that left the registry, and frees it.
  void CloseMailbox(cUserQueryStruct* entry) noexcept;
  // Frees every entry still registered (at destruction, after every session has ended).
  void CloseAllMailboxes() noexcept;

  TThreadINIFile& fServerOptions;
  TLogSink fLogSink;
  bool fShutDown = false;
  bool fSessionsEnded = true;
};

// Process-wide objects created by start-up and reachable from every session thread; null
// outside the time between their creation and their tear-down.
extern TThreadINIFile* ServerOptionsFile;
extern TThreadINIFile* VersionsFile;
extern cServer* Server;

}  // namespace zorvic

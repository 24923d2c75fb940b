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
// Thread safety: the handlers run on session threads at the same time. DataScrambling and
// EnableLogging never change after construction. DatabaseLock, ScramblingLock and LogLock are
// re-entrant; nesting order: a mailbox lock, DatabaseLock, the Listeners list lock, a
// listener's PushLock, and innermost ScramblingLock, LogLock and the INI file locks (no other
// lock is taken while one of these is held). Construction and Shutdown run on one thread.
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

  // Appends one log entry when EnableLogging is on; does nothing otherwise. Any thread.
  void WriteLog(std::string_view text);

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

  // Fields in the order of the server's data model.
  std::unique_ptr<TZQRequestReplyServerCore> Core;
  TThreadList<cUserQueryStruct*> UserQueries;
  TThreadList<cNotificationThreadStruct*> Listeners;
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

#include "app/Server.h"

#include <cstdio>
#include <string>

#include "app/Console.h"
#include "app/ServerLimits.h"
#include "net/ZQServerCore.h"

namespace zorvic {

TThreadINIFile* ServerOptionsFile = nullptr;
TThreadINIFile* VersionsFile = nullptr;
cServer* Server = nullptr;

cServer::cServer(int port, TThreadINIFile& serverOptions, TLogSink logSink)
    : fServerOptions(serverOptions), fLogSink(std::move(logSink)) {
  DataScrambling = ReadIniBool(fServerOptions, kServerOptionsSection, kDataScramblingKey, true);
  EnableLogging = ReadIniBool(fServerOptions, kServerOptionsSection, kEnableLoggingKey, false);

  Core = std::make_unique<TZQRequestReplyServerCore>();
  Core->SetServerPort(port);
  Core->SetOnNewConnect([this](TZQClientThread& client) { OnNewConnect(client); });
  Core->SetOnListenerFailed([this](int socketError) { ListenerFailed(socketError); });
  Core->SetThreadCacheSize(kThreadCacheSize);
  Core->SetUseThreadPool(false);
  {
    // Held from the start of the core until the first entry is written, so an early entry of
    // the core's threads (a listener that fails at once) never comes before "Start of log
    // file" in the log. In the order WriteLog takes them.
    std::lock_guard<std::recursive_mutex> database(DatabaseLock);
    std::lock_guard<std::recursive_mutex> firstEntry(LogLock);
    Core->Start();
    fSessionsEnded = false;
    WriteLog("Start of log file");
  }
  // The listener binds on its own thread: the banner says the server has started only once
  // the port is open (or the listener has failed and said why), so that a client started on
  // the banner is not refused. Outside the locks above, which a failing listener's log entry
  // takes.
  (void)Core->WaitUntilListening(kListenerStartWaitMs);
  ConsoleWrite(std::string("Zorvic Server ") + kServerVersion + " has started.");
  ConsoleWrite("Please use the Zorvic Management Console to manage user accounts.");
  ConsoleWrite("To configure how Zorvic Server starts, run the Server Configuration utility.");
  ConsoleWrite("To close Zorvic Server, type \"quit\" and press the Enter key.");
}

cServer::~cServer() {
  Shutdown();
  if (!fSessionsEnded) {
    // Session threads still run code of this object; freeing the core under them would be
    // worse than leaking it. The caller exits the process right after.
    (void)Core.release();
    return;
  }
  CloseAllMailboxes();
}

bool cServer::Shutdown() {
  if (fShutDown) return fSessionsEnded;
  fShutDown = true;
  if (EnableLogging) LogCaughtError("Server is closing. End of logfile.");
  fSessionsEnded = Core->StopAndCloseSessions(kShutdownSessionJoinMs);
  return fSessionsEnded;
}

void cServer::WriteLog(std::string_view text) noexcept {
  if (!EnableLogging) return;
  try {
    // The log table shares the engine's default session with the shared query, which the
    // DatabaseLock serialises; the LogLock orders the entries.
    std::lock_guard<std::recursive_mutex> database(DatabaseLock);
    std::lock_guard<std::recursive_mutex> guard(LogLock);
    if (!fLogSink) return;  // the log table is not wired in
    fLogSink(std::string(text.substr(0, kLogEntryMaxChars)));
  } catch (const std::exception& e) {
    // A full disk must not end the session that wanted to log: say it where an operator sees
    // it and carry on.
    std::string entry(text.substr(0, kLogEntryMaxChars));
    std::fprintf(stderr, "zorvic-server: unable to write the log entry \"%s\": %s\n", entry.c_str(),
                 e.what());
    std::fflush(stderr);
  } catch (...) {
    std::fprintf(stderr, "zorvic-server: unable to write a log entry\n");
    std::fflush(stderr);
  }
}

void cServer::LogCaughtError(const std::string& entry) noexcept {
  WriteLog(entry);
}

void cServer::ListenerFailed(int socketError) {
  std::string entry = "Could not start server socket, error #" + std::to_string(socketError);
  LogCaughtError(entry);
  // The log is the place for it, but an operator without logging would never learn why the
  // server does not answer: say it on standard error too (the console lines stay unchanged).
  std::fprintf(stderr, "%s (%s)\n", entry.c_str(), ErrorText(socketError).c_str());
  std::fflush(stderr);
  Core->Stop();
}

}  // namespace zorvic

#include "app/ServerMain.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "app/Console.h"
#include "app/ConsoleLoop.h"
#include "app/DescriptorLimit.h"
#include "app/Folders.h"
#include "app/Server.h"
#include "app/ServerLimits.h"
#include "app/Service.h"
#include "app/SharedDatabase.h"
#include "app/StartupOptions.h"
#include "app/ThreadINIFile.h"
#include "messaging/MailerThread.h"
#include "net/ZQServerCore.h"

namespace zorvic {

namespace {

// Blocks the stop signals in this thread (and so in every thread started later) and returns a
// descriptor that becomes readable when one arrives; -1 when that is impossible.
int OpenStopSignalFd() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  if (::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) return -1;
  int fd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
  // Without the descriptor the signals must keep their default action (end the process),
  // or the server could not be stopped by them at all.
  if (fd < 0) ::pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
  return fd;
}

enum class TRunMode {
  Console,          // the banner and the console loop
  Service,          // started by the service manager: no console output, stopped by SIGTERM
  ServiceSwitches,  // INSTALL or UNINSTALL: write or remove the unit, then exit
};

// The switches INSTALL and UNINSTALL always mean service mode; the option RunAsService means
// it only when the service manager started the process. Started by hand with the option set,
// the server says so once and runs in console mode, where "quit" still ends it.
TRunMode DecideRunMode(const cStartupOptions& options, TThreadINIFile& serverOptions) {
  if (options.InstallSwitch || options.UninstallSwitch) return TRunMode::ServiceSwitches;
  if (!ReadIniBool(serverOptions, kServerOptionsSection, kRunAsServiceKey, false)) {
    return TRunMode::Console;
  }
  if (StartedByServiceManager()) return TRunMode::Service;
  std::fprintf(stderr,
               "zorvic-server: RunAsService is set, but the server was not started by the "
               "service manager (no NOTIFY_SOCKET); running in console mode\n");
  std::fflush(stderr);
  return TRunMode::Console;
}

// An error that ends start-up: on the console in console mode; in service mode, where there
// is no console, on standard error, which the service manager keeps in its journal.
void ReportStartupError(const std::string& text) {
  if (!RunningAsService) {
    ConsoleWrite(text);
    return;
  }
  std::fprintf(stderr, "zorvic-server: %s\n", text.c_str());
  std::fflush(stderr);
}

void ReportServiceFailure(const char* step, const std::string& message) {
  std::fprintf(stderr, "Service failed on %s: %s\n", step, message.c_str());
  std::fflush(stderr);
}

// Runs the created server until it is told to stop; the exit status.
int Serve(cServer& server, TRunMode mode, int stopFd) {
  if (mode == TRunMode::Console) {
    // A console-mode server under a service manager (a unit without RunAsService) still
    // reports ready, or the manager would give up on it; without one nothing is sent.
    NotifyServiceManager("READY=1");
    RunConsoleLoop(STDIN_FILENO, stopFd);
    NotifyServiceManager("STOPPING=1");
    return 0;
  }
  if (!server.Core->WaitUntilListening(kListenerStartWaitMs)) {
    // ListenerFailed has logged the error and said it on standard error. Wait until it has
    // finished, so its entry comes before the closing one; then exit non-zero so that the
    // service manager starts the service again instead of keeping one without a listener.
    server.Core->Stop();
    std::fprintf(stderr, "zorvic-server: no listener on port %d; the service ends with an error\n",
                 server.Core->ServerPort());
    std::fflush(stderr);
    return 1;
  }
  NotifyServiceManager("READY=1\nSTATUS=Listening on port " +
                       std::to_string(server.Core->ListeningPort()));
  // Nothing is read from standard input in service mode: only the stop signals end the wait.
  RunConsoleLoop(-1, stopFd);
  NotifyServiceManager("STOPPING=1");
  return 0;
}

}  // namespace

int ZorvicServerMain(int argc, char** argv) {
  cStartupOptions options;
  try {
    options = ParseStartupOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const EStartupOptionError& e) {
    std::fprintf(stderr, "zorvic-server: %s\n%s", e.what(), StartupUsage().c_str());
    return 2;
  }
  if (options.ShowHelp) {
    std::fputs(StartupUsage().c_str(), stdout);
    return 0;
  }
  if (options.ShowVersion) {
    std::printf("Zorvic Server %s\n", kServerVersion);
    return 0;
  }

  ::signal(SIGPIPE, SIG_IGN);
  int stopFd = OpenStopSignalFd();
  // Said on standard error now, and in the log once the server runs.
  const std::string descriptorWarning =
      DescriptorLimitWarning(RaiseDescriptorLimit(kWantedDescriptors));
  if (!descriptorWarning.empty()) {
    std::fprintf(stderr, "zorvic-server: %s\n", descriptorWarning.c_str());
    std::fflush(stderr);
  }

  std::unique_ptr<TThreadINIFile> serverOptions;
  std::unique_ptr<TThreadINIFile> versions;
  std::unique_ptr<cMailer> mailer;
  std::unique_ptr<cServer> server;
  int status = 0;
  TRunMode mode = TRunMode::Console;
  try {
    SetAppFolder(options.Home.empty() ? ExecutableFolder() : PrepareHomeFolder(options.Home));
    serverOptions = std::make_unique<TThreadINIFile>(AppFolder + "ServerOptions.ini");
    ServerOptionsFile = serverOptions.get();

    mode = DecideRunMode(options, *serverOptions);
    RunningAsService = mode != TRunMode::Console;

    CreateServerFolders();
    CreateSharedQuery();
    versions = std::make_unique<TThreadINIFile>(UpdatesFolder + "versions.ini");
    VersionsFile = versions.get();
    BootstrapSharedDatabase();
    // The mail queue and its lock exist before the server and outlive it.
    mailer = std::make_unique<cMailer>();
    Mailer = mailer.get();

    if (mode == TRunMode::ServiceSwitches) {
      cServiceManagerAccess access = SystemServiceManager();
      cServiceSwitchResult result = options.InstallSwitch
                                        ? InstallService(access, ExecutablePath(), AppFolder)
                                        : UninstallService(access);
      status = ReportServiceSwitch(result, options.SilentSwitch);
    } else {
      try {
        server = std::make_unique<cServer>(options.Port, *serverOptions,
                                           [](const std::string& entry) { AppendLogEntry(entry); });
      } catch (const std::exception& e) {
        if (mode != TRunMode::Service) throw;
        // The start handler failed: said in the journal, and a non-zero status so that the
        // service manager tries again.
        ReportServiceFailure("start", e.what());
        status = 1;
      }
      if (server) {
        Server = server.get();
        if (!descriptorWarning.empty()) server->WriteLog(descriptorWarning);
        status = Serve(*server, mode, stopFd);
      }
    }
  } catch (const std::exception& e) {
    ReportStartupError(std::string("Exception in Main Function: ") + e.what());
    status = 1;
  } catch (...) {
    ReportStartupError("Exception in Main Function: Unknown error");
    status = 1;
  }

  // Stopped first: it wakes a password mail waiting on an SMTP server, which would keep its
  // session thread past the shutdown's wait.
  if (mailer) mailer->Stop();
  if (server && !server->Shutdown()) {
    // A session thread is stuck outside its socket: end the process rather than free what it
    // still uses (its open work ends with the process, as it would at a power cut).
    std::fprintf(stderr, "zorvic-server: session threads did not end in time; exiting\n");
    std::fflush(nullptr);
    std::_Exit(1);
  }
  Server = nullptr;
  server.reset();
  CloseSharedDatabase();
  ServerOptionsFile = nullptr;
  serverOptions.reset();
  VersionsFile = nullptr;
  versions.reset();
  Mailer = nullptr;
  mailer.reset();
  if (stopFd >= 0) ::close(stopFd);
  return status;
}

}  // namespace zorvic

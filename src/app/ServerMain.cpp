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
#include "app/SharedDatabase.h"
#include "app/StartupOptions.h"
#include "app/ThreadINIFile.h"
#include "messaging/MailerThread.h"

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
  try {
    SetAppFolder(options.Home.empty() ? ExecutableFolder() : PrepareHomeFolder(options.Home));
    serverOptions = std::make_unique<TThreadINIFile>(AppFolder + "ServerOptions.ini");
    ServerOptionsFile = serverOptions.get();

    // Service mode exists only on the Windows NT family: here the switches and the option
    // RunAsService are read and the server runs in console mode whatever they say.
    bool serviceWanted =
        options.InstallSwitch || options.UninstallSwitch ||
        ReadIniBool(*serverOptions, kServerOptionsSection, kRunAsServiceKey, false);
    (void)serviceWanted;
    RunningAsService = false;

    CreateServerFolders();
    CreateSharedQuery();
    versions = std::make_unique<TThreadINIFile>(UpdatesFolder + "versions.ini");
    VersionsFile = versions.get();
    BootstrapSharedDatabase();
    // The mail queue and its lock exist before the server and outlive it.
    mailer = std::make_unique<cMailer>();
    Mailer = mailer.get();

    server = std::make_unique<cServer>(options.Port, *serverOptions,
                                       [](const std::string& entry) { AppendLogEntry(entry); });
    Server = server.get();
    if (!descriptorWarning.empty()) server->WriteLog(descriptorWarning);
    RunConsoleLoop(STDIN_FILENO, stopFd);
  } catch (const std::exception& e) {
    ConsoleWrite(std::string("Exception in Main Function: ") + e.what());
    status = 1;
  } catch (...) {
    ConsoleWrite("Exception in Main Function: Unknown error");
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

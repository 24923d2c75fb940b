// Service mode under systemd: the unit file written by INSTALL and removed by UNINSTALL, and
// the readiness and stopping notices a server started by the service manager sends it.
//
// The service is the systemd unit "ServerSocketClass.service" (Description "Zorvic Server
// Socket Class", Type=notify, ExecStart the running executable with --home its program
// folder, restarted on failure, wanted by multi-user.target). It lives in /etc/systemd/system,
// or in the folder named by the environment variable ZORVIC_UNIT_DIR when that is set and not
// empty. Only when systemd runs on the machine does installing also run "systemctl
// daemon-reload" and "systemctl enable", and uninstalling "systemctl disable" and
// "systemctl daemon-reload"; elsewhere the file alone is written or removed.
//
// A server counts as started by the service manager when the environment names a
// notification socket (NOTIFY_SOCKET): systemd gives one to every Type=notify service.
// NotifyServiceManager sends one state ("READY=1", "STOPPING=1") to it through libsystemd and
// does nothing without one.
//
// Thread safety: InstallService and UninstallService run on the main thread during start-up
// (they start a child process and wait for it). NotifyServiceManager may be called from any
// thread. The other functions only read the environment and their arguments.
#pragma once

#include <string>
#include <string_view>

namespace zorvic {

inline constexpr const char* kServiceName = "ServerSocketClass";
inline constexpr const char* kServiceDisplayName = "Zorvic Server Socket Class";
inline constexpr const char* kSystemUnitFolder = "/etc/systemd/system";
inline constexpr const char* kUnitFolderVariable = "ZORVIC_UNIT_DIR";

// "ServerSocketClass.service".
std::string ServiceUnitFileName();

// ZORVIC_UNIT_DIR when set and not empty, else /etc/systemd/system; never with a trailing '/'
// (except for "/" itself).
std::string ServiceUnitFolder();

// The text of the unit file. `executable` is an absolute path, `appFolder` the program folder;
// both are written so that systemd reads them back unchanged (quotes where a path holds
// blanks, quotes or backslashes; "%" and "$" doubled). Raises std::runtime_error for a path
// that holds a line break or another control character, which no unit file can carry.
std::string BuildServiceUnit(const std::string& executable, const std::string& appFolder);

// One word of a unit's command line written so that systemd reads back exactly `word`.
std::string QuoteUnitWord(std::string_view word);

// How INSTALL and UNINSTALL reach the system; tests give their own folder and program.
struct cServiceManagerAccess {
  std::string UnitFolder;               // where the unit file goes
  bool SystemdRunning = false;          // run systemctl after writing or removing the file
  std::string Systemctl = "systemctl";  // looked up in PATH unless it holds a '/'
};

// The folder of ServiceUnitFolder, and whether the machine was booted with systemd.
cServiceManagerAccess SystemServiceManager();

// The outcome of INSTALL or UNINSTALL: the designed message, and whether it is a failure.
struct cServiceSwitchResult {
  bool Succeeded = false;
  std::string Message;  // "Service installed successfully", or the failure text
};

// Writes the unit file (through a temporary file and a rename, so a reader never sees half of
// it) and, when systemd runs, reloads the manager and enables the unit. On failure the message
// is "Service \"ServerSocketClass\" failed to install with error: \"" + reason + "\"".
cServiceSwitchResult InstallService(const cServiceManagerAccess& access,
                                    const std::string& executable, const std::string& appFolder);

// When systemd runs, disables the unit; removes the unit file; then reloads the manager. On
// failure "Service \"ServerSocketClass\" failed to uninstall with error: \"" + reason + "\"".
cServiceSwitchResult UninstallService(const cServiceManagerAccess& access);

// Shows a result unless `silent`: a success on standard output, a failure on standard error.
// Returns the exit status of the process: 0 on success, 1 on failure (also when silent).
int ReportServiceSwitch(const cServiceSwitchResult& result, bool silent);

// The full path of the running executable. Raises std::runtime_error when the system cannot
// tell.
std::string ExecutablePath();

// True when the environment names the service manager's notification socket.
bool StartedByServiceManager();

// Sends `state` (lines such as "READY=1") to the service manager; ignored without one. A
// failure to send is reported on standard error and otherwise ignored.
void NotifyServiceManager(const std::string& state) noexcept;

}  // namespace zorvic

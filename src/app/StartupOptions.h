// Command line of zorvic-server.
//
//   zorvic-server [--home DIR] [--port N] [--help] [--version] [INSTALL | UNINSTALL | SILENT]
//
// --home names the program folder (created when missing; default: the executable's own
// folder), --port the TCP port (default 37000). The service switches INSTALL, UNINSTALL and
// SILENT are matched without regard to case after one of "-", "/" or "\": INSTALL writes the
// systemd unit of the service and UNINSTALL removes it, SILENT suppresses their message (see
// Service.h).
//
// Thread safety: plain functions on their arguments.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace zorvic {

struct cStartupOptions {
  std::string Home;  // empty: the executable's folder
  int Port = 0;      // set to the default port by ParseStartupOptions
  bool ShowHelp = false;
  bool ShowVersion = false;
  bool InstallSwitch = false;
  bool UninstallSwitch = false;
  bool SilentSwitch = false;
};

class EStartupOptionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `args` excludes the program name. Raises EStartupOptionError on an unknown argument, a
// missing value or a port outside 1..65535.
cStartupOptions ParseStartupOptions(const std::vector<std::string>& args);

std::string StartupUsage();

}  // namespace zorvic

#include "app/StartupOptions.h"

#include <cstdint>

#include "app/IniFile.h"
#include "app/ServerLimits.h"

namespace zorvic {

namespace {

bool IsSwitch(const std::string& arg, const char* name) {
  if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/' && arg[0] != '\\')) return false;
  std::string word = arg.substr(1);
  std::string upper;
  for (char c : word)
    upper.push_back((c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c);
  return upper == name;
}

int ParsePort(const std::string& text) {
  std::int32_t port = 0;
  bool decimal = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  if (!decimal || !ParseIniInteger(text, port) || port < 1 || port > 65535) {
    throw EStartupOptionError("Invalid port number: " + text);
  }
  return port;
}

}  // namespace

cStartupOptions ParseStartupOptions(const std::vector<std::string>& args) {
  cStartupOptions options;
  options.Port = kServerPort;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](const std::string& name) -> std::string {
      if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0) {
        return arg.substr(name.size() + 1);
      }
      if (i + 1 >= args.size()) throw EStartupOptionError("Missing value after " + name);
      return args[++i];
    };
    auto is = [&](const std::string& name) {
      return arg == name || arg.compare(0, name.size() + 1, name + "=") == 0;
    };
    if (arg == "--help" || arg == "-h") {
      options.ShowHelp = true;
    } else if (arg == "--version") {
      options.ShowVersion = true;
    } else if (is("--home")) {
      options.Home = value("--home");
      if (options.Home.empty()) throw EStartupOptionError("Empty folder name after --home");
    } else if (is("--port")) {
      options.Port = ParsePort(value("--port"));
    } else if (IsSwitch(arg, "INSTALL")) {
      options.InstallSwitch = true;
    } else if (IsSwitch(arg, "UNINSTALL")) {
      options.UninstallSwitch = true;
    } else if (IsSwitch(arg, "SILENT")) {
      options.SilentSwitch = true;
    } else {
      throw EStartupOptionError("Unknown argument: " + arg);
    }
  }
  return options;
}

std::string StartupUsage() {
  return "Usage: zorvic-server [--home DIR] [--port N] [--help] [--version]\n"
         "       zorvic-server [--home DIR] -INSTALL | -UNINSTALL [-SILENT]\n"
         "  --home DIR  program folder holding ServerOptions.ini, Data, Users, Temp and Updates\n"
         "              (created when missing; default: the folder of the executable)\n"
         "  --port N    TCP port to listen on (default 37000)\n"
         "  --help      show this text and exit\n"
         "  --version   show the server version and exit\n"
         "  -INSTALL    write the systemd unit ServerSocketClass.service (in $ZORVIC_UNIT_DIR,\n"
         "              default /etc/systemd/system) and enable it, then exit\n"
         "  -UNINSTALL  disable the unit and remove its file, then exit\n"
         "  -SILENT     with -INSTALL or -UNINSTALL: no message, only the exit status\n"
         "With RunAsService=1 in ServerOptions.ini and started by systemd, the server writes\n"
         "nothing to standard output, reports ready to systemd and stops on SIGTERM.\n"
         "Type \"quit\" on standard input, or send SIGTERM or SIGINT, to stop the server.\n";
}

}  // namespace zorvic

#include "app/Service.h"

#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace zorvic {

namespace {

// What systemctl writes on its error stream is kept up to this size for the failure message.
constexpr std::size_t kSystemctlErrorMaxBytes = 4096;

std::string SystemErrorText(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

std::string UnitFilePath(const cServiceManagerAccess& access) {
  std::string path = access.UnitFolder;
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path + ServiceUnitFileName();
}

std::string FailureMessage(const char* action, const std::string& reason) {
  return std::string("Service \"") + kServiceName + "\" failed to " + action + " with error: \"" +
         reason + "\"";
}

// The last non-empty line of a program's error output, without its line end.
std::string LastLine(const std::string& text) {
  std::size_t end = text.find_last_not_of("\r\n\t ");
  if (end == std::string::npos) return {};
  std::size_t start = text.rfind('\n', end);
  start = start == std::string::npos ? 0 : start + 1;
  return text.substr(start, end + 1 - start);
}

// Runs systemctl with `args`, its output discarded and its error stream kept. Empty on
// success; otherwise why it failed.
std::string RunSystemctl(const cServiceManagerAccess& access,
                         const std::vector<std::string>& args) {
  std::string command = access.Systemctl;
  for (const std::string& arg : args)
    command += " " + arg;

  int errorPipe[2];
  if (::pipe2(errorPipe, O_CLOEXEC) != 0) return command + ": " + std::strerror(errno);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, errorPipe[1], STDERR_FILENO);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(access.Systemctl.c_str()));
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t child = -1;
  int spawned =
      ::posix_spawnp(&child, access.Systemctl.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(errorPipe[1]);
  if (spawned != 0) {
    ::close(errorPipe[0]);
    return command + ": " + std::strerror(spawned);
  }

  std::string errors;
  char buffer[1024];
  for (;;) {
    ssize_t n = ::read(errorPipe[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::size_t room = kSystemctlErrorMaxBytes - errors.size();
    errors.append(buffer, std::min(room, static_cast<std::size_t>(n)));
  }
  ::close(errorPipe[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return command + ": " + std::strerror(errno);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  std::string reason = LastLine(errors);
  if (!reason.empty()) return command + ": " + reason;
  if (WIFEXITED(status)) {
    return command + " ended with status " + std::to_string(WEXITSTATUS(status));
  }
  return command + " ended by signal " + std::to_string(WTERMSIG(status));
}

// Writes `text` to `path` through a temporary file beside it; empty on success, else why not.
std::string WriteFileAtomically(const std::string& path, const std::string& text) {
  std::string temporary = path + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return SystemErrorText(temporary, errno);
  std::size_t done = 0;
  int error = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return SystemErrorText(path, error);
  }
  return {};
}

}  // namespace

std::string ServiceUnitFileName() {
  return std::string(kServiceName) + ".service";
}

std::string ServiceUnitFolder() {
  const char* folder = std::getenv(kUnitFolderVariable);
  std::string result = (folder != nullptr && *folder != '\0') ? folder : kSystemUnitFolder;
  while (result.size() > 1 && result.back() == '/')
    result.pop_back();
  return result;
}

std::string QuoteUnitWord(std::string_view word) {
  bool quote = word.empty();
  std::string body;
  for (char c : word) {
    switch (c) {
      case '%':  // a specifier
        body += "%%";
        break;
      case '$':  // an environment variable
        body += "$$";
        break;
      case '\\':
      case '"':
        body.push_back('\\');
        body.push_back(c);
        quote = true;
        break;
      case ' ':
      case '\t':
      case '\'':
      case ';':  // a lone ";" separates commands
        body.push_back(c);
        quote = true;
        break;
      default:
        body.push_back(c);
    }
  }
  return quote ? "\"" + body + "\"" : body;
}

std::string BuildServiceUnit(const std::string& executable, const std::string& appFolder) {
  for (const std::string* path : {&executable, &appFolder}) {
    for (char c : *path) {
      auto code = static_cast<unsigned char>(c);
      if (code < 32 || code == 127) {
        throw std::runtime_error("The path " + *path +
                                 " holds a control character, which a unit file cannot hold");
      }
    }
  }
  std::string unit;
  unit += "# Written by zorvic-server -INSTALL and removed by zorvic-server -UNINSTALL.\n";
  unit += "[Unit]\n";
  unit += std::string("Description=") + kServiceDisplayName + "\n";
  unit += "After=network.target\n";
  unit += "\n[Service]\n";
  unit += "Type=notify\n";
  unit += "ExecStart=" + QuoteUnitWord(executable) + " --home " + QuoteUnitWord(appFolder) + "\n";
  unit += "Restart=on-failure\n";
  unit += "RestartSec=5\n";
  unit += "\n[Install]\n";
  unit += "WantedBy=multi-user.target\n";
  return unit;
}

cServiceManagerAccess SystemServiceManager() {
  cServiceManagerAccess access;
  access.UnitFolder = ServiceUnitFolder();
  access.SystemdRunning = ::sd_booted() > 0;
  return access;
}

cServiceSwitchResult InstallService(const cServiceManagerAccess& access,
                                    const std::string& executable, const std::string& appFolder) {
  cServiceSwitchResult result;
  std::string unit;
  try {
    unit = BuildServiceUnit(executable, appFolder);
  } catch (const std::exception& e) {
    result.Message = FailureMessage("install", e.what());
    return result;
  }
  std::string reason = WriteFileAtomically(UnitFilePath(access), unit);
  if (reason.empty() && access.SystemdRunning) {
    reason = RunSystemctl(access, {"daemon-reload"});
    if (reason.empty()) reason = RunSystemctl(access, {"enable", ServiceUnitFileName()});
  }
  if (!reason.empty()) {
    result.Message = FailureMessage("install", reason);
    return result;
  }
  result.Succeeded = true;
  result.Message = "Service installed successfully";
  return result;
}

cServiceSwitchResult UninstallService(const cServiceManagerAccess& access) {
  cServiceSwitchResult result;
  std::string path = UnitFilePath(access);
  std::string reason;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    reason = SystemErrorText(path, errno);
  } else if (access.SystemdRunning) {
    // While the file is there: disabling reads its [Install] section.
    reason = RunSystemctl(access, {"disable", ServiceUnitFileName()});
  }
  if (reason.empty() && ::unlink(path.c_str()) != 0) reason = SystemErrorText(path, errno);
  if (reason.empty() && access.SystemdRunning) reason = RunSystemctl(access, {"daemon-reload"});
  if (!reason.empty()) {
    result.Message = FailureMessage("uninstall", reason);
    return result;
  }
  result.Succeeded = true;
  result.Message = "Service uninstalled successfully";
  return result;
}

int ReportServiceSwitch(const cServiceSwitchResult& result, bool silent) {
  if (!silent) {
    std::FILE* stream = result.Succeeded ? stdout : stderr;
    std::fprintf(stream, "%s\n", result.Message.c_str());
    std::fflush(stream);
  }
  return result.Succeeded ? 0 : 1;
}

std::string ExecutablePath() {
  char buffer[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) {
    throw std::runtime_error("Unable to find the program's path: " +
                             SystemErrorText("/proc/self/exe", errno));
  }
  return std::string(buffer, static_cast<std::size_t>(n));
}

bool StartedByServiceManager() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && *socket != '\0';
}

void NotifyServiceManager(const std::string& state) noexcept {
  if (!StartedByServiceManager()) return;
  int sent = ::sd_notify(0, state.c_str());
  if (sent < 0) {
    std::fprintf(stderr, "zorvic-server: unable to notify the service manager (%s): %s\n",
                 state.c_str(), std::strerror(-sent));
    std::fflush(stderr);
  }
}

}  // namespace zorvic

// zorvic-cli settings get|put and update upload|fetch: files to and from the server.
//
// A fetched file is written to a temporary file beside its target and renamed when all of it
// (and, for an update, the server's closing line) has come, so a broken transfer never leaves
// a half file under the target's name. Uploads stream the local file; standard input is read
// into memory first, since its size must be sent before the bytes.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "net/WriteAll.h"
#include "tools/zorvic-cli/AdminFileCli.h"
#include "tools/zorvic-cli/CliAdmin.h"

namespace zorvic {

namespace {

constexpr std::size_t kCopyChunkBytes = 64 * 1024;
// How long a transfer may pause between two of its pieces once it has begun.
constexpr int kCopyPieceWaitMs = 10000;

std::string SystemText(std::string_view what, std::string_view path) {
  return "zorvic-cli: " + std::string(what) + " " + std::string(path) + ": " + std::strerror(errno);
}

int WaitMs(const cAdminFileArgs& args) {
  return args.ReplyWaitMs > 0 ? args.ReplyWaitMs : kCliReplyWaitMs;
}

std::string_view LastPart(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Where a fetched file goes: standard output, or a temporary file renamed over the target by
// Commit (and removed when the object goes without it).
class cOutputFile {
 public:
  ~cOutputFile() {
    if (fFd >= 0 && fFd != STDOUT_FILENO) ::close(fFd);
    if (!fTemp.empty()) ::unlink(fTemp.c_str());
  }

  bool Open(const std::string& path) {
    if (path == "-") {
      fFd = STDOUT_FILENO;
      return true;
    }
    fTarget = path;
    fTemp = path + ".partXXXXXX";
    fFd = ::mkostemp(fTemp.data(), O_CLOEXEC);
    if (fFd < 0) {
      fTemp.clear();
      WriteErrorLine(SystemText("cannot create a file beside", path));
      return false;
    }
    ::fchmod(fFd, 0644);
    return true;
  }

  bool Write(const char* bytes, std::size_t count) {
    if (WriteAll(fFd, bytes, count)) return true;
    WriteErrorLine(SystemText("cannot write", fTarget.empty() ? "standard output" : fTarget));
    return false;
  }

  bool Commit() {
    if (fTemp.empty()) return true;
    const bool closed = ::close(fFd) == 0;
    fFd = -1;
    if (!closed || ::rename(fTemp.c_str(), fTarget.c_str()) != 0) {
      WriteErrorLine(SystemText("cannot write", fTarget));
      return false;
    }
    fTemp.clear();
    return true;
  }

 private:
  int fFd = -1;
  std::string fTarget;
  std::string fTemp;
};

// Reads int32 the size and then the bytes into `output`.
bool ReceiveSizedFile(TZQSock& socket, cOutputFile& output, std::string_view what) {
  const std::int32_t size = socket.ReadInt32();
  if (size < 0) {
    WriteErrorLine("zorvic-cli: the size of " + std::string(what) + " did not come");
    return false;
  }
  std::string buffer(std::min<std::size_t>(static_cast<std::size_t>(size), kCopyChunkBytes), '\0');
  auto remaining = static_cast<std::size_t>(size);
  while (remaining > 0) {
    const std::size_t chunk = std::min(remaining, kCopyChunkBytes);
    if (!socket.ReadExactInto(buffer.data(), chunk, kCopyPieceWaitMs)) {
      WriteErrorLine("zorvic-cli: " + std::string(what) + " broke off before its end");
      return false;
    }
    if (!output.Write(buffer.data(), chunk)) return false;
    remaining -= chunk;
  }
  return true;
}

// The local side of an upload: a regular file streamed from its descriptor, or standard input
// read whole.
class cInputFile {
 public:
  ~cInputFile() {
    if (fFd >= 0 && fFd != STDIN_FILENO) ::close(fFd);
  }

  bool Open(const std::string& path) {
    if (path == "-") return ReadStandardInput();
    fPath = path;
    fFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fFd < 0) {
      WriteErrorLine(SystemText("cannot open", path));
      return false;
    }
    struct stat st {};
    if (::fstat(fFd, &st) != 0 || !S_ISREG(st.st_mode)) {
      WriteErrorLine("zorvic-cli: " + path + " is not a regular file");
      return false;
    }
    if (st.st_size > std::numeric_limits<std::int32_t>::max()) {
      WriteErrorLine("zorvic-cli: " + path + " is larger than one transfer can carry");
      return false;
    }
    fSize = static_cast<std::int32_t>(st.st_size);
    return true;
  }

  // Sends int32 the size and the bytes.
  bool Send(TZQSock& socket) {
    if (fFd < 0) return SendSizedBytes(socket, fBytes);
    if (socket.WriteInt32(fSize) != 4) return Broken(socket);
    std::string buffer(kCopyChunkBytes, '\0');
    std::int64_t offset = 0;
    while (offset < fSize) {
      const auto want = static_cast<std::size_t>(
          std::min<std::int64_t>(fSize - offset, static_cast<std::int64_t>(kCopyChunkBytes)));
      const ssize_t got = ::pread(fFd, buffer.data(), want, offset);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        WriteErrorLine("zorvic-cli: " + fPath + " could not be read to its end");
        return false;
      }
      if (socket.WriteBuffer(buffer.data(), static_cast<int>(got)) != got) return Broken(socket);
      offset += got;
    }
    return true;
  }

 private:
  bool ReadStandardInput() {
    char buffer[kCopyChunkBytes];
    for (;;) {
      const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        WriteErrorLine(SystemText("cannot read", "standard input"));
        return false;
      }
      if (got == 0) return true;
      if (fBytes.size() + static_cast<std::size_t>(got) >
          static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        WriteErrorLine("zorvic-cli: standard input is larger than one transfer can carry");
        return false;
      }
      fBytes.append(buffer, static_cast<std::size_t>(got));
    }
  }

  static bool Broken(TZQSock& socket) {
    WriteErrorLine("zorvic-cli: the connection to the server broke: " +
                   ErrorText(socket.LastCommandStatus()));
    return false;
  }

  int fFd = -1;
  std::string fPath;
  std::int32_t fSize = 0;
  std::string fBytes;
};

// 2015 or 2112: the command line, the size and the bytes, then "+OK File Received".
int Upload(const cAdminFileArgs& args, std::string_view code, std::string_view what,
           bool silentOnError) {
  // NAME alone: the local file NAME, stored under its last part; NAME PATH: PATH as NAME.
  const std::string_view given = args.Words[1];
  const std::string source(args.Words.size() == 3 ? args.Words[2] : given);
  const std::string name(args.Words.size() == 3 ? given : LastPart(given));
  cInputFile input;
  if (!input.Open(source)) return kExitFailure;
  cCliAdminConnection connection;
  if (!OpenAdminConnection(connection)) return kExitFailure;
  if (!SendCommandLine(connection.Socket, std::string(code) + " " + name)) return kExitFailure;
  if (!input.Send(connection.Socket)) return kExitFailure;
  auto line = AwaitReplyLine(connection.Socket, what, WaitMs(args));
  if (!line) {
    if (silentOnError)
      WriteErrorLine("zorvic-cli: the server answers a failure of " + std::string(code) +
                     " with silence; its log tells why");
    return kExitFailure;
  }
  if (*line != "+OK File Received") {
    WriteErrorLine(*line);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace

int RunSettingsGet(const cAdminFileArgs& args) {
  const std::string name(args.Words[1]);
  const std::string target(args.Words.size() == 3 ? args.Words[2] : "-");
  cCliAdminConnection connection;
  if (!OpenAdminConnection(connection)) return kExitFailure;
  auto line =
      RequestStatus(connection.Socket, "2014 " + name, "the settings request (2014)", WaitMs(args));
  if (!line) return kExitFailure;
  if (*line == "+OK 0") {
    WriteErrorLine("zorvic-cli: the server holds no settings file \"" + name + "\"");
    return kExitFailure;
  }
  if (*line != "+OK File size and contents follow") {
    WriteErrorLine(*line);
    return kExitFailure;
  }
  cOutputFile output;
  if (!output.Open(target)) return kExitFailure;
  if (!ReceiveSizedFile(connection.Socket, output, "the settings file")) return kExitFailure;
  return output.Commit() ? kExitOk : kExitFailure;
}

int RunSettingsPut(const cAdminFileArgs& args) {
  return Upload(args, "2015", "the settings file store (2015)", false);
}

int RunUpdateUpload(const cAdminFileArgs& args) {
  return Upload(args, "2112", "the update upload (2112)", true);
}

int RunUpdateFetch(const cAdminFileArgs& args) {
  cCliAdminConnection connection;
  if (!OpenAdminConnection(connection)) return kExitFailure;
  auto line = RequestStatus(connection.Socket, "2114", "the update request (2114)", WaitMs(args));
  if (!line) {
    WriteErrorLine(
        "zorvic-cli: the server answers a failure of 2114 with silence; its log "
        "tells why");
    return kExitFailure;
  }
  if (!line->starts_with("+OK ")) {
    WriteErrorLine(*line);
    return kExitFailure;
  }
  const std::string serverName = line->substr(4);
  std::string target;
  if (args.Words.size() == 2) {
    target = std::string(args.Words[1]);
  } else {
    // The server's name, as one name in the current folder only.
    if (serverName.empty() || serverName == "." || serverName == ".." ||
        serverName.find('/') != std::string::npos) {
      WriteErrorLine("zorvic-cli: the server names the update \"" + serverName +
                     "\"; give a PATH to store it");
      return kExitFailure;
    }
    target = serverName;
  }
  cOutputFile output;
  if (!output.Open(target)) return kExitFailure;
  if (!ReceiveSizedFile(connection.Socket, output, "the update file")) return kExitFailure;
  auto end = AwaitReplyLine(connection.Socket, "the end of the update", WaitMs(args));
  if (!end) return kExitFailure;
  if (*end != "+OK Update all sent") {
    WriteErrorLine(*end);
    return kExitFailure;
  }
  if (!output.Commit()) return kExitFailure;
  // Stored under the server's name: say where it went.
  if (args.Words.size() != 2 && !WriteResultLine(target)) return kExitFailure;
  return kExitOk;
}

}  // namespace zorvic

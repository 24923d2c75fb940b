// zorvic-cli login: checks that the user can log in. zorvic-cli listen: holds a listening
// connection and prints its events, one line each, as they arrive:
//
//   presence<TAB>user<TAB>group<TAB>status
//   message<TAB>id<TAB>sender<TAB>priority          (urgent-message for an urgent one)
//
// The listener answers the server's liveness probe, so a second login of the same user is
// refused while it runs. It ends with status 0 when the server closes the connection at a
// record boundary (the user's command session ended), 1 on a broken stream.
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "crypto/Scramble.h"
#include "net/ZQSock.h"
#include "tools/zorvic-cli/CliCommands.h"
#include "tools/zorvic-cli/CliSession.h"

namespace zorvic {
namespace {

constexpr std::int32_t kPresence = 1;
constexpr std::int32_t kNewMessage = 2;
constexpr std::int32_t kNewUrgentMessage = 3;
constexpr std::int32_t kProbe = 2022;
// How long the listener waits for the rest of a record once its first byte has come.
constexpr int kRecordWaitMs = 10000;

std::optional<std::string> ReadBlock(TZQSock& socket) {
  const std::int32_t length = socket.ReadInt32();
  if (length < 0 || length > kCliMaxBlockBytes) return std::nullopt;
  return socket.ReadExact(static_cast<std::size_t>(length), kRecordWaitMs);
}

std::optional<std::string> ReadRecordLine(TZQSock& socket) {
  std::string line = socket.ReadLine(kRecordWaitMs);
  if (socket.LastReadTimeout() || !socket.ValidSocket()) return std::nullopt;
  return line;
}

// The value of a "Name: value" line of a message header.
std::string HeaderValue(const std::string& header, std::string_view name) {
  std::size_t start = 0;
  while (start <= header.size()) {
    std::size_t end = header.find("\r\n", start);
    if (end == std::string::npos) end = header.size();
    std::string_view line(header.data() + start, end - start);
    if (line.starts_with(name) && line.substr(name.size()).starts_with(": ")) {
      return std::string(line.substr(name.size() + 2));
    }
    start = end + 2;
  }
  return {};
}

bool PrintMessage(TZQSock& socket, std::int32_t code, bool scrambling) {
  const std::int32_t id = socket.ReadInt32();
  auto attachments = ReadBlock(socket);
  if (!attachments) return false;
  auto header = ReadBlock(socket);
  if (!header) return false;
  auto body = ReadBlock(socket);
  if (!body) return false;
  std::string clearHeader = *header;
  if (scrambling && !clearHeader.empty()) {
    try {
      clearHeader = ScrambleString(clearHeader, ProgramKey(), false);
    } catch (const std::exception&) {
      // Printed as it came: the event itself is still worth a line.
    }
  }
  const char* kind = code == kNewUrgentMessage ? "urgent-message" : "message";
  return WriteResultLine(std::string(kind) + "\t" + std::to_string(id) + "\t" +
                         HeaderValue(clearHeader, "From") + "\t" +
                         HeaderValue(clearHeader, "Priority"));
}

}  // namespace

int RunLogin(TCliArguments arguments) {
  if (!arguments.empty()) return kExitUsage;
  TZQSock socket;
  bool scrambling = false;
  if (!ConnectAndLogin(socket, CliOptions(), scrambling)) return kExitFailure;
  socket.WriteLine("2000");
  WriteResultLine(scrambling ? "+OK 1" : "+OK 0");
  return kExitOk;
}

int RunListen(TCliArguments arguments) {
  if (!arguments.empty()) return kExitUsage;
  TZQSock socket;
  bool scrambling = false;
  if (!ConnectAndLogin(socket, CliOptions(), scrambling)) return kExitFailure;
  socket.WriteLine("2013");
  const std::string reply = socket.ReadLine(kRecordWaitMs);
  if (reply != "+OK You are now a listening socket!") {
    WriteErrorLine(reply.empty() ? "zorvic-cli: no reply to 2013" : reply);
    return kExitFailure;
  }
  for (;;) {
    // Events come when they come: wait for the first byte of a record without a limit.
    while (!socket.AwaitData(kRecordWaitMs)) {
      if (!socket.ValidSocket()) return kExitOk;  // the server ended the connection
    }
    const std::int32_t code = socket.ReadInt32();
    bool ok = true;
    if (code == kProbe) {
      ok = socket.WriteInt32(1) == 4;
    } else if (code == kPresence) {
      auto name = ReadRecordLine(socket);
      auto group = name ? ReadRecordLine(socket) : std::nullopt;
      const std::int32_t status = group ? socket.ReadInt32() : -1;
      ok = group && status >= 0 &&
           WriteResultLine("presence\t" + *name + "\t" + *group + "\t" + std::to_string(status));
    } else if (code == kNewMessage || code == kNewUrgentMessage) {
      ok = PrintMessage(socket, code, scrambling);
    } else {
      WriteErrorLine("zorvic-cli: unexpected record " + std::to_string(code) + " from the server");
      return kExitFailure;
    }
    if (!ok) {
      WriteErrorLine("zorvic-cli: the connection broke in the middle of a record");
      return kExitFailure;
    }
  }
}

}  // namespace zorvic

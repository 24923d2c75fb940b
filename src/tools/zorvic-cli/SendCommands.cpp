// zorvic-cli send: sends a message with command 2003.
//
//   zorvic-cli send [--priority P] [--attach FILE]... RECIPIENTS [BODY]
//
// RECIPIENTS is the recipient line as the server takes it (names and "Group/*" or "Group/?"
// items separated by commas). The body is BODY, or standard input when BODY is missing or
// "-". P is 0 (normal, the default), 1 (high), 2 (urgent) or one of those words. Each
// attachment is sent under its file name without the folder, streamed from the file.
// Nothing is printed on success; a refusal prints the server's line on standard error.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "crypto/Scramble.h"
#include "net/ZQSock.h"
#include "tools/zorvic-cli/CliCommands.h"
#include "tools/zorvic-cli/CliSession.h"

namespace zorvic {
namespace {

constexpr int kReplyWaitMs = 30000;
// After the confirmation the server sends an error line only when delivery failed.
constexpr int kLateErrorWaitMs = 300;
constexpr std::size_t kFileChunkBytes = 64 * 1024;

struct cSendRequest {
  int Priority = 0;
  std::vector<std::string> Files;
  std::string Recipients;
  std::optional<std::string> Body;  // nullopt: read standard input
};

std::optional<int> ParsePriority(std::string_view text) {
  if (text == "0" || text == "normal") return 0;
  if (text == "1" || text == "high") return 1;
  if (text == "2" || text == "urgent") return 2;
  return std::nullopt;
}

// False (with a message) when the arguments do not fit.
bool ParseSend(TCliArguments arguments, cSendRequest& request) {
  std::vector<std::string_view> positional;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view word = arguments[i];
    if (optionsEnded || word == "-" || !word.starts_with("-")) {
      positional.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    std::string_view name = word;
    std::optional<std::string_view> value;
    if (const auto eq = word.find('='); eq != std::string_view::npos) {
      name = word.substr(0, eq);
      value = word.substr(eq + 1);
    }
    const bool priority = name == "--priority" || name == "-p";
    const bool attach = name == "--attach" || name == "-a";
    if (!priority && !attach) {
      WriteErrorLine("zorvic-cli send: unknown option " + std::string(word));
      return false;
    }
    if (!value) {
      if (i + 1 == arguments.size()) {
        WriteErrorLine("zorvic-cli send: " + std::string(name) + " needs a value");
        return false;
      }
      value = arguments[++i];
    }
    if (priority) {
      const auto parsed = ParsePriority(*value);
      if (!parsed) {
        WriteErrorLine("zorvic-cli send: the priority is 0, 1, 2, normal, high or urgent");
        return false;
      }
      request.Priority = *parsed;
    } else {
      request.Files.emplace_back(*value);
    }
  }
  if (positional.empty() || positional.size() > 2) return false;
  request.Recipients = std::string(positional[0]);
  if (positional.size() == 2 && positional[1] != "-") request.Body = std::string(positional[1]);
  return true;
}

bool Expect(TZQSock& socket, std::string_view wanted) {
  const std::string reply = socket.ReadLine(kReplyWaitMs);
  if (reply == wanted) return true;
  WriteErrorLine(reply.empty() ? "zorvic-cli send: no reply from the server" : reply);
  return false;
}

bool SendFile(TZQSock& socket, const std::string& path, std::int64_t size) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chunk(kFileChunkBytes);
  while (size > 0) {
    const auto want = static_cast<std::streamsize>(
        std::min<std::int64_t>(size, static_cast<std::int64_t>(chunk.size())));
    if (!in.read(chunk.data(), want)) {
      WriteErrorLine("zorvic-cli send: cannot read " + path);
      return false;
    }
    if (socket.WriteBuffer(chunk.data(), static_cast<int>(want)) != want) {
      WriteErrorLine("zorvic-cli send: the connection broke during " + path);
      return false;
    }
    size -= want;
  }
  return true;
}

int RunSend(TCliArguments arguments) {
  cSendRequest request;
  if (!ParseSend(arguments, request)) return kExitUsage;
  std::vector<std::int64_t> sizes;
  for (const std::string& path : request.Files) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > 0x7FFFFFFFu) {
      WriteErrorLine("zorvic-cli send: " + path +
                     (error ? ": " + error.message() : ": too large to attach"));
      return kExitFailure;
    }
    sizes.push_back(static_cast<std::int64_t>(size));
  }
  std::string body;
  if (request.Body) {
    body = *request.Body;
  } else {
    body.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  if (body.size() > static_cast<std::size_t>(kCliMaxBlockBytes)) {
    WriteErrorLine("zorvic-cli send: the body is too large");
    return kExitFailure;
  }

  TZQSock socket;
  bool scrambling = false;
  if (!ConnectAndLogin(socket, CliOptions(), scrambling)) return kExitFailure;
  std::string wire = body;
  if (scrambling) wire = ScrambleString(body, ProgramKey(), true);

  const std::size_t count = request.Files.size();
  socket.WriteLine(count == 0 ? std::string("2003") : "2003 " + std::to_string(count));
  if (!Expect(socket, "+OK Send the rest of the message")) return kExitFailure;
  socket.WriteInt32(request.Priority);
  socket.WriteLine(request.Recipients);
  for (std::size_t i = 0; i < count; ++i) {
    socket.WriteLine(std::filesystem::path(request.Files[i]).filename().string());
    socket.WriteInt32(static_cast<std::int32_t>(sizes[i]));
    if (!Expect(socket, "+OK Proceed with attachment body")) return kExitFailure;
    if (!SendFile(socket, request.Files[i], sizes[i])) return kExitFailure;
  }
  socket.WriteInt32(static_cast<std::int32_t>(wire.size()));
  if (!Expect(socket, "+OK Send msg body")) return kExitFailure;
  socket.WriteBuffer(wire.data(), static_cast<int>(wire.size()));
  if (!Expect(socket, "+OK Message sent out successfuly")) return kExitFailure;
  if (socket.AwaitData(kLateErrorWaitMs)) {
    const std::string late = socket.ReadLine(kReplyWaitMs);
    if (late.starts_with("-ERR")) {
      WriteErrorLine(late);
      return kExitFailure;
    }
  }
  socket.WriteLine("2000");
  return kExitOk;
}

constexpr cCliCommand kSendCommands[] = {
    {"send", "[--priority P] [--attach FILE]... RECIPIENTS [BODY]",
     "send a message (body from BODY or standard input; P: normal, high, urgent)", RunSend},
};

}  // namespace

std::span<const cCliCommand> SendCliCommands() {
  return kSendCommands;
}

}  // namespace zorvic

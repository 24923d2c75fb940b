#include "tools/zorvic-cli/CliSession.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "crypto/Scramble.h"
#include "tools/zorvic-cli/CliCommands.h"

namespace zorvic {

namespace {

// Reads one line from the terminal with echo off; nullopt when there is no terminal.
std::optional<std::string> PromptWithoutEcho(const std::string& prompt) {
  const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (tty < 0) return std::nullopt;
  termios saved{};
  const bool isTerminal = ::tcgetattr(tty, &saved) == 0;
  if (isTerminal) {
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  [[maybe_unused]] ssize_t w = ::write(tty, prompt.data(), prompt.size());
  std::string line;
  char c = 0;
  bool gotAny = false;
  while (::read(tty, &c, 1) == 1) {
    gotAny = true;
    if (c == '\n' || c == '\r') break;
    line.push_back(c);
  }
  if (isTerminal) ::tcsetattr(tty, TCSAFLUSH, &saved);
  ::close(tty);
  if (!gotAny) return std::nullopt;
  return line;
}

bool TakeValue(std::vector<std::string_view>& arguments, std::size_t& i, std::string_view name,
               std::string_view& value) {
  const std::string_view argument = arguments[i];
  if (argument == name) {
    if (i + 1 >= arguments.size()) {
      WriteErrorLine("zorvic-cli: option " + std::string(name) + " needs a value");
      return false;
    }
    value = arguments[i + 1];
    arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i),
                    arguments.begin() + static_cast<std::ptrdiff_t>(i + 2));
    return true;
  }
  value = argument.substr(name.size() + 1);  // "--name=value"
  arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i));
  return true;
}

}  // namespace

cCliOptions& CliOptions() {
  static cCliOptions options;
  return options;
}

bool ExtractCliOptions(std::vector<std::string_view>& arguments, cCliOptions& options) {
  std::size_t i = 0;
  while (i < arguments.size()) {
    const std::string_view argument = arguments[i];
    if (argument == "--") {
      arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i));
      break;  // everything after "--" is an argument, even when it looks like an option
    }
    bool matched = false;
    for (std::string_view name : {"--host", "--port", "--user"}) {
      if (argument != name && !argument.starts_with(std::string(name) + "=")) continue;
      matched = true;
      std::string_view value;
      if (!TakeValue(arguments, i, name, value)) return false;
      if (name == "--host") {
        options.Host = std::string(value);
      } else if (name == "--user") {
        options.User = std::string(value);
      } else {
        int port = 0;
        auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), port);
        if (error != std::errc() || end != value.data() + value.size() || port < 1 ||
            port > 65535) {
          WriteErrorLine("zorvic-cli: invalid port \"" + std::string(value) + "\"");
          return false;
        }
        options.Port = port;
      }
      break;
    }
    if (!matched) ++i;
  }
  return true;
}

std::optional<std::string> ReadCliPassword(std::string_view user) {
  if (const char* fromEnvironment = std::getenv(kCliPasswordVariable)) {
    return std::string(fromEnvironment);
  }
  auto typed = PromptWithoutEcho("Password for " + std::string(user) + ": ");
  if (!typed) {
    WriteErrorLine(std::string("zorvic-cli: no terminal to ask for the password; set ") +
                   kCliPasswordVariable);
  }
  return typed;
}

bool ConnectAndLogin(TZQSock& socket, const cCliOptions& options, bool& scrambling) {
  if (options.User.empty()) {
    WriteErrorLine("zorvic-cli: --user is required");
    return false;
  }
  auto password = ReadCliPassword(options.User);
  if (!password) return false;
  std::string scrambled;
  try {
    if (!password->empty()) scrambled = ScrambleString(*password, ProgramKey(), true);
  } catch (const std::exception& error) {
    WriteErrorLine(std::string("zorvic-cli: ") + error.what());
    return false;
  }
  if (!socket.Connect(options.Host, options.Port)) {
    WriteErrorLine("zorvic-cli: cannot connect to " + options.Host + ":" +
                   std::to_string(options.Port) + ": " + ErrorText(socket.LastCommandStatus()));
    return false;
  }
  // The user name travels as the rest of a command line: it cannot hold a line end.
  if (options.User.find_first_of("\r\n") != std::string::npos) {
    WriteErrorLine("zorvic-cli: invalid user name");
    return false;
  }
  socket.WriteLine("1000 " + options.User);
  socket.WriteLine(scrambled.empty() ? std::string("1001") : "1001 " + scrambled);
  // A login may wait for the server to probe the user's listening connection.
  std::string reply;
  if (socket.AwaitData(kCliLoginReplyWaitMs)) reply = socket.ReadLine(net::kSocketTimeoutMs);
  if (reply == "+OK 1" || reply == "+OK 0") {
    scrambling = reply == "+OK 1";
    return true;
  }
  WriteErrorLine(reply.empty() ? "zorvic-cli: no reply to the login" : reply);
  return false;
}

}  // namespace zorvic

// zorvic-cli: the command-line companion of the server.
// `zorvic-cli [--host H] [--port P] [--user U] COMMAND [ARGUMENTS]`; the options may also
// follow the command.
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zorvic-cli/CliCommands.h"
#include "tools/zorvic-cli/CliSession.h"

namespace zorvic {
namespace {

constexpr cCliCommand kCommands[] = {
    {"scramble", "TEXT", "print the scrambled form of TEXT", &RunScramble},
    {"unscramble", "TEXT", "print the clear text of the scrambled TEXT", &RunUnscramble},
    {"login", "", "log in as --user and report the server's scrambling flag", &RunLogin},
    {"listen", "", "hold a listening connection; print presence and message events", &RunListen},
};

// The options, the environment and the output of listen: the tail of every usage text.
constexpr char kOptionsText[] =
    "Options (before or after the command):\n"
    "  --host H   server host (default localhost)\n"
    "  --port P   server port (default 37000)\n"
    "  --user U   account for login and listen\n"
    "The password is read from the environment variable ZORVIC_PASSWORD, or asked for on\n"
    "the terminal without echo; it is never taken from the command line.\n"
    "ZORVIC_REPLY_WAIT (seconds, default 15) bounds the wait for a reply to a command.\n"
    "listen prints one line per event, fields separated by tabs:\n"
    "  presence USER GROUP STATUS   (status 0 offline, 1 online, others as clients chose)\n"
    "  message ID SENDER PRIORITY   (urgent-message for urgent messages)\n";

std::string UsageText() {
  std::string text =
      "Usage: zorvic-cli [--host H] [--port P] [--user U] COMMAND [ARGUMENTS]\nCommands:\n";
  for (const cCliCommand& command : CliCommandTable()) {
    std::string line = "  " + std::string(command.name) + " " + std::string(command.arguments);
    if (line.size() < 24) line.resize(24, ' ');
    text += line + "  " + std::string(command.description) + "\n";
  }
  text += "  help                    print this text\n";
  text += kOptionsText;
  return text;
}

int PrintUsage(std::FILE* stream, int status) {
  const std::string text = UsageText();
  std::fwrite(text.data(), 1, text.size(), stream);
  return status;
}

// "zorvic-cli COMMAND --help": the usage line and description of that command alone.
int PrintCommandUsage(const cCliCommand& command) {
  std::string text = "Usage: zorvic-cli [--host H] [--port P] [--user U] " +
                     std::string(command.name) +
                     (command.arguments.empty() ? "" : " " + std::string(command.arguments)) +
                     "\n  " + std::string(command.description) + "\n" + kOptionsText;
  std::fwrite(text.data(), 1, text.size(), stdout);
  return kExitOk;
}

int RunCli(int argc, char** argv) {
  std::vector<std::string_view> words(argv + 1, argv + argc);
  for (std::string_view word : words) {
    if (word == "--") break;
    if (word != "--help" && word != "-h") continue;
    std::vector<std::string_view> rest = words;
    cCliOptions ignored;
    if (ExtractCliOptions(rest, ignored) && !rest.empty()) {
      for (const cCliCommand& command : CliCommandTable())
        if (command.name == rest.front()) return PrintCommandUsage(command);
    }
    return PrintUsage(stdout, kExitOk);
  }
  if (!ExtractCliOptions(words, CliOptions())) return PrintUsage(stderr, kExitUsage);
  if (words.empty()) return PrintUsage(stderr, kExitUsage);
  const std::string_view name = words.front();
  if (name == "help") return PrintUsage(stdout, kExitOk);
  const std::vector<std::string_view> arguments(words.begin() + 1, words.end());
  for (const cCliCommand& command : CliCommandTable()) {
    if (command.name != name) continue;
    const int status = command.run(arguments);
    return status == kExitUsage ? PrintUsage(stderr, kExitUsage) : status;
  }
  WriteErrorLine("zorvic-cli: unknown command \"" + std::string(name) + "\"");
  return PrintUsage(stderr, kExitUsage);
}

}  // namespace

std::span<const cCliCommand> CliCommandTable() {
  static const std::vector<cCliCommand> table = [] {
    std::vector<cCliCommand> all(std::begin(kCommands), std::end(kCommands));
    for (std::span<const cCliCommand> area :
         {SendCliCommands(), MailboxCliCommands(), AdminListingCliCommands(),
          AdminResourceCliCommands(), AdminFileCliCommands()}) {
      all.insert(all.end(), area.begin(), area.end());
    }
    return all;
  }();
  return table;
}

bool WriteResultLine(std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fputc('\n', stdout);
  return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

void WriteErrorLine(std::string_view message) {
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputc('\n', stderr);
}

}  // namespace zorvic

int main(int argc, char** argv) {
  return zorvic::RunCli(argc, argv);
}

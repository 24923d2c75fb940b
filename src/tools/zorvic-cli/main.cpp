// zorvic-cli: the command-line companion of the server. `zorvic-cli COMMAND [ARGUMENTS]`.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zorvic-cli/CliCommands.h"

namespace zorvic {
namespace {

constexpr cCliCommand kCommands[] = {
    {"scramble", "TEXT", "print the scrambled form of TEXT", &RunScramble},
    {"unscramble", "TEXT", "print the clear text of the scrambled TEXT", &RunUnscramble},
};

std::string UsageText() {
  std::string text = "Usage: zorvic-cli COMMAND [ARGUMENTS]\nCommands:\n";
  for (const cCliCommand& command : CliCommandTable()) {
    std::string line = "  " + std::string(command.name) + " " + std::string(command.arguments);
    if (line.size() < 24) line.resize(24, ' ');
    text += line + "  " + std::string(command.description) + "\n";
  }
  text += "  help                    print this text\n";
  return text;
}

int PrintUsage(std::FILE* stream, int status) {
  const std::string text = UsageText();
  std::fwrite(text.data(), 1, text.size(), stream);
  return status;
}

int RunCli(int argc, char** argv) {
  if (argc < 2) return PrintUsage(stderr, kExitUsage);
  const std::string_view name = argv[1];
  if (name == "help" || name == "--help" || name == "-h") return PrintUsage(stdout, kExitOk);
  const std::vector<std::string_view> arguments(argv + 2, argv + argc);
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
  return kCommands;
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

// Subcommands of zorvic-cli. Each command is one entry of CliCommandTable(): its name, the
// argument part of its usage line, a one-line description and the function that runs it.
// A new command (connect, login, send, ...) adds a handler in its own file and one table entry.
//
// Handlers get the arguments after the command name and return the process exit status:
// kExitOk on success, kExitFailure when the operation failed (message on standard error),
// kExitUsage when the arguments do not fit the command (main prints the usage text).
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace zorvic {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

using TCliArguments = std::span<const std::string_view>;
using TCliHandler = int (*)(TCliArguments arguments);

struct cCliCommand {
  std::string_view name;
  std::string_view arguments;
  std::string_view description;
  TCliHandler run;
};

// Every command, in the order of the usage text: the base commands of main.cpp, then each
// area's own table.
std::span<const cCliCommand> CliCommandTable();

// The tables of the areas, each defined in the area's own file.
std::span<const cCliCommand> SendCliCommands();           // SendCommands.cpp
std::span<const cCliCommand> MailboxCliCommands();        // MailboxCommands.cpp
std::span<const cCliCommand> AdminListingCliCommands();   // AdminListingCommands.cpp
std::span<const cCliCommand> AdminResourceCliCommands();  // AdminResourceCommands.cpp
std::span<const cCliCommand> AdminFileCliCommands();      // AdminFileCommands.cpp

// Writes `bytes` and a newline to standard output exactly as they are (they may hold any byte).
// Returns false when standard output could not take them.
bool WriteResultLine(std::string_view bytes);
// Writes `message` and a newline to standard error.
void WriteErrorLine(std::string_view message);

int RunScramble(TCliArguments arguments);
int RunUnscramble(TCliArguments arguments);
int RunLogin(TCliArguments arguments);
int RunListen(TCliArguments arguments);

}  // namespace zorvic

// zorvic-sql: the SQL shell of the engine.
//
//   zorvic-sql DIR [-c TEXT | -f FILE] [--changes] [--bail]
//     Opens the database folder DIR (created when missing) and runs SQL read from standard
//     input, from TEXT or from FILE, one statement at a time. Results print as tab-separated
//     rows under a line of column names, followed by an empty line; errors go to standard
//     error as one line each. On a terminal the shell is interactive.
//
//   zorvic-sql --check DIR [--explain]
//     Reads SQL texts from standard input, one per line (a line may hold several statements
//     separated by ";"; empty lines are skipped), parses every statement and binds its names
//     against the tables in DIR as they are, without executing anything, and prints one line
//     per text: "OK" or the engine error message of the first failing statement. With
//     --explain the parse result of every statement is printed before its line.
//
// Exit status: 0 when everything succeeded, 1 when a statement or text failed, 2 for a usage
// error.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zorvic-sql/CheckRunner.h"
#include "tools/zorvic-sql/FolderSchemaSource.h"
#include "tools/zorvic-sql/LineInput.h"
#include "tools/zorvic-sql/SqlSession.h"
#include "tools/zorvic-sql/SqlShell.h"

namespace {

const char* const kUsage =
    "usage: zorvic-sql DIR [-c TEXT | -f FILE] [--changes] [--bail]\n"
    "       zorvic-sql --check DIR [--explain]\n"
    "       zorvic-sql --help\n";

void Help() {
  std::cout << kUsage
            << "\n"
               "Runs SQL on the database folder DIR (created when missing), one statement at a\n"
               "time: from standard input, from TEXT (-c) or from FILE (-f). Statements end at\n"
               "\";\"; a \";\" inside a literal or a comment does not end one.\n"
               "\n"
               "Every result prints as a line of column names and one line per row, the\n"
               "fields separated by tabs, then an empty line. NULL is \\N; text escapes \\\\,\n"
               "\\t, \\n and \\r; binary values are \\x and hex digits; dates are YYYY-MM-DD and\n"
               "Booleans True/False. A failing statement prints its engine message on\n"
               "standard error, and the script goes on.\n"
               "\n"
               "Options (before or after DIR):\n"
               "  -c TEXT       run the statements of TEXT\n"
               "  -f FILE       run the statements of FILE\n"
               "  --changes     print \"N rows affected\" after statements without a result\n"
               "  --bail        stop at the first failing statement\n"
               "  --check DIR   check texts against the tables of DIR without running them\n"
               "  --explain     with --check: print the parse result of every statement\n"
               "  --help        show this text\n"
               "\n"
               "On a terminal the shell is interactive: a prompt, line editing and history\n"
               "(kept in ~/.zorvic_sql_history); a statement may span lines until its \";\".\n"
               "Commands on a line of their own:\n"
            << zorvic::DotCommandHelp()
            << "\n"
               "Exit status: 0 when every statement succeeded, 1 when one failed, 2 for a\n"
               "usage error.\n";
}

int UsageError(const std::string& message) {
  std::cerr << "zorvic-sql: " << message << "\n" << kUsage;
  return 2;
}

struct TArguments {
  std::vector<std::string> Positional;
  std::string CheckFolder;
  bool Check = false;
  bool Explain = false;
  bool Changes = false;
  bool Bail = false;
  bool Help = false;
  bool HasText = false;
  std::string Text;
  bool HasFile = false;
  std::string File;
};

// Parses the arguments; returns an error message, or empty.
std::string ParseArguments(const std::vector<std::string_view>& args, TArguments& a) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    auto value = [&](std::string& target) -> bool {
      if (i + 1 >= args.size()) return false;
      target = std::string(args[++i]);
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      a.Help = true;
    } else if (arg == "--check") {
      if (a.Check || !value(a.CheckFolder)) return "--check needs a folder";
      a.Check = true;
    } else if (arg == "--explain") {
      a.Explain = true;
    } else if (arg == "--changes") {
      a.Changes = true;
    } else if (arg == "--bail") {
      a.Bail = true;
    } else if (arg == "-c") {
      if (a.HasText || a.HasFile || !value(a.Text)) return "-c needs one TEXT";
      a.HasText = true;
    } else if (arg == "-f") {
      if (a.HasText || a.HasFile || !value(a.File)) return "-f needs one FILE";
      a.HasFile = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option " + std::string(arg);
    } else {
      a.Positional.emplace_back(arg);
    }
  }
  return {};
}

int RunCheck(const TArguments& a) {
  if (!a.Positional.empty() || a.HasText || a.HasFile || a.Changes || a.Bail)
    return UsageError("--check takes only its folder and --explain");
  std::string folder = a.CheckFolder;
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) {
    std::cerr << "zorvic-sql: " << folder << " is not a folder\n";
    return 2;
  }
  if (folder.back() != '/') folder += '/';
  zorvic::TCheckRunner runner(folder, a.Explain);
  return zorvic::RunShell(std::cin, std::cout, runner);
}

int RunSql(const TArguments& a) {
  if (a.Explain) return UsageError("--explain goes with --check");
  if (a.Positional.size() != 1) return UsageError("give one database folder");
  std::string folder = a.Positional[0];
  std::error_code error;
  if (!std::filesystem::exists(folder, error)) std::filesystem::create_directories(folder, error);
  if (!std::filesystem::is_directory(folder, error)) {
    std::cerr << "zorvic-sql: " << folder << " is not a folder"
              << (error ? " (" + error.message() + ")" : std::string()) << "\n";
    return 2;
  }
  if (folder.back() != '/') folder += '/';

  std::unique_ptr<zorvic::TLineInput> input;
  std::istringstream text(a.Text);
  std::ifstream file;
  bool interactive = false;
  if (a.HasText) {
    input = zorvic::StreamInput(text);
  } else if (a.HasFile) {
    file.open(a.File, std::ios::binary);
    if (!file) {
      std::cerr << "zorvic-sql: cannot read " << a.File << "\n";
      return 2;
    }
    input = zorvic::StreamInput(file);
  } else if (::isatty(STDIN_FILENO)) {
    interactive = true;
    const char* home = std::getenv("HOME");
    input = zorvic::TerminalInput(home && *home ? std::string(home) + "/.zorvic_sql_history"
                                                : std::string());
  } else {
    input = zorvic::StreamInput(std::cin);
  }
  zorvic::TShellOptions options;
  options.Changes = a.Changes;
  options.Bail = a.Bail;
  if (interactive)
    std::cout << "zorvic-sql on " << folder << " (.help lists the commands)" << std::endl;
  int status;
  {
    zorvic::TSqlSession session(folder, options, std::cout, std::cerr);
    status = zorvic::RunScript(*input, session, a.Bail);
  }
  if (interactive) std::cout << std::endl;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  TArguments a;
  const std::string error = ParseArguments(args, a);
  if (!error.empty()) return UsageError(error);
  if (a.Help) {
    Help();
    return 0;
  }
  try {
    if (a.Check) return RunCheck(a);
    return RunSql(a);
  } catch (const std::exception& e) {
    std::cerr << "zorvic-sql: " << e.what() << "\n";
    return 1;
  }
}

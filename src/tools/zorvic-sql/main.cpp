// zorvic-sql: the SQL shell of the engine.
//
//   zorvic-sql --check DIR [--explain]
//     Reads SQL texts from standard input, one per line (a line may hold several statements
//     separated by ";"; empty lines are skipped), parses every statement and binds its names
//     against the tables in DIR without executing anything, and prints one line per text:
//     "OK" or the engine error message of the first failing statement. With --explain the
//     parse result of every statement is printed before its line. Exit status 0 when every
//     text is OK, 1 otherwise, 2 for a usage error.
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zorvic-sql/CheckRunner.h"
#include "tools/zorvic-sql/FolderSchemaSource.h"
#include "tools/zorvic-sql/SqlShell.h"

namespace {

int Usage() {
  std::cerr << "usage: zorvic-sql --check DIR [--explain]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  std::string folder;
  bool check = false;
  bool explain = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--check" && i + 1 < args.size()) {
      check = true;
      folder = std::string(args[++i]);
    } else if (args[i] == "--explain") {
      explain = true;
    } else {
      return Usage();
    }
  }
  if (!check) return Usage();
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) {
    std::cerr << "zorvic-sql: " << folder << " is not a folder\n";
    return 2;
  }
  if (folder.back() != '/') folder += '/';
  std::ios::sync_with_stdio(false);
  zorvic::TCheckRunner runner(std::make_unique<zorvic::TFolderSchemaSource>(folder), folder,
                              explain);
  return zorvic::RunShell(std::cin, std::cout, runner);
}

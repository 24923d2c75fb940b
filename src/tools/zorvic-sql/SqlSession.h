// The executing side of the SQL shell: one database folder, statements run one at a time
// through the query component, results printed as rows, and the dot-commands.
//
// Output: for each result set the column names separated by tabs, one line per row in the
// text form of table dumps (DumpText.h), then one empty line. Statements without a result
// print nothing, or "N rows affected" when asked. A failing statement writes its full engine
// message as one line to the error stream.
//
// Thread safety: one session per thread (it uses the engine's default session).
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "engine/sql/query/Query.h"

namespace zorvic {

struct TShellOptions {
  bool Changes = false;  // print "N rows affected" after statements without a result
  bool Bail = false;     // stop at the first failing statement
  bool Timer = false;    // print the run time after every statement
};

class TSqlSession {
 public:
  // folder: the database folder (created by the caller).
  TSqlSession(std::string folder, TShellOptions options, std::ostream& out, std::ostream& err);
  ~TSqlSession();

  // Runs one statement; false when it failed.
  bool RunStatement(const std::string& text);
  // Runs a dot-command line (".tables", ".schema T", ...). Returns false when it failed; sets
  // quit for ".quit" and ".exit".
  bool RunDotCommand(const std::string& line, bool& quit);

  TShellOptions& Options() { return Options_; }

 private:
  void PrintResult();
  void PrintError(const std::string& message);
  bool ListTables();
  bool ShowSchema(const std::string& table);
  bool ShowIndexes(const std::string& table);

  std::string Folder_;
  TShellOptions Options_;
  std::ostream& Out_;
  std::ostream& Err_;
  std::unique_ptr<engine::TVELDORQuery> Query_;
};

// The help text of the dot-commands.
const char* DotCommandHelp();

}  // namespace zorvic

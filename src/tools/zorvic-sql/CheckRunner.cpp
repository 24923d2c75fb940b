#include "tools/zorvic-sql/CheckRunner.h"

#include <ostream>

#include "engine/sql/QueryStatement.h"
#include "engine/sql/parse/ScriptChecker.h"
#include "engine/sql/parse/StatementParser.h"
#include "engine/storage/EngineError.h"
#include "tools/zorvic-sql/FolderSchemaSource.h"

namespace zorvic {

namespace {

// The error the statement parser gives for a text without a statement (blanks and comments
// only), or empty when the text holds a statement.
std::string MissingStatementError(std::string_view text, const std::string& folder) {
  try {
    engine::TQueryStatement statement(folder);
    statement.Prepare(text);
    if (statement.MasterQuery() != nullptr) return {};
    // The lexer is at the end of the text: parsing a statement there raises the parser's own
    // "keyword expected" error.
    engine::detail::TStatementParser parser(statement);
    parser.ParseStatement(statement.NewBlock());
  } catch (const engine::EVELDOREngineError& error) {
    return error.what();
  }
  return {};
}

}  // namespace

TCheckRunner::TCheckRunner(std::string folder, bool explain)
    : Folder_(std::move(folder)), Explain_(explain) {}

bool TCheckRunner::Run(std::string_view text, std::ostream& out) {
  // A fresh view of the folder for every text: nothing a text checked was run.
  TFolderSchemaSource tables(Folder_);
  engine::TScriptChecker checker(tables, Folder_);
  std::string explanation;
  std::string error = checker.Check(text, Explain_ ? &explanation : nullptr);
  if (error.empty()) error = MissingStatementError(text, Folder_);
  if (Explain_) out << explanation;
  if (error.empty()) {
    out << "OK\n";
    return true;
  }
  // The answer is one line: a message never spans lines.
  std::string line = error;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  out << line << '\n';
  return false;
}

}  // namespace zorvic

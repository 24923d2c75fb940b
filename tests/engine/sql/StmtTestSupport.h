// Shared helpers of the statement parser tests: the server's schema script, a checker whose
// overlay holds the server's tables, and one-call parse and check helpers.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "app/SharedSchema.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SchemaSource.h"
#include "engine/sql/parse/ScriptChecker.h"

namespace zorvic::engine::test {

// The server's schema script (seven statements, each ended by ";") and a user's mailbox
// table, exactly as the server runs them.
inline constexpr std::string_view kSchemaScript = kSharedSchemaScript;
inline constexpr std::string_view kMessagesTable = kMessagesTableStatement;

inline constexpr std::string_view kSqlErrorPrefix = "VELDOR Engine Error # 11949 SQL error - ";

// A checker over no files whose overlay holds the shared tables and Messages (database "").
class TServerTables {
 public:
  TServerTables() : Checker_(None_, "") {
    Require(Checker_.Check(kSchemaScript));
    Require(Checker_.Check(kMessagesTable));
  }

  // "" when the text parses and binds, else the full error message.
  std::string Check(std::string_view text) { return Checker_.Check(text); }
  std::string Explain(std::string_view text, std::string* error = nullptr) {
    std::string explanation;
    std::string message = Checker_.Check(text, &explanation);
    if (error != nullptr) *error = message;
    return explanation;
  }
  TSchemaSource& Schema() { return Checker_.Schema(); }

 private:
  static void Require(const std::string& error) {
    if (!error.empty()) throw std::runtime_error("schema script failed: " + error);
  }

  TEmptySchemaSource None_{""};
  TScriptChecker Checker_;
};

// Parses the first statement of the text without binding.
inline std::unique_ptr<TQueryStatement> ParseOnly(std::string_view text) {
  auto statement = std::make_unique<TQueryStatement>();
  statement->Prepare(text);
  return statement;
}

// The full message of the error the parse (without binding) raises, or "".
inline std::string ParseError(std::string_view text) {
  try {
    TQueryStatement statement;
    statement.Prepare(text);
    while (!statement.AtEnd())
      statement.ParseNext();
    return {};
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace zorvic::engine::test

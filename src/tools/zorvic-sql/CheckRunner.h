// The "--check" runner of the SQL shell: parses and binds each text against the tables of a
// folder without executing anything, and answers "OK" or the engine error message of the
// first failing statement.
//
// Thread safety: one runner per thread.
#pragma once

#include <memory>
#include <string>

#include "engine/sql/SchemaSource.h"
#include "engine/sql/ScriptChecker.h"
#include "tools/zorvic-sql/SqlShell.h"

namespace zorvic {

class TCheckRunner : public TSqlRunner {
 public:
  // With explain, the text form of every statement is printed before the answer line.
  TCheckRunner(std::unique_ptr<engine::TSchemaSource> tables, std::string folder, bool explain);

  bool Run(std::string_view text, std::ostream& out) override;

 private:
  std::unique_ptr<engine::TSchemaSource> Tables_;
  engine::TScriptChecker Checker_;
  bool Explain_;
};

}  // namespace zorvic

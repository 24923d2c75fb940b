// Checking SQL texts without running them.
//
// TScriptChecker parses every statement of a text and binds it against the tables of a
// schema source, exactly as preparing the statement for execution would, but executes
// nothing. The effect of DDL statements (tables created, altered or dropped) is kept in an
// overlay for the life of the checker, so later statements (of the same text or of later
// texts) bind as they would after the DDL had run. The SQL shell's "--check" mode is built
// on it.
//
// Thread safety: a checker is used by one thread at a time.
#pragma once

#include <string>
#include <string_view>

#include "engine/sql/QueryStatement.h"
#include "engine/sql/SchemaSource.h"

namespace zorvic::engine {

class TScriptChecker {
 public:
  // databaseFolder is the folder of the statements' database, used in table file names.
  TScriptChecker(TSchemaSource& base, std::string databaseFolder);

  // Checks every statement of the text. Returns the empty text when all are sound, else the
  // full engine error message of the first failing statement (later statements are not
  // checked). With explain, the text form of every checked statement is appended to it.
  std::string Check(std::string_view text, std::string* explain = nullptr);

  TSchemaOverlay& Schema() { return Overlay_; }

 private:
  void ApplyDefinition(const TDataQuery& block);

  std::string DatabaseFolder_;
  TSchemaOverlay Overlay_;
};

}  // namespace zorvic::engine

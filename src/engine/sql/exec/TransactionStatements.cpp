#include "engine/sql/exec/TransactionStatements.h"

#include "engine/storage/DataDirectory.h"
#include "engine/storage/EngineError.h"

namespace zorvic::engine {

std::string TransactionDatabaseName(const TDataDirectory& database) {
  return database.InMemory() ? std::string("Memory") : database.Path();
}

void ExecuteTransactionStatement(TDataDirectory& /*database*/, TDataQuery& block) {
  RaiseSQLError(std::string(StatementKindName(block.Kind)) + " is not available yet");
}

}  // namespace zorvic::engine

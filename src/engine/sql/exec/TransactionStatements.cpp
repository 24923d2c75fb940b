#include "engine/sql/exec/TransactionStatements.h"

#include "engine/storage/EngineError.h"
#include "engine/storage/files/DataDirectory.h"

namespace zorvic::engine {

std::string TransactionDatabaseName(const TDataDirectory& database) {
  if (database.InMemory()) return "Memory";
  std::string name = database.Path();
  if (name.size() > 1 && name.back() == '/') name.pop_back();
  return name;
}

void ExecuteTransactionStatement(TDataDirectory& database, TDataQuery& block) {
  switch (block.Kind) {
    case TStatementKind::StartTransaction:
      if (database.InTransaction()) {
        RaiseSQLError("Transaction already in progress for database '" +
                      TransactionDatabaseName(database) + "'");
      }
      database.StartTransaction();
      return;
    case TStatementKind::Commit:
    case TStatementKind::Rollback:
      if (!database.InTransaction()) {
        RaiseSQLError("Transaction not in progress for database '" +
                      TransactionDatabaseName(database) + "'");
      }
      if (block.Kind == TStatementKind::Commit) {
        database.Commit(true, block.Flush);
      } else {
        database.Rollback();
      }
      return;
    default:
      RaiseSQLError(std::string("Internal error: ") + StatementKindName(block.Kind) +
                    " is not a transaction statement");
  }
}

}  // namespace zorvic::engine

// Execution of START TRANSACTION, COMMIT [WORK] [FLUSH] and ROLLBACK [WORK].
//
// The transaction lives in the database (TDataDirectory) and outlasts the statement: a later
// statement on the same database sees it until COMMIT or ROLLBACK. The messages name the
// database by the folder path of its data directory ("Memory" for the in-memory database).
//
// Thread safety: the database belongs to the calling thread.
#pragma once

#include "engine/sql/DataQuery.h"

namespace zorvic::engine {

class TDataDirectory;

// Runs a block of kind StartTransaction, Commit or Rollback. Raises 11949 with
// "Transaction already in progress for database '...'" or
// "Transaction not in progress for database '...'".
void ExecuteTransactionStatement(TDataDirectory& database, TDataQuery& block);

// The name of a database in the transaction messages.
std::string TransactionDatabaseName(const TDataDirectory& database);

}  // namespace zorvic::engine

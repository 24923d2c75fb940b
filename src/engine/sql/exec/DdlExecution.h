// Execution of the DDL statements: CREATE TABLE, ALTER TABLE, DROP TABLE, CREATE INDEX and
// DROP INDEX.
//
// The statement must be bound (BindStatement), so that the column and index definitions of
// the block carry their field numbers and the binder's checks have run. ExecuteDdl turns the
// parsed definitions into the storage engine's field and index definitions and calls the
// database's create, add-index, delete-index, restructure and delete operations. Tables that
// a statement opens exclusively are closed again before it returns, also when it fails.
// Failures raise EVELDOREngineError: 11949 for the SQL layer's messages, the engine's own
// codes (table exists, table missing, exclusive access, index exists) otherwise.
//
// Thread safety: the database and the statement belong to the calling thread.
#pragma once

#include "engine/sql/DataQuery.h"
#include "engine/sql/QueryStatement.h"

namespace zorvic::engine {

class TDataDirectory;

// Runs the block of kind CreateTable, AlterTable, DropTable, CreateIndex or DropIndex against
// the database. Sets nothing on the statement but RowsAffected (0).
void ExecuteDdl(TDataDirectory& database, TQueryStatement& statement, TDataQuery& block);

}  // namespace zorvic::engine

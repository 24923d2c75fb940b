// Binding of whole statements: every name of every clause resolved against the tables.
//
// BindStatement binds the blocks of the statement's current statement, last created first,
// so IN sub-selects and UNION parts are bound before the blocks that use them. Binding loads
// each source table's definition from the TSchemaSource (a missing table raises the engine's
// error for it), expands "*", binds every expression with its clause's context and switches,
// fixes result column types and names, resolves ORDER BY and GROUP BY, checks target
// columns and values of INSERT and UPDATE, and the columns that DDL statements name. Errors
// are engine error 11949 with the messages of the statement and expression grammar.
//
// Thread safety: one statement, one thread.
#pragma once

#include <memory>

#include "engine/sql/DataQuery.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SchemaSource.h"

namespace zorvic::engine {

void BindStatement(TQueryStatement& statement, TSchemaSource& schema);

// The definition a bound CREATE TABLE creates.
std::shared_ptr<TTableSchema> SchemaOfCreateTable(const TDataQuery& block);
// The definition of a table after a bound ALTER TABLE (the block's checks raise their
// messages: missing columns, AT positions, primary key redefinition, index columns).
std::shared_ptr<TTableSchema> SchemaAfterAlterTable(const TTableSchema& table,
                                                    const TDataQuery& block);

// The value size of a table column as an expression sees it (a VARCHAR(n) holds n + 1 bytes).
std::int32_t ExpressionSizeOf(const TSchemaField& field);

}  // namespace zorvic::engine

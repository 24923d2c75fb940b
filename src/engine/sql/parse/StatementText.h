// The stable text form of a parsed (and possibly bound) statement.
//
// One line per fact, indented by nesting: the statement kind, every block with its role,
// flags and clauses, and every expression tree node by node with its bound type. Golden
// tests compare it with checked-in expectations, and "zorvic-sql --check" prints it for
// debugging, so the form changes only when the parse result itself changes.
//
// Thread safety: reads the statement only; one thread.
#pragma once

#include <string>

#include "engine/sql/DataQuery.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/parse/ExpToken.h"

namespace zorvic::engine {

// The current statement of the query statement, every block in creation order.
std::string StatementText(const TQueryStatement& statement);

// One expression tree, each line starting with indent.
std::string ExpressionText(const TExpToken& tree, const std::string& indent = {});

// "String[33]", "Integer/AutoInc", "BCD[34,2]", "NULL".
std::string TypeText(TDataType type, TSubType subType, std::int32_t size, std::int32_t scale);

}  // namespace zorvic::engine

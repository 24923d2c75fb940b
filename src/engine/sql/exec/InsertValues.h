// Appending the records of INSERT ... VALUES and INSERT ... SELECT.
//
// A new record starts from the table's defaults (TDataCursor::InitRecord); each target column
// of the bound block (UpdateFields) then receives its value: NULL clears the field, BLOB and
// memo columns take the value's bytes, every other value is converted to the column type as
// CAST does. A value that cannot be converted raises 11949 "Type mismatch between column
// <name> and constant value <text> in INSERT statement" and nothing is appended. The
// auto-increment assignment of the target cursor follows the block's NOAUTOINC flag. The
// append itself runs the cursor's checks (required, minimum, maximum, unique keys).
//
// A failed statement inside an active transaction leaves the transaction as it was before
// the statement (TImplicitTransaction, DmlTransaction.h).
//
// Thread safety: the cursor, the block and the context belong to the calling thread.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/sql/DataQuery.h"
#include "engine/sql/eval/Evaluator.h"

namespace zorvic::engine {

class TDataCursor;

// INSERT ... VALUES: evaluates block.UpdateValues (no current record) into a new record of the
// open target cursor and appends it. Returns the rows affected (1).
std::int32_t ExecuteInsertValues(TDataCursor& target, TDataQuery& block,
                                 const TEvalContext& context);

// INSERT ... SELECT, one result row: values[i] (evaluated values of the source row, one per
// target column, in the order of block.UpdateFields) fills target column i of a new record,
// which is appended to the open target cursor. The message text of a failed conversion is the
// value's text form (ValueToText). The caller counts the row and drives the implicit
// transaction.
void AppendInsertRecord(TDataCursor& target, const TDataQuery& block,
                        const std::vector<const TExpToken*>& values);

}  // namespace zorvic::engine

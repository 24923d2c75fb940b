// The row loops of UPDATE, DELETE and INSERT ... SELECT.
//
// UPDATE and DELETE distribute their WHERE condition and joins like a SELECT, with the target
// table always driving, and first collect the qualifying target records (for UPDATE with the
// new values, evaluated against the record and its joined records as they were). Only then
// are the records changed, each through its record number, so a change that moves a record
// in the cursor's order can never make it qualify twice, and a record joined to several rows
// is changed once. The changes run in the statement's implicit transaction, which commits
// every interval rows; an error cancels the record's change and rolls the transaction back.
// INSERT ... SELECT runs its SELECT to rows first and then appends them.
//
// Aborting through the progress callback fails the statement with kStatementAborted (SQL
// error 11949), like any other failure: outside a transaction the rows since the last
// intermediate commit are rolled back (the committed batches stay), inside START TRANSACTION
// the statement's own changes since its last intermediate commit are undone and the
// transaction goes on. An INSERT ... SELECT aborted while its SELECT runs appends nothing.
//
// Thread safety: the block executions and the cursors belong to the calling thread.
#pragma once

#include <cstdint>

#include "engine/sql/exec/Select.h"

namespace zorvic::engine {

inline constexpr const char* kStatementAborted = "Statement aborted";

// Return the rows affected.
std::int32_t ExecuteUpdate(TBlockExecution& target, const TExecParams& params);
std::int32_t ExecuteDelete(TBlockExecution& target, const TExecParams& params);
std::int32_t ExecuteInsertSelect(TBlockExecution& target, TBlockExecution& source,
                                 const TExecParams& params);

}  // namespace zorvic::engine

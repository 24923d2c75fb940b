// Execution of one query block: its open tables, the rows of a SELECT, live results.
//
// A TBlockExecution opens the block's source tables when the statement is prepared and keeps
// them until it is released. Each run of a SELECT block drops the conditions of the previous
// run, distributes the WHERE and JOIN conditions (Join.h), produces the combined rows, groups
// and aggregates them (Aggregate.h), removes duplicates, sorts and cuts them. TOP and the
// caller's row limit cut the final result only; production stops early only when no later
// step (grouping, DISTINCT, ORDER BY, UNION) needs the rows that follow.
//
// Thread safety: a block execution belongs to one statement and one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/sql/DataQuery.h"
#include "engine/sql/eval/Evaluator.h"
#include "engine/sql/exec/Join.h"
#include "engine/sql/exec/ResultTable.h"
#include "engine/sql/exec/SourceTables.h"

namespace zorvic::engine {

class TDataDirectory;

// What one execution of a statement gives every block.
struct TExecParams {
  const TStatementClock* Clock = nullptr;
  const std::function<void(int, bool&)>* Progress = nullptr;
  int ProgressStep = 20;
};

class TBlockExecution {
 public:
  TBlockExecution(TDataDirectory& database, TDataQuery& block, const TSubSelectResults& subSelects);
  ~TBlockExecution();
  TBlockExecution(const TBlockExecution&) = delete;
  TBlockExecution& operator=(const TBlockExecution&) = delete;

  // Opens the source tables (and those of LASTAUTOINC and IDENT_CURRENT), taking over the
  // cursors the binding's schema source opened on them.
  void Open(TExecSchemaSource& opened);

  TDataQuery& Block() const { return Block_; }
  std::vector<std::unique_ptr<TTableRun>>& Runs() { return Runs_; }
  TBlockValues& Values() { return Values_; }
  TJoinPlan& Plan() { return Plan_; }
  // The evaluation context of the block: its collation, its values and the statement clock.
  TEvalContext Context(const TExecParams& params);

  // The rows of a SELECT block. finalSteps: also sort and apply TOP; maxRows (-1: none) then
  // limits the result.
  std::vector<TRow> SelectRows(const TExecParams& params, bool finalSteps, std::int32_t maxRows);
  // Sorts by the ORDER BY items and applies TOP and maxRows.
  void OrderAndLimit(std::vector<TRow>& rows, const TExecParams& params, std::int32_t maxRows);

  // Whether the master block can give its table's own cursor as the result.
  bool CanBeLive(bool requestLive, std::size_t blockCount) const;
  // Installs the WHERE condition as the cursor's filter and selects the ORDER BY index;
  // returns the cursor, on its first record.
  TDataCursor* MakeLive(const TExecParams& params);

 private:
  int OrderByIndexSlot() const;

  TDataDirectory& Database_;
  TDataQuery& Block_;
  std::vector<std::unique_ptr<TTableRun>> Runs_;
  std::vector<std::unique_ptr<TTableRun>> AutoIncRuns_;
  TBlockValues Values_;
  TJoinPlan Plan_;
};

// Releases the table read locks of WITH LOCKS at the end of an execution.
class TTableReadLocks {
 public:
  TTableReadLocks(std::vector<std::unique_ptr<TTableRun>>& runs, bool take);
  ~TTableReadLocks();
  TTableReadLocks(const TTableReadLocks&) = delete;
  TTableReadLocks& operator=(const TTableReadLocks&) = delete;

 private:
  std::vector<TDataCursor*> Locked_;
};

}  // namespace zorvic::engine

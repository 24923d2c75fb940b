// The open source tables of a query block and the values their current records supply.
//
// Every TSourceTable of a block (and every table named by LASTAUTOINC or IDENT_CURRENT) gets
// a TTableRun: the table's database, a cursor on it, the record buffer the cursor reads into
// and a flag for the NULL row that an outer join supplies when nothing matches. TBlockValues
// is the value fetcher of evaluation over those runs; it also answers IN sub-selects from
// their executed results. Single-table conditions become filters of a run's cursor.
//
// Thread safety: runs, their cursors and fetchers belong to one statement and one thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "engine/sql/DataQuery.h"
#include "engine/sql/eval/Evaluator.h"
#include "engine/sql/exec/ExecSchema.h"
#include "engine/sql/exec/ResultTable.h"

namespace zorvic::engine {

class TDataCursor;

struct TTableRun {
  TSourceTable* Source = nullptr;
  std::unique_ptr<TDatabaseUse> Database;
  std::unique_ptr<TDataCursor> Cursor;
  std::vector<std::uint8_t> Record;
  bool NullRow = false;  // the outer join's row of NULLs stands for this table

  TTableRun();
  ~TTableRun();
};

// The executed IN sub-selects of a statement: their first result column, sorted.
class TSubSelectResults {
 public:
  void Put(TDataQuery* block, std::vector<TRow> rows, const TEvalContext& context);
  bool Contains(TDataQuery* block, const TExpToken& value) const;
  void Clear() { Results_.clear(); }

 private:
  struct TResult {
    std::vector<TCell> Values;
    TDataType Type = dtNull;
    TSubType SubType = stNone;
    std::int32_t Size = 0;
    std::int32_t Scale = 0;
    TEvalContext Context;
  };
  std::map<TDataQuery*, TResult> Results_;
};

class TBlockValues : public TValueFetcher {
 public:
  TBlockValues(std::vector<std::unique_ptr<TTableRun>>& runs,
               std::vector<std::unique_ptr<TTableRun>>& autoIncRuns,
               const TSubSelectResults& subSelects)
      : Runs_(runs), AutoIncRuns_(autoIncRuns), SubSelects_(subSelects) {}

  void FetchColumn(const TExpToken& column, TExpToken& out) override;
  bool SubSelectContains(TDataQuery* subSelect, const TExpToken& value) override;
  std::int64_t LastAutoInc(void* sourceTable) override;

  TTableRun* RunOf(const void* sourceTable) const;

 private:
  std::vector<std::unique_ptr<TTableRun>>& Runs_;
  std::vector<std::unique_ptr<TTableRun>>& AutoIncRuns_;
  const TSubSelectResults& SubSelects_;
};

// Opens a run for each table (cursor in the table's database; the record buffer sized),
// taking over the cursor the binding's schema source opened on it when one is left.
void OpenTableRuns(TDataDirectory& statementDatabase,
                   const std::vector<std::unique_ptr<TSourceTable>>& tables,
                   std::vector<std::unique_ptr<TTableRun>>& runs, TExecSchemaSource& opened);

// Installs a single-table condition (a tree of the block, not owned) as a filter of the run's
// cursor: prepared for repeated evaluation with the block's collation and clock.
void InstallTableCondition(TTableRun& run, const TExpToken& condition, const TEvalContext& context);

}  // namespace zorvic::engine

#include "engine/sql/exec/SourceTables.h"

#include <algorithm>

#include "engine/sql/eval/RecordValues.h"
#include "engine/sql/filter/ConditionFilter.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/cursors/DataCursor.h"

namespace zorvic::engine {

TTableRun::TTableRun() = default;

TTableRun::~TTableRun() {
  if (Cursor) {
    try {
      Cursor->Close();
    } catch (...) {
      // Closing releases locks and memory only; nothing is lost when it fails.
    }
    Cursor.reset();
  }
}

// --- IN sub-selects ------------------------------------------------------------------------

void TSubSelectResults::Put(TDataQuery* block, std::vector<TRow> rows,
                            const TEvalContext& context) {
  TResult result;
  result.Context = context;
  result.Context.Fetcher = nullptr;
  if (!block->ResultFields.empty()) {
    const TResultField& field = *block->ResultFields.front();
    result.Type = field.DataType;
    result.SubType = field.SubType;
    result.Size = field.Size;
    result.Scale = field.Scale;
  }
  for (TRow& row : rows) {
    if (!row.empty()) result.Values.push_back(std::move(row.front()));
  }
  TRowComparer comparer({{0, false}}, result.Context, false);
  std::vector<TRow> sorted;
  sorted.reserve(result.Values.size());
  for (TCell& cell : result.Values)
    sorted.push_back(TRow{std::move(cell)});
  std::sort(sorted.begin(), sorted.end(),
            [&](const TRow& a, const TRow& b) { return comparer.Less(a, b); });
  result.Values.clear();
  for (TRow& row : sorted)
    result.Values.push_back(std::move(row.front()));
  Results_[block] = std::move(result);
}

bool TSubSelectResults::Contains(TDataQuery* block, const TExpToken& value) const {
  auto found = Results_.find(block);
  if (found == Results_.end()) RaiseSQLError("Internal error: sub-select was not executed");
  const TResult& result = found->second;
  // The tested value in the result column's type, so the comparison is exact.
  TExpTokenPtr probe = NewExpToken();
  AssignValue(*probe, value);
  if (!probe->IsNull && probe->DataType != result.Type && result.Type != dtNull) {
    if (!ConvertValue(*probe, result.Type, result.SubType, 0, result.Scale)) return false;
  }
  TCell cell;
  CellFromValue(*probe, cell);
  TRowComparer comparer({{0, false}}, result.Context, false);
  const TRow key{cell};
  // Binary search over the sorted values.
  std::size_t low = 0;
  std::size_t high = result.Values.size();
  TRow candidate(1);
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    candidate[0] = result.Values[middle];
    const int order = comparer.Compare(candidate, key);
    if (order == 0) return true;
    if (order < 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return false;
}

// --- values of the current records ---------------------------------------------------------

TTableRun* TBlockValues::RunOf(const void* sourceTable) const {
  for (const auto& run : Runs_) {
    if (run->Source == sourceTable) return run.get();
  }
  for (const auto& run : AutoIncRuns_) {
    if (run->Source == sourceTable) return run.get();
  }
  return nullptr;
}

void TBlockValues::FetchColumn(const TExpToken& column, TExpToken& out) {
  TTableRun* run = RunOf(column.SourceTable);
  if (run == nullptr || !run->Cursor || column.FieldNumber < 1) {
    RaiseSQLError("Internal error: Column '" + column.ColumnName + "' specified illegally");
  }
  if (run->NullRow) {
    out.DataType = column.DataType;
    out.SubType = column.SubType;
    out.Size = column.Size;
    out.Scale = column.Scale;
    out.ReserveValue(0);
    out.IsNull = true;
    return;
  }
  FetchFieldValue(*run->Cursor, run->Record.data(), static_cast<std::uint32_t>(column.FieldNumber),
                  out);
}

bool TBlockValues::SubSelectContains(TDataQuery* subSelect, const TExpToken& value) {
  return SubSelects_.Contains(subSelect, value);
}

std::int64_t TBlockValues::LastAutoInc(void* sourceTable) {
  TTableRun* run = RunOf(sourceTable);
  if (run == nullptr || !run->Cursor || !run->Cursor->IsOpen()) {
    RaiseSQLError("Illegal use of LASTAUTOINC() or IDENT_CURRENT() functions");
  }
  run->Cursor->Refresh();
  return run->Cursor->Table().Data().LastAutoInc();
}

void OpenTableRuns(TDataDirectory& statementDatabase,
                   const std::vector<std::unique_ptr<TSourceTable>>& tables,
                   std::vector<std::unique_ptr<TTableRun>>& runs, TExecSchemaSource& opened) {
  for (const auto& table : tables) {
    auto run = std::make_unique<TTableRun>();
    run->Source = table.get();
    if (!opened.TakeOpened(table->Ref(), &run->Database, &run->Cursor)) {
      run->Database = std::make_unique<TDatabaseUse>(statementDatabase, table->Ref());
      run->Cursor = std::make_unique<TDataCursor>(run->Database->Database());
      run->Cursor->Open(table->TableName, run->Database->InMemory());
    }
    run->Record.assign(run->Cursor->RecordSize(), 0);
    runs.push_back(std::move(run));
  }
}

void InstallTableCondition(TTableRun& run, const TExpToken& condition,
                           const TEvalContext& context) {
  // The cursor layer answers what it can through the table's indexes.
  AddConditionFilter(*run.Cursor, PrepareCondition(condition, true, false, context), context);
}

}  // namespace zorvic::engine

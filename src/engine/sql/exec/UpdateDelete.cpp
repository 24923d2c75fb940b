#include "engine/sql/exec/UpdateDelete.h"

#include <functional>
#include <optional>

#include "engine/sql/eval/RecordValues.h"
#include "engine/sql/exec/DmlTransaction.h"
#include "engine/sql/exec/InsertValues.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/cursors/DataCursor.h"

namespace zorvic::engine {
namespace {

struct TQualifying {
  std::int32_t RecordNo = 0;
  TRow Values;  // UPDATE: the new values, one per SET column
};

// Collects the target records that pass the condition (each once).
std::vector<TQualifying> CollectTargets(TBlockExecution& target, const TExecParams& params,
                                        bool withValues) {
  TDataQuery& block = target.Block();
  TTableRun& run = *target.Runs().front();
  // Record-number order: record numbers stay valid while records change.
  run.Cursor->SetIndex(TDataCursor::kNoIndex);
  const TEvalContext context = target.Context(params);
  target.Plan().Build(block, target.Runs(), context, &run);
  std::vector<TQualifying> found;
  TProgressReport none(nullptr, params.ProgressStep);
  target.Plan().Run(
      [&] {
        TQualifying item;
        item.RecordNo = run.Cursor->CurrentRecordNo();
        if (withValues) {
          item.Values.resize(block.UpdateValues.size());
          for (std::size_t i = 0; i < block.UpdateValues.size(); ++i) {
            TExpTokenPtr value = Evaluate(*block.UpdateValues[i].Value, context);
            CellFromValue(*value, item.Values[i]);
          }
        }
        found.push_back(std::move(item));
        return TRowAction::NextDriverRow;
      },
      none);
  run.Cursor->DropAllFilters();
  return found;
}

// Positions the cursor on the record; false when it is gone.
bool GoToRecord(TDataCursor& cursor, std::int32_t recordNo, std::uint8_t* buffer) {
  if (cursor.GoToRecordSlot(recordNo) != VELDOR_NONE) return false;
  if (cursor.CurrentRecordNo() != recordNo) return false;
  return cursor.GetCurrent(buffer) == VELDOR_NONE;
}

// The implicit transaction of an UPDATE or DELETE, left out when it changes nothing: outside
// a transaction, without FLUSH or COMMIT INTERVAL, a statement with one target record at most
// makes one change, which the table writes whole or not at all by itself.
void StartChangeTransaction(std::optional<TImplicitTransaction>& transaction, TDataCursor& cursor,
                            const TDataQuery& block, std::size_t targets) {
  if (targets > 1 || cursor.Database().InTransaction() || block.Flush || block.CommitIntervalGiven)
    transaction.emplace(cursor.Database(), block, cursor.RecordSize());
}

}  // namespace

std::int32_t ExecuteUpdate(TBlockExecution& target, const TExecParams& params) {
  TDataQuery& block = target.Block();
  TTableRun& run = *target.Runs().front();
  TDataCursor& cursor = *run.Cursor;
  cursor.SetAutoIncSuppressed(block.NoAutoInc);
  const std::vector<TQualifying> records = CollectTargets(target, params, true);

  std::optional<TImplicitTransaction> transaction;
  StartChangeTransaction(transaction, cursor, block, records.size());
  TProgressReport progress(params.Progress, params.ProgressStep);
  TExpTokenPtr value = NewExpToken();
  std::int32_t rows = 0;
  for (const TQualifying& record : records) {
    if (!progress.Report(rows, static_cast<std::int64_t>(records.size())))
      RaiseSQLError(kStatementAborted);
    if (!GoToRecord(cursor, record.RecordNo, run.Record.data())) continue;
    if (cursor.BeginEdit() != VELDOR_NONE) continue;
    try {
      for (std::size_t i = 0; i < block.UpdateFields.size(); ++i) {
        const TUpdateField& field = block.UpdateFields[i];
        const auto fieldNo = static_cast<std::uint32_t>(field.FieldNo);
        const TCell& cell = record.Values[i];
        if (cell.Null) {
          cursor.ClearField(run.Record.data(), fieldNo);
          continue;
        }
        ValueFromCell(cell, *value);
        if (!StoreFieldValue(cursor, run.Record.data(), fieldNo, *value)) {
          RaiseSQLError("Type mismatch between column " + field.ColumnName +
                        " and constant value " + ValueToText(*value) + " in UPDATE statement");
        }
      }
      cursor.ModifyRecord(run.Record.data());
    } catch (...) {
      cursor.EndEdit();
      throw;
    }
    ++rows;
    if (transaction) transaction->RowDone();
  }
  if (transaction) transaction->Finish();
  progress.Finish();
  return rows;
}

std::int32_t ExecuteDelete(TBlockExecution& target, const TExecParams& params) {
  TDataQuery& block = target.Block();
  TTableRun& run = *target.Runs().front();
  TDataCursor& cursor = *run.Cursor;
  const std::vector<TQualifying> records = CollectTargets(target, params, false);

  std::optional<TImplicitTransaction> transaction;
  StartChangeTransaction(transaction, cursor, block, records.size());
  TProgressReport progress(params.Progress, params.ProgressStep);
  std::int32_t rows = 0;
  for (const TQualifying& record : records) {
    if (!progress.Report(rows, static_cast<std::int64_t>(records.size())))
      RaiseSQLError(kStatementAborted);
    if (!GoToRecord(cursor, record.RecordNo, run.Record.data())) continue;
    cursor.DeleteRecord();
    ++rows;
    if (transaction) transaction->RowDone();
  }
  if (transaction) transaction->Finish();
  progress.Finish();
  return rows;
}

std::int32_t ExecuteInsertSelect(TBlockExecution& target, TBlockExecution& source,
                                 const TExecParams& params) {
  TDataQuery& block = target.Block();
  TDataCursor& cursor = *target.Runs().front()->Cursor;
  // The SELECT reports through the statement's callback too; its abort ends the statement
  // before anything is appended.
  bool sourceAborted = false;
  std::function<void(int, bool&)> sourceProgress;
  TExecParams sourceParams = params;
  if (params.Progress != nullptr && *params.Progress) {
    sourceProgress = [&](int percent, bool& abort) {
      (*params.Progress)(percent, abort);
      if (abort) sourceAborted = true;
    };
    sourceParams.Progress = &sourceProgress;
  }
  const std::vector<TRow> rows = source.SelectRows(sourceParams, true, -1);
  if (sourceAborted) RaiseSQLError(kStatementAborted);

  TImplicitTransaction transaction(cursor.Database(), block, cursor.RecordSize());
  TProgressReport progress(params.Progress, params.ProgressStep);
  std::vector<TExpTokenPtr> cells;
  std::vector<const TExpToken*> values;
  std::int32_t count = 0;
  for (const TRow& row : rows) {
    if (!progress.Report(count, static_cast<std::int64_t>(rows.size())))
      RaiseSQLError(kStatementAborted);
    while (cells.size() < row.size())
      cells.push_back(NewExpToken());
    values.clear();
    for (std::size_t i = 0; i < row.size(); ++i) {
      ValueFromCell(row[i], *cells[i]);
      values.push_back(cells[i].get());
    }
    AppendInsertRecord(cursor, block, values);
    ++count;
    transaction.RowDone();
  }
  transaction.Finish();
  progress.Finish();
  return count;
}

}  // namespace zorvic::engine

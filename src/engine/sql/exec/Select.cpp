#include "engine/sql/exec/Select.h"

#include <algorithm>

#include "engine/sql/exec/Aggregate.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/IndexFile.h"
#include "engine/storage/formats/IndexFormat.h"

namespace zorvic::engine {

TTableReadLocks::TTableReadLocks(std::vector<std::unique_ptr<TTableRun>>& runs, bool take) {
  if (!take) return;
  try {
    for (auto& run : runs) {
      run->Cursor->TakeTableReadLock();
      Locked_.push_back(run->Cursor.get());
    }
  } catch (...) {
    for (TDataCursor* cursor : Locked_)
      cursor->ReleaseTableReadLock();
    throw;
  }
}

TTableReadLocks::~TTableReadLocks() {
  for (TDataCursor* cursor : Locked_) {
    try {
      cursor->ReleaseTableReadLock();
    } catch (...) {
      // The lock goes with the table object at the latest.
    }
  }
}

TBlockExecution::TBlockExecution(TDataDirectory& database, TDataQuery& block,
                                 const TSubSelectResults& subSelects)
    : Database_(database), Block_(block), Values_(Runs_, AutoIncRuns_, subSelects) {}

TBlockExecution::~TBlockExecution() = default;

void TBlockExecution::Open(TExecSchemaSource& opened) {
  OpenTableRuns(Database_, Block_.SourceTables, Runs_, opened);
  OpenTableRuns(Database_, Block_.AutoIncTables, AutoIncRuns_, opened);
}

TEvalContext TBlockExecution::Context(const TExecParams& params) {
  TEvalContext context;
  if (!Runs_.empty()) {
    const TCollation& collation = Runs_.front()->Cursor->Collation();
    context.LanguageId = collation.LanguageId();
    context.SortId = collation.SortId();
  }
  if (Block_.LanguageGiven) context.LanguageId = Block_.LanguageId;
  if (Block_.SortGiven) context.SortId = Block_.SortId;
  context.Fetcher = &Values_;
  context.Clock = params.Clock;
  return context;
}

namespace {

bool IsCountAllOnly(const TDataQuery& block) {
  if (!block.AggregateOnly || block.SourceTables.size() != 1 || block.ResultFields.size() != 1)
    return false;
  const TExpToken& root = *block.ResultFields.front()->Expression;
  return root.NodeClass == ncFunction && root.OperatorCode == opCount &&
         root.Arguments.size() == 1 && root.Arguments.front()->NodeClass == ncColumn &&
         root.Arguments.front()->ColumnName == "*";
}

}  // namespace

std::vector<TRow> TBlockExecution::SelectRows(const TExecParams& params, bool finalSteps,
                                              std::int32_t maxRows) {
  const TEvalContext context = Context(params);
  TTableReadLocks locks(Runs_, Block_.WithLocks);
  Plan_.Build(Block_, Runs_, context, nullptr);
  TProgressReport progress(params.Progress, params.ProgressStep);
  std::vector<TRow> rows;

  if (IsCountAllOnly(Block_)) {
    // The records passing the table's filters, without reading a row.
    TExpTokenPtr count = NewExpToken();
    count->DataType = dtInteger;
    count->Size = FixedTypeSize(dtInteger);
    count->SetScalar<std::int32_t>(static_cast<std::int32_t>(Runs_.front()->Cursor->RecordCount()));
    rows.emplace_back(1);
    CellFromValue(*count, rows.back().front());
  } else if (Block_.HasGroupBy || Block_.AggregateOnly) {
    TAggregator aggregator(Block_, context);
    // The groups come out in their own order, so when nothing in them depends on the order of
    // the rows the driving table is read in file order: one run of records after another
    // instead of one record per index entry.
    struct TRestoreIndex {
      TDataCursor* Cursor = nullptr;
      int Slot = TDataCursor::kNoIndex;
      ~TRestoreIndex() {
        try {
          if (Cursor != nullptr && Cursor->IsOpen() && Cursor->IndexSlot() != Slot)
            Cursor->SetIndex(Slot);
        } catch (...) {
          // The next statement selects the index it needs.
        }
      }
    } restore;
    if (Plan_.Driver() != nullptr && Plan_.Levels().front().SeekColumn == nullptr &&
        aggregator.OrderFree()) {
      restore.Cursor = Plan_.Driver()->Cursor.get();
      restore.Slot = restore.Cursor->IndexSlot();
      restore.Cursor->SetIndex(TDataCursor::kNoIndex);
    }
    Plan_.Run(
        [&] {
          aggregator.AddRow();
          return TRowAction::Continue;
        },
        progress);
    rows = aggregator.Finish();
  } else {
    // Only a final result with nothing left to sort or merge may stop early.
    std::int64_t limit = -1;
    if (finalSteps && !Block_.Distinct && !Block_.HasOrderBy && Block_.UnionNext == nullptr) {
      if (Block_.TopCount >= 0) limit = Block_.TopCount;
      if (maxRows >= 0 && (limit < 0 || maxRows < limit)) limit = maxRows;
    }
    if (limit != 0) {
      Plan_.Run(
          [&] {
            TRow row(Block_.ResultFields.size());
            for (std::size_t i = 0; i < row.size(); ++i) {
              TExpTokenPtr value = Evaluate(*Block_.ResultFields[i]->Expression, context);
              CellFromValue(*value, row[i]);
            }
            rows.push_back(std::move(row));
            if (limit >= 0 && static_cast<std::int64_t>(rows.size()) >= limit)
              return TRowAction::Stop;
            return TRowAction::Continue;
          },
          progress);
    }
  }
  progress.Finish();
  if (Block_.Distinct) RemoveDuplicateRows(rows, context);
  if (finalSteps) OrderAndLimit(rows, params, maxRows);
  return rows;
}

void TBlockExecution::OrderAndLimit(std::vector<TRow>& rows, const TExecParams& params,
                                    std::int32_t maxRows) {
  if (Block_.HasOrderBy && !Block_.OrderByFields.empty()) {
    std::vector<TRowComparer::TKey> keys;
    for (const TOrderByField& item : Block_.OrderByFields)
      keys.push_back({item.ResultIndex, item.Descending});
    TRowComparer comparer(std::move(keys), Context(params), Block_.OrderByNoCase);
    std::stable_sort(rows.begin(), rows.end(),
                     [&](const TRow& a, const TRow& b) { return comparer.Less(a, b); });
  }
  if (Block_.TopCount >= 0 && rows.size() > static_cast<std::size_t>(Block_.TopCount))
    rows.resize(static_cast<std::size_t>(Block_.TopCount));
  if (maxRows >= 0 && rows.size() > static_cast<std::size_t>(maxRows))
    rows.resize(static_cast<std::size_t>(maxRows));
}

bool TBlockExecution::CanBeLive(bool requestLive, std::size_t blockCount) const {
  if (!requestLive || Block_.IntoGiven || Block_.Distinct || Block_.SourceTables.size() != 1 ||
      !Block_.Joins.empty() || Block_.HasGroupBy || Block_.AggregateOnly || Block_.HasHaving ||
      Block_.TopCount >= 0 || blockCount != 1 || Block_.UnionNext != nullptr) {
    return false;
  }
  // Every item a plain column of the table (the table's own cursor shows the rows).
  for (const auto& field : Block_.ResultFields) {
    if (field->IsExpression || field->Aggregate != TAggregateKind::None ||
        field->SourceTable == nullptr)
      return false;
  }
  if (!Block_.StarOnly) return false;
  return !Block_.HasOrderBy || OrderByIndexSlot() >= 0;
}

int TBlockExecution::OrderByIndexSlot() const {
  if (Runs_.empty()) return -1;
  TDataCursor& cursor = *Runs_.front()->Cursor;
  const TIndexHeader& header = cursor.Table().Index().Header();
  std::vector<int> slots;
  if (!header.NoPrimaryIndex() && header.SlotInUse(0)) slots.push_back(0);
  for (int slot = 1; slot <= header.SecondaryCount(); ++slot)
    slots.push_back(slot);
  for (int slot : slots) {
    const TIndexDescriptor d = header.Descriptor(slot);
    if (d.KeyFieldCount != Block_.OrderByFields.size()) continue;
    if (d.NoCase != Block_.OrderByNoCase) continue;
    bool same = true;
    for (std::size_t i = 0; i < Block_.OrderByFields.size() && same; ++i) {
      const TOrderByField& item = Block_.OrderByFields[i];
      const TResultField& field = *Block_.ResultFields[static_cast<std::size_t>(item.ResultIndex)];
      const bool descending = d.Descending != (d.FieldDescending[i] != 0);
      same = field.Aggregate == TAggregateKind::None && !field.IsExpression &&
             field.SourceFieldNo == d.KeyFields[i] && descending == item.Descending;
    }
    if (same) return slot;
  }
  return -1;
}

TDataCursor* TBlockExecution::MakeLive(const TExecParams& params) {
  const TEvalContext context = Context(params);
  TTableRun& run = *Runs_.front();
  TDataCursor& cursor = *run.Cursor;
  cursor.DropAllFilters();
  if (Block_.HasOrderBy) cursor.SetIndex(OrderByIndexSlot());
  if (Block_.WhereCondition != nullptr) InstallTableCondition(run, *Block_.WhereCondition, context);
  cursor.First();
  cursor.GetNext(run.Record.data());
  return &cursor;
}

}  // namespace zorvic::engine

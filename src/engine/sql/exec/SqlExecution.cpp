#include "engine/sql/exec/SqlExecution.h"

#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include "engine/sql/bind/StatementBinder.h"
#include "engine/sql/exec/DdlExecution.h"
#include "engine/sql/exec/ExecSchema.h"
#include "engine/sql/exec/InsertValues.h"
#include "engine/sql/exec/ResultTable.h"
#include "engine/sql/exec/Select.h"
#include "engine/sql/exec/TransactionStatements.h"
#include "engine/sql/exec/UpdateDelete.h"
#include "engine/sql/filter/ConditionFilter.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/formats/FieldTypes.h"
#include "engine/storage/locks/ReadCounters.h"
#include "engine/storage/locks/TableLocks.h"
#include "engine/storage/sessions/DataSession.h"

namespace zorvic::engine {

struct TSqlExecution::TImpl {
  explicit TImpl(TDataDirectory& database) : Database(database) {}

  TDataDirectory& Database;
  TStatementClock Clock;
  TSubSelectResults SubSelects;
  // One per query block of the current statement, in the statement's block order.
  std::vector<std::unique_ptr<TBlockExecution>> Blocks;
  std::unique_ptr<TResultTable> Result;
  // The last few temporary results, emptied, the newest first: a caller that alternates a
  // few statements (list, then fetch) finds a table of the right columns for each.
  static constexpr std::size_t kMaxSpareResults = 4;
  std::vector<std::unique_ptr<TResultTable>> SpareResults;
  // The read batch of the last preparation, until the execution that follows it: the two are
  // one run of reads, so the tables the preparation looked at are not looked at again.
  std::uint64_t PreparedBatch = 0;

  // A spare table for rows of these columns, opened again; null when none fits.
  std::unique_ptr<TResultTable> TakeSpare(const std::vector<TResultColumn>& columns) {
    if (SpareResults.empty()) return nullptr;
    const std::vector<TFieldDefinition> fields = ResultTableFields(columns);
    for (auto it = SpareResults.begin(); it != SpareResults.end(); ++it) {
      if (!(*it)->Reuse(fields)) continue;
      std::unique_ptr<TResultTable> spare = std::move(*it);
      SpareResults.erase(it);
      return spare;
    }
    return nullptr;
  }

  // Ends the current result: a temporary one is kept as the spare, anything else deleted.
  void RetireResult() {
    if (!Result) return;
    std::unique_ptr<TResultTable> result = std::move(Result);
    bool kept = false;
    try {
      kept = result->Retire();
    } catch (...) {
      kept = false;  // a table that cannot be emptied is deleted like any other
    }
    if (!kept) return;
    SpareResults.insert(SpareResults.begin(), std::move(result));
    if (SpareResults.size() > kMaxSpareResults) SpareResults.pop_back();
  }

  TBlockExecution* BlockOf(const TDataQuery* block) {
    for (auto& execution : Blocks) {
      if (execution && &execution->Block() == block) return execution.get();
    }
    return nullptr;
  }

  TDataCursor* ExecuteSelect(TQueryStatement& statement, const TExecParams& params);
};

namespace {

bool HasTables(TStatementKind kind) {
  return kind == TStatementKind::Select || kind == TStatementKind::Insert ||
         kind == TStatementKind::Update || kind == TStatementKind::Delete;
}

// The marks a block's result columns keep of the table columns they name.
std::vector<TResultColumnOrigin> BlockColumnOrigins(const TDataQuery& block) {
  bool outerJoin = false;
  for (const TTableJoin& join : block.Joins)
    outerJoin = outerJoin || join.Kind != TJoinKind::Inner;
  std::vector<TResultColumnOrigin> origins(block.ResultFields.size());
  for (std::size_t i = 0; i < origins.size(); ++i) {
    const TResultField& field = *block.ResultFields[i];
    if (field.Aggregate != TAggregateKind::None || field.IsExpression ||
        field.SourceTable == nullptr || !field.SourceTable->Schema || field.SourceFieldNo < 1 ||
        static_cast<std::size_t>(field.SourceFieldNo) > field.SourceTable->Schema->Fields.size()) {
      continue;
    }
    const TSchemaField& column =
        field.SourceTable->Schema->Fields[static_cast<std::size_t>(field.SourceFieldNo - 1)];
    origins[i].Required = column.Required && !outerJoin;
    origins[i].AutoInc = IsAutoIncField(column.DataType, column.SubType);
  }
  return origins;
}

// The marks of the master block's columns, and for a UNION those every part agrees on.
std::vector<TResultColumnOrigin> ResultColumnOrigins(const TDataQuery& master) {
  std::vector<TResultColumnOrigin> origins = BlockColumnOrigins(master);
  for (const TDataQuery* part = master.UnionNext; part != nullptr; part = part->UnionNext) {
    const std::vector<TResultColumnOrigin> more = BlockColumnOrigins(*part);
    for (std::size_t i = 0; i < origins.size(); ++i) {
      const bool known = i < more.size();
      origins[i].Required = origins[i].Required && known && more[i].Required;
      origins[i].AutoInc = origins[i].AutoInc && known && more[i].AutoInc;
    }
  }
  return origins;
}

}  // namespace

TSqlExecution::TSqlExecution(TDataDirectory& database) : Impl_(std::make_unique<TImpl>(database)) {}

TSqlExecution::~TSqlExecution() {
  Impl_->Result.reset();
  Impl_->SpareResults.clear();
  Release();
}

TDataDirectory& TSqlExecution::Database() const {
  return Impl_->Database;
}

void TSqlExecution::Release() {
  Impl_->PreparedBatch = 0;
  Impl_->RetireResult();
  Impl_->SubSelects.Clear();
  Impl_->Blocks.clear();
}

void TSqlExecution::Prepare(TQueryStatement& statement) {
  Release();
  if (statement.MasterQuery() == nullptr) return;
  // Binding and opening the tables is one run of reads: each table is looked at once.
  TReadBatch readBatch(Impl_->Database.Session());
  Impl_->PreparedBatch = TReadBatch::Current(Impl_->Database.Session());
  TExecSchemaSource schema(Impl_->Database);
  BindStatement(statement, schema);
  const auto& blocks = statement.QueryBlocks();
  Impl_->Blocks.resize(blocks.size());
  // The last created first: sub-selects and UNION parts before the blocks that use them.
  for (std::size_t i = blocks.size(); i-- > 0;) {
    TDataQuery& block = *blocks[i];
    if (!HasTables(block.Kind)) continue;
    auto execution = std::make_unique<TBlockExecution>(Impl_->Database, block, Impl_->SubSelects);
    execution->Open(schema);
    Impl_->Blocks[i] = std::move(execution);
  }
}

TDataCursor* TSqlExecution::Execute(TQueryStatement& statement) {
  TImpl& impl = *Impl_;
  const auto started = std::chrono::steady_clock::now();
  // The statement's reads share their read locks, a bounded time at most (TableLocks.h); the
  // first execution after a preparation continues its run.
  TReadBatch readBatch(impl.Database.Session(), std::exchange(impl.PreparedBatch, 0));
  statement.ResultIsLive = false;
  statement.ResultIsReadOnly = false;
  statement.ResultColumnOrigins.clear();
  statement.RowsAffected = 0;
  statement.ExecutionSeconds = 0;
  // The reads of this execution, published when it ends, also by an exception.
  struct TReadsOfExecution {
    TQueryStatement& Statement;
    TReadCounters Start = ReadCountersNow();
    ~TReadsOfExecution() {
      const TReadCounters now = ReadCountersNow();
      Statement.IndexPagesRead = now.IndexPages - Start.IndexPages;
      Statement.RecordsRead = now.Records - Start.Records;
    }
  } reads{statement};
  impl.RetireResult();
  TDataQuery* master = statement.MasterQuery();
  if (master == nullptr) return nullptr;

  // The clock of CURRENT_DATE and its kin is read once per execution.
  impl.Clock = TStatementClock::Now();
  TExecParams params;
  params.Clock = &impl.Clock;
  params.Progress = &statement.Progress;
  params.ProgressStep = impl.Database.Session().Settings().ProgressSteps;

  // IN sub-selects run once, before the blocks that test them (the last created first).
  impl.SubSelects.Clear();
  const auto& blocks = statement.QueryBlocks();
  for (std::size_t i = blocks.size(); i-- > 0;) {
    if (blocks[i]->Role != TQueryRole::InSubSelect || !impl.Blocks[i]) continue;
    TBlockExecution& sub = *impl.Blocks[i];
    TExecParams quiet = params;
    quiet.Progress = nullptr;
    impl.SubSelects.Put(blocks[i].get(), sub.SelectRows(quiet, true, -1), sub.Context(quiet));
  }

  TDataCursor* result = nullptr;
  TBlockExecution* execution = impl.BlockOf(master);
  switch (master->Kind) {
    case TStatementKind::Select:
      result = impl.ExecuteSelect(statement, params);
      break;
    case TStatementKind::Insert:
      if (master->InsertSource != nullptr) {
        TBlockExecution* source = impl.BlockOf(master->InsertSource);
        if (execution == nullptr || source == nullptr) RaiseSQLError("Internal error: INSERT");
        statement.RowsAffected = ExecuteInsertSelect(*execution, *source, params);
      } else {
        if (execution == nullptr) RaiseSQLError("Internal error: INSERT");
        TEvalContext context = execution->Context(params);
        statement.RowsAffected =
            ExecuteInsertValues(*execution->Runs().front()->Cursor, *master, context);
      }
      break;
    case TStatementKind::Update:
      if (execution == nullptr) RaiseSQLError("Internal error: UPDATE");
      statement.RowsAffected = ExecuteUpdate(*execution, params);
      break;
    case TStatementKind::Delete:
      if (execution == nullptr) RaiseSQLError("Internal error: DELETE");
      statement.RowsAffected = ExecuteDelete(*execution, params);
      break;
    case TStatementKind::CreateTable:
    case TStatementKind::AlterTable:
    case TStatementKind::DropTable:
    case TStatementKind::CreateIndex:
    case TStatementKind::DropIndex:
      ExecuteDdl(impl.Database, statement, *master);
      statement.RowsAffected = 0;
      break;
    case TStatementKind::StartTransaction:
    case TStatementKind::Commit:
    case TStatementKind::Rollback:
      ExecuteTransactionStatement(impl.Database, *master);
      statement.RowsAffected = 0;
      break;
    default:
      break;
  }
  const auto elapsed = std::chrono::steady_clock::now() - started;
  statement.ExecutionSeconds =
      static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()) /
      1000.0;
  return result;
}

TDataCursor* TSqlExecution::TImpl::ExecuteSelect(TQueryStatement& statement,
                                                 const TExecParams& params) {
  TDataQuery& master = *statement.MasterQuery();
  TBlockExecution* execution = BlockOf(&master);
  if (execution == nullptr) RaiseSQLError("Internal error: SELECT");

  if (execution->CanBeLive(statement.RequestLive, statement.QueryBlocks().size())) {
    TDataCursor* cursor = execution->MakeLive(params);
    statement.ResultIsLive = true;
    statement.ResultIsReadOnly = cursor->ReadOnly();
    statement.RowsAffected = static_cast<std::int32_t>(cursor->RecordCount());
    return cursor;
  }

  std::vector<TRow> rows;
  std::vector<TResultColumn> columns;
  for (const auto& field : master.ResultFields) {
    TResultColumn column;
    column.Name = field->ResultName;
    column.Type = field->DataType;
    column.SubType = field->SubType;
    column.Size = field->Size;
    column.Scale = field->Scale;
    columns.push_back(std::move(column));
  }
  if (master.UnionNext == nullptr) {
    rows = execution->SelectRows(params, true, statement.MaxRowCount);
  } else {
    rows = execution->SelectRows(params, false, -1);
    bool distinct = false;
    for (TDataQuery* part = master.UnionNext; part != nullptr; part = part->UnionNext) {
      TBlockExecution* partExecution = BlockOf(part);
      if (partExecution == nullptr) RaiseSQLError("Internal error: UNION");
      std::vector<TRow> more = partExecution->SelectRows(params, true, -1);
      for (TRow& row : more)
        rows.push_back(std::move(row));
      distinct = distinct || !part->UnionAll;
      // The result columns are as wide as the widest part, so no value is cut.
      for (std::size_t i = 0; i < columns.size() && i < part->ResultFields.size(); ++i)
        columns[i].Size = std::max(columns[i].Size, part->ResultFields[i]->Size);
    }
    if (distinct) RemoveDuplicateRows(rows, execution->Context(params));
    execution->OrderAndLimit(rows, params, statement.MaxRowCount);
  }

  statement.ResultColumnOrigins = ResultColumnOrigins(master);
  const bool into = master.IntoGiven;
  if (!into) Result = TakeSpare(columns);
  if (!Result) {
    Result = std::make_unique<TResultTable>(Database);
    Result->Create(columns, into ? &master.Into : nullptr);
  }
  for (const TRow& row : rows)
    Result->Append(row);
  TDataCursor& cursor = Result->Cursor();
  cursor.First();
  cursor.GetNext(nullptr);
  statement.ResultIsLive = false;
  statement.ResultIsReadOnly = true;
  statement.RowsAffected = static_cast<std::int32_t>(rows.size());
  return &cursor;
}

}  // namespace zorvic::engine

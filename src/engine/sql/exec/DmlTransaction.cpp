#include "engine/sql/exec/DmlTransaction.h"

#include <algorithm>
#include <string>

#include "engine/storage/EngineError.h"
#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/sessions/TransactionSavepoint.h"

namespace zorvic::engine {

// ---- TStatementSavepoint -----------------------------------------------------------------

TStatementSavepoint::TStatementSavepoint(TDataDirectory& database) : Database_(database) {
  if (database.InTransaction()) Savepoint_ = std::make_unique<TTransactionSavepoint>(database);
}

TStatementSavepoint::~TStatementSavepoint() {
  if (!Savepoint_) return;
  try {
    if (Database_.InTransaction()) Savepoint_->Restore();
  } catch (...) {
    // Returning to the savepoint failed: the whole transaction is given up rather than kept
    // with half a statement in it.
    try {
      Database_.Rollback();
    } catch (...) {
    }
  }
}

void TStatementSavepoint::Release() {
  Savepoint_.reset();
}

void TStatementSavepoint::Renew() {
  if (Savepoint_) Savepoint_ = std::make_unique<TTransactionSavepoint>(Database_);
}

// ---- TImplicitTransaction ----------------------------------------------------------------

std::int32_t TImplicitTransaction::DefaultInterval(std::uint16_t recordSize) {
  if (recordSize == 0) return 8192;
  return std::max<std::int32_t>(1, std::min<std::int32_t>(32768 / recordSize, 8192));
}

TImplicitTransaction::TImplicitTransaction(TDataDirectory& database, const TDataQuery& block,
                                           std::uint16_t targetRecordSize)
    : Database_(database), Flush_(block.Flush) {
  if (block.CommitIntervalGiven && block.CommitInterval < 1) {
    RaiseSQLError("Commit interval must be greater than 0, instead found '" +
                  std::to_string(block.CommitInterval) + "'");
  }
  Interval_ = block.CommitIntervalGiven ? block.CommitInterval : DefaultInterval(targetRecordSize);
  if (database.InTransaction()) {
    CommitsInside_ = block.CommitIntervalGiven;
    Savepoint_ = std::make_unique<TStatementSavepoint>(database);
  } else {
    database.StartTransaction();
    Started_ = true;
  }
}

TImplicitTransaction::~TImplicitTransaction() {
  if (Finished_) return;
  if (Started_) {
    try {
      if (Database_.InTransaction()) Database_.Rollback();
    } catch (...) {
    }
  }
  // Inside START TRANSACTION the savepoint's destruction undoes the statement.
}

void TImplicitTransaction::RowDone() {
  ++Rows_;
  if (!Started_ && !CommitsInside_) return;
  if (Rows_ % Interval_ != 0) return;
  Database_.Commit(false, Flush_);
  ++Commits_;
  if (Savepoint_) Savepoint_->Renew();
}

void TImplicitTransaction::Finish() {
  if (Finished_) return;
  if (Started_) Database_.Commit(true, Flush_);
  if (Savepoint_) Savepoint_->Release();
  Finished_ = true;
}

}  // namespace zorvic::engine

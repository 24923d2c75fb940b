// TImplicitTransaction: the transaction a multi-row change (INSERT ... SELECT, UPDATE,
// DELETE) runs in, and the statement scope of a single-row INSERT.
//
// Outside a transaction the statement starts one and commits it every `Interval()` changed
// rows (an intermediate commit: the transaction goes on) and at Finish; the interval is the
// COMMIT INTERVAL of the block, else min(32768 / record size, 8192), and at least 1. Inside a
// transaction started by START TRANSACTION the statement commits only when COMMIT INTERVAL
// was given, every interval rows, and never ends the transaction.
//
// Failure: destroying the object without Finish (an exception on its way out) undoes what the
// statement did: outside a transaction it rolls back what followed the last intermediate
// commit; inside START TRANSACTION it returns the transaction to its state before the
// statement (or before the statement's last intermediate commit), keeping what came before.
//
//   TImplicitTransaction transaction(database, block, cursor.RecordSize());
//   for (each row) { change it; transaction.RowDone(); }
//   transaction.Finish();
//
// Thread safety: the object, the database and its cursors belong to the calling thread.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/sql/DataQuery.h"

namespace zorvic::engine {

class TDataDirectory;
class TTransactionSavepoint;

// The scope of one statement inside a transaction that the statement did not start: Release
// keeps what the statement did; destruction without Release returns every table of the
// transaction to its state at construction (or at the last Renew), keeping what came before.
// Outside a transaction it does nothing.
class TStatementSavepoint {
 public:
  explicit TStatementSavepoint(TDataDirectory& database);
  ~TStatementSavepoint();
  TStatementSavepoint(const TStatementSavepoint&) = delete;
  TStatementSavepoint& operator=(const TStatementSavepoint&) = delete;

  // The statement succeeded.
  void Release();
  // After an intermediate commit: a failure from here on returns to the present state.
  void Renew();
  bool Active() const { return Savepoint_ != nullptr; }

 private:
  TDataDirectory& Database_;
  std::unique_ptr<TTransactionSavepoint> Savepoint_;
};

class TImplicitTransaction {
 public:
  // Raises 11949 for a COMMIT INTERVAL below 1.
  TImplicitTransaction(TDataDirectory& database, const TDataQuery& block,
                       std::uint16_t targetRecordSize);
  ~TImplicitTransaction();
  TImplicitTransaction(const TImplicitTransaction&) = delete;
  TImplicitTransaction& operator=(const TImplicitTransaction&) = delete;

  // After each changed row: commits (intermediate, with the block's FLUSH) when due.
  void RowDone();
  // The statement succeeded: the final commit of a transaction the statement started.
  void Finish();

  // Rows per intermediate commit.
  std::int32_t Interval() const { return Interval_; }
  // True when the statement started the transaction itself.
  bool Started() const { return Started_; }
  std::int32_t Rows() const { return Rows_; }
  // Intermediate commits made so far.
  std::int32_t Commits() const { return Commits_; }

  // The interval for a record size without COMMIT INTERVAL: min(32768 / size, 8192), >= 1.
  static std::int32_t DefaultInterval(std::uint16_t recordSize);

 private:
  TDataDirectory& Database_;
  std::int32_t Interval_ = 1;
  bool Flush_ = false;
  bool Started_ = false;
  bool CommitsInside_ = false;  // inside START TRANSACTION with COMMIT INTERVAL
  bool Finished_ = false;
  std::int32_t Rows_ = 0;
  std::int32_t Commits_ = 0;
  std::unique_ptr<TStatementSavepoint> Savepoint_;  // inside START TRANSACTION
};

}  // namespace zorvic::engine

// TTransactionSavepoint: a point inside a database transaction to return to.
//
// Inside a transaction nothing reaches the table files before a commit: every change lives in
// the caches of the tables' data, index and BLOB files (modified units) and in their in-memory
// headers. A savepoint copies exactly that state for every table of the transaction; Restore
// drops the caches (the files still hold the state of the last commit) and puts the copies
// back, so the transaction continues as it was when the savepoint was taken. An intermediate
// commit writes the caches to the files, after which an older savepoint can no longer be
// restored: take a new one.
//
// Cost: the copy is proportional to the changes the transaction holds so far.
//
// A commit only writes the units and marks them clean: for it a savepoint in place remembers
// which units are modified, not their bytes, and Restore marks them modified again. Its caller
// changes no unit and trims or drops no cache while the savepoint may still be restored.
//
// Thread safety: the database, its tables and the savepoint belong to the calling thread.
#pragma once

#include <memory>
#include <vector>

namespace zorvic::engine {

class TDataDirectory;
class TDataTable;
struct TTableCacheState;

class TTransactionSavepoint {
 public:
  // The database must be in a transaction. inPlace: remember the modified units, not copies.
  explicit TTransactionSavepoint(TDataDirectory& database, bool inPlace = false);
  ~TTransactionSavepoint();
  TTransactionSavepoint(const TTransactionSavepoint&) = delete;
  TTransactionSavepoint& operator=(const TTransactionSavepoint&) = delete;

  // Returns every table that was in the transaction to its state at construction; tables that
  // joined the transaction later lose every change they hold.
  void Restore();

 private:
  struct TEntry;
  TDataDirectory& Database_;
  bool InPlace_;
  std::vector<TEntry> Entries_;
};

}  // namespace zorvic::engine

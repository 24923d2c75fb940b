// TDataDirectory: the transactions of a database.
//
// A transaction holds the transaction byte of every shared table of the database from its start
// to its end, so no other session writes those tables meanwhile; the session's changes stay in
// its caches (which grow instead of writing) until the commit writes them. The commit is the
// one place where a transaction's changes reach the files: lock every table for writing, write
// every table through one journal (Journal.h), so that all of them change or none, then
// release. The durability promise is written down in TableLockState.h.
#include <exception>
#include <vector>

#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/locks/Journal.h"
#include "engine/storage/locks/TableJournal.h"
#include "engine/storage/sessions/TransactionSavepoint.h"

namespace zorvic::engine {
namespace {

// The tables a commit writes: in the transaction and writable, the last opened first.
std::vector<TDataTable*> CommitMembers(std::vector<std::unique_ptr<TDataTable>>& tables) {
  std::vector<TDataTable*> members;
  for (auto it = tables.rbegin(); it != tables.rend(); ++it)
    if ((*it)->InTransaction() && !(*it)->ReadOnly()) members.push_back(it->get());
  return members;
}

// Step 1: the write lock of every member (the transaction byte is held already, so this takes
// the writer ranges). A failure releases what this step took and raises; the transaction stays
// as it was.
void LockForCommit(const std::vector<TDataTable*>& members) {
  std::vector<TDataTable*> taken;
  try {
    for (TDataTable* table : members) {
      if (table->LockState().HoldsWriteLock()) continue;  // kept by an earlier failed commit
      table->Locks().TakeWriteLock();
      if (table->LockState().HoldsWriteLock()) taken.push_back(table);
    }
  } catch (...) {
    for (TDataTable* table : taken) {
      try {
        table->Locks().ReleaseWriteLock();
      } catch (...) {
      }
    }
    throw;
  }
}

// Writes one table's changes: with the in-transaction flag cleared for the moment, its files
// write what its caches hold. The caches are trimmed only once the whole commit stands: until
// then the units it wrote are what a failed commit marks modified again.
void WriteTable(TDataTable& table, bool toDisk) {
  table.SetInTransaction(false);
  try {
    table.Flush(false, toDisk);
  } catch (...) {
    table.SetInTransaction(true);
    throw;
  }
  table.SetInTransaction(true);
}

// Step 2: writes every member through one journal, so that a crash leaves all of them as they
// were or all of them written. Returns how many members it reached and sets *failure when the
// write failed; the files are then as before the commit and the caches hold the transaction's
// changes again, so that the commit can be tried again.
std::size_t WriteTransaction(TDataDirectory& database, const std::vector<TDataTable*>& members,
                             bool final, bool toDisk, std::exception_ptr* failure) {
  std::size_t reached = 0;
  try {
    // A journal of an earlier commit of ours that could not put its tables back goes first.
    for (TDataTable* table : members)
      if (TableJournalPresent(*table)) RecoverTableJournal(*table);
  } catch (...) {
    *failure = std::current_exception();
    return 0;
  }
  TTransactionSavepoint before(database, true);
  TCommitJournal journal(database.Path());
  for (TDataTable* table : members)
    AddTableToJournal(journal, *table);
  try {
    for (TDataTable* table : members) {
      ++reached;
      WriteTable(*table, toDisk);
    }
    reached = members.size();
    journal.Commit(toDisk);
  } catch (...) {
    *failure = std::current_exception();
    journal.Discard();
    try {
      before.Restore();
    } catch (...) {
      for (TDataTable* table : members) {
        try {
          table->DropCaches();
        } catch (...) {
        }
      }
    }
    return reached;
  }
  if (final) {
    for (TDataTable* table : members) {
      try {
        table->TrimCaches();
      } catch (...) {
        // Only memory is at stake: the commit stands.
      }
    }
  }
  return reached;
}

// Runs a release step, keeping the first failure for later.
template <class F>
void ReleaseStep(std::exception_ptr* failure, F&& step) {
  try {
    step();
  } catch (...) {
    if (!*failure) *failure = std::current_exception();
  }
}

}  // namespace

void TDataDirectory::JoinTransaction(TDataTable& table) {
  if (table.ReadOnly() || table.InTransaction()) return;
  try {
    // An exclusive table writes what it has pending: the transaction starts from its files.
    if (table.Exclusive()) table.Flush(false, false);
    table.SetInTransaction(true);
    table.Locks().TakeTransactionLock();
  } catch (...) {
    table.SetInTransaction(false);
    throw;
  }
}

void TDataDirectory::StartTransaction() {
  if (FInTransaction) return;
  try {
    for (auto& table : FTables)
      if (!table->Parked()) JoinTransaction(*table);
  } catch (...) {
    try {
      Rollback();
    } catch (...) {
    }
    FInTransaction = false;
    throw;
  }
  FInTransaction = true;
}

void TDataDirectory::Commit(bool final, bool toDisk) {
  if (!FInTransaction) return;
  const std::vector<TDataTable*> members = CommitMembers(FTables);
  // A change that failed half-way dropped the transaction's earlier changes of its table from
  // the caches: what is left is no longer the transaction, so it is rolled back, not committed.
  for (TDataTable* table : members) {
    if (!table->ChangeLost()) continue;
    const std::string name = table->Name();
    try {
      Rollback();
    } catch (...) {
    }
    RaiseTableError(VELDOR_WRITEERR, name);
  }
  LockForCommit(members);

  std::exception_ptr failure;
  const std::size_t reached = WriteTransaction(*this, members, final, toDisk, &failure);
  if (failure) {
    // The transaction goes on: its changes stay in the caches (what was not written is still
    // marked modified), its transaction locks and record locks stay held. Tables whose files
    // the commit began to write keep their write lock, so that nobody reads them half-written
    // until the transaction is committed again or rolled back.
    for (std::size_t i = 0; i < members.size(); ++i) {
      TTableLockState& locks = members[i]->LockState();
      if (i < reached) {
        locks.KeepWriteLock(true);
      } else {
        try {
          locks.ReleaseWriteLock();
        } catch (...) {
        }
      }
    }
    std::rethrow_exception(failure);
  }

  for (TDataTable* table : members) {
    TTableLockState& locks = table->LockState();
    locks.KeepWriteLock(false);
    if (final) {
      ReleaseStep(&failure, [&] { locks.ReleaseWriteLock(); });
      ReleaseStep(&failure, [&] { locks.ReleaseTransactionLock(); });
      table->SetInTransaction(false);
    } else {
      ReleaseStep(&failure, [&] { locks.ReleaseRecordLocks(true); });
      ReleaseStep(&failure, [&] { locks.ReleaseWriteLock(); });
    }
  }
  if (final) {
    for (auto& table : FTables)
      table->SetInTransaction(false);
    FInTransaction = false;
  }
  CloseIdleTables();
  if (failure) std::rethrow_exception(failure);
}

void TDataDirectory::Rollback() {
  std::exception_ptr failure;
  for (auto it = FTables.rbegin(); it != FTables.rend(); ++it) {
    TDataTable& table = **it;
    if (!table.InTransaction()) continue;
    table.SetInTransaction(false);
    if (table.ReadOnly()) continue;
    // The files still hold the table as it was before the transaction (a journal left by a
    // commit of ours that failed half-way is played back first): forget the caches and take
    // the headers back from the files.
    TTableLockState& locks = table.LockState();
    ReleaseStep(&failure, [&] {
      if (!TableJournalPresent(table)) return;
      const bool take = !locks.HoldsWriteLock() && !table.Exclusive();
      if (take) locks.TakeWriteLock();
      RecoverTableJournal(table);
      if (take) locks.ReleaseWriteLock();
    });
    ReleaseStep(&failure, [&] { table.DropCaches(); });
    locks.KeepWriteLock(false);
    ReleaseStep(&failure, [&] { locks.ReleaseWriteLock(); });
    ReleaseStep(&failure, [&] { locks.ReleaseTransactionLock(); });
  }
  FInTransaction = false;
  CloseIdleTables();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace zorvic::engine

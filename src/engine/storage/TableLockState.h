// TTableLockState: the lock state of one table object (TDataTable), behind TTableLocks.
//
// It keeps what the table object holds (operation and table read locks, write lock,
// transaction lock, the locked and deferred records) and, whenever a read, write or
// transaction lock is taken, refreshes the table from its headers, so that changes written by
// other sessions are noticed at the points where the full protocol notices them. Within one
// session every lock is granted at once; the byte-range regions and bounded waits that shut
// out other sessions and processes belong to the table-sharing protocol and replace the
// bodies of these calls without changing their callers.
//
// Exclusive tables and tables whose files carry the read-only attribute take no locks and
// never refresh.
//
// Thread safety: as its table object; one thread at a time.
#pragma once

#include <cstdint>

#include "engine/storage/RecordsBitmap.h"
#include "engine/storage/TableLocks.h"

namespace zorvic::engine {

class TDataTable;

class TTableLockState : public TTableLocks {
 public:
  explicit TTableLockState(TDataTable& table) : FTable(table) {}

  bool TakeReadLock() override;
  void ReleaseReadLock() override;
  bool TakeWriteLock() override;
  void ReleaseWriteLock() override;
  bool InTransaction() const override;
  void BeginOperation() override { ++FOperationDepth; }
  void EndOperation() override;
  bool TakeTableReadLock() override;
  void ReleaseTableReadLock() override;
  bool LockRecord(std::int32_t recordNo) override;
  void UnlockRecord(std::int32_t recordNo) override;
  void ReleaseRecordLocks(bool deferredOnly) override;
  void TakeTransactionLock() override;
  void ReleaseTransactionLock() override;

  // Releases everything (the table closes).
  void ReleaseAll() noexcept;

  bool HoldsReadLock() const { return FReadHeld; }
  bool HoldsTableReadLock() const { return FTableReadHeld; }
  bool HoldsWriteLock() const { return FWriteHeld; }
  bool HoldsTransactionLock() const { return FTransactionHeld; }
  const TRecordsBitmap& LockedRecords() const { return FLocked; }
  const TRecordsBitmap& DeferredReleases() const { return FDeferred; }

 private:
  // Exclusive or read-only-attribute tables take no locks.
  bool LockFree() const;

  TDataTable& FTable;
  int FOperationDepth = 0;
  bool FReadHeld = false;
  bool FTableReadHeld = false;
  bool FWriteHeld = false;
  bool FTransactionHeld = false;
  TRecordsBitmap FLocked;
  TRecordsBitmap FDeferred;
};

}  // namespace zorvic::engine

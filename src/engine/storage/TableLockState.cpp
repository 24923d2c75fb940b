#include "engine/storage/TableLockState.h"

#include "engine/storage/DataTable.h"

namespace zorvic::engine {

bool TTableLockState::LockFree() const {
  return FTable.Exclusive() || FTable.ReadOnlyAttribute();
}

bool TTableLockState::InTransaction() const {
  return FTable.InTransaction();
}

bool TTableLockState::TakeReadLock() {
  if (LockFree() || FReadHeld || FTableReadHeld || FWriteHeld || FTransactionHeld) return false;
  FReadHeld = true;
  return FTable.Refresh();
}

void TTableLockState::ReleaseReadLock() {
  // Within an operation the lock stays held until the operation ends.
  if (FOperationDepth == 0) FReadHeld = false;
}

void TTableLockState::EndOperation() {
  if (FOperationDepth > 0) --FOperationDepth;
  if (FOperationDepth == 0) FReadHeld = false;
}

bool TTableLockState::TakeTableReadLock() {
  if (LockFree() || FTableReadHeld || FWriteHeld || FTransactionHeld) return false;
  FTableReadHeld = true;
  if (FReadHeld) return false;  // the operation's lock already refreshed
  return FTable.Refresh();
}

void TTableLockState::ReleaseTableReadLock() {
  FTableReadHeld = false;
}

bool TTableLockState::TakeWriteLock() {
  if (FWriteHeld || LockFree()) return false;
  FWriteHeld = true;
  // Inside a transaction nobody else wrote since it began.
  if (FTable.InTransaction()) return false;
  return FTable.Refresh();
}

void TTableLockState::ReleaseWriteLock() {
  FWriteHeld = false;
}

bool TTableLockState::LockRecord(std::int32_t recordNo) {
  if (LockFree()) return false;
  if (FTable.InTransaction() && FLocked.Test(recordNo)) return false;
  const bool changed = TakeReadLock();
  FLocked.Set(recordNo);
  FDeferred.Clear(recordNo);
  return changed;
}

void TTableLockState::UnlockRecord(std::int32_t recordNo) {
  if (LockFree()) return;
  if (FTransactionHeld) {
    FDeferred.Set(recordNo);
    return;
  }
  if (!FLocked.Test(recordNo)) FTable.Raise(VELDOR_UNLOCKFAILED);
  FLocked.Clear(recordNo);
}

void TTableLockState::ReleaseRecordLocks(bool deferredOnly) {
  if (!deferredOnly) {
    FLocked.ClearAll();
    FDeferred.ClearAll();
    return;
  }
  FLocked.AndNot(FDeferred);
  FDeferred.ClearAll();
}

void TTableLockState::TakeTransactionLock() {
  if (FTransactionHeld || FTable.ReadOnlyAttribute()) return;
  FTransactionHeld = true;
  if (!FTable.Exclusive()) FTable.Refresh();
}

void TTableLockState::ReleaseTransactionLock() {
  if (!FTransactionHeld) return;
  FTransactionHeld = false;
  if (!FTable.Exclusive()) ReleaseRecordLocks(true);
}

void TTableLockState::ReleaseAll() noexcept {
  FLocked.ClearAll();
  FDeferred.ClearAll();
  FReadHeld = FTableReadHeld = FWriteHeld = FTransactionHeld = false;
  FOperationDepth = 0;
}

}  // namespace zorvic::engine

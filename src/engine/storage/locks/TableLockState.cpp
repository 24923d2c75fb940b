#include "engine/storage/locks/TableLockState.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/locks/LockRegions.h"
#include "engine/storage/locks/TableJournal.h"
#include "engine/storage/sessions/DataTable.h"

namespace zorvic::engine {

static_assert(TransactionByteRegion == TDataFile::kTransactionByteOffset);
static_assert(WriterRegionOffset == TIndexFile::WriterRangeOffset);
static_assert(WriterRegionLength == TIndexFile::WriterRangeLength);
static_assert(WriterRegionOffset + WriterRegionLength - 1 == ReaderSlotRegion(1));
static_assert(ReaderSlotRegion(ReaderSlotCount) == WriterRegionOffset + 1);

namespace {

std::atomic<int> gLockAttempts{LockAttempts};
std::atomic<int> gLockPauseMs{LockPauseMs};

void PauseMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Tries `attempt` with the fixed waits: true as soon as one attempt succeeds.
template <class F>
bool WithFixedWaits(F&& attempt) {
  const TFixedLockWaits waits = FixedLockWaits();
  for (int i = 0; i < waits.Attempts; ++i) {
    if (attempt()) return true;
    if (i + 1 < waits.Attempts) PauseMs(waits.PauseMs);
  }
  return false;
}

// Back-to-back read locks for longer than this make a reader look for a waiting writer.
constexpr auto kBusyBound = std::chrono::milliseconds(ReadBatchHoldMs);
// A reader that held no read lock for this long has let a writer in: a writer tries again
// every LockPauseMs, so a gap longer than that meets one of its attempts.
constexpr auto kQuietGap = std::chrono::milliseconds(LockPauseMs + 2);
constexpr auto kBatchHold = std::chrono::milliseconds(ReadBatchHoldMs);

// The read batch open on this thread.
struct TThreadBatch {
  const TDataSession* Session = nullptr;
  int Depth = 0;
  std::uint64_t Serial = 0;
  std::vector<TTableLockState*> Kept;
};
thread_local TThreadBatch gBatch;
std::atomic<std::uint64_t> gBatchSerial{0};

}  // namespace

// ---- read batches ------------------------------------------------------------------------

TReadBatch::TReadBatch(const TDataSession& session) : TReadBatch(session, 0) {}

TReadBatch::TReadBatch(const TDataSession& session, std::uint64_t serial) {
  TThreadBatch& b = gBatch;
  if (b.Depth > 0 && b.Session != &session) return;  // another session's batch covers nothing
  if (b.Depth++ == 0) {
    b.Session = &session;
    b.Serial = serial != 0 ? serial : gBatchSerial.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  FActive = true;
}

TReadBatch::~TReadBatch() {
  if (!FActive) return;
  TThreadBatch& b = gBatch;
  if (--b.Depth > 0) return;
  ReleaseKept();
  b.Session = nullptr;
  b.Serial = 0;
}

std::uint64_t TReadBatch::Current(const TDataSession& session) {
  const TThreadBatch& b = gBatch;
  return b.Depth > 0 && b.Session == &session ? b.Serial : 0;
}

void TReadBatch::ReleaseKept() noexcept {
  std::vector<TTableLockState*> kept;
  kept.swap(gBatch.Kept);
  for (TTableLockState* state : kept) {
    state->FKept = false;
    // Inside an operation the lock stays: that operation's end releases it.
    if (state->FOperationDepth == 0) state->DropOperationRead();
  }
}

TFixedLockWaits FixedLockWaits() {
  TFixedLockWaits w;
  w.Attempts = gLockAttempts.load(std::memory_order_relaxed);
  w.PauseMs = gLockPauseMs.load(std::memory_order_relaxed);
  return w;
}

void SetFixedLockWaits(const TFixedLockWaits& waits) {
  gLockAttempts.store(waits.Attempts < 1 ? 1 : waits.Attempts, std::memory_order_relaxed);
  gLockPauseMs.store(waits.PauseMs < 0 ? 0 : waits.PauseMs, std::memory_order_relaxed);
}

// ---- helpers -----------------------------------------------------------------------------

bool TTableLockState::LockFree() const {
  return FTable.Exclusive() || FTable.ReadOnlyAttribute();
}

bool TTableLockState::HasBlobFile() const {
  TBlobFile* blob = FTable.Blob();
  return blob && blob->IsOpen();
}

TTableLockState::~TTableLockState() {
  Unkeep();
}

bool TTableLockState::InReadBatch() const {
  const TThreadBatch& b = gBatch;
  return b.Depth > 0 && b.Session == &FTable.Database().Session();
}

bool TTableLockState::KeepForBatch(TClock::time_point now) {
  if (!FOperationRead.Held || !InReadBatch()) return false;
  if (now - FOperationTaken >= kBatchHold) return false;
  if (!FKept) {
    gBatch.Kept.push_back(this);
    FKept = true;
  }
  return true;
}

void TTableLockState::Unkeep() noexcept {
  if (!FKept) return;
  FKept = false;
  std::vector<TTableLockState*>& kept = gBatch.Kept;
  kept.erase(std::remove(kept.begin(), kept.end(), this), kept.end());
}

void TTableLockState::EndBatchHold() noexcept {
  if (FOperationDepth == 0) DropOperationRead();
}

bool TTableLockState::WriterWaiting() {
  // A writer takes the transaction byte before it waits for the writer range; so does a
  // transaction, for its whole length. Trying the byte for an instant tells: a writer that
  // tries it in that instant only makes its next attempt a pause later.
  try {
    TDataFile& data = FTable.Data();
    if (!data.LockWriteByte()) return true;
    data.UnlockWriteByte();
    return false;
  } catch (...) {
    return true;
  }
}

void TTableLockState::YieldToWaitingWriter() {
  const TClock::time_point now = TClock::now();
  if (now - FLastRelease > kQuietGap) {
    FBusySince = now;
    return;
  }
  if (now - FBusySince < kBusyBound) return;
  if (WriterWaiting()) PauseMs(LockPauseMs + 2);
  FBusySince = TClock::now();
}

bool TTableLockState::InTransaction() const {
  return FTable.InTransaction();
}

void TTableLockState::RaiseLockError(std::uint16_t code) const {
  TErrorTexts texts;
  texts.Table = FTable.Name();
  texts.Database = FTable.Database().Path();
  RaiseEngineError(static_cast<TErrorCode>(code), texts);
}

void TTableLockState::TakeReaderSlots(TReadHolding& holding) {
  int slot = 0;
  TIndexFile& index = FTable.Index();
  if (!WithFixedWaits([&] {
        slot = DrawLockSlot();
        return index.LockRange(ReaderSlotRegion(slot), 1);
      }))
    RaiseLockError(VELDOR_LOCKTIMEOUT);
  holding.IndexSlot = slot;
  holding.BlobSlot = 0;
  if (HasBlobFile()) {
    TBlobFile& blob = *FTable.Blob();
    if (!WithFixedWaits([&] {
          slot = DrawLockSlot();
          return blob.LockRange(ReaderSlotRegion(slot), 1);
        })) {
      index.UnlockRange(ReaderSlotRegion(holding.IndexSlot), 1);
      holding.IndexSlot = 0;
      RaiseLockError(VELDOR_LOCKTIMEOUT);
    }
    holding.BlobSlot = slot;
  }
}

bool TTableLockState::ReleaseReaderSlots(TReadHolding& holding) noexcept {
  bool ok = true;
  if (holding.IndexSlot != 0) FLastRelease = TClock::now();
  try {
    if (holding.BlobSlot != 0 && HasBlobFile())
      ok = FTable.Blob()->UnlockRange(ReaderSlotRegion(holding.BlobSlot), 1) && ok;
    if (holding.IndexSlot != 0 && FTable.IsOpen())
      ok = FTable.Index().UnlockRange(ReaderSlotRegion(holding.IndexSlot), 1) && ok;
  } catch (...) {
    ok = false;
  }
  holding = TReadHolding{};
  return ok;
}

// ---- read locks --------------------------------------------------------------------------

bool TTableLockState::TakeRead(TReadHolding& holding) {
  YieldToWaitingWriter();
  TakeReaderSlots(holding);
  // Every write of the table moves a ChangeCount in a header before it changes any other byte
  // of the files (Journal.cpp, ApplyWrites), and the journal exists before that. So when no
  // count moved since this table object last looked, no writer has touched the files since,
  // dead or alive, and there is neither a journal to play back nor anything to refresh. Only
  // when one moved is the journal looked for.
  if (!FTable.ChangeCountsMoved()) {
    holding.Held = true;
    return false;
  }
  if (TableJournalPresent(FTable) && !FTable.ReadOnly()) {
    // A writer died half-way: its journal is played back under the write lock first.
    ReleaseReaderSlots(holding);
    TakeWriteLock();
    ReleaseWriteLock();
    TakeReaderSlots(holding);
  }
  holding.Held = true;
  try {
    return FTable.Refresh();
  } catch (...) {
    ReleaseReaderSlots(holding);
    throw;
  }
}

bool TTableLockState::TakeReadLock() {
  if (LockFree() || FOperationRead.Held || FTableRead.Held || FWriteHeld || FTransactionHeld)
    return false;
  const bool changed = TakeRead(FOperationRead);
  FOperationTaken = TClock::now();
  return changed;
}

void TTableLockState::DropOperationRead() noexcept {
  Unkeep();
  if (FOperationRead.Held) ReleaseReaderSlots(FOperationRead);
}

void TTableLockState::ReleaseReadLock() {
  // Within an operation the lock stays held until the operation ends; within a read batch a
  // while longer.
  if (FOperationDepth == 0 && !KeepForBatch(TClock::now())) DropOperationRead();
}

void TTableLockState::EndOperation() {
  if (FOperationDepth > 0) --FOperationDepth;
  // One reading of the clock serves both checks.
  const bool mayKeep = FOperationDepth == 0 && FOperationRead.Held && InReadBatch();
  std::vector<TTableLockState*>& kept = gBatch.Kept;
  if (!mayKeep && kept.empty()) {
    if (FOperationDepth == 0) DropOperationRead();
    return;
  }
  const TClock::time_point now = TClock::now();
  if (FOperationDepth == 0 && !KeepForBatch(now)) DropOperationRead();
  // Locks the batch keeps on other tables are given up when too old, whichever table the
  // statement is working on now.
  if (kept.empty()) return;
  for (std::size_t i = kept.size(); i-- > 0;) {
    TTableLockState* state = kept[i];
    if (state->FOperationDepth == 0 && now - state->FOperationTaken >= kBatchHold)
      state->DropOperationRead();
  }
}

bool TTableLockState::YieldReadLock() {
  // Only the one operation under way: an enclosing one of the same table relies on the lock
  // for its whole length.
  if (FOperationDepth != 1 || !FOperationRead.Held || FTableRead.Held || FWriteHeld ||
      FTransactionHeld)
    return false;
  if (TClock::now() - FOperationTaken < kBatchHold || !WriterWaiting()) return false;
  DropOperationRead();
  // The writer tries again every LockPauseMs: one of its attempts falls into this pause.
  PauseMs(LockPauseMs + 2);
  const bool changed = TakeRead(FOperationRead);
  FOperationTaken = TClock::now();
  return changed;
}

bool TTableLockState::TakeTableReadLock() {
  if (LockFree() || FTableRead.Held || FWriteHeld || FTransactionHeld) return false;
  if (FOperationRead.Held) {
    // The operation's slots become the table's: the table was refreshed when they were taken.
    Unkeep();
    FTableRead = FOperationRead;
    FOperationRead = TReadHolding{};
    return false;
  }
  return TakeRead(FTableRead);
}

void TTableLockState::ReleaseTableReadLock() {
  if (FTableReadDisplaced) {
    FTableReadDisplaced = false;
    return;
  }
  if (!FTableRead.Held) return;
  if (!ReleaseReaderSlots(FTableRead)) RaiseLockError(VELDOR_UNLOCKFAILED);
}

void TTableLockState::RestoreTableRead() {
  if (!FTableReadDisplaced) return;
  FTableReadDisplaced = false;
  TakeRead(FTableRead);
}

// ---- write lock --------------------------------------------------------------------------

bool TTableLockState::TakeWriteLock() {
  if (FWriteHeld || LockFree()) return false;
  // What the table holds may differ from the files until the write is out (or given up).
  FTable.ForgetCountsChecked();
  // Our own reader slots lie inside the writer range; read locks a batch of this thread keeps
  // on other table objects could be in the way too.
  DropOperationRead();
  TReadBatch::ReleaseKept();
  if (FTableRead.Held) {
    ReleaseReaderSlots(FTableRead);
    FTableReadDisplaced = true;
  }
  TDataFile& data = FTable.Data();
  TIndexFile& index = FTable.Index();
  const bool takeByte = !FTransactionHeld;
  bool byteHeld = false;
  bool indexHeld = false;
  bool blobHeld = false;
  bool ok = true;
  if (takeByte) ok = byteHeld = WithFixedWaits([&] { return data.LockWriteByte(); });
  if (ok) ok = indexHeld = WithFixedWaits([&] { return index.LockWriterRange(); });
  if (ok && HasBlobFile()) {
    TBlobFile& blob = *FTable.Blob();
    ok = blobHeld =
        WithFixedWaits([&] { return blob.LockRange(WriterRegionOffset, WriterRegionLength); });
  }
  if (!ok) {
    if (indexHeld) index.UnlockWriterRange();
    if (byteHeld) data.UnlockWriteByte();
    try {
      RestoreTableRead();
    } catch (...) {
    }
    RaiseLockError(VELDOR_LOCKTIMEOUT);
  }
  FWriteHeld = true;
  FWriteTookByte = takeByte;
  FWriteBlob = blobHeld;
  // A session that writes is no scanning reader: its reads start a new run.
  FBusySince = TClock::now();
  // Inside a transaction the transaction byte has kept every other writer out since it began.
  if (FTable.InTransaction() && FTransactionHeld) return false;
  try {
    // As for a read lock (TakeRead): counts that did not move since this table object last
    // looked mean that no writer touched the files since, so there is neither a journal to
    // play back nor anything to refresh.
    if (!FTransactionHeld && !FTable.ChangeCountsMoved()) return false;
    // A journal found now belongs to a writer that is gone: it is played back first.
    if (!FTransactionHeld && TableJournalPresent(FTable) && RecoverTableJournal(FTable))
      FTable.DropCaches();
    if (FTable.InTransaction()) return false;
    return FTable.Refresh();
  } catch (...) {
    FWriteKept = false;
    try {
      ReleaseWriteLock();
    } catch (...) {
    }
    throw;
  }
}

bool TTableLockState::ChangesStayInCache() const {
  return FTransactionHeld && !LockFree() && FTable.InTransaction();
}

bool TTableLockState::TakeChangeWriteLock() {
  // Outside a transaction (or holding a table read lock, whose slots lie inside the writer
  // range) the change takes the whole write lock as ever.
  if (FWriteHeld || !ChangesStayInCache() || FTableRead.Held) return TakeWriteLock();
  // The transaction byte has kept every other writer out since the transaction began, and the
  // change reaches no file before the commit, which takes the writer ranges itself: readers of
  // the files have nothing to wait for.
  DropOperationRead();
  TReadBatch::ReleaseKept();
  FWriteHeld = true;
  FWriteCacheOnly = true;
  FWriteTookByte = FWriteBlob = false;
  FBusySince = TClock::now();
  return false;
}

void TTableLockState::ReleaseWriteLock() {
  if (!FWriteHeld || FWriteKept) return;
  FTable.ForgetCountsChecked();  // a look taken while the write was under way is not kept
  if (FWriteCacheOnly) {
    FWriteHeld = FWriteCacheOnly = false;
    return;
  }
  bool ok = true;
  if (FWriteBlob && HasBlobFile())
    ok = FTable.Blob()->UnlockRange(WriterRegionOffset, WriterRegionLength) && ok;
  if (FTable.IsOpen()) {
    ok = FTable.Index().UnlockWriterRange() && ok;
    if (FWriteTookByte) ok = FTable.Data().UnlockWriteByte() && ok;
  }
  FWriteHeld = FWriteTookByte = FWriteBlob = false;
  if (!ok) {
    FTableReadDisplaced = false;
    RaiseLockError(VELDOR_LOCKTIMEOUT);
  }
  RestoreTableRead();
}

// ---- transaction lock --------------------------------------------------------------------

void TTableLockState::TakeTransactionLock() {
  if (FTransactionHeld || FTable.ReadOnlyAttribute()) return;
  FTable.ForgetCountsChecked();
  if (FTable.Exclusive()) {
    FTransactionHeld = true;
    return;
  }
  const bool takeOver = FWriteHeld && FWriteTookByte;
  TReadBatch::ReleaseKept();
  if (!takeOver && TableJournalPresent(FTable) && !FTable.ReadOnly()) {
    // A writer died half-way: its journal is played back under the write lock first.
    TakeWriteLock();
    ReleaseWriteLock();
  }
  if (takeOver) {
    // The running write already holds the byte: the transaction takes it over.
    FWriteTookByte = false;
  } else if (!WithFixedWaits([&] { return FTable.Data().LockWriteByte(); })) {
    RaiseLockError(VELDOR_LOCKTIMEOUT);
  }
  FTransactionHeld = true;
  try {
    // A read lock of ours would otherwise keep refreshing needlessly: reads take none now.
    DropOperationRead();
    FTable.Refresh();
  } catch (...) {
    FTransactionHeld = false;
    if (takeOver)
      FWriteTookByte = true;
    else
      FTable.Data().UnlockWriteByte();
    throw;
  }
}

void TTableLockState::ReleaseTransactionLock() {
  if (!FTransactionHeld) return;
  FTransactionHeld = false;
  FTable.ForgetCountsChecked();
  if (FTable.Exclusive()) return;
  bool ok = true;
  if (FWriteHeld && !FWriteTookByte)
    FWriteTookByte = true;  // a write still under way keeps the byte
  else if (FTable.IsOpen())
    ok = FTable.Data().UnlockWriteByte();
  ReleaseRecordLocks(true);
  if (!ok) RaiseLockError(VELDOR_LOCKTIMEOUT);
}

// ---- record locks ------------------------------------------------------------------------

bool TTableLockState::LockRecord(std::int32_t recordNo) {
  if (LockFree()) return false;
  if (recordNo < 1) RaiseLockError(VELDOR_RECLOCKFAILED);
  FLocked.EnsureSize(static_cast<std::int64_t>(recordNo) + 1);
  FDeferred.EnsureSize(static_cast<std::int64_t>(recordNo) + 1);
  if (FTransactionHeld && FLocked.Test(recordNo)) {
    // Held since earlier in the transaction: it is wanted again, so its release is no longer
    // deferred.
    FDeferred.Clear(recordNo);
    return false;
  }
  const TSessionSettings& settings = FTable.Settings();
  const int retries = settings.LockRetryCount;
  const int waitMs = settings.LockWaitTime;
  bool changed = false;
  if (!settings.StrictChangeDetection) changed = TakeReadLock();
  TDataFile& data = FTable.Data();
  int failures = 0;
  while (!data.LockRecord(recordNo)) {
    // Let the holder of the record take its write lock while we wait.
    DropOperationRead();
    TReadBatch::ReleaseKept();
    if (++failures > retries) RaiseLockError(VELDOR_RECLOCKFAILED);
    PauseMs(waitMs);
    if (TakeReadLock()) changed = true;
  }
  FLocked.Set(recordNo);
  FDeferred.Clear(recordNo);
  return changed;
}

void TTableLockState::UnlockRecord(std::int32_t recordNo) {
  if (LockFree()) return;
  if (FTransactionHeld) {
    FDeferred.EnsureSize(static_cast<std::int64_t>(recordNo) + 1);
    FDeferred.Set(recordNo);
    return;
  }
  const bool held = recordNo >= 1 && FLocked.Test(recordNo);
  if (!held) RaiseLockError(VELDOR_UNLOCKFAILED);
  FLocked.Clear(recordNo);
  if (!FTable.IsOpen() || !FTable.Data().UnlockRecord(recordNo))
    RaiseLockError(VELDOR_UNLOCKFAILED);
}

void TTableLockState::ReleaseRecordLocks(bool deferredOnly) {
  bool ok = true;
  const TRecordsBitmap& which = deferredOnly ? FDeferred : FLocked;
  for (std::int64_t n = which.First(); n >= 0; n = which.Next(n)) {
    if (!FLocked.Test(n)) continue;
    if (FTable.IsOpen()) ok = FTable.Data().UnlockRecord(static_cast<std::int32_t>(n)) && ok;
  }
  if (deferredOnly) {
    FLocked.AndNot(FDeferred);
  } else {
    FLocked.ClearAll();
  }
  FDeferred.ClearAll();
  if (!ok) RaiseLockError(VELDOR_UNLOCKFAILED);
}

void TTableLockState::ReleaseAll() noexcept {
  Unkeep();
  try {
    if (!LockFree() && FTable.IsOpen()) {
      DropOperationRead();
      ReleaseReaderSlots(FTableRead);
      FTableReadDisplaced = false;
      FWriteKept = false;
      ReleaseWriteLock();
      if (FTransactionHeld) FTable.Data().UnlockWriteByte();
      FTransactionHeld = false;
      ReleaseRecordLocks(false);
    }
  } catch (...) {
  }
  FLocked.ClearAll();
  FDeferred.ClearAll();
  FOperationRead = FTableRead = TReadHolding{};
  FTableReadDisplaced = FWriteHeld = FWriteTookByte = FWriteBlob = FWriteKept = false;
  FWriteCacheOnly = false;
  FTransactionHeld = false;
  FOperationDepth = 0;
}

}  // namespace zorvic::engine

// TTableLockState: the locks one table object (TDataTable) holds on its table's files, behind
// TTableLocks.
//
// Every table object has its own handles on the table's files, so its byte-range locks are its
// own: two sessions of one process shut each other out exactly like two processes (the file
// layer refuses an overlapping range to anyone in the process, and the system's open-file
// locks carry the same ranges to other processes). The regions and fixed waits are in
// LockRegions.h.
//
// The four locks of a table object:
//   - read locks, of two kinds with their own slots: the operation read lock (one cursor
//     operation or one cache miss) and the table read lock (SELECT ... WITH LOCKS). Each is a
//     random reader slot of the index file and, when the table has Blob fields, of the BLOB
//     file. Taking one refreshes the table from its headers.
//   - the write lock: the transaction byte (unless the transaction lock holds it), the index
//     writer range, the BLOB writer range. Outside a transaction taking it refreshes. Our own
//     reader slots lie inside the writer range, so they are given up first (a table read lock
//     is taken again when the write lock goes).
//   - the transaction lock: the transaction byte, from the start of the database's transaction
//     to its end. While it is held, reads take no read lock (no other writer can change the
//     table) and record unlocks are deferred to the transaction's end.
//   - record locks: one byte per record in the data file, waited for by the session's
//     LockRetryCount and LockWaitTime; the operation read lock is given up during each pause so
//     that the session holding the record can write meanwhile.
// Exclusive tables and tables whose files carry the read-only attribute take no locks at all.
// Every wait is bounded: a lock not obtained raises VELDOR_LOCKTIMEOUT (10249) or
// VELDOR_RECLOCKFAILED (10258); a lock that cannot be released VELDOR_UNLOCKFAILED (10242) or,
// for write and transaction locks, VELDOR_LOCKTIMEOUT. A lock call that fails holds nothing of
// its own afterwards.
//
// What survives a crash (durability). Before a byte of a table file is overwritten, its old
// content goes to a journal beside the tables, and retiring that journal (zeroing its header,
// Journal.h) is the commit point:
//   - a write of a shared table outside a transaction, a commit (all of its tables together)
//     and a flush of an exclusive table are each one journaled write (Journal.h);
//   - an exclusive table's other writes (its caches making room, emptying it) are saved in its
//     undo journal (UndoJournal.h) and committed by its next flush: a commit, its close, the
//     start of a transaction.
// So:
//   - a process that dies at any moment (kill -9, a crash) leaves each such write complete or
//     not begun: whoever next takes the table's locks (or opens it) plays the journal back
//     first; a commit of several tables is undone in all of them or in none, and an exclusive
//     table is found as it was at its last flush;
//   - a crash before the commit begins loses the transaction and nothing else;
//   - after COMMIT FLUSH (or any write with the session's forced flush) has returned, a power
//     loss loses nothing of it: the journal is synced before the tables are written (an
//     exclusive table with the forced flush syncs its undo journal before every write it
//     covers), the tables before the journal is retired, and its retirement is synced too; a
//     power loss before it returned leaves the old state or the new one;
//   - a write without FLUSH is not synced at all: a power loss may lose it, and since the disk
//     may then keep some of its bytes without the journal's, the table may need
//     `zorvic-table repair`. Only FLUSH promises anything against a power loss;
//   - recovery itself can be interrupted and repeated; a journal whose writer still holds the
//     table's write lock is left alone (an exclusive opener holds the table itself: nobody
//     else can open it while it lives);
//   - a change that fails half-way loses only itself on a shared table outside a transaction,
//     and returns an exclusive table to its last flush. Inside a transaction the caches held
//     the transaction's earlier changes too: its commit then rolls it back and raises
//     VELDOR_WRITEERR naming the table, so it never commits without them (a statement's
//     savepoint that puts the transaction back before the change lifts this).
// Not journaled: in-memory and temporary tables (and every table while a test or benchmark has
// switched the journal off, TableJournal.h; nothing else can). Emptying a table inside a
// transaction is refused with VELDOR_TABLEOPEN naming the table, since it writes the files at
// once, where a rollback could not take it back; the transaction goes on unchanged.
// A commit whose writing fails (disk full, I/O error) puts the files back as they were, keeps
// the transaction with all its changes in the session's caches and its locks (readers wait),
// and the caller commits again or rolls back.
//
// Thread safety: as its table object; one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>

#include "engine/storage/formats/RecordsBitmap.h"
#include "engine/storage/locks/TableLocks.h"

namespace zorvic::engine {

class TDataTable;

class TTableLockState : public TTableLocks {
 public:
  explicit TTableLockState(TDataTable& table) : FTable(table) {}
  ~TTableLockState() override;
  TTableLockState(const TTableLockState&) = delete;
  TTableLockState& operator=(const TTableLockState&) = delete;

  bool TakeReadLock() override;
  // Releases the operation read lock, except inside an operation (EndOperation releases it
  // then). Never raises: it runs in clean-up paths.
  void ReleaseReadLock() override;
  bool TakeWriteLock() override;
  void ReleaseWriteLock() override;
  bool TakeChangeWriteLock() override;
  bool ChangesStayInCache() const override;
  bool InTransaction() const override;
  void BeginOperation() override { ++FOperationDepth; }
  void EndOperation() override;
  bool YieldReadLock() override;
  bool TakeTableReadLock() override;
  void ReleaseTableReadLock() override;
  bool LockRecord(std::int32_t recordNo) override;
  void UnlockRecord(std::int32_t recordNo) override;
  void ReleaseRecordLocks(bool deferredOnly) override;
  void TakeTransactionLock() override;
  void ReleaseTransactionLock() override;

  // A commit whose writing failed keeps the write lock until the transaction ends: while kept,
  // ReleaseWriteLock leaves it held. Keep(false) lets the next ReleaseWriteLock release it.
  void KeepWriteLock(bool keep) { FWriteKept = keep && FWriteHeld; }
  bool WriteLockKept() const { return FWriteKept; }

  // Releases everything (the table closes). Never raises.
  void ReleaseAll() noexcept;
  // Releases the operation read lock a read batch keeps, outside an operation (the table's
  // last cursor closes: an idle table holds no lock). Never raises.
  void EndBatchHold() noexcept;

  bool HoldsReadLock() const { return FOperationRead.Held; }
  bool HoldsTableReadLock() const { return FTableRead.Held; }
  bool HoldsWriteLock() const { return FWriteHeld; }
  bool HoldsTransactionLock() const { return FTransactionHeld; }
  const TRecordsBitmap& LockedRecords() const { return FLocked; }
  const TRecordsBitmap& DeferredReleases() const { return FDeferred; }

 private:
  // The slots of one read lock kind.
  struct TReadHolding {
    bool Held = false;
    int IndexSlot = 0;
    int BlobSlot = 0;  // 0: none taken
  };

  // Exclusive or read-only-attribute tables take no locks.
  bool LockFree() const;
  bool HasBlobFile() const;
  // Takes a reader slot on the index file and, with Blobs, on the BLOB file; raises
  // VELDOR_LOCKTIMEOUT holding nothing when one cannot be had.
  void TakeReaderSlots(TReadHolding& holding);
  // Releases the slots (BLOB first); false when an unlock was refused. The holding is cleared.
  bool ReleaseReaderSlots(TReadHolding& holding) noexcept;
  // Takes a read lock of the given kind and refreshes.
  bool TakeRead(TReadHolding& holding);
  // Releases the operation read lock now, whether inside an operation or not.
  void DropOperationRead() noexcept;
  // After the write lock went: takes the table read lock back that the write lock displaced.
  void RestoreTableRead();
  [[noreturn]] void RaiseLockError(std::uint16_t code) const;
  // Whether the thread's read batch covers this table's session.
  bool InReadBatch() const;
  // After an operation: keeps the operation read lock for the batch (true) while it is young
  // enough, registering it with the batch.
  bool KeepForBatch(std::chrono::steady_clock::time_point now);
  // Leaves the batch's list of kept locks (the lock is released or changes hands).
  void Unkeep() noexcept;
  // Before taking reader slots: a reader that has re-taken them back to back for long makes
  // room for a waiting writer.
  void YieldToWaitingWriter();
  bool WriterWaiting();

  friend class TReadBatch;
  using TClock = std::chrono::steady_clock;

  TDataTable& FTable;
  int FOperationDepth = 0;
  TReadHolding FOperationRead;
  TReadHolding FTableRead;
  bool FTableReadDisplaced = false;  // the table read lock gave way to the write lock
  bool FWriteHeld = false;
  bool FWriteTookByte = false;  // the write lock holds the transaction byte itself
  bool FWriteBlob = false;      // the write lock holds the BLOB writer range
  bool FWriteKept = false;
  bool FWriteCacheOnly = false;  // the write lock of a change inside a transaction: no range
  bool FTransactionHeld = false;
  bool FKept = false;                  // on the read batch's list of kept locks
  TClock::time_point FOperationTaken;  // when the operation read lock was last taken
  TClock::time_point FBusySince;       // start of the run of back-to-back read locks
  TClock::time_point FLastRelease;     // when a read lock was last released
  TRecordsBitmap FLocked;
  TRecordsBitmap FDeferred;
};

}  // namespace zorvic::engine

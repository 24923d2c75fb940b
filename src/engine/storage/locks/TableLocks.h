// The table locks that the data file, the cursors and the maintenance paths call at fixed
// points.
//
// Reads that miss the cache take the table's operation read lock; every change is made under
// the table's write lock and ends with a flush; edits lock their record; transactions hold the
// table's transaction lock from their start to their end. Whoever owns the table's lock state
// (the table object) implements this interface; the default one grants every lock at once and
// never reports a change by someone else, which is right for tables used by one process at a
// time (the table tool, tests).
//
// "Changed" results: true when taking the lock found that another user had changed the table;
// the implementation has then already dropped the stale caches and re-read the headers, and the
// caller repeats what it was doing.
//
// Operations: between BeginOperation and EndOperation (one cursor operation), an operation read
// lock that was taken stays held even when ReleaseReadLock is called; EndOperation releases it.
//
// Failures raise EVELDOREngineError: VELDOR_LOCKTIMEOUT for read, write and transaction locks
// not obtained, VELDOR_RECLOCKFAILED for a record lock not obtained, VELDOR_UNLOCKFAILED for a
// read or record lock that cannot be released.
//
// Runs of reads (TReadBatch): inside a batch the operation read lock a read took is kept after
// its operation ends, so that the next reads of the run (a scan's next records, the record a
// find led to, the second open of a statement) take no lock and read no header. It is kept a
// bounded time only (ReadBatchHoldMs), then released at the end of the operation that finds it
// too old and taken again (with its refresh) by the next read that needs it; the batch's end
// releases every lock it kept. A reader that keeps re-taking read locks back to back for longer
// than that looks for a writer waiting on the table (its transaction byte held) and, when there
// is one, pauses long enough for the writer's next attempt to get in. A single operation that
// reads for long (a filter testing every slot) does the same between its runs of reads
// (YieldReadLock). So a writer never waits much longer than ReadBatchHoldMs plus one pause
// and one run of reads behind any reader, batch or not.
//
// Thread safety: as the table object; one thread at a time. A batch belongs to the thread that
// opened it and covers the tables of one session.
#pragma once

#include <cstdint>

namespace zorvic::engine {

class TDataSession;

// The longest a run of reads keeps its read lock before giving it up once, in milliseconds.
inline constexpr int ReadBatchHoldMs = 10;

// One run of reads of one session on the calling thread (an SQL statement's preparation or
// execution). Batches nest; a batch of another session opened inside one covers nothing. The
// caller must not wait for anything outside the engine (a client, another thread's lock)
// while a batch is open: its kept read locks would keep writers out for that time.
class TReadBatch {
 public:
  explicit TReadBatch(const TDataSession& session);
  // A batch that continues an earlier one of the same session (serial: what Current returned
  // inside it): what the earlier one looked at once is not looked at again. For a statement's
  // execution right after its preparation, which together are one run. 0: a new batch.
  TReadBatch(const TDataSession& session, std::uint64_t serial);
  ~TReadBatch();
  TReadBatch(const TReadBatch&) = delete;
  TReadBatch& operator=(const TReadBatch&) = delete;

  // The serial number of the batch of the session open on this thread (0: none). Each
  // outermost batch gets a new one.
  static std::uint64_t Current(const TDataSession& session);
  // Releases every read lock the thread's batch keeps outside an operation (before the thread
  // waits for a lock of its own, which such a read lock might block).
  static void ReleaseKept() noexcept;

 private:
  bool FActive = false;
};

class TTableLocks {
 public:
  virtual ~TTableLocks() = default;
  // The operation read lock (one cursor operation, or one cache miss).
  virtual bool TakeReadLock() { return false; }
  virtual void ReleaseReadLock() {}
  virtual bool TakeWriteLock() { return false; }
  virtual void ReleaseWriteLock() {}
  // The write lock of one change a cursor makes (an insert, a modification, a deletion), released
  // by ReleaseWriteLock. Inside a transaction such a change stays in the session's caches until
  // the commit, which takes the full write lock to write it; so while the transaction lock is
  // held, this one needs no byte-range lock of its own.
  virtual bool TakeChangeWriteLock() { return TakeWriteLock(); }
  // Whether a record slot that no other user can see yet (beyond the table's end as the files
  // hold it) needs no record lock: true while this table's changes stay in the caches of a
  // transaction that holds the table's transaction lock.
  virtual bool ChangesStayInCache() const { return false; }
  // Inside a transaction nothing is written before the commit.
  virtual bool InTransaction() const { return false; }

  // One cursor operation (see above).
  virtual void BeginOperation() {}
  virtual void EndOperation() {}
  // Inside an operation (not nested in another of the table) that has held its operation read
  // lock for longer than ReadBatchHoldMs (a read of every slot of a large table): when a writer
  // waits for the table, gives the lock up for one pause and takes it again. Returns changed, as
  // TakeReadLock; what the caller read before is then as it was before the writer's change.
  virtual bool YieldReadLock() { return false; }
  // The table read lock held across many operations (SELECT ... WITH LOCKS).
  virtual bool TakeTableReadLock() { return false; }
  virtual void ReleaseTableReadLock() {}
  // Record locks of the table object. LockRecord returns changed; inside a transaction an
  // unlock only defers the release to the transaction's end.
  virtual bool LockRecord(std::int32_t /*recordNo*/) { return false; }
  virtual void UnlockRecord(std::int32_t /*recordNo*/) {}
  // Releases every record lock held, or only the deferred ones.
  virtual void ReleaseRecordLocks(bool /*deferredOnly*/) {}
  // The transaction lock: taken when the table joins its database's transaction, released
  // when the transaction ends (which releases the deferred record locks).
  virtual void TakeTransactionLock() {}
  virtual void ReleaseTransactionLock() {}
};

// The operation read lock for a scope, released at its end. Changed: taking it found the table
// changed (and refreshed), as TakeReadLock returned it.
struct TReadLockHold {
  explicit TReadLockHold(TTableLocks& locks) : Locks(locks), Changed(locks.TakeReadLock()) {}
  ~TReadLockHold() { Locks.ReleaseReadLock(); }
  TReadLockHold(const TReadLockHold&) = delete;
  TReadLockHold& operator=(const TReadLockHold&) = delete;
  TTableLocks& Locks;
  const bool Changed;
};

// The process-wide grant-everything instance.
inline TTableLocks& NoTableLocks() {
  static TTableLocks locks;
  return locks;
}

}  // namespace zorvic::engine

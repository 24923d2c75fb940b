// The table locks that the data file and the maintenance paths call at fixed points.
//
// Reads that miss the cache take the table's operation read lock; every change is made under
// the table's write lock and ends with a flush. Whoever owns the table's lock state (the table
// object) implements this interface; until it exists the default one grants every lock at once
// and never reports a change by someone else, which is right for tables used by one process
// at a time (the table tool, tests).
//
// "Changed" results: true when taking the lock found that another user had changed the table;
// the implementation has then already dropped the stale caches and re-read the headers, and the
// caller repeats what it was doing.
//
// Thread safety: as the table object; one thread at a time.
#pragma once

namespace zorvic::engine {

class TTableLocks {
 public:
  virtual ~TTableLocks() = default;
  virtual bool TakeReadLock() { return false; }
  virtual void ReleaseReadLock() {}
  virtual bool TakeWriteLock() { return false; }
  virtual void ReleaseWriteLock() {}
  // Inside a transaction nothing is written before the commit.
  virtual bool InTransaction() const { return false; }
};

// The process-wide grant-everything instance.
inline TTableLocks& NoTableLocks() {
  static TTableLocks locks;
  return locks;
}

}  // namespace zorvic::engine

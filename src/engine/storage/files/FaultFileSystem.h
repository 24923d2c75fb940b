// A file system for tests that breaks on request.
//
// TFaultFileSystem passes every call to a base file system (the real one by default) and can:
//   - fail the Nth read or write from now (once, or that one and every later one) with an errno;
//   - fail syncs;
//   - act as a disk with only so many free bytes: a write that would grow the files beyond that
//     writes what fits (a short write) and the next one fails with ENOSPC;
//   - stop dead: after the Nth write, truncation, sync, unlink or rename from now every further
//     call that touches a file (those, reads and opens) is refused with EIO, as if the process
//     had died at that point (CrashAfter);
//   - "crash": put every file back as it was at its last sync, discarding everything written (or
//     truncated) since. It keeps, per file, the old bytes of every range changed since the file's
//     last sync and replays them backwards on SimulateCrash.
// Counters of the calls let tests check what reached the files and which files were synced.
//
// Install it with InstallFileSystem (FileSystem.h) before opening files, or give it to a separate
// TFileList. Files created and never synced still exist after a crash (with no content); folder
// entries are not tracked.
//
// Thread safety: all calls may come from any thread; the object's state is under one mutex.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/storage/files/FileSystem.h"

namespace zorvic::engine {

class TFaultFileSystem : public TFileSystem {
 public:
  explicit TFaultFileSystem(TFileSystem& base = RealFileSystem());
  ~TFaultFileSystem() override;

  // The nth PWrite / PRead / Sync from now (1 = the next) fails with error; with sticky every
  // later one fails too. n = 0 disables.
  void FailWrite(std::int64_t n, int error = 5 /* EIO */, bool sticky = false);
  void FailRead(std::int64_t n, int error = 5 /* EIO */, bool sticky = false);
  void FailSync(std::int64_t n, int error = 5 /* EIO */, bool sticky = false);
  // The disk can take freeBytes more bytes of file growth; -1 means unlimited.
  void SetFreeSpace(std::int64_t freeBytes);
  // After n more writes, truncations, syncs, unlinks or renames, refuse all I/O (EIO) until
  // ClearFaults. n = 0 refuses from the next call on.
  void CrashAfter(std::int64_t n);
  bool Crashed() const;
  // Writes, truncations, syncs, unlinks and renames made so far.
  std::int64_t Changes() const;
  // Undo every change made since each file's last sync.
  void SimulateCrash();
  // Count everything written so far as synced (SimulateCrash then keeps it).
  void ForgetUnsynced();
  // Forget the faults (not the recorded changes).
  void ClearFaults();

  std::int64_t Writes() const;
  std::int64_t Reads() const;
  std::int64_t Syncs() const;
  // Syncs of the file at path (as opened).
  std::int64_t SyncsOf(const std::string& path) const;
  // Bytes written since the last sync, over all files (what a crash would lose).
  std::int64_t UnsyncedBytes() const;

  int Open(const std::string& path, int flags, mode_t mode) override;
  int Close(int fd) override;
  ssize_t PRead(int fd, void* buffer, std::size_t count, std::int64_t offset) override;
  ssize_t PWrite(int fd, const void* buffer, std::size_t count, std::int64_t offset) override;
  int Truncate(int fd, std::int64_t size) override;
  int Sync(int fd) override;
  int Size(int fd, std::int64_t* size) override;
  int LockRange(int fd, bool exclusive, std::int64_t offset, std::int64_t length) override;
  int UnlockRange(int fd, std::int64_t offset, std::int64_t length) override;
  int LockOpenMode(int fd, bool exclusive) override;
  int Stat(const std::string& path, TFileStatus* status) override;
  int Unlink(const std::string& path) override;
  int Rename(const std::string& from, const std::string& to) override;
  int ListDirectory(const std::string& directory, std::vector<std::string>* names) override;

 private:
  struct TFault {
    std::int64_t Countdown = 0;  // calls until the failing one; 0 = off
    int Error = 0;
    bool Sticky = false;
    bool Tripped = false;
    // True when this call must fail.
    bool Hit();
  };
  struct TUndo {
    std::int64_t Offset;
    std::vector<char> Bytes;  // the bytes the range held before the change
  };
  struct TFileLog {
    std::string Path;
    bool Changed = false;
    std::int64_t SyncedSize = 0;  // size at the last sync
    std::vector<TUndo> Undo;      // in the order of the changes
    std::int64_t Syncs = 0;
  };
  using TFileId = std::pair<dev_t, ino_t>;

  bool IdOf(int fd, TFileId* id);
  // Counts a change; false (errno EIO) when the stop has come. Under FMutex.
  bool AllowChange();
  // False (errno EIO) once stopped. Under FMutex.
  bool AllowAccess();
  TFileLog& LogOf(int fd);
  // Records the bytes [offset, offset + count) as they are now, before they change.
  void Remember(int fd, std::int64_t offset, std::int64_t count);

  TFileSystem& FBase;
  mutable std::mutex FMutex;
  TFault FWriteFault;
  TFault FReadFault;
  TFault FSyncFault;
  std::int64_t FFreeSpace = -1;
  std::int64_t FWrites = 0;
  std::int64_t FReads = 0;
  std::int64_t FSyncs = 0;
  std::int64_t FChanges = 0;
  std::int64_t FCrashCountdown = -1;  // changes still allowed; -1: no stop armed
  bool FCrashed = false;
  std::map<int, std::string> FPaths;  // open descriptors
  std::map<TFileId, TFileLog> FLogs;
};

}  // namespace zorvic::engine

// TDataSession: one engine session, the root of the objects a user of the engine works with.
//
// The object tree is: process-wide state (the file list, the error context, the collations and
// their character maps, the lock-slot random generator) -> sessions -> databases
// (TDataDirectory, one per directory a session uses, reference-counted) -> open tables
// (TDataTable) -> cursors (TDataCursor). Two sessions that use the same table share nothing but
// the operating-system file and coordinate through the table files' headers and locks.
//
// A session carries the settings below (each changeable at any time), the list of its open
// databases and the list of table passwords. A database is a directory of table files; the name
// "Memory" (in any case) selects the process's in-memory database.
//
// Thread safety: the server uses one session from many threads, each database behind its own
// lock. Every list and setting of TDataSession is therefore guarded by the session's mutex:
// settings, passwords, and opening and closing databases may be called from any thread. A
// TDataDirectory with its tables and cursors is used by one thread at a time (see
// DataDirectory.h). The process-wide state guards itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zorvic::engine {

class TDataDirectory;

enum class TLockProtocol : std::uint8_t { lpPessimistic, lpOptimistic };

// The settings of a session, with their defaults.
struct TSessionSettings {
  // Granularity (in percent) of progress callbacks of long operations.
  int ProgressSteps = 20;
  // After every write that reaches the table files, also flush the system's buffers.
  bool ForceBufferFlush = false;
  // Check for changes by others before every read, not only at cache misses.
  bool StrictChangeDetection = false;
  // Further attempts at a record lock after the first, and the pause between them.
  std::uint8_t LockRetryCount = 15;
  std::uint16_t LockWaitTime = 100;
  TLockProtocol LockProtocol = TLockProtocol::lpPessimistic;
  // Where temporary tables and temporary index files go (with a trailing separator).
  std::string PrivateDir;
  // Cache budgets of every table opened in the session. Each index may keep 1024 pages (at
  // IndexCacheBytesPerPage a page): the path from the root and every leaf of an index of some
  // 100,000 short keys stay resident, so that point lookups read no index page from the file.
  // The records get the same 8 MB (65,536 records at most): the records of such a table stay
  // too, and a lookup of a cached record takes no lock and reads nothing. Scans in file order
  // read past the record cache (TDataCursor::ReadFromWindow), so they neither fill it nor
  // walk it. A cache holds only the units read, so small tables cost what they did with the
  // smallest budgets.
  std::int64_t RecordCacheBytes = 8 << 20;
  std::int64_t RecordCacheCount = 65536;
  std::int64_t IndexCacheBytes = 8 << 20;
  std::int64_t BlobCacheBytes = 32768;
  std::int64_t BlobCacheCount = 8192;
};

class TDataSession {
 public:
  // serverSide marks a session made by a server for its own use (kept for the components; a
  // local session behaves the same either way).
  explicit TDataSession(bool serverSide = false);
  // Closes every database still open (their tables are closed after a flush).
  ~TDataSession();
  TDataSession(const TDataSession&) = delete;
  TDataSession& operator=(const TDataSession&) = delete;

  // The engine's global session, made on first use and never destroyed before exit.
  static TDataSession& Default();

  // ---- settings ----------------------------------------------------------------------
  TSessionSettings Settings() const;
  // Goes up with every change of a setting, so that users of a copy know when to take a new one.
  std::uint64_t SettingsVersion() const { return FSettingsVersion.load(std::memory_order_acquire); }
  void SetSettings(const TSessionSettings& settings);
  void SetProgressSteps(int steps);
  void SetForceBufferFlush(bool on);
  void SetStrictChangeDetection(bool on);
  void SetLockRetryCount(std::uint8_t count);
  void SetLockWaitTime(std::uint16_t ms);
  void SetLockProtocol(TLockProtocol protocol);
  // An empty text selects the current directory at session creation; a trailing separator is
  // added.
  void SetPrivateDir(const std::string& dir);
  std::string PrivateDir() const;
  bool ServerSide() const { return FServerSide; }
  bool Remote() const { return false; }
  // The directory that was current when the session was made (with a trailing separator).
  const std::string& StartDirectory() const { return FStartDirectory; }

  // ---- databases ---------------------------------------------------------------------
  // Opens a database: "Memory" in any case gives the in-memory database; any other name is a
  // directory path (trimmed, a trailing separator added; empty = the start directory). An open
  // database of the same path (compared trimmed and case-insensitively) is reused and its
  // reference count incremented.
  TDataDirectory& OpenDatabase(const std::string& nameOrPath);
  // Decrements the reference count; at 0 the database and its table objects are destroyed.
  void CloseDatabase(TDataDirectory& database);
  std::size_t DatabaseCount() const;

  // ---- table passwords ---------------------------------------------------------------
  // Add ignores a password already present (case-sensitive); passwords are cut to 255
  // characters.
  void AddPassword(const std::string& password);
  void RemovePassword(const std::string& password);
  void RemoveAllPasswords();
  bool HasPassword(const std::string& password) const;

  // The normalised path under which a database name is kept: "" for the in-memory database,
  // otherwise the trimmed path with a trailing "/" (relative paths are taken from `start`).
  static std::string DatabasePath(const std::string& nameOrPath, const std::string& start,
                                  bool* inMemory);

 private:
  mutable std::mutex FMutex;
  bool FServerSide;
  std::string FStartDirectory;
  TSessionSettings FSettings;
  std::atomic<std::uint64_t> FSettingsVersion{1};
  std::vector<std::unique_ptr<TDataDirectory>> FDatabases;
  std::vector<std::string> FPasswords;
};

// A reader slot number (1..65,535) for the table read locks, from the process's random
// generator (seeded at start, guarded by its own lock).
int DrawLockSlot();

}  // namespace zorvic::engine

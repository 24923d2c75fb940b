// TVELDORSessionList and TVELDORSession: the session components.
//
// A TVELDORSession wraps an engine session (TDataSession). The session list, made on first use
// and alive until the process ends, holds every session component, every database component,
// the bit set that numbers automatic session names, and the process-wide session lock. The
// default session ("Default") is made with the list; it uses the engine's global session,
// every other session gets an engine session of its own.
//
// Datasets that name no session work in the default session. A dataset's database is found by
// its DatabaseName among the database components of its session; when there is none the
// session makes a temporary one whose Directory is that name (a folder path, or "Memory" for the
// in-memory database), keeps it connected while datasets use it and, with KeepConnections,
// afterwards too.
//
// Thread safety: the session lock (re-entrant) serialises activation and deactivation,
// opening, connecting and releasing databases and changing session settings across all
// sessions, so those may be called from any thread. Everything else of a session, with its
// databases and datasets, is used by one thread at a time; threads that work at the same time
// each need a session of their own (AutoSessionName gives unique names). Components that all
// use the default session must be serialised by their user.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/storage/sessions/DataSession.h"

namespace zorvic::engine {

class TVELDORDatabase;
class TVELDORSession;

enum class TSessionType : std::uint8_t { stLocal, stRemote };

// Called when a session is activated, before anything else.
using TSessionStartupEvent = std::function<void(TVELDORSession& session)>;
// Asked for the password of an encrypted table; it may add the password to the session and
// returns true to try the open again.
using TSessionPasswordEvent =
    std::function<bool(TVELDORSession& session, const std::string& table)>;

// The cache budgets of a table's files (the storage session settings of the same names): the
// record cache holds at most RecordCacheBytes of records and RecordCacheCount records, each
// index at most IndexCacheBytes (at IndexCacheBytesPerPage a page), the BLOB cache
// BlobCacheBytes and BlobCacheCount blocks. A cache always keeps at least one unit, so 0 bytes
// is the smallest cache there is. Byte budgets from 0 to kMaxCacheBytes, counts from 1 to
// kMaxCacheCount; anything else is refused with "Cache size %s is not valid.".
struct TTableCacheSizes {
  std::int64_t RecordCacheBytes = 16384;
  std::int64_t RecordCacheCount = 8192;
  std::int64_t IndexCacheBytes = 16384;
  std::int64_t BlobCacheBytes = 32768;
  std::int64_t BlobCacheCount = 8192;
  bool operator==(const TTableCacheSizes&) const = default;
};
inline constexpr std::int64_t kMaxCacheBytes = std::int64_t{1} << 30;
inline constexpr std::int64_t kMaxCacheCount = std::int64_t{1} << 20;

// Raises "Cache size %s is not valid." (naming the first bad budget and its value) unless every
// value is in range.
void CheckCacheSizes(const TTableCacheSizes& sizes);

// The version every component reports.
inline constexpr const char* kComponentEngineVersion = "3.21";

class TVELDORSession {
 public:
  // A session that is not the default one. `name` is the component's own name (the stem of an
  // automatic session name); `owner` groups components the way a form or module would (may be
  // nullptr). "This auto-session already exists." when the owner already has an auto-named
  // session.
  explicit TVELDORSession(std::string name = {}, const void* owner = nullptr);
  // Deactivates the session (closing its database components) and leaves the list.
  ~TVELDORSession();
  TVELDORSession(const TVELDORSession&) = delete;
  TVELDORSession& operator=(const TVELDORSession&) = delete;

  // ---- activation ----------------------------------------------------------------------
  bool Active() const { return FActive; }
  void SetActive(bool active);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool IsDefault() const { return FIsDefault; }
  // The engine session while active, else nullptr.
  TDataSession* Engine() const { return FEngine; }

  // ---- properties ----------------------------------------------------------------------
  const std::string& Name() const { return FName; }
  const void* Owner() const { return FOwner; }
  const std::string& SessionName() const { return FSessionName; }
  // Refused on an active session and on an auto-named one; a name another session has gives
  // "Session name %s already exists.".
  void SetSessionName(const std::string& name);
  bool AutoSessionName() const { return FAutoSessionName; }
  void SetAutoSessionName(bool on);
  bool KeepConnections() const { return FKeepConnections; }
  void SetKeepConnections(bool on) { FKeepConnections = on; }
  // Empty: the system's temporary folder.
  const std::string& PrivateDir() const { return FPrivateDir; }
  void SetPrivateDir(const std::string& dir);
  int ProgressSteps() const { return FProgressSteps; }
  // Values above 100 are ignored.
  void SetProgressSteps(int steps);
  bool ForceBufferFlush() const { return FForceBufferFlush; }
  void SetForceBufferFlush(bool on);
  bool StrictChangeDetection() const { return FStrictChangeDetection; }
  void SetStrictChangeDetection(bool on);
  std::uint8_t LockRetryCount() const { return FLockRetryCount; }
  void SetLockRetryCount(std::uint8_t count);
  std::uint16_t LockWaitTime() const { return FLockWaitTime; }
  void SetLockWaitTime(std::uint16_t ms);
  TLockProtocol LockProtocol() const { return FLockProtocol; }
  void SetLockProtocol(TLockProtocol protocol);
  // The cache budgets of every table the session opens (a table component may set its own).
  // Takes effect at once on the tables open in the session; refused values (CheckCacheSizes)
  // leave the settings as they were.
  const TTableCacheSizes& CacheSizes() const { return FCacheSizes; }
  void SetCacheSizes(const TTableCacheSizes& sizes);
  TSessionType SessionType() const { return FSessionType; }
  // Refused on an active session.
  void SetSessionType(TSessionType type);
  const char* EngineVersion() const { return kComponentEngineVersion; }

  TSessionStartupEvent OnStartup;
  TSessionPasswordEvent OnPassword;

  // ---- databases -------------------------------------------------------------------------
  // The database component of this session for a dataset (activating the session): one of
  // this session with that DatabaseName (case-insensitive; one with the dataset's owner
  // preferred), or a new temporary one. Connects it and counts the dataset as its user; a
  // failure destroys a database made here and is raised.
  TVELDORDatabase& OpenDatabase(const std::string& databaseName, const void* owner = nullptr);
  // A dataset stops using the database: at 0 users and without KeepConnection a temporary
  // database is destroyed and a named one disconnected.
  void CloseDatabase(TVELDORDatabase& database);
  // The database components of this session (temporary ones included).
  std::vector<TVELDORDatabase*> Databases() const;
  // A database component of this session by name (case-insensitive), or nullptr.
  TVELDORDatabase* FindDatabase(const std::string& databaseName, const void* owner = nullptr) const;

  // ---- table passwords (the session must be active) -------------------------------------
  void AddPassword(const std::string& password);
  void RemovePassword(const std::string& password);
  void RemoveAllPasswords();

 private:
  friend class TVELDORSessionList;
  friend class TVELDORDatabase;
  struct TDefaultTag {};
  explicit TVELDORSession(TDefaultTag);

  void Activate();
  void Deactivate();
  void ApplySettings();
  TSessionSettings SettingsForEngine() const;
  // Runs `change` and, when active, carries the settings into the engine session.
  template <class F>
  void ChangeSetting(F&& change);
  void DestroyTemporary(TVELDORDatabase& database);

  bool FIsDefault = false;
  bool FActive = false;
  std::string FName;
  const void* FOwner = nullptr;
  std::string FSessionName;
  bool FAutoSessionName = false;
  int FAutoNumber = -1;  // the number taken from the list's bit set, or -1
  bool FKeepConnections = true;
  std::string FPrivateDir;
  int FProgressSteps = 20;
  bool FForceBufferFlush = false;
  bool FStrictChangeDetection = false;
  std::uint8_t FLockRetryCount = 15;
  std::uint16_t FLockWaitTime = 100;
  TLockProtocol FLockProtocol = TLockProtocol::lpPessimistic;
  TSessionType FSessionType = TSessionType::stLocal;
  TTableCacheSizes FCacheSizes;
  TDataSession* FEngine = nullptr;
  std::unique_ptr<TDataSession> FOwnEngine;
  // Temporary database components the session made for datasets (it owns them).
  std::vector<std::unique_ptr<TVELDORDatabase>> FTemporaries;
};

class TVELDORSessionList {
 public:
  // The process's list, made with the default session on first use and never destroyed.
  static TVELDORSessionList& Instance();

  TVELDORSession& DefaultSession() { return *FDefault; }
  // By name, case-insensitively; an empty name gives the default session; nullptr when none.
  TVELDORSession* FindSession(const std::string& name);
  // As FindSession, raising "Session name %s is not valid." when there is none.
  TVELDORSession& SessionByName(const std::string& name);
  std::size_t Count() const;
  std::vector<TVELDORSession*> Sessions() const;

  // The process-wide session lock (re-entrant).
  std::recursive_mutex& SessionLock() { return FSessionLock; }

 private:
  friend class TVELDORSession;
  friend class TVELDORDatabase;
  TVELDORSessionList();

  void AddSession(TVELDORSession* session);
  void RemoveSession(TVELDORSession* session);
  int TakeAutoNumber();
  void GiveAutoNumber(int n);
  void AddDatabase(TVELDORDatabase* database);
  void RemoveDatabase(TVELDORDatabase* database);
  std::vector<TVELDORDatabase*> DatabasesOf(const TVELDORSession& session) const;

  mutable std::mutex FListLock;
  std::recursive_mutex FSessionLock;
  std::vector<TVELDORSession*> FSessions;
  std::vector<TVELDORDatabase*> FDatabases;
  std::vector<bool> FAutoNumbers;
  TVELDORSession* FDefault = nullptr;
};

// Case-insensitive comparison of component names (ASCII letters).
bool SameComponentName(const std::string& a, const std::string& b);

}  // namespace zorvic::engine

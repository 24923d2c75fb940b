// The session list and the session components: activation, settings carried into the engine
// session, automatic names, and the databases the session opens for datasets.
#include "engine/components/Session.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>

#include "engine/components/Database.h"
#include "engine/components/DatabaseError.h"

namespace zorvic::engine {

bool SameComponentName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

void CheckCacheSizes(const TTableCacheSizes& sizes) {
  auto check = [](const char* name, std::int64_t value, std::int64_t low, std::int64_t high) {
    if (value < low || value > high)
      RaiseDatabaseError(kCacheSizeInvalid, std::string(name) + " " + std::to_string(value));
  };
  check("RecordCacheBytes", sizes.RecordCacheBytes, 0, kMaxCacheBytes);
  check("RecordCacheCount", sizes.RecordCacheCount, 1, kMaxCacheCount);
  check("IndexCacheBytes", sizes.IndexCacheBytes, 0, kMaxCacheBytes);
  check("BlobCacheBytes", sizes.BlobCacheBytes, 0, kMaxCacheBytes);
  check("BlobCacheCount", sizes.BlobCacheCount, 1, kMaxCacheCount);
}

// ---- session list ------------------------------------------------------------------------

TVELDORSessionList& TVELDORSessionList::Instance() {
  // Never destroyed: components may outlive static destruction order, and the engine's global
  // session the default session uses lives to the end of the process as well.
  static TVELDORSessionList* list = new TVELDORSessionList();
  return *list;
}

TVELDORSessionList::TVELDORSessionList() {
  FDefault = new TVELDORSession(TVELDORSession::TDefaultTag{});
  FSessions.push_back(FDefault);
}

TVELDORSession* TVELDORSessionList::FindSession(const std::string& name) {
  if (name.empty()) return FDefault;
  std::lock_guard<std::mutex> lock(FListLock);
  for (TVELDORSession* s : FSessions)
    if (SameComponentName(s->SessionName(), name)) return s;
  return nullptr;
}

TVELDORSession& TVELDORSessionList::SessionByName(const std::string& name) {
  TVELDORSession* s = FindSession(name);
  if (!s) RaiseDatabaseError(kSessionNameInvalid, name);
  return *s;
}

std::size_t TVELDORSessionList::Count() const {
  std::lock_guard<std::mutex> lock(FListLock);
  return FSessions.size();
}

std::vector<TVELDORSession*> TVELDORSessionList::Sessions() const {
  std::lock_guard<std::mutex> lock(FListLock);
  return FSessions;
}

void TVELDORSessionList::AddSession(TVELDORSession* session) {
  std::lock_guard<std::mutex> lock(FListLock);
  FSessions.push_back(session);
}

void TVELDORSessionList::RemoveSession(TVELDORSession* session) {
  std::lock_guard<std::mutex> lock(FListLock);
  FSessions.erase(std::remove(FSessions.begin(), FSessions.end(), session), FSessions.end());
}

int TVELDORSessionList::TakeAutoNumber() {
  std::lock_guard<std::mutex> lock(FListLock);
  for (std::size_t i = 0; i < FAutoNumbers.size(); ++i)
    if (!FAutoNumbers[i]) {
      FAutoNumbers[i] = true;
      return static_cast<int>(i);
    }
  FAutoNumbers.push_back(true);
  return static_cast<int>(FAutoNumbers.size() - 1);
}

void TVELDORSessionList::GiveAutoNumber(int n) {
  std::lock_guard<std::mutex> lock(FListLock);
  if (n >= 0 && static_cast<std::size_t>(n) < FAutoNumbers.size()) FAutoNumbers[n] = false;
}

void TVELDORSessionList::AddDatabase(TVELDORDatabase* database) {
  std::lock_guard<std::mutex> lock(FListLock);
  FDatabases.push_back(database);
}

void TVELDORSessionList::RemoveDatabase(TVELDORDatabase* database) {
  std::lock_guard<std::mutex> lock(FListLock);
  FDatabases.erase(std::remove(FDatabases.begin(), FDatabases.end(), database), FDatabases.end());
}

std::vector<TVELDORDatabase*> TVELDORSessionList::DatabasesOf(const TVELDORSession& session) const {
  std::lock_guard<std::mutex> lock(FListLock);
  std::vector<TVELDORDatabase*> result;
  for (TVELDORDatabase* d : FDatabases) {
    if (d->Session() == &session) {
      result.push_back(d);
      continue;
    }
    if (d->Connected()) continue;  // connected in another session
    const bool mine = d->SessionName().empty()
                          ? session.IsDefault()
                          : SameComponentName(d->SessionName(), session.SessionName());
    if (mine) result.push_back(d);
  }
  return result;
}

// ---- session -----------------------------------------------------------------------------

TVELDORSession::TVELDORSession(TDefaultTag) : FIsDefault(true), FSessionName("Default") {}

TVELDORSession::TVELDORSession(std::string name, const void* owner)
    : FName(std::move(name)), FOwner(owner) {
  TVELDORSessionList& list = TVELDORSessionList::Instance();
  std::lock_guard<std::recursive_mutex> lock(list.SessionLock());
  if (owner)
    for (TVELDORSession* s : list.Sessions())
      if (s->FOwner == owner && s->FAutoSessionName) RaiseDatabaseError(kAutoSessionExists);
  list.AddSession(this);
}

TVELDORSession::~TVELDORSession() {
  TVELDORSessionList& list = TVELDORSessionList::Instance();
  std::lock_guard<std::recursive_mutex> lock(list.SessionLock());
  try {
    Deactivate();
  } catch (...) {
    // A destructor cannot report; the engine session is gone either way.
  }
  if (FAutoNumber >= 0) list.GiveAutoNumber(FAutoNumber);
  list.RemoveSession(this);
}

void TVELDORSession::SetActive(bool active) {
  std::lock_guard<std::recursive_mutex> lock(TVELDORSessionList::Instance().SessionLock());
  if (active == FActive) return;
  if (active)
    Activate();
  else
    Deactivate();
}

void TVELDORSession::Activate() {
  if (OnStartup) OnStartup(*this);
  if (FSessionName.empty()) RaiseDatabaseError(kSessionNameMissing);
  if (!FIsDefault) TVELDORSessionList::Instance().DefaultSession().SetActive(true);
  if (FIsDefault) {
    FEngine = &TDataSession::Default();
  } else {
    FOwnEngine = std::make_unique<TDataSession>();
    FEngine = FOwnEngine.get();
  }
  try {
    ApplySettings();
  } catch (...) {
    FEngine = nullptr;
    FOwnEngine.reset();
    throw;
  }
  FActive = true;
}

void TVELDORSession::Deactivate() {
  if (!FActive) return;
  // Temporary databases are destroyed, the others disconnected (which closes their datasets).
  for (TVELDORDatabase* d : TVELDORSessionList::Instance().DatabasesOf(*this)) {
    if (d->Temporary())
      DestroyTemporary(*d);
    else
      d->SetConnected(false);
  }
  FEngine = nullptr;
  FOwnEngine.reset();
  FActive = false;
}

TSessionSettings TVELDORSession::SettingsForEngine() const {
  TSessionSettings s = FEngine->Settings();
  s.ProgressSteps = FProgressSteps;
  s.ForceBufferFlush = FForceBufferFlush;
  s.StrictChangeDetection = FStrictChangeDetection;
  s.LockRetryCount = FLockRetryCount;
  s.LockWaitTime = FLockWaitTime;
  s.LockProtocol = FLockProtocol;
  s.RecordCacheBytes = FCacheSizes.RecordCacheBytes;
  s.RecordCacheCount = FCacheSizes.RecordCacheCount;
  s.IndexCacheBytes = FCacheSizes.IndexCacheBytes;
  s.BlobCacheBytes = FCacheSizes.BlobCacheBytes;
  s.BlobCacheCount = FCacheSizes.BlobCacheCount;
  return s;
}

void TVELDORSession::ApplySettings() {
  FEngine->SetSettings(SettingsForEngine());
  FEngine->SetPrivateDir(FPrivateDir.empty() ? std::filesystem::temp_directory_path().string()
                                             : FPrivateDir);
}

template <class F>
void TVELDORSession::ChangeSetting(F&& change) {
  std::lock_guard<std::recursive_mutex> lock(TVELDORSessionList::Instance().SessionLock());
  change();
  if (FActive) ApplySettings();
}

void TVELDORSession::SetSessionName(const std::string& name) {
  std::lock_guard<std::recursive_mutex> lock(TVELDORSessionList::Instance().SessionLock());
  if (FAutoSessionName) RaiseDatabaseError(kAutoSessionActive);
  if (FActive) RaiseDatabaseError(kSessionActive);
  if (!name.empty())
    for (TVELDORSession* s : TVELDORSessionList::Instance().Sessions())
      if (s != this && SameComponentName(s->FSessionName, name))
        RaiseDatabaseError(kSessionNameExists, name);
  FSessionName = name;
}

void TVELDORSession::SetAutoSessionName(bool on) {
  TVELDORSessionList& list = TVELDORSessionList::Instance();
  std::lock_guard<std::recursive_mutex> lock(list.SessionLock());
  if (on == FAutoSessionName) return;
  if (FActive) RaiseDatabaseError(kSessionActive);
  if (on) {
    if (FOwner)
      for (TVELDORSession* s : list.Sessions())
        if (s != this && s->FOwner == FOwner) RaiseDatabaseError(kAutoSessionOnly);
    const int n = list.TakeAutoNumber();
    FAutoNumber = n;
    FSessionName = (FName.empty() ? std::string("Session") : FName) + "_" + std::to_string(n + 1);
    FAutoSessionName = true;
  } else {
    list.GiveAutoNumber(FAutoNumber);
    FAutoNumber = -1;
    FAutoSessionName = false;
    FSessionName.clear();
  }
}

void TVELDORSession::SetPrivateDir(const std::string& dir) {
  ChangeSetting([&] { FPrivateDir = dir; });
}

void TVELDORSession::SetProgressSteps(int steps) {
  if (steps < 0 || steps > 100) return;
  ChangeSetting([&] { FProgressSteps = steps; });
}

void TVELDORSession::SetForceBufferFlush(bool on) {
  ChangeSetting([&] { FForceBufferFlush = on; });
}

void TVELDORSession::SetStrictChangeDetection(bool on) {
  ChangeSetting([&] { FStrictChangeDetection = on; });
}

void TVELDORSession::SetLockRetryCount(std::uint8_t count) {
  ChangeSetting([&] { FLockRetryCount = count; });
}

void TVELDORSession::SetLockWaitTime(std::uint16_t ms) {
  ChangeSetting([&] { FLockWaitTime = ms; });
}

void TVELDORSession::SetCacheSizes(const TTableCacheSizes& sizes) {
  CheckCacheSizes(sizes);
  ChangeSetting([&] { FCacheSizes = sizes; });
}

void TVELDORSession::SetLockProtocol(TLockProtocol protocol) {
  ChangeSetting([&] { FLockProtocol = protocol; });
}

void TVELDORSession::SetSessionType(TSessionType type) {
  std::lock_guard<std::recursive_mutex> lock(TVELDORSessionList::Instance().SessionLock());
  if (FActive) RaiseDatabaseError(kSessionActive);
  FSessionType = type;
}

// ---- databases ---------------------------------------------------------------------------

std::vector<TVELDORDatabase*> TVELDORSession::Databases() const {
  return TVELDORSessionList::Instance().DatabasesOf(*this);
}

TVELDORDatabase* TVELDORSession::FindDatabase(const std::string& databaseName,
                                              const void* owner) const {
  TVELDORDatabase* found = nullptr;
  for (TVELDORDatabase* d : Databases()) {
    if (!SameComponentName(d->DatabaseName(), databaseName)) continue;
    if (owner && d->Owner() == owner) return d;
    if (!found) found = d;
  }
  return found;
}

TVELDORDatabase& TVELDORSession::OpenDatabase(const std::string& databaseName, const void* owner) {
  std::lock_guard<std::recursive_mutex> lock(TVELDORSessionList::Instance().SessionLock());
  TVELDORDatabase* database = FindDatabase(databaseName, owner);
  bool made = false;
  if (!database) {
    FTemporaries.push_back(std::unique_ptr<TVELDORDatabase>(
        new TVELDORDatabase(TVELDORDatabase::TTemporaryTag{}, *this, databaseName)));
    database = FTemporaries.back().get();
    made = true;
  }
  try {
    database->SetConnected(true);
  } catch (...) {
    if (made) DestroyTemporary(*database);
    throw;
  }
  ++database->FRefCount;
  return *database;
}

void TVELDORSession::CloseDatabase(TVELDORDatabase& database) {
  std::lock_guard<std::recursive_mutex> lock(TVELDORSessionList::Instance().SessionLock());
  if (database.FRefCount > 0) --database.FRefCount;
  if (database.FRefCount > 0) return;
  if (database.FKeepConnection) {
    // The connection stays, but the tables the engine kept open for the next statement go:
    // a database that nobody uses holds no files open.
    if (database.FConnected && database.FEngine && !database.FBorrowed &&
        !database.FEngine->InTransaction())
      database.FEngine->CloseParkedTables();
    return;
  }
  if (database.Temporary())
    DestroyTemporary(database);
  else
    database.SetConnected(false);
}

void TVELDORSession::DestroyTemporary(TVELDORDatabase& database) {
  auto it = std::find_if(FTemporaries.begin(), FTemporaries.end(),
                         [&](const auto& p) { return p.get() == &database; });
  if (it == FTemporaries.end()) return;
  std::unique_ptr<TVELDORDatabase> doomed = std::move(*it);
  FTemporaries.erase(it);
  doomed.reset();  // disconnects
}

void TVELDORSession::AddPassword(const std::string& password) {
  SetActive(true);
  FEngine->AddPassword(password);
}

void TVELDORSession::RemovePassword(const std::string& password) {
  SetActive(true);
  FEngine->RemovePassword(password);
}

void TVELDORSession::RemoveAllPasswords() {
  SetActive(true);
  FEngine->RemoveAllPasswords();
}

}  // namespace zorvic::engine

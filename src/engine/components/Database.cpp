// The database component: connection to an engine database, sharing of one engine database
// between components, and the database's transactions.
#include "engine/components/Database.h"

#include <algorithm>

#include "engine/components/DataSet.h"
#include "engine/components/DatabaseError.h"
#include "engine/storage/sessions/DataSession.h"

namespace zorvic::engine {

namespace {
// Characters that make a name a path: a plain database name holds none of them.
bool HoldsPathCharacter(const std::string& name) {
  return name.find_first_of(":\\/") != std::string::npos;
}
}  // namespace

TVELDORDatabase::TVELDORDatabase(const void* owner) : FOwner(owner) {
  TVELDORSessionList::Instance().AddDatabase(this);
}

TVELDORDatabase::TVELDORDatabase(TTemporaryTag, TVELDORSession& session, const std::string& name)
    : FOwner(nullptr),
      FDatabaseName(name),
      FDirectory(SameComponentName(name, "Memory") ? std::string() : name),
      FSessionName(session.IsDefault() ? std::string() : session.SessionName()),
      FKeepConnection(session.KeepConnections()),
      FTemporary(true) {
  TVELDORSessionList::Instance().AddDatabase(this);
}

TVELDORDatabase::~TVELDORDatabase() {
  TVELDORSessionList& list = TVELDORSessionList::Instance();
  std::lock_guard<std::recursive_mutex> lock(list.SessionLock());
  try {
    Disconnect();
  } catch (...) {
    // A destructor cannot report; the engine database was closed as far as possible.
  }
  list.RemoveDatabase(this);
}

void TVELDORDatabase::CheckInactive() const {
  if (FConnected) RaiseDatabaseError(kDatabaseOpen);
}

void TVELDORDatabase::SetDatabaseName(const std::string& name) {
  CheckInactive();
  if (!FTemporary && HoldsPathCharacter(name)) RaiseDatabaseError(kDatabaseNameInvalid, name);
  FDatabaseName = name;
}

void TVELDORDatabase::SetDirectory(const std::string& directory) {
  CheckInactive();
  FDirectory = directory;
}

void TVELDORDatabase::SetSessionName(const std::string& name) {
  CheckInactive();
  FSessionName = name;
}

void TVELDORDatabase::SetHandleShared(bool on) {
  CheckInactive();
  FHandleShared = on;
}

bool TVELDORDatabase::IsInMemory() const {
  return FDirectory.empty() && SameComponentName(FDatabaseName, "Memory");
}

TVELDORSession* TVELDORDatabase::NamedSession() const {
  return FSession ? FSession : TVELDORSessionList::Instance().FindSession(FSessionName);
}

TDataDirectory& TVELDORDatabase::Engine() const {
  if (!FConnected || !FEngine) RaiseDatabaseError(kDatabaseClosed);
  return *FEngine;
}

void TVELDORDatabase::SetConnected(bool connected) {
  std::lock_guard<std::recursive_mutex> lock(TVELDORSessionList::Instance().SessionLock());
  if (connected == FConnected) return;
  if (connected)
    Connect();
  else
    Disconnect();
}

void TVELDORDatabase::Connect() {
  if (BeforeConnect) BeforeConnect(*this);
  if (!FTemporary && FDatabaseName.empty()) RaiseDatabaseError(kDatabaseNameMissing);
  TVELDORSession* session = TVELDORSessionList::Instance().FindSession(FSessionName);
  if (!session) RaiseDatabaseError(kSessionNameInvalid, FSessionName);
  session->SetActive(true);

  // Another component of the same name in the session: a temporary one nobody uses makes way;
  // otherwise the two may only share one engine database.
  TVELDORDatabase* lender = nullptr;
  for (TVELDORDatabase* other : session->Databases()) {
    if (other == this || !SameComponentName(other->FDatabaseName, FDatabaseName)) continue;
    if (other->FTemporary && other->FRefCount == 0 && !FTemporary) {
      session->DestroyTemporary(*other);
      continue;
    }
    if (FHandleShared && other->FHandleShared) {
      if (other->FConnected && !other->FBorrowed) lender = other;
      continue;
    }
    if (!FTemporary) RaiseDatabaseError(kDatabaseNameExists, FDatabaseName);
  }
  if (lender) {
    FEngine = lender->FEngine;
    FBorrowed = true;
  } else {
    FEngine = &session->Engine()->OpenDatabase(IsInMemory() ? std::string("Memory") : FDirectory);
    FBorrowed = false;
  }
  FSession = session;
  FConnected = true;
}

void TVELDORDatabase::Disconnect() {
  if (!FConnected) return;
  // Components that borrowed this engine database go first.
  if (!FBorrowed)
    for (TVELDORDatabase* other : FSession->Databases())
      if (other != this && other->FBorrowed && other->FEngine == FEngine) other->Disconnect();
  const std::vector<TVELDORDBDataSet*> dataSets = FDataSets;
  for (TVELDORDBDataSet* d : dataSets)
    d->CloseForDisconnect();
  FDataSets.clear();
  TDataDirectory* engine = FEngine;
  TVELDORSession* session = FSession;
  const bool borrowed = FBorrowed;
  FEngine = nullptr;
  FSession = nullptr;
  FConnected = false;
  FBorrowed = false;
  FRefCount = 0;
  if (!borrowed && engine && session->Engine()) session->Engine()->CloseDatabase(*engine);
}

void TVELDORDatabase::AttachDataSet(TVELDORDBDataSet* dataSet) {
  if (std::find(FDataSets.begin(), FDataSets.end(), dataSet) == FDataSets.end())
    FDataSets.push_back(dataSet);
}

void TVELDORDatabase::DetachDataSet(TVELDORDBDataSet* dataSet) {
  FDataSets.erase(std::remove(FDataSets.begin(), FDataSets.end(), dataSet), FDataSets.end());
}

// ---- transactions ------------------------------------------------------------------------

void TVELDORDatabase::StartTransaction() {
  if (!FConnected) RaiseDatabaseError(kDatabaseClosed);
  if (FEngine->InTransaction()) RaiseDatabaseError(kDatabaseInTransaction, FDatabaseName);
  FEngine->StartTransaction();
}

void TVELDORDatabase::Commit(bool flush) {
  if (!FConnected) RaiseDatabaseError(kDatabaseClosed);
  if (!FEngine->InTransaction()) RaiseDatabaseError(kDatabaseNoTransaction, FDatabaseName);
  FEngine->Commit(true, flush);
}

void TVELDORDatabase::Rollback() {
  if (!FConnected) RaiseDatabaseError(kDatabaseClosed);
  if (!FEngine->InTransaction()) RaiseDatabaseError(kDatabaseNoTransaction, FDatabaseName);
  FEngine->Rollback();
}

bool TVELDORDatabase::InTransaction() const {
  return FConnected && FEngine && FEngine->InTransaction();
}

}  // namespace zorvic::engine

// TVELDORDatabase: the database component, one folder of tables (or the in-memory database)
// opened in a session.
//
// A database component names a database (DatabaseName, a plain name) and its folder
// (Directory). Datasets find it by name in their session; a folder path used directly as a
// dataset's DatabaseName gets a temporary database component made by the session. When
// connected it holds one engine database (TDataDirectory); datasets of the same session that
// name the same database share it, and with it one transaction: a transaction started here (or
// by SQL on the same database) covers the writes of every dataset open on it.
//
// Thread safety: connecting and disconnecting run under the session lock; everything else is
// used by one thread at a time, like the session's datasets (Session.h).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/components/Session.h"
#include "engine/storage/files/DataDirectory.h"

namespace zorvic::engine {

class TVELDORDBDataSet;

using TDatabaseEvent = std::function<void(TVELDORDatabase& database)>;

class TVELDORDatabase {
 public:
  // `owner` groups components the way a form or module would (may be nullptr).
  explicit TVELDORDatabase(const void* owner = nullptr);
  // Disconnects first.
  ~TVELDORDatabase();
  TVELDORDatabase(const TVELDORDatabase&) = delete;
  TVELDORDatabase& operator=(const TVELDORDatabase&) = delete;

  // ---- properties (fixed while connected) -----------------------------------------------
  const std::string& DatabaseName() const { return FDatabaseName; }
  // A plain name: "Database name %s is not valid." for one holding a path character.
  void SetDatabaseName(const std::string& name);
  const std::string& Directory() const { return FDirectory; }
  void SetDirectory(const std::string& directory);
  // Empty: the default session.
  const std::string& SessionName() const { return FSessionName; }
  void SetSessionName(const std::string& name);
  bool KeepConnection() const { return FKeepConnection; }
  void SetKeepConnection(bool on) { FKeepConnection = on; }
  bool HandleShared() const { return FHandleShared; }
  void SetHandleShared(bool on);
  const std::string& RemoteDatabase() const { return FRemoteDatabase; }
  void SetRemoteDatabase(const std::string& name) { FRemoteDatabase = name; }
  const char* EngineVersion() const { return kComponentEngineVersion; }
  const void* Owner() const { return FOwner; }
  // Made by the session for a dataset that named a folder.
  bool Temporary() const { return FTemporary; }
  bool IsInMemory() const;

  TDatabaseEvent BeforeConnect;

  // ---- connection ------------------------------------------------------------------------
  bool Connected() const { return FConnected; }
  void SetConnected(bool connected);
  void Open() { SetConnected(true); }
  // Closes every dataset attached, then the engine database (unless borrowed).
  void Close() { SetConnected(false); }
  // The session while connected, else nullptr.
  TVELDORSession* Session() const { return FSession; }
  // The engine database while connected; "Cannot perform this operation on a closed
  // database." otherwise.
  TDataDirectory& Engine() const;
  // Datasets using the database, and the open datasets attached to it.
  int RefCount() const { return FRefCount; }
  const std::vector<TVELDORDBDataSet*>& DataSets() const { return FDataSets; }

  // ---- transactions ----------------------------------------------------------------------
  void StartTransaction();
  // Writes every change of the transaction and ends it; flush also has the system write the
  // files to the disk.
  void Commit(bool flush = false);
  void Rollback();
  bool InTransaction() const;

 private:
  friend class TVELDORSession;
  friend class TVELDORDBDataSet;
  struct TTemporaryTag {};
  TVELDORDatabase(TTemporaryTag, TVELDORSession& session, const std::string& name);

  void Connect();
  void Disconnect();
  void CheckInactive() const;
  void AttachDataSet(TVELDORDBDataSet* dataSet);
  void DetachDataSet(TVELDORDBDataSet* dataSet);
  // The session the component names (its own while connected).
  TVELDORSession* NamedSession() const;

  const void* FOwner = nullptr;
  std::string FDatabaseName;
  std::string FDirectory;
  std::string FSessionName;
  std::string FRemoteDatabase;
  bool FKeepConnection = true;
  bool FHandleShared = false;
  bool FTemporary = false;
  bool FConnected = false;
  bool FBorrowed = false;
  int FRefCount = 0;
  TVELDORSession* FSession = nullptr;
  TDataDirectory* FEngine = nullptr;
  std::vector<TVELDORDBDataSet*> FDataSets;
};

}  // namespace zorvic::engine

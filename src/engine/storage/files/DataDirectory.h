// TDataDirectory: one database of one session, a directory of table files.
//
// A database keeps the table objects (TDataTable) its cursors use, one per table name and
// kind (physical or in-memory), in the order they were opened, and the in-transaction flag.
// Table names are trimmed and compared case-insensitively; a table's files are the directory's
// path + the name with the extension ".DAT", ".IDX" or ".BLB" (an extension in the name is
// replaced). The in-memory database (the name "Memory") has an empty path, and its tables live
// in the process's in-memory file registry.
//
// Tables kept open. When its last cursor closes, a shared physical table stays open, parked
// (TableParking.h), so that the next statement finds its files and caches ready; at most
// MaxParkedTables per database stay so (the oldest goes first). Parked tables take part in
// nothing: a transaction does not take them in until a cursor uses them again.
//
// Thread safety: a TDataDirectory with its tables and cursors is used by one thread at a time;
// the server puts each database behind a lock of its own. Only the session's list of databases
// (DataSession.h) is shared between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/sessions/DataTable.h"

namespace zorvic::engine {

class TDataSession;

class TDataDirectory {
 public:
  // path: "" for the in-memory database, otherwise a directory with a trailing "/".
  TDataDirectory(TDataSession& session, std::string path, bool inMemory);
  // Closes every table object still open (a transaction still running is rolled back).
  ~TDataDirectory();
  TDataDirectory(const TDataDirectory&) = delete;
  TDataDirectory& operator=(const TDataDirectory&) = delete;

  TDataSession& Session() const { return FSession; }
  // The path (with a trailing separator; empty for the in-memory database); error messages
  // name it as the database.
  const std::string& Path() const { return FPath; }
  bool InMemory() const { return FInMemory; }
  int RefCount() const { return FRefCount; }
  void AddRef() { ++FRefCount; }
  int Release() { return FRefCount > 0 ? --FRefCount : 0; }

  // ---- tables ------------------------------------------------------------------------
  // Opens a table object (or shares the one in use). VELDOR_OSEACCES when the object is in
  // use and either side asks for exclusive use; VELDOR_OSENOENT when the data file does not
  // exist. The caller must CloseTable once for every open.
  TDataTable& OpenTable(const std::string& name, bool inMemory, bool exclusive, bool temporary);
  // Creates a table and opens it like OpenTable. The definition is checked completely before
  // any file is touched. VELDOR_TABLEEXISTS when the table exists and overwrite is false;
  // VELDOR_OSEACCES when its table object is in use.
  TDataTable& CreateTable(const std::string& name, bool inMemory, const TTableCreation& creation,
                          bool overwrite, bool exclusive = false, bool temporary = false);
  // Decrements the open count; at 0 (outside a transaction) the table is parked (see the top)
  // or closed and destroyed.
  void CloseTable(TDataTable& table);
  // Closes and forgets every table object no cursor uses: the parked ones and those closed
  // while parked. For the owner of the database when its last user goes, so that nothing keeps
  // the files of a database nobody uses open.
  void CloseParkedTables() noexcept;
  // An open table object of that name, a data file of that name (physical), or a registered
  // in-memory file of that name.
  bool TableExists(const std::string& name, bool inMemory);
  // The open table object of that name and kind, or nullptr.
  TDataTable* FindTable(const std::string& name, bool inMemory) const;
  std::size_t TableCount() const { return FTables.size(); }

  // Delete, rename and empty: only a table that no cursor of this database uses
  // (VELDOR_OSEACCES otherwise).
  void DeleteTable(const std::string& name, bool inMemory);
  void RenameTable(const std::string& name, const std::string& newName, bool inMemory);
  // Needs the table open exclusively (VELDOR_NEEDEXCLACCESS) and writable (VELDOR_OSEACCES).
  void EmptyTable(TDataTable& table);
  // Copies the ".IDX" to ".IBK" after a flush; restore copies it back (and deletes the copy
  // when asked). The table must not be open in this database.
  void BackupIndexFile(const std::string& name, bool inMemory);
  void RestoreIndexFile(const std::string& name, bool inMemory, bool deleteBackup);

  // A table name no table (and no other thread or process) uses: the first 5 digits of the
  // thread id, a counter and ".DAT", reserved by creating its empty data file exclusively in
  // the session's private directory (or, in memory, in the registry). Returns the full name
  // of the data file; the caller creates the table there with overwrite.
  std::string TemporaryTableName(bool inMemory);
  // The tables of the directory: the names of its ".DAT" files (without the extension).
  std::vector<std::string> TableNames() const;

  // ---- transactions ------------------------------------------------------------------
  bool InTransaction() const { return FInTransaction; }
  // Every table object of the database joins (exclusive ones write their pending changes
  // first). A failure rolls every table back and leaves the database outside a transaction.
  void StartTransaction();
  // Final: writes every change and ends the transaction. Intermediate: writes every change
  // and stays in the transaction. toDisk also flushes the system's buffers.
  void Commit(bool final = true, bool toDisk = false);
  // Drops every unwritten change of the transaction and ends it.
  void Rollback();

  // Takes over the journal file descriptor of a table object that goes (TableJournal.h): the
  // database keeps the file, claimed, until it closes or the table is deleted.
  void KeepJournalFile(const std::string& path, int fd) noexcept;

 private:
  // Savepoints copy and restore the unwritten state (TransactionSavepoint.h).
  friend class TTransactionSavepoint;
  std::vector<std::unique_ptr<TDataTable>>::iterator Find(const std::string& name, bool inMemory);
  void DestroyTable(TDataTable& table) noexcept;
  // A table no cursor uses any more: parked when it may be, else closed and forgotten.
  void RetireTable(TDataTable& table);
  // Takes the table back from parking when it is parked; whether it is still open.
  static bool TakeBack(TDataTable& table) noexcept;
  // Whether a table kept open still finds its files as it opened them (once per read batch).
  bool FilesInPlaceForBatch(TDataTable& table);
  void JoinTransaction(TDataTable& table);
  // Closes table objects that no cursor uses any more (after a transaction).
  void CloseIdleTables();
  // Removes the three files (those that exist).
  void DeleteFiles(const std::string& name, bool inMemory);
  void CheckNotInUse(const std::string& name, bool inMemory);
  std::string FileName(const std::string& name, const std::string& extension) const;

  TDataSession& FSession;
  std::string FPath;
  bool FInMemory;
  int FRefCount = 0;
  bool FInTransaction = false;
  std::vector<std::unique_ptr<TDataTable>> FTables;        // in the order they were opened
  std::vector<std::pair<std::string, int>> FKeptJournals;  // path, descriptor
  // Closes the kept journal descriptors (of one path, or all) and removes the idle files.
  void ReleaseJournalFiles(const std::string* path) noexcept;
};

// The trimmed table name compared case-insensitively.
bool SameTableName(const std::string& a, const std::string& b);

}  // namespace zorvic::engine

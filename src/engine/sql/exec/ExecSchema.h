// Table definitions for binding, read through the storage engine, and the databases that
// table references resolve to.
//
// A statement names tables of its own database, of a folder given by a path, or of the
// in-memory database (MEMORY). TDatabaseUse opens the database a reference points to for as
// long as it is needed; TExecSchemaSource answers the binder from the tables themselves: it
// opens a cursor on each table once and reads its fields and index names. It keeps those
// cursors open until it ends, so the execution that opens the same tables next finds them in
// use and takes them as they are, instead of looking at their files a second time; or it
// hands them over to the execution (TakeOpened), which then opens nothing.
//
// Thread safety: both belong to one execution and one thread.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/SchemaSource.h"

namespace zorvic::engine {

class TDataCursor;
class TDataDirectory;

// The database of a table reference, opened (and closed again) through the session when it
// is not the statement's own.
class TDatabaseUse {
 public:
  TDatabaseUse(TDataDirectory& statementDatabase, const TTableRef& table);
  ~TDatabaseUse();
  TDatabaseUse(const TDatabaseUse&) = delete;
  TDatabaseUse& operator=(const TDatabaseUse&) = delete;

  TDataDirectory& Database() const { return *Database_; }
  bool InMemory() const;

 private:
  TDataDirectory* Database_;
  bool Owned_ = false;
};

class TExecSchemaSource : public TSchemaSource {
 public:
  explicit TExecSchemaSource(TDataDirectory& database);
  // Closes the cursors of the tables read, then the databases opened for them.
  ~TExecSchemaSource() override;
  TExecSchemaSource(const TExecSchemaSource&) = delete;
  TExecSchemaSource& operator=(const TExecSchemaSource&) = delete;

  std::shared_ptr<const TTableSchema> LoadTable(const TTableRef& table) override;
  bool TableExists(const TTableRef& table) override;

  // Hands the cursor opened for a table read for the binder, with its database, to the
  // execution that opens the same table reference next: it is as a cursor freshly opened on
  // the table. False when none is left for that reference.
  bool TakeOpened(const TTableRef& table, std::unique_ptr<TDatabaseUse>* use,
                  std::unique_ptr<TDataCursor>* cursor);

 private:
  // A table read for the binder: its database (when not the statement's own) and its cursor.
  struct TOpenedTable {
    TTableRef Ref;
    std::unique_ptr<TDatabaseUse> Use;
    std::unique_ptr<TDataCursor> Cursor;
  };
  TDataDirectory& Database_;
  std::vector<TOpenedTable> Opened_;
};

}  // namespace zorvic::engine

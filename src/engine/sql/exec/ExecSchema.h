// Table definitions for binding, read through the storage engine, and the databases that
// table references resolve to.
//
// A statement names tables of its own database, of a folder given by a path, or of the
// in-memory database (MEMORY). TDatabaseUse opens the database a reference points to for as
// long as it is needed; TExecSchemaSource answers the binder from the tables themselves: it
// opens a cursor on each table once, reads its fields and index names, and closes it again.
//
// Thread safety: both belong to one execution and one thread.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "engine/sql/SchemaSource.h"

namespace zorvic::engine {

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
  explicit TExecSchemaSource(TDataDirectory& database) : Database_(database) {}

  std::shared_ptr<const TTableSchema> LoadTable(const TTableRef& table) override;
  bool TableExists(const TTableRef& table) override;

 private:
  TDataDirectory& Database_;
};

}  // namespace zorvic::engine

// Table definitions as the statement binder sees them.
//
// Binding a parsed statement needs, for every table it names, the table's columns (name,
// engine type, subtype, declared size and scale) and the names of its indexes. A
// TSchemaSource hands these out: the SQL shell's checker reads them from the table files of a
// folder, the golden tests build them from CREATE TABLE statements, and statement execution
// can answer from its open cursors. TSchemaOverlay layers the effect of DDL statements that
// were only checked, not executed, over another source, so a script that creates a table and
// then uses it binds as it would run.
//
// Thread safety: a schema source and the definitions it hands out belong to one statement or
// one checker and are used by one thread at a time. TTableSchema objects are immutable once
// handed out and may be kept after the source is gone.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zorvic::engine {

// Where a statement names a table: its name without folder and ".DAT", the folder that a
// path name gave (empty: the statement's own database), and the MEMORY keyword.
struct TTableRef {
  std::string Name;
  std::string Folder;
  bool InMemory = false;
};

struct TSchemaField {
  std::string Name;
  std::uint8_t DataType = 0;  // engine type code: 1 String, 2 Date, 3 BLOB, ... 18 LargeInt
  std::uint8_t SubType = 0;   // 29 auto-increment, 21 money, 22 memo, ...
  int Size = 0;               // declared size of String and Bytes columns, else 0
  int Scale = 0;              // BCD decimal places, else 0
  bool Required = false;      // NOT NULL
};

struct TTableSchema {
  std::string Name;
  std::vector<TSchemaField> Fields;  // in field-number order
  bool HasPrimaryKey = false;        // an explicit primary key, not the default order
  std::vector<std::string> IndexNames;

  // Index of the field of that name (ignoring case), or -1.
  int FindField(std::string_view name) const;
  bool HasIndex(std::string_view name) const;
};

class TSchemaSource {
 public:
  virtual ~TSchemaSource() = default;
  // The definition of the table. A table that does not exist, or whose files cannot be read,
  // raises the engine's error for it (for a missing table "Table '...' does not exist").
  virtual std::shared_ptr<const TTableSchema> LoadTable(const TTableRef& table) = 0;
  virtual bool TableExists(const TTableRef& table) = 0;
};

// A source that knows no tables: every lookup raises the missing-table error, naming the
// table's data file in Folder (the statement's database).
class TEmptySchemaSource : public TSchemaSource {
 public:
  explicit TEmptySchemaSource(std::string folder = {}) : Folder_(std::move(folder)) {}
  std::shared_ptr<const TTableSchema> LoadTable(const TTableRef& table) override;
  bool TableExists(const TTableRef& table) override;

 private:
  std::string Folder_;
};

// Definitions created, changed or dropped by checked statements, over a base source. Tables
// are told apart by folder, memory flag and name (ignoring case).
class TSchemaOverlay : public TSchemaSource {
 public:
  // databaseFolder names the statement's database in the error for a dropped table.
  TSchemaOverlay(TSchemaSource& base, std::string databaseFolder)
      : Base_(base), DatabaseFolder_(std::move(databaseFolder)) {}

  std::shared_ptr<const TTableSchema> LoadTable(const TTableRef& table) override;
  bool TableExists(const TTableRef& table) override;

  void PutTable(const TTableRef& table, std::shared_ptr<const TTableSchema> schema);
  void DropTable(const TTableRef& table);

 private:
  static std::string Key(const TTableRef& table);

  TSchemaSource& Base_;
  std::string DatabaseFolder_;
  // A null entry marks a table dropped by a checked statement.
  std::map<std::string, std::shared_ptr<const TTableSchema>> Tables_;
};

// The data file name of a table: its own folder or else databaseFolder (with a separator
// added when missing), the name and ".DAT"; in-memory tables have no folder.
std::string TableFileName(const TTableRef& table, std::string_view databaseFolder);

// The storage engine's missing-table error ("Table '<file>' does not exist").
[[noreturn]] void RaiseTableMissing(const TTableRef& table, std::string_view databaseFolder);

}  // namespace zorvic::engine

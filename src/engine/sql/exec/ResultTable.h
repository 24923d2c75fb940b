// Result rows of a SELECT block, and the table a canned result is written to.
//
// A block's rows are produced, grouped, de-duplicated and sorted in memory as TRow values
// (one TCell per result column, the value in its expression storage form); only the final
// rows of the master block are written to a table. Without INTO that table is a temporary
// table of the in-memory database, named uniquely across threads and processes, so a SELECT
// costs no file creation; INTO names a table of the statement's database, of a folder or of
// the in-memory database, which stays after the statement.
//
// A temporary result table may be kept, emptied, for the execution's next SELECT: a statement
// run over and over gives rows of the same columns, and emptying a small in-memory table
// costs a fraction of creating, opening and deleting one.
//
// Thread safety: rows, comparers and result tables belong to one statement and one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/bind/ClauseRecords.h"
#include "engine/sql/eval/Evaluator.h"
#include "engine/sql/parse/ExpToken.h"
#include "engine/storage/formats/FieldDefs.h"

namespace zorvic::engine {

class TDataCursor;
class TDataDirectory;

// One value of a row.
struct TCell {
  bool Null = true;
  TDataType Type = dtNull;
  TSubType SubType = stNone;
  std::int32_t Size = 0;
  std::int32_t Scale = 0;
  std::string Bytes;  // the value's storage form
};
using TRow = std::vector<TCell>;

// Copies a value node into a cell and back.
void CellFromValue(const TExpToken& value, TCell& cell);
void ValueFromCell(const TCell& cell, TExpToken& value);
// Copies a value node into another (type, NULL flag and value).
void AssignValue(TExpToken& target, const TExpToken& source);

// Three-way comparison of rows over chosen columns, with the block's collation.
class TRowComparer {
 public:
  struct TKey {
    int Column = 0;
    bool Descending = false;
  };
  TRowComparer(std::vector<TKey> keys, const TEvalContext& context, bool noCase);
  int Compare(const TRow& a, const TRow& b) const;
  bool Less(const TRow& a, const TRow& b) const { return Compare(a, b) < 0; }

  // Every column ascending.
  static std::vector<TKey> AllColumns(std::size_t count);

 private:
  std::vector<TKey> Keys_;
  TEvalContext Context_;
  bool NoCase_;
  TExpTokenPtr Left_;
  TExpTokenPtr Right_;
};

// Keeps the first of every group of equal rows, in their order.
void RemoveDuplicateRows(std::vector<TRow>& rows, const TEvalContext& context);

// A column of a result table.
struct TResultColumn {
  std::string Name;
  TDataType Type = dtString;
  TSubType SubType = stNone;
  std::int32_t Size = 0;  // expression size (a String holds its NUL)
  std::int32_t Scale = 0;
};

// The table fields a result table of these columns is made with.
std::vector<TFieldDefinition> ResultTableFields(const std::vector<TResultColumn>& columns);

class TResultTable {
 public:
  // statementDatabase: the database table names without a folder belong to.
  explicit TResultTable(TDataDirectory& statementDatabase);
  // Closes the cursor; a temporary table is deleted.
  ~TResultTable();
  TResultTable(const TResultTable&) = delete;
  TResultTable& operator=(const TResultTable&) = delete;

  // Creates the table (into: the INTO target, or null for a temporary table) and opens a
  // cursor on it.
  void Create(const std::vector<TResultColumn>& columns, const TTableRef* into);
  void Append(const TRow& row);

  // Empties a temporary result table, keeping it (and its cursor, when the reader left that
  // as it was opened) for Reuse.
  // False (the table left as it was) when it is not one that can be kept: one made by INTO,
  // or with an AutoInc column, whose emptied table would not number its rows afresh.
  bool Retire();
  // Opens a retired table again for rows of these table fields (ResultTableFields): false
  // (nothing done) when they are not those it was made for.
  bool Reuse(const std::vector<TFieldDefinition>& fields);
  TDataCursor& Cursor() { return *Cursor_; }
  const std::string& TableName() const { return Name_; }

 private:
  TDataDirectory& StatementDatabase_;
  TDataDirectory* Database_ = nullptr;
  bool OwnsDatabase_ = false;
  bool Temporary_ = false;
  std::string Name_;
  std::vector<TFieldDefinition> Fields_;  // as the table was made
  std::unique_ptr<TDataCursor> Cursor_;
  int OpenedSlot_ = 0;  // the index the cursor was opened on
  std::vector<std::uint8_t> Buffer_;
  TExpTokenPtr Scratch_;
};

}  // namespace zorvic::engine

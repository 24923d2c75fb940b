// The clause records of a parsed statement.
//
// The statement parser fills one record per select column, source table, join, ORDER BY and
// GROUP BY item, target column, value, column definition and index definition; the binder
// then completes them with what the tables say (types, field numbers, result names), so
// execution works from these records and never reads the SQL text again. Every record owns
// its expression trees; the links between records (a join's tables, a result column's source
// table) point into the same TDataQuery, which owns them all.
//
// Thread safety: records belong to one statement and are used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/SchemaSource.h"
#include "engine/sql/SqlTypes.h"
#include "engine/sql/parse/ExpToken.h"

namespace zorvic::engine {

enum class TAggregateKind : std::uint8_t { None, Sum, RunSum, Min, Max, Avg, Count };

enum class TJoinKind : std::uint8_t { Inner = 1, LeftOuter = 2, RightOuter = 3 };

enum class TCharCase : std::uint8_t { NoChange = 0, Lower = 1, Upper = 2 };

enum class TIndexCompression : std::uint8_t {
  None = 0,
  DuplicateBytes = 1,
  TrailingBytes = 2,
  Full = 3
};

// A table of FROM, JOIN, INSERT, UPDATE or DELETE.
struct TSourceTable {
  std::string TableName;        // without folder and ".DAT"
  std::string Folder;           // folder part of a path name; empty: the statement's database
  bool InMemory = false;        // MEMORY: the in-memory database
  std::string CorrelationName;  // defaults to the table name
  int Position = 0;             // 1, 2, ... in list order

  // Set by binding: the table's definition.
  std::shared_ptr<const TTableSchema> Schema;

  TTableRef Ref() const { return {TableName, Folder, InMemory}; }
};

// One item of a select list.
struct TResultField {
  TExpTokenPtr Expression;
  std::string ColumnName;       // the column's own name when the item is a bare column
  std::string CorrelationName;  // correlation name of a bare column
  std::string Alias;            // AS name, or the column name
  bool AliasGiven = false;
  TAggregateKind Aggregate = TAggregateKind::None;
  bool IsExpression = false;  // anything but a bare column (or an aggregate of one)
  std::string ClauseText;     // the item's source text, at most 255 characters

  // Set by binding.
  std::string ResultName;  // unique (ignoring case) within the block, at most 30 characters
  TDataType DataType = dtNull;
  TSubType SubType = stNone;
  std::int32_t Size = 0;
  std::int32_t Scale = 0;
  TSourceTable* SourceTable = nullptr;  // a plain column or the aggregate of one
  int SourceFieldNo = 0;                // 1-based field number in SourceTable, 0 for none
  std::string SourceFieldName;
  int Position = 0;  // 1-based
};

// A join written in FROM (or UPDATE/DELETE FROM): Right is joined to Left by Kind. The
// condition is part of the block's combined condition tree, which owns it.
struct TTableJoin {
  TSourceTable* Left = nullptr;
  TSourceTable* Right = nullptr;
  TJoinKind Kind = TJoinKind::Inner;
  TExpToken* Condition = nullptr;
};

// ORDER BY and GROUP BY items: a column name (with an optional correlation name) or a column
// number.
struct TOrderByField {
  std::string ColumnName;
  std::string CorrelationName;
  int ColumnNumber = 0;  // 1-based; 0 when the item names a column
  bool Descending = false;
  int ResultIndex = -1;  // set by binding: 0-based index of the result column
};

struct TGroupByField {
  std::string ColumnName;
  std::string CorrelationName;
  int ColumnNumber = 0;
  int ResultIndex = -1;
};

// A target column of INSERT or UPDATE ("*": every column of the table).
struct TUpdateField {
  TExpTokenPtr Column;
  std::string ColumnName;
  std::string CorrelationName;
  std::string ClauseText;

  // Set by binding.
  int FieldNo = 0;  // 1-based field number in the target table
  TDataType DataType = dtNull;
  TSubType SubType = stNone;
  std::int32_t Size = 0;
  std::int32_t Scale = 0;
};

struct TUpdateValue {
  TExpTokenPtr Value;
  std::string ClauseText;
};

// A column definition of CREATE TABLE or an ADD/REDEFINE/DROP column action of ALTER TABLE.
struct TCreateField {
  TExpTokenPtr NameExpression;
  std::string Name;
  std::string NewName;  // REDEFINE with a second definition
  TDataType DataType = dtNull;
  TSubType SubType = stNone;
  std::int32_t Size = 0;   // declared length of String and Bytes columns, else 0
  std::int32_t Scale = 0;  // BCD scale
  std::string Description;
  bool NotNull = false;
  std::string DefaultText;
  std::string MinText;
  std::string MaxText;
  TCharCase CharCase = TCharCase::NoChange;
  int Position = 0;  // AT n (1-based); 0 when not given

  // ALTER TABLE.
  bool Add = false;
  bool Redefine = false;
  bool Drop = false;
  bool TypeGiven = false;
  bool DescriptionGiven = false;
  bool NotNullGiven = false;
  bool DefaultGiven = false;
  bool MinGiven = false;
  bool MaxGiven = false;
  bool CharCaseGiven = false;
  bool PositionGiven = false;
};

// An index definition: CREATE INDEX, the primary key of CREATE TABLE, or an index action of
// ALTER TABLE.
struct TCreateIndex {
  std::string Name;  // empty for the primary key
  std::string ConstraintName;
  bool PrimaryKey = false;
  std::vector<TExpTokenPtr> Columns;
  std::vector<std::string> ColumnNames;
  bool Unique = false;
  bool Descending = false;
  bool NoCase = false;
  TIndexCompression Compression = TIndexCompression::None;

  // ALTER TABLE.
  bool Add = false;
  bool Redefine = false;
  bool Drop = false;

  // Set by binding: 1-based field numbers of the columns.
  std::vector<int> FieldNumbers;
};

}  // namespace zorvic::engine

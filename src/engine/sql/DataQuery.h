// TDataQuery: one query block of a parsed SQL statement.
//
// A statement is one master block plus, for SELECT, one block per UNION part and per IN
// sub-select, and for INSERT ... SELECT the source block. The parser fills the clause lists,
// flags and values of each block; the binder then resolves every name against the tables
// (ClauseRecords.h). Execution state is kept elsewhere; a block is the parse result only.
//
// Thread safety: a block belongs to one statement and is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/SchemaSource.h"
#include "engine/sql/bind/ClauseRecords.h"
#include "engine/sql/parse/ExpToken.h"

namespace zorvic::engine {

// The twelve statement kinds; their names are those used in messages.
enum class TStatementKind : std::uint8_t {
  None = 0,
  Select = 1,
  Insert = 2,
  Update = 3,
  Delete = 4,
  CreateTable = 5,
  AlterTable = 6,
  DropTable = 7,
  CreateIndex = 8,
  DropIndex = 9,
  StartTransaction = 10,
  Rollback = 11,
  Commit = 12,
};

// "SELECT", "INSERT", ..., "COMMIT"; "UNKNOWN" for any other value.
const char* StatementKindName(TStatementKind kind);

enum class TQueryRole : std::uint8_t { Master, UnionPart, InSubSelect, InsertSource };

// Table options of CREATE TABLE and ALTER TABLE, each with its "given" flag.
struct TTableOptions {
  std::string Description;
  bool DescriptionGiven = false;
  std::int32_t BlobBlockSize = 0;
  bool BlobBlockSizeGiven = false;
  std::int32_t UserMajorVersion = 0;
  bool UserMajorVersionGiven = false;
  std::int32_t UserMinorVersion = 0;
  bool UserMinorVersionGiven = false;
  std::int32_t LastAutoInc = 0;
  bool LastAutoIncGiven = false;
  bool NoBackup = false;
  // TEXT INDEX (columns) with its word lists.
  bool TextIndexGiven = false;
  std::vector<TExpTokenPtr> TextIndexColumns;
  std::vector<std::string> TextIndexColumnNames;
  std::vector<int> TextIndexFieldNumbers;  // set by binding
  std::string StopWords;
  bool StopWordsGiven = false;
  std::string SpaceChars;
  bool SpaceCharsGiven = false;
  std::string IncludeChars;
  bool IncludeCharsGiven = false;
};

class TDataQuery {
 public:
  TDataQuery() = default;
  TDataQuery(const TDataQuery&) = delete;
  TDataQuery& operator=(const TDataQuery&) = delete;

  TStatementKind Kind = TStatementKind::None;
  TQueryRole Role = TQueryRole::Master;
  TDataQuery* Master = nullptr;  // for every block but the master itself
  bool Parenthesized = false;    // the SELECT began with "("

  std::vector<std::unique_ptr<TResultField>> ResultFields;
  std::vector<std::unique_ptr<TSourceTable>> SourceTables;
  std::vector<TTableJoin> Joins;
  std::vector<TGroupByField> GroupByFields;
  std::vector<TOrderByField> OrderByFields;
  std::vector<TUpdateField> UpdateFields;
  std::vector<TUpdateValue> UpdateValues;
  std::vector<TCreateField> CreateFields;
  std::vector<TCreateIndex> CreateIndexes;

  // Every JOIN ON condition and the WHERE condition joined with AND in the order met; the
  // joins' Condition and WhereCondition point into it.
  TExpTokenPtr Condition;
  TExpToken* WhereCondition = nullptr;
  TExpTokenPtr Having;

  bool Distinct = false;
  bool HasWhereOrJoin = false;
  bool HasMultipleSources = false;  // more than one source table, or a join
  bool HasGroupBy = false;
  bool HasHaving = false;
  bool HasOrderBy = false;
  bool OrderByNoCase = false;
  std::int32_t TopCount = -1;  // -1: no TOP
  bool WithLocks = false;

  std::string LanguageName;
  std::uint16_t LanguageId = 0;
  bool LanguageGiven = false;
  std::string SortName;
  std::uint16_t SortId = 0;
  bool SortGiven = false;
  std::string Password;  // ENCRYPTED WITH; an empty password cancels encryption
  bool EncryptedGiven = false;

  bool NoJoinOptimize = false;
  bool NoAutoInc = false;
  std::int32_t CommitInterval = 0;
  bool CommitIntervalGiven = false;
  bool Flush = false;  // COMMIT [INTERVAL n] FLUSH of DML, COMMIT [WORK] FLUSH

  // INTO: a table of the statement's database or a folder, or MEMORY with an optional name.
  bool IntoGiven = false;
  TTableRef Into;

  // UNION: the next part, and for a part the keyword that joined it to the one before.
  TDataQuery* UnionNext = nullptr;
  bool UnionAll = false;

  TDataQuery* InsertSource = nullptr;  // INSERT ... SELECT

  bool IfExists = false;
  bool IfNotExists = false;
  TTableRef Target;       // the table of a DDL statement (at most 255 characters)
  std::string IndexName;  // DROP INDEX
  TTableOptions Options;

  // Tables named by LASTAUTOINC and IDENT_CURRENT, opened at execution only.
  std::vector<std::unique_ptr<TSourceTable>> AutoIncTables;

  // Set by binding.
  bool Bound = false;
  bool AggregateOnly = false;  // every select item an aggregate or a column-free expression
  bool StarOnly = false;       // the select list was a lone unqualified "*"

  // The first source table (the target of INSERT, UPDATE and DELETE), or null.
  TSourceTable* FirstSource() const {
    return SourceTables.empty() ? nullptr : SourceTables.front().get();
  }
};

}  // namespace zorvic::engine

// TQueryStatement: one SQL text being prepared, a statement at a time.
//
// Prepare loads the text and parses its first statement into query blocks (DataQuery.h);
// ParseNext frees those blocks and parses the next statement of a script, until AtEnd. Bind
// resolves every name of the current statement against a TSchemaSource, blocks created last
// first (sub-selects and UNION parts before the master), with the clause checks that need the
// tables. Parse and bind errors raise EVELDOREngineError 11949 ("SQL error - ...").
//
// A statement parses only; executing it (and the flags execution publishes: live result,
// rows affected, seconds) belongs to the execution layer, which reads the fields here.
//
// Thread safety: a statement is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/DataQuery.h"
#include "engine/sql/SchemaSource.h"
#include "engine/sql/parse/ExpToken.h"
#include "engine/sql/parse/ExpressionParser.h"
#include "engine/sql/parse/Lexer.h"

namespace zorvic::engine {

namespace detail {
class TStatementTemplates;
}

// What a column of a SELECT result keeps of the table column it names: a plain column
// reference (no expression, no aggregate) of a NOT NULL column is required, unless the block
// has an outer join, which can give it NULL; one of an auto-increment column keeps that mark.
// A UNION column keeps a mark only when every part's column has it.
struct TResultColumnOrigin {
  bool Required = false;
  bool AutoInc = false;
};

class TQueryStatement {
 public:
  // databaseFolder is the folder in which table names are resolved (empty: the current one).
  explicit TQueryStatement(std::string databaseFolder = {});
  ~TQueryStatement();
  TQueryStatement(const TQueryStatement&) = delete;
  TQueryStatement& operator=(const TQueryStatement&) = delete;

  const std::string& DatabaseFolder() const { return DatabaseFolder_; }

  // Loads the text and parses its first statement (an empty text parses nothing: AtEnd).
  void Prepare(std::string_view text);
  // True when no statement follows the current one.
  bool AtEnd() const;
  // Frees the current statement's blocks and parameters and parses the next statement.
  void ParseNext();
  // Binds the current statement's blocks, last created first.
  void Bind(TSchemaSource& schema);

  // The current statement: its master block (null before Prepare and at the end of an empty
  // text), its kind, and every block in the order created (the master first).
  TDataQuery* MasterQuery() const { return Blocks_.empty() ? nullptr : Blocks_.front().get(); }
  TStatementKind Kind() const;
  const std::vector<std::unique_ptr<TDataQuery>>& QueryBlocks() const { return Blocks_; }
  // The source text of the current statement (from its first token to its last).
  const std::string& StatementSource() const { return StatementSource_; }

  // The "?" nodes of the current statement in order of appearance (owned by the trees).
  std::vector<TExpToken*> ParameterList;

  // Copied from the query component, read by execution.
  bool RequestLive = false;
  std::int32_t MaxRowCount = -1;
  std::function<void(int percentDone, bool& abort)> Progress;

  // Published by execution.
  bool ResultIsLive = false;
  bool ResultIsReadOnly = false;
  bool ResultIsSingleStar = false;
  // One entry per column of a canned result (empty for a live result, whose columns are the
  // table's own, and for statements without a result).
  std::vector<TResultColumnOrigin> ResultColumnOrigins;
  double ExecutionSeconds = 0;
  std::int32_t RowsAffected = 0;
  // The index pages and records the last execution read (ReadCounters.h), set also when the
  // execution failed.
  std::uint64_t IndexPagesRead = 0;
  std::uint64_t RecordsRead = 0;
  bool MoreStatementsExecuted = false;

  TExpressionParser& Lexer() { return Lexer_; }

  // Used by the parser: a new block owned by the statement, and what the parse noticed.
  TDataQuery& NewBlock();
  TParseNotes& ParseNotes() { return ParseNotes_; }

 private:
  friend class detail::TStatementTemplates;

  void ClearStatement();
  void ParseCurrent();

  std::string DatabaseFolder_;
  TExpressionParser Lexer_;
  std::vector<std::unique_ptr<TDataQuery>> Blocks_;
  std::string StatementSource_;
  std::size_t SourceStart_ = 0;  // where StatementSource_ starts in the text
  TParseNotes ParseNotes_;
  std::weak_ptr<void> TemplateLink_;  // the template the block was taken from
  bool Loaded_ = false;               // a text is loaded and has not failed to parse
};

}  // namespace zorvic::engine

// Internal to the statement parser: the reader of one statement, shared by
// StatementParser.cpp (dispatch, table references, common clauses), SelectParser.cpp,
// DmlParser.cpp and DdlParser.cpp.
//
// Statement-level errors read "<what> expected, instead found '<token>'" without a clause
// context; expression errors come from the expression parser and end with " in <context>".
//
// Thread safety: one parser per statement, on the caller's thread.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "engine/sql/DataQuery.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/parse/ExpressionParser.h"

namespace zorvic::engine::detail {

// Sets the aggregate kind, column and correlation names, the is-an-expression flag and the
// default alias of a select item from its expression (after parsing and again after binding,
// which may turn a double-quoted string into a column).
void DescribeResultField(TResultField& field);

// Keywords that end a table reference instead of naming its correlation.
using TStopWords = std::span<const std::string_view>;

class TStatementParser : public TSubSelectParser {
 public:
  explicit TStatementParser(TQueryStatement& statement);

  // Parses one statement starting at the current token into the master block.
  void ParseStatement(TDataQuery& master);

  // TSubSelectParser: the lexer is on SELECT right after "IN (".
  TDataQuery* ParseSubSelect(TExpressionParser& lexer) override;

 private:
  // --- StatementParser.cpp ---------------------------------------------------------------
  TDataQuery& NewBlock(TQueryRole role, TDataQuery* master);
  TParseHooks Hooks();

  // Token helpers.
  void Next() { Lexer_.Next(); }
  bool IsKeyword(std::string_view word) const { return Lexer_.IsKeyword(word); }
  bool IsSymbol(TokenKind symbol) const { return Lexer_.IsSymbol(symbol); }
  bool IsAnyKeyword(TStopWords words) const;
  bool IsAnyKeyword(std::initializer_list<std::string_view> words) const {
    return IsAnyKeyword(TStopWords(words.begin(), words.size()));
  }
  // Raises prefix + token text + "'".
  [[noreturn]] void RaiseFound(std::string_view prefix) const;
  [[noreturn]] void Raise(const std::string& message) const;
  void ExpectKeyword(std::string_view word, std::string_view prefix);
  void ExpectSymbol(TokenKind symbol, std::string_view prefix);
  // Reads an integer token that fits 32 bits, else raises prefix + token.
  std::int32_t ExpectInteger(std::string_view prefix);

  // A clause expression: the context is set for the clause and back to "SQL statement" after.
  TExpTokenPtr ParseClause(ExpressionFlags flags, std::string_view context);
  TExpTokenPtr ParsePrimaryIn(ExpressionFlags flags, std::string_view context);
  std::string ClauseText() const;
  // An operand followed at once by ',' or ')': a clause of nothing else.
  bool LoneOperand() const;

  // [MEMORY] name [\ name]; missing names raise prefix + token (secondPrefix after "\").
  TSourceTable ParseTableReference(std::string_view prefix, std::string_view secondPrefix);
  TTableRef ParseTableRef(std::string_view prefix, std::string_view secondPrefix);
  // AS name, or a name token that is not a stop word. Returns true when one was given.
  bool ParseCorrelationName(TSourceTable& table, TStopWords stopWords);
  TSourceTable& AddSource(TDataQuery& block, TSourceTable table, bool atFront = false);
  // Source tables separated by ",", each with its joins. With updateTarget, the first table
  // must name the block's existing first source (UPDATE ... FROM).
  void ParseSourceList(TDataQuery& block, TStopWords stopWords, std::string_view prefix,
                       bool updateTarget);
  void ParseJoins(TDataQuery& block, TSourceTable* left, int& parentheses);
  void CloseParentheses(int& parentheses);
  void AddCondition(TDataQuery& block, TExpTokenPtr condition, bool isWhere);
  void ParseWhere(TDataQuery& block, ExpressionFlags flags);
  void ParseCommitClause(TDataQuery& block);
  void ParseLanguage(TDataQuery& block);
  void ParseEncrypted(TDataQuery& block);
  void ExpectEndOfStatement(TStatementKind kind);

  // --- SelectParser.cpp ------------------------------------------------------------------
  void ParseSelectStatement(TDataQuery& master);
  // Steps after the SELECT keyword up to the closing ")" of a parenthesised block.
  void ParseSelectBlock(TDataQuery& block);
  void ParseSelectList(TDataQuery& block);
  void ParseInto(TDataQuery& block);
  void ParseGroupBy(TDataQuery& block);
  void ParseOrderBy(TDataQuery& block);
  void ParseTop(TDataQuery& block);

  // --- DmlParser.cpp ---------------------------------------------------------------------
  void ParseInsert(TDataQuery& block);
  void ParseUpdate(TDataQuery& block);
  void ParseDelete(TDataQuery& block);
  void ParseTransaction(TDataQuery& block);

  // --- DdlParser.cpp ---------------------------------------------------------------------
  void ParseCreateTable(TDataQuery& block);
  void ParseCreateIndex(TDataQuery& block);
  void ParseAlterTable(TDataQuery& block);
  void ParseDropTable(TDataQuery& block);
  void ParseDropIndex(TDataQuery& block);
  void ParseIfNotExists(TDataQuery& block);
  // Column name, data type (required unless typeOptional) and, for ALTER, AT.
  void ParseColumnName(TCreateField& field, std::string& name);
  void ParseColumnDefinition(TCreateField& field, bool alter);
  void ParseColumnOptions(TCreateField& field, bool alter);
  bool AtPrimaryKeyStart() const;
  void ParsePrimaryKey(TCreateIndex& index);
  void ParseIndexColumns(TCreateIndex& index);
  std::string ParseIndexColumn(TExpTokenPtr& column);
  void ParseCompression(TCreateIndex& index);
  void ParseTableOptions(TDataQuery& block, bool alter);
  std::string ParseOptionText(std::string_view context);

  TQueryStatement& Statement_;
  TExpressionParser& Lexer_;
  TDataQuery* Master_ = nullptr;
  int SubSelectDepth_ = 0;
};

}  // namespace zorvic::engine::detail

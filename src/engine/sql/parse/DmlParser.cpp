#include "engine/sql/parse/StatementParser.h"

#include <algorithm>

namespace zorvic::engine::detail {
namespace {

constexpr std::string_view kInsertStopWords[] = {"VALUES", "SELECT"};
constexpr std::string_view kUpdateTargetStopWords[] = {"SET"};
constexpr std::string_view kUpdateFromStopWords[] = {
    "LEFT", "RIGHT", "INNER", "JOIN", "WHERE", "NOAUTOINC", "COMMIT", "NOJOINOPTIMIZE"};
constexpr std::string_view kDeleteStopWords[] = {"LEFT",  "RIGHT",  "INNER",         "JOIN",
                                                 "WHERE", "COMMIT", "NOJOINOPTIMIZE"};

// A target column written in an INSERT column list or an UPDATE assignment: a column, or a
// double-quoted string naming one. A single-quoted string is always a literal, never a
// column: the server pastes user-chosen texts into single-quoted literals.
void DescribeTargetColumn(TUpdateField& field) {
  const TExpToken& node = *field.Column;
  if (node.NodeClass == ncColumn) {
    field.ColumnName = node.ColumnName;
    field.CorrelationName = node.CorrelationName;
  } else if (node.NodeClass == ncConstant && node.DataType == dtString && node.DoubleQuoted &&
             !node.IsParameter && !node.StringValue().empty()) {
    field.ColumnName = std::string(node.StringValue());
  }
}

}  // namespace

void TStatementParser::ParseInsert(TDataQuery& block) {
  ExpectKeyword("INTO", "INTO keyword expected, instead found '");
  TSourceTable target =
      ParseTableReference("Table name expected after INTO clause, instead found '",
                          "Table name expected after INTO keyword, instead found '");
  ParseCorrelationName(target, kInsertStopWords);
  AddSource(block, std::move(target));

  bool sourceInParentheses = false;
  if (IsSymbol('(')) {
    Next();
    if (IsKeyword("SELECT")) {
      // "(" SELECT ... ")": every column, from a parenthesised source SELECT.
      sourceInParentheses = true;
    } else {
      block.UpdateFields.reserve(8);
      for (;;) {
        Lexer_.MarkClauseStart();
        TUpdateField field;
        field.Column = ParseClause(efNone, "table column");
        field.ClauseText = ClauseText();
        DescribeTargetColumn(field);
        block.UpdateFields.push_back(std::move(field));
        if (!IsSymbol(',')) break;
        Next();
      }
      ExpectSymbol(')', "Right parentheses expected after list of table columns, instead found '");
    }
  }
  if (block.UpdateFields.empty()) {
    TUpdateField all;
    all.ColumnName = "*";
    all.ClauseText = "*";
    block.UpdateFields.push_back(std::move(all));
  }

  if (!sourceInParentheses && IsKeyword("VALUES")) {
    Next();
    ExpectSymbol('(', "Left parentheses expected after VALUES keyword, instead found '");
    block.UpdateValues.reserve(std::max<std::size_t>(block.UpdateFields.size(), 8));
    for (;;) {
      Lexer_.MarkClauseStart();
      TUpdateValue value;
      value.Value = ParseClause(efExtendedPredicates | efParameters, "value expression");
      value.ClauseText = ClauseText();
      block.UpdateValues.push_back(std::move(value));
      if (!IsSymbol(',')) break;
      Next();
    }
    ExpectSymbol(')', "Right parentheses expected after list of values, instead found '");
  } else if (IsKeyword("SELECT")) {
    TDataQuery& source = NewBlock(TQueryRole::InsertSource, &block);
    source.Kind = TStatementKind::Select;
    source.Parenthesized = sourceInParentheses;
    Next();
    ParseSelectBlock(source);
    block.InsertSource = &source;
  } else {
    RaiseFound("VALUES or SELECT  keyword expected, instead found '");
  }

  if (IsKeyword("NOAUTOINC")) {
    block.NoAutoInc = true;
    Next();
  }
  ParseCommitClause(block);
  ExpectEndOfStatement(TStatementKind::Insert);
}

void TStatementParser::ParseUpdate(TDataQuery& block) {
  int parentheses = 0;
  while (IsSymbol('(')) {
    ++parentheses;
    Next();
  }
  TSourceTable target = ParseTableReference("Table name expected, instead found '",
                                            "Table name expected, instead found '");
  ParseCorrelationName(target, kUpdateTargetStopWords);
  AddSource(block, std::move(target));
  CloseParentheses(parentheses);
  if (parentheses != 0) Raise("Mismatched join parentheses");

  ExpectKeyword("SET", "SET keyword expected, instead found '");
  for (;;) {
    Lexer_.MarkClauseStart();
    TUpdateField field;
    field.Column = ParsePrimaryIn(efNone, "table column");
    field.ClauseText = ClauseText();
    DescribeTargetColumn(field);
    ExpectSymbol('=', "Assignment (=) operator expected after column name, instead found '");
    Lexer_.MarkClauseStart();
    TUpdateValue value;
    value.Value = ParseClause(efExtendedPredicates | efParameters, "value expression");
    value.ClauseText = ClauseText();
    block.UpdateFields.push_back(std::move(field));
    block.UpdateValues.push_back(std::move(value));
    if (!IsSymbol(',')) break;
    Next();
  }

  if (IsKeyword("FROM")) {
    Next();
    ParseSourceList(block, kUpdateFromStopWords,
                    "Table name expected after FROM keyword, instead found '", true);
  }
  ParseWhere(block, efExtendedPredicates | efParameters | efSubSelects);
  if (IsKeyword("NOAUTOINC")) {
    block.NoAutoInc = true;
    Next();
  }
  ParseCommitClause(block);
  if (IsKeyword("NOJOINOPTIMIZE")) {
    block.NoJoinOptimize = true;
    Next();
  }
  ExpectEndOfStatement(TStatementKind::Update);
}

void TStatementParser::ParseDelete(TDataQuery& block) {
  ExpectKeyword("FROM", "FROM keyword expected, instead found '");
  ParseSourceList(block, kDeleteStopWords,
                  "Table name expected after FROM keyword, instead found '", false);
  ParseWhere(block, efExtendedPredicates | efParameters | efSubSelects);
  ParseCommitClause(block);
  if (IsKeyword("NOJOINOPTIMIZE")) {
    block.NoJoinOptimize = true;
    Next();
  }
  ExpectEndOfStatement(TStatementKind::Delete);
}

void TStatementParser::ParseTransaction(TDataQuery& block) {
  // The statement's keywords are read; only WORK and FLUSH may follow.
  if (block.Kind == TStatementKind::Rollback || block.Kind == TStatementKind::Commit) {
    if (IsKeyword("WORK")) Next();
  }
  if (block.Kind == TStatementKind::Commit && IsKeyword("FLUSH")) {
    block.Flush = true;
    Next();
  }
  ExpectEndOfStatement(block.Kind);
}

}  // namespace zorvic::engine::detail

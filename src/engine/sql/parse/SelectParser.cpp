#include <limits>

#include "engine/sql/parse/StatementParser.h"

namespace zorvic::engine::detail {
namespace {

constexpr std::string_view kSelectStopWords[] = {
    "LEFT", "RIGHT", "INNER", "JOIN",      "WHERE",    "ORDER",          "GROUP", "HAVING",
    "TOP",  "RANGE", "WITH",  "ENCRYPTED", "LANGUAGE", "NOJOINOPTIMIZE", "UNION"};
// The source SELECT of INSERT also ends at the INSERT's own trailing clauses.
constexpr std::string_view kInsertSourceStopWords[] = {
    "LEFT",     "RIGHT",          "INNER", "JOIN",      "WHERE", "ORDER",
    "GROUP",    "HAVING",         "TOP",   "RANGE",     "WITH",  "ENCRYPTED",
    "LANGUAGE", "NOJOINOPTIMIZE", "UNION", "NOAUTOINC", "COMMIT"};

// The aggregate kind of a tree whose root is an aggregate function.
TAggregateKind AggregateOf(const TExpToken& node) {
  if (node.NodeClass != ncFunction) return TAggregateKind::None;
  switch (node.OperatorCode) {
    case opSum:
      return TAggregateKind::Sum;
    case opRunSum:
      return TAggregateKind::RunSum;
    case opMin:
      return TAggregateKind::Min;
    case opMax:
      return TAggregateKind::Max;
    case opAvg:
      return TAggregateKind::Avg;
    case opCount:
      return TAggregateKind::Count;
    default:
      return TAggregateKind::None;
  }
}

}  // namespace

void DescribeResultField(TResultField& field) {
  const TExpToken& root = *field.Expression;
  field.Aggregate = AggregateOf(root);
  const TExpToken* column = &root;
  if (field.Aggregate != TAggregateKind::None) {
    column = root.Arguments.empty() ? nullptr : root.Arguments.front().get();
  }
  if (column != nullptr && column->NodeClass == ncColumn) {
    field.ColumnName = column->ColumnName;
    field.CorrelationName = column->CorrelationName;
    field.IsExpression = false;
  } else {
    field.ColumnName.clear();
    field.CorrelationName.clear();
    field.IsExpression = true;
  }
  if (!field.AliasGiven) field.Alias = field.ColumnName;
}

void TStatementParser::ParseSelectStatement(TDataQuery& master) {
  ParseSelectBlock(master);
  TDataQuery* last = &master;
  bool hasParts = false;
  while (IsKeyword("UNION")) {
    if (master.HasOrderBy) Raise("You cannot use an ORDER BY clause within a UNIONed query");
    Next();
    TDataQuery& part = NewBlock(TQueryRole::UnionPart, &master);
    part.Kind = TStatementKind::Select;
    if (IsKeyword("ALL")) {
      part.UnionAll = true;
      Next();
    }
    if (IsSymbol('(')) {
      part.Parenthesized = true;
      Next();
    }
    if (!IsKeyword("SELECT")) RaiseFound("SELECT keyword expected, instead found '");
    Next();
    ParseSelectBlock(part);
    last->UnionNext = &part;
    last = &part;
    hasParts = true;
  }
  if (hasParts) {
    // ORDER BY and TOP after the last part apply to the whole union.
    ParseOrderBy(master);
    ParseTop(master);
  }
  ExpectEndOfStatement(TStatementKind::Select);
}

void TStatementParser::ParseSelectBlock(TDataQuery& block) {
  block.Kind = TStatementKind::Select;
  if (IsKeyword("ALL")) {
    Next();
  } else if (IsKeyword("DISTINCT")) {
    block.Distinct = true;
    Next();
  }
  ParseSelectList(block);
  ParseInto(block);

  if (!IsKeyword("FROM")) RaiseFound("FROM keyword expected, instead found '");
  Next();
  ParseSourceList(block,
                  block.Role == TQueryRole::InsertSource ? TStopWords(kInsertSourceStopWords)
                                                         : TStopWords(kSelectStopWords),
                  "Table name expected after FROM keyword, instead found '", false);

  ParseWhere(block, efExtendedPredicates | efParameters | efSubSelects);
  ParseGroupBy(block);
  if (IsKeyword("HAVING")) {
    Next();
    block.Having = ParseClause(efAggregates, "HAVING clause");
    block.HasHaving = true;
  }
  if (block.Role == TQueryRole::Master) ParseOrderBy(block);
  ParseTop(block);
  if (IsKeyword("WITH")) {
    Next();
    if (!IsKeyword("LOCKS"))
      RaiseFound("LOCKS keyword expected after WITH keyword, instead found '");
    block.WithLocks = true;
    Next();
  }
  ParseLanguage(block);
  ParseEncrypted(block);
  if (IsKeyword("NOJOINOPTIMIZE")) {
    block.NoJoinOptimize = true;
    Next();
  }
  if (block.Parenthesized) {
    if (!IsSymbol(')')) {
      RaiseFound("Right parentheses expected after SELECT statement, instead found '");
    }
    Next();
  }
}

void TStatementParser::ParseSelectList(TDataQuery& block) {
  for (;;) {
    Lexer_.MarkClauseStart();
    auto field = std::make_unique<TResultField>();
    field->Expression =
        ParseClause(efAggregates | efAllColumns | efExtendedPredicates, "source column expression");
    field->ClauseText = ClauseText();
    if (IsKeyword("AS")) {
      Next();
      if (!Lexer_.IsNameOrString()) {
        RaiseFound("Symbol or string expected after AS keyword, instead found '");
      }
      field->Alias = Lexer_.TokenText();
      Next();
      if (IsSymbol('.')) {
        Next();
        if (!Lexer_.IsNameOrString()) {
          RaiseFound("Symbol or string expected after table correlation name, instead found '");
        }
        field->Alias = Lexer_.TokenText();
        Next();
      }
      field->AliasGiven = true;
    } else if (Lexer_.IsNameOrString() && !IsKeyword("INTO") && !IsKeyword("FROM")) {
      field->Alias = Lexer_.TokenText();
      field->AliasGiven = true;
      Next();
    }
    DescribeResultField(*field);
    block.ResultFields.push_back(std::move(field));
    if (!IsSymbol(',')) break;
    Next();
  }
}

void TStatementParser::ParseInto(TDataQuery& block) {
  if (!IsKeyword("INTO")) return;
  if (block.Role != TQueryRole::Master)
    Raise("The INTO clause can only be used with the master query");
  Next();
  block.IntoGiven = true;
  if (IsKeyword("MEMORY")) {
    Next();
    block.Into.InMemory = true;
    if (Lexer_.IsNameOrString() && !IsKeyword("FROM")) {
      block.Into.Name = Lexer_.TokenText();
      Next();
    }
    return;
  }
  block.Into = ParseTableRef("Result table name expected in INTO clause, instead found '",
                             "Result table name expected in INTO clause, instead found '");
}

namespace {

template <typename TItem>
void ParseColumnItems(TExpressionParser& lexer, std::vector<TItem>& items, std::string_view prefix,
                      bool orderBy) {
  for (;;) {
    TItem item;
    if (lexer.IsSymbol(tkInteger)) {
      // A column number; one too large to be valid is kept at the largest int32, which the
      // binder refuses as out of range.
      long long number = 0;
      for (char c : lexer.TokenText()) {
        number = number * 10 + (c - '0');
        if (number > std::numeric_limits<std::int32_t>::max()) {
          number = std::numeric_limits<std::int32_t>::max();
          break;
        }
      }
      item.ColumnNumber = static_cast<int>(number);
      lexer.Next();
    } else if (lexer.IsNameOrString() && !lexer.TokenText().empty()) {
      item.ColumnName = lexer.TokenText();
      lexer.Next();
      if (lexer.IsSymbol('.')) {
        lexer.Next();
        if (!lexer.IsNameOrString() || lexer.TokenText().empty()) {
          lexer.RaiseError(std::string(prefix) + lexer.TokenText() + "'");
        }
        item.CorrelationName = std::move(item.ColumnName);
        item.ColumnName = lexer.TokenText();
        lexer.Next();
      }
    } else {
      lexer.RaiseError(std::string(prefix) + lexer.TokenText() + "'");
    }
    if constexpr (requires { item.Descending; }) {
      if (orderBy) {
        if (lexer.IsKeyword("ASC") || lexer.IsKeyword("ASCENDING")) {
          lexer.Next();
        } else if (lexer.IsKeyword("DESC") || lexer.IsKeyword("DESCENDING")) {
          item.Descending = true;
          lexer.Next();
        }
      }
    }
    items.push_back(std::move(item));
    if (!lexer.IsSymbol(',')) break;
    lexer.Next();
  }
}

}  // namespace

void TStatementParser::ParseGroupBy(TDataQuery& block) {
  if (!IsKeyword("GROUP")) return;
  Next();
  ExpectKeyword("BY", "BY keyword expected after GROUP keyword, instead found '");
  ParseColumnItems(Lexer_, block.GroupByFields,
                   "Column name or column number expected in GROUP BY clause, instead found '",
                   false);
  block.HasGroupBy = true;
}

void TStatementParser::ParseOrderBy(TDataQuery& block) {
  if (!IsKeyword("ORDER")) return;
  Next();
  ExpectKeyword("BY", "BY keyword expected after ORDER keyword, instead found '");
  ParseColumnItems(Lexer_, block.OrderByFields,
                   "Column name or column number expected in ORDER BY clause, instead found '",
                   true);
  block.HasOrderBy = true;
  if (IsKeyword("NOCASE")) {
    block.OrderByNoCase = true;
    Next();
  }
}

void TStatementParser::ParseTop(TDataQuery& block) {
  if (!IsKeyword("TOP")) return;
  Next();
  block.TopCount = ExpectInteger("Integer value expected after TOP keyword, instead found '");
}

}  // namespace zorvic::engine::detail

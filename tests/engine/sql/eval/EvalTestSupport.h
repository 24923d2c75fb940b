// Helpers for the evaluation tests: one row of typed columns that is both the binder's
// resolver and the evaluator's fetcher, and parse-bind-evaluate in one call.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/sql/bind/Binder.h"
#include "engine/sql/eval/Evaluator.h"
#include "engine/sql/parse/ExpressionParser.h"
#include "engine/sql/parse/Lexer.h"

namespace zorvic::engine::testing {

struct TRowColumn {
  std::string Name;
  TDataType Type = dtNull;
  TSubType SubType = stNone;
  std::int32_t Size = 0;
  std::int32_t Scale = 0;
  TExpTokenPtr Value;  // null pointer: NULL
};

class TTestRow : public ColumnResolver, public TValueFetcher {
 public:
  TTestRow& Add(const std::string& name, TDataType type, TSubType subType = stNone,
                std::int32_t size = 0, std::int32_t scale = 0) {
    TRowColumn c;
    c.Name = name;
    c.Type = type;
    c.SubType = subType;
    c.Size = size != 0 ? size : FixedTypeSize(type);
    c.Scale = scale;
    Columns.push_back(std::move(c));
    return *this;
  }
  TRowColumn& Column(const std::string& name) {
    for (TRowColumn& c : Columns) {
      if (SameTextIgnoringCase(c.Name, name)) return c;
    }
    ADD_FAILURE() << "no column " << name;
    return Columns.front();
  }
  TExpToken& Cell(const std::string& name) {
    TRowColumn& c = Column(name);
    c.Value = NewExpToken();
    c.Value->DataType = c.Type;
    c.Value->SubType = c.SubType;
    c.Value->Size = c.Size;
    c.Value->Scale = c.Scale;
    return *c.Value;
  }
  void SetNull(const std::string& name) { Column(name).Value.reset(); }
  void SetText(const std::string& name, std::string_view text) { Cell(name).SetStringValue(text); }
  template <typename T>
  void Set(const std::string& name, T value) {
    Cell(name).SetScalar(value);
  }

  TResolveResult ResolveColumn(std::string_view, std::string_view column,
                               TColumnInfo& info) override {
    for (std::size_t i = 0; i < Columns.size(); ++i) {
      const TRowColumn& c = Columns[i];
      if (!SameTextIgnoringCase(c.Name, column)) continue;
      info.SourceTable = this;
      info.FieldNumber = static_cast<int>(i);
      info.ColumnName = c.Name;
      info.DataType = c.Type;
      info.SubType = c.SubType;
      info.Size = c.Size;
      info.Scale = c.Scale;
      return TResolveResult::Found;
    }
    return TResolveResult::NotFound;
  }
  void* AddAutoIncTable(std::string_view) override { return this; }

  void FetchColumn(const TExpToken& column, TExpToken& out) override {
    ++Fetches;
    const TRowColumn& c = Columns.at(static_cast<std::size_t>(column.FieldNumber));
    out.DataType = c.Type;
    out.SubType = c.SubType;
    out.Size = c.Size;
    out.Scale = c.Scale;
    if (!c.Value) {
      out.ReserveValue(0);
      out.IsNull = true;
      return;
    }
    out.SetBytesValue(c.Value->ValueData(), c.Value->ValueLength());
  }
  std::int64_t LastAutoInc(void*) override { return LastAutoIncValue; }

  std::vector<TRowColumn> Columns;
  std::int64_t LastAutoIncValue = 41;
  int Fetches = 0;
};

// Parses and binds a text against the row (a WHERE clause when where is set: Boolean
// rewrite and string-to-column on).
inline TExpTokenPtr BindExpression(TTestRow& row, const std::string& text, bool where = false) {
  std::vector<TExpToken*> parameters;
  TParseHooks hooks{&parameters, nullptr};
  TExpressionParser lexer;
  const char* context = where ? "WHERE or JOIN clause" : "source column expression";
  TExpTokenPtr tree = ParseExpressionText(
      lexer, text, efExtendedPredicates | efParameters | efAggregates, context, hooks);
  TBindOptions options;
  options.Context = context;
  options.StringToColumn = true;
  options.BooleanRewrite = where;
  Bind(tree, row, options);
  return tree;
}

inline TEvalContext ContextOf(TTestRow& row, std::uint16_t language = 0, std::uint16_t sort = 0) {
  TEvalContext context;
  context.LanguageId = language;
  context.SortId = sort;
  context.Fetcher = &row;
  return context;
}

// The value of an expression as text ("NULL" for NULL), and its type.
inline std::string Show(const TExpToken& v) {
  return v.IsNull ? std::string("NULL") : ValueToText(v);
}

inline TExpTokenPtr EvalText(TTestRow& row, const std::string& text, std::uint16_t language = 0) {
  TExpTokenPtr tree = BindExpression(row, text);
  return Evaluate(*tree, ContextOf(row, language));
}

inline std::string ValueOf(TTestRow& row, const std::string& text, std::uint16_t language = 0) {
  return Show(*EvalText(row, text, language));
}

inline bool Holds(TTestRow& row, const std::string& text, std::uint16_t language = 0) {
  TExpTokenPtr tree = BindExpression(row, text, true);
  return EvaluateCondition(*tree, ContextOf(row, language));
}

// A row with one column of every kind the tests use.
inline TTestRow StandardRow() {
  TTestRow row;
  row.Add("UserName", dtString, stNone, 31)
      .Add("Name", dtString, stNone, 21)
      .Add("Notes", dtBlob, stMemo)
      .Add("Age", dtSmallInt)
      .Add("Id", dtInteger)
      .Add("Big", dtLargeInt)
      .Add("Ratio", dtFloat)
      .Add("Salary", dtFloat, stMoney)
      .Add("Amount", dtBCD, stNone, 34, 2)
      .Add("Flags", dtWord)
      .Add("Active", dtBoolean)
      .Add("Born", dtDate)
      .Add("LoginTime", dtTime)
      .Add("Created", dtTimeStamp)
      .Add("Raw", dtBytes, stNone, 4);
  return row;
}

}  // namespace zorvic::engine::testing

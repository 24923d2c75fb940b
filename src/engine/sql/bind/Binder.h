// Binding: resolving the names of an expression tree and fixing the type of every node.
//
// Bind walks a parsed tree bottom-up. Column names are looked up through a ColumnResolver
// (the statement's source tables, or a cursor's fields for a filter); double-quoted string
// constants that name a column become that column; Boolean columns standing alone as a
// condition become "column = TRUE"; string constants compared with dates, times and
// timestamps become values of that type; and every operator and function checks its operand
// types and sets its result type. Errors end with " in " + context.
//
// A single-quoted string is always a string literal, even when a column of that name exists:
// the server pastes user-chosen names into single-quoted literals, and a user called like a
// column must never match that column.
//
// Thread safety: one thread per tree; the resolver is called on the caller's thread.
#pragma once

#include <string>
#include <string_view>

#include "engine/sql/parse/ExpToken.h"
#include "engine/storage/EngineError.h"

namespace zorvic::engine {

// What a resolver knows of one column.
struct TColumnInfo {
  void* SourceTable = nullptr;  // handle stored in the column node
  int FieldNumber = -1;         // the column's number in its table
  std::string CorrelationName;  // the table's correlation name (filled into the node when empty)
  std::string ColumnName;       // the column's own spelling (empty: keep the written name)
  TDataType DataType = dtNull;
  TSubType SubType = stNone;
  std::int32_t Size = 0;
  std::int32_t Scale = 0;
};

enum class TResolveResult {
  Found,
  NotFound,   // no such column, or no source table of that correlation name
  Ambiguous,  // an unqualified name found in more than one source table
};

// The shape of an IN sub-select's result, as far as binding needs it.
struct TSubSelectShape {
  int ColumnCount = 1;
  TDataType DataType = dtNull;  // dtNull: not known, compatible with anything
  TSubType SubType = stNone;
};

class ColumnResolver {
 public:
  virtual ~ColumnResolver() = default;

  // Looks up a column; correlation is empty for an unqualified name. Comparison of names is
  // the resolver's business (the engine compares them ignoring case).
  virtual TResolveResult ResolveColumn(std::string_view correlation, std::string_view column,
                                       TColumnInfo& info) = 0;

  // The result shape of an IN sub-select block. The default knows nothing: one column of
  // unknown type.
  virtual TSubSelectShape DescribeSubSelect(TDataQuery* query);

  // LASTAUTOINC / IDENT_CURRENT name a table that the statement opens at execution; the
  // returned handle is stored in the function node's SourceTable. Default: none.
  virtual void* AddAutoIncTable(std::string_view tableName);
};

struct TBindOptions {
  TErrorCode ErrorCode = VELDOR_SQLPARSE;  // 10051 for filters
  std::string ErrorTableName;              // a filter error names its table
  std::string Context;                     // CTX of every message
  bool StringToColumn = true;              // off for INSERT values
  bool BooleanRewrite = false;             // on for WHERE, JOIN ON, HAVING and filters
};

// Binds the tree in place; the root may be replaced (Boolean rewrite).
void Bind(TExpTokenPtr& tree, ColumnResolver& resolver, const TBindOptions& options);

// The same with the arguments in the order of the engine's bind call.
inline void Bind(TErrorCode errorCode, TExpTokenPtr& tree, std::string_view context,
                 bool stringToColumn, bool booleanRewrite, ColumnResolver& resolver) {
  TBindOptions options;
  options.ErrorCode = errorCode;
  options.Context = std::string(context);
  options.StringToColumn = stringToColumn;
  options.BooleanRewrite = booleanRewrite;
  Bind(tree, resolver, options);
}

}  // namespace zorvic::engine

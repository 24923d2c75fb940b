// Internal to statement binding: the binder of one statement and the column resolvers over a
// block's source tables and result columns, shared by StatementBinder.cpp, SelectBinder.cpp,
// DmlBinder.cpp and DdlBinder.cpp.
//
// Column nodes bound here carry, in SourceTable, a TSourceTable* (select list, WHERE, JOIN,
// UPDATE values) or, for HAVING names that stand for result columns, a TResultField*; their
// FieldNumber is 1-based (the table's field number or the result column's position).
//
// Thread safety: one statement, one thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/DataQuery.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SchemaSource.h"
#include "engine/sql/bind/Binder.h"

namespace zorvic::engine::detail {

// How a resolver reports names it cannot resolve.
enum class TResolveMode {
  Plain,       // the binder's own message ("Invalid column name ... specified in <context>")
  SelectList,  // "... specified in source columns", "Invalid use of column correlation name"
  Where,       // an unknown correlation name is "not defined in the FROM clause"
};

class TSourceResolver : public ColumnResolver {
 public:
  explicit TSourceResolver(TDataQuery& block) : Block_(block) {}

  TResolveResult ResolveColumn(std::string_view correlation, std::string_view column,
                               TColumnInfo& info) override;
  TSubSelectShape DescribeSubSelect(TDataQuery* query) override;
  void* AddAutoIncTable(std::string_view tableName) override;

  TSourceTable* FindCorrelation(std::string_view correlation) const;

 protected:
  TDataQuery& Block_;
};

// A resolver that knows no columns (INSERT values).
class TNoColumnsResolver : public TSourceResolver {
 public:
  explicit TNoColumnsResolver(TDataQuery& block) : TSourceResolver(block) {}
  TResolveResult ResolveColumn(std::string_view, std::string_view, TColumnInfo&) override {
    return TResolveResult::NotFound;
  }
};

class TStatementBinder {
 public:
  TStatementBinder(TQueryStatement& statement, TSchemaSource& schema)
      : Statement_(statement), Schema_(schema) {}

  void BindBlock(TDataQuery& block);

 private:
  // StatementBinder.cpp
  void LoadSources(TDataQuery& block);
  std::shared_ptr<const TTableSchema> LoadTable(const TTableRef& table);
  // Raises the resolver-mode messages for column nodes that name no column, before the
  // expression binder sees them.
  void CheckColumnNames(const TExpToken& tree, TDataQuery& block, TResolveMode mode);
  void BindTree(TExpTokenPtr& tree, ColumnResolver& resolver, std::string_view context,
                bool stringToColumn, bool booleanRewrite);
  void BindConditions(TDataQuery& block);
  [[noreturn]] void Raise(const std::string& message) const;

  // SelectBinder.cpp
  void BindSelect(TDataQuery& block);
  void ExpandAllColumns(TDataQuery& block);
  void SetResultType(TResultField& field);
  void CheckAggregateUse(TDataQuery& block);
  void NameResultColumns(TDataQuery& block);
  void CheckUnionParts(TDataQuery& master);
  void BindHaving(TDataQuery& block);
  template <typename TItem>
  void ResolveColumnItems(TDataQuery& block, std::vector<TItem>& items, const char* clause);

  // DmlBinder.cpp
  void BindInsert(TDataQuery& block);
  void BindUpdate(TDataQuery& block);
  void BindDelete(TDataQuery& block);
  void BindTargetColumns(TDataQuery& block, bool allowAll);
  void CheckValueAgainstColumn(TDataQuery& block, TUpdateField& field, TUpdateValue& value);

  // DdlBinder.cpp
  void BindCreateTable(TDataQuery& block);
  void BindCreateIndex(TDataQuery& block);
  void BindAlterTable(TDataQuery& block);
  void BindDropIndex(TDataQuery& block);

  TQueryStatement& Statement_;
  TSchemaSource& Schema_;
};

// Ignoring ASCII case.
bool SameName(std::string_view a, std::string_view b);

}  // namespace zorvic::engine::detail

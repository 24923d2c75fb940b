#include "engine/sql/bind/StatementBinder.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "engine/sql/bind/StatementBinderImpl.h"

namespace zorvic::engine {

std::int32_t ExpressionSizeOf(const TSchemaField& field) {
  switch (field.DataType) {
    case dtString:
      return field.Size + 1;
    case dtBytes:
      return field.Size;
    case dtBlob:
      return 0;
    default:
      return FixedTypeSize(static_cast<TDataType>(field.DataType));
  }
}

void BindStatement(TQueryStatement& statement, TSchemaSource& schema) {
  detail::TStatementBinder binder(statement, schema);
  const auto& blocks = statement.QueryBlocks();
  for (std::size_t i = blocks.size(); i-- > 0;)
    binder.BindBlock(*blocks[i]);
  const TDataQuery* master = statement.MasterQuery();
  statement.ResultIsSingleStar = false;
  if (master != nullptr && master->Kind == TStatementKind::Select && master->UnionNext == nullptr) {
    // Set only when the select list was a lone "*" over one table.
    statement.ResultIsSingleStar = master->SourceTables.size() == 1 && master->StarOnly;
  }
}

namespace detail {

bool SameName(std::string_view a, std::string_view b) {
  return SameTextIgnoringCase(a, b);
}

// --- resolvers ----------------------------------------------------------------------------

TSourceTable* TSourceResolver::FindCorrelation(std::string_view correlation) const {
  for (const auto& table : Block_.SourceTables) {
    if (SameName(table->CorrelationName, correlation)) return table.get();
  }
  return nullptr;
}

namespace {

void FillInfo(TSourceTable& table, int index, TColumnInfo& info) {
  const TSchemaField& field = table.Schema->Fields[static_cast<std::size_t>(index)];
  info.SourceTable = &table;
  info.FieldNumber = index + 1;
  info.CorrelationName = table.CorrelationName;
  info.ColumnName = field.Name;
  info.DataType = static_cast<TDataType>(field.DataType);
  info.SubType = static_cast<TSubType>(field.SubType);
  info.Size = ExpressionSizeOf(field);
  info.Scale = field.Scale;
}

}  // namespace

TResolveResult TSourceResolver::ResolveColumn(std::string_view correlation, std::string_view column,
                                              TColumnInfo& info) {
  if (!correlation.empty()) {
    TSourceTable* table = FindCorrelation(correlation);
    if (table == nullptr || !table->Schema) return TResolveResult::NotFound;
    const int index = table->Schema->FindField(column);
    if (index < 0) return TResolveResult::NotFound;
    FillInfo(*table, index, info);
    return TResolveResult::Found;
  }
  TSourceTable* found = nullptr;
  int foundIndex = -1;
  for (const auto& table : Block_.SourceTables) {
    if (!table->Schema) continue;
    const int index = table->Schema->FindField(column);
    if (index < 0) continue;
    if (found != nullptr) return TResolveResult::Ambiguous;
    found = table.get();
    foundIndex = index;
  }
  if (found == nullptr) return TResolveResult::NotFound;
  FillInfo(*found, foundIndex, info);
  return TResolveResult::Found;
}

TSubSelectShape TSourceResolver::DescribeSubSelect(TDataQuery* query) {
  TSubSelectShape shape;
  if (query == nullptr || !query->Bound) return shape;
  shape.ColumnCount = static_cast<int>(query->ResultFields.size());
  if (!query->ResultFields.empty()) {
    shape.DataType = query->ResultFields.front()->DataType;
    shape.SubType = query->ResultFields.front()->SubType;
  }
  return shape;
}

void* TSourceResolver::AddAutoIncTable(std::string_view tableName) {
  auto table = std::make_unique<TSourceTable>();
  std::string name(tableName);
  const std::size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) {
    table->Folder = name.substr(0, slash + 1);
    name.erase(0, slash + 1);
  }
  if (name.size() >= 4 && SameName(std::string_view(name).substr(name.size() - 4), ".DAT")) {
    name.resize(name.size() - 4);
  }
  table->TableName = name;
  table->CorrelationName = name;
  table->Position = static_cast<int>(Block_.AutoIncTables.size()) + 1;
  Block_.AutoIncTables.push_back(std::move(table));
  return Block_.AutoIncTables.back().get();
}

// --- the binder ---------------------------------------------------------------------------

void TStatementBinder::Raise(const std::string& message) const {
  Statement_.Lexer().RaiseError(message);
}

std::shared_ptr<const TTableSchema> TStatementBinder::LoadTable(const TTableRef& table) {
  return Schema_.LoadTable(table);
}

void TStatementBinder::LoadSources(TDataQuery& block) {
  for (auto& table : block.SourceTables) {
    if (!table->Schema) table->Schema = LoadTable(table->Ref());
  }
}

void TStatementBinder::BindBlock(TDataQuery& block) {
  switch (block.Kind) {
    case TStatementKind::Select:
      BindSelect(block);
      break;
    case TStatementKind::Insert:
      BindInsert(block);
      break;
    case TStatementKind::Update:
      BindUpdate(block);
      break;
    case TStatementKind::Delete:
      BindDelete(block);
      break;
    case TStatementKind::CreateTable:
      BindCreateTable(block);
      break;
    case TStatementKind::CreateIndex:
      BindCreateIndex(block);
      break;
    case TStatementKind::AlterTable:
      BindAlterTable(block);
      break;
    case TStatementKind::DropIndex:
      BindDropIndex(block);
      break;
    default:
      break;  // DROP TABLE and the transaction statements name no columns
  }
  block.Bound = true;
}

void TStatementBinder::BindTree(TExpTokenPtr& tree, ColumnResolver& resolver,
                                std::string_view context, bool stringToColumn,
                                bool booleanRewrite) {
  TBindOptions options;
  options.ErrorCode = Statement_.Lexer().ErrorCode;
  options.Context = std::string(context);
  options.StringToColumn = stringToColumn;
  options.BooleanRewrite = booleanRewrite;
  Bind(tree, resolver, options);
}

void TStatementBinder::CheckColumnNames(const TExpToken& tree, TDataQuery& block,
                                        TResolveMode mode) {
  if (mode == TResolveMode::Plain) return;
  TSourceResolver resolver(block);
  std::vector<const TExpToken*> work{&tree};
  while (!work.empty()) {
    const TExpToken* node = work.back();
    work.pop_back();
    if (node->NodeClass == ncFunction &&
        (node->OperatorCode == opTextSearch || node->OperatorCode == opTextOccurs)) {
      // Their column argument has its own messages.
      if (!node->Arguments.empty()) work.push_back(node->Arguments.front().get());
      continue;
    }
    if (node->NodeClass == ncColumn && node->ColumnName != "*") {
      const std::string& correlation = node->CorrelationName;
      if (!correlation.empty() && resolver.FindCorrelation(correlation) == nullptr) {
        if (mode == TResolveMode::Where) {
          Raise("Table correlation name '" + correlation +
                "' referenced in WHERE clause is not defined in the FROM clause");
        }
        Raise("Invalid use of column correlation name '" + correlation + "' for '" +
              node->ColumnName + "' specified in source columns");
      }
      TColumnInfo info;
      if (mode == TResolveMode::SelectList &&
          resolver.ResolveColumn(correlation, node->ColumnName, info) == TResolveResult::NotFound) {
        Raise("Invalid column name '" + node->ColumnName + "' or table correlation name '" +
              correlation + "' specified in source columns");
      }
    }
    if (node->Left) work.push_back(node->Left.get());
    if (node->Right) work.push_back(node->Right.get());
    for (const auto& argument : node->Arguments)
      work.push_back(argument.get());
  }
}

void TStatementBinder::BindConditions(TDataQuery& block) {
  if (!block.Condition) return;
  // The combined condition is a left-deep chain of AND nodes made by the parser, one part per
  // JOIN ON and one for WHERE, in the order met. Each part is bound on its own, so each one
  // must be a condition and the Boolean rewrite sees it standing alone.
  const std::size_t parts = block.Joins.size() + (block.WhereCondition != nullptr ? 1 : 0);
  std::vector<TExpTokenPtr*> slots(parts);
  std::vector<TExpToken*> chain;
  TExpTokenPtr* slot = &block.Condition;
  for (std::size_t i = parts; i-- > 1;) {
    chain.push_back(slot->get());
    slots[i] = &(*slot)->Right;
    slot = &(*slot)->Left;
  }
  slots[0] = slot;

  TSourceResolver resolver(block);
  for (std::size_t i = 0; i < parts; ++i) {
    TExpTokenPtr& part = *slots[i];
    part->Parent = nullptr;
    CheckColumnNames(*part, block, TResolveMode::Where);
    BindTree(part, resolver, "WHERE or JOIN clause", true, true);
    if (part->DataType != dtBoolean) Raise("WHERE or JOIN clause must be a boolean expression");
    if (i < block.Joins.size()) {
      block.Joins[i].Condition = part.get();
    } else {
      block.WhereCondition = part.get();
    }
  }
  for (TExpToken* node : chain) {
    node->DataType = dtBoolean;
    node->Size = BooleanSize;
    node->Left->Parent = node;
    node->Right->Parent = node;
  }
}

}  // namespace detail
}  // namespace zorvic::engine

#include <algorithm>
#include <map>
#include <set>

#include "engine/EngineLimits.h"
#include "engine/sql/bind/StatementBinderImpl.h"
#include "engine/sql/parse/StatementParser.h"

namespace zorvic::engine::detail {
namespace {

const char* AggregatePrefix(TAggregateKind kind) {
  switch (kind) {
    case TAggregateKind::Sum:
      return "Sum Of ";
    case TAggregateKind::RunSum:
      return "Running Sum Of ";
    case TAggregateKind::Min:
      return "Min Of ";
    case TAggregateKind::Max:
      return "Max Of ";
    case TAggregateKind::Avg:
      return "Average Of ";
    case TAggregateKind::Count:
      return "Count Of ";
    default:
      return "";
  }
}

bool IsAggregateNode(const TExpToken& node) {
  return node.NodeClass == ncFunction && node.OperatorCode >= opSum && node.OperatorCode <= opAvg;
}

// What a select item refers to.
struct TItemUse {
  bool HasAggregate = false;
  bool HasColumnOutsideAggregate = false;
};

TItemUse UseOf(const TExpToken& tree) {
  TItemUse use;
  std::vector<std::pair<const TExpToken*, bool>> work{{&tree, false}};
  while (!work.empty()) {
    const TExpToken* node = work.back().first;
    const bool insideAggregate = work.back().second;
    work.pop_back();
    const bool aggregate = IsAggregateNode(*node);
    if (aggregate) use.HasAggregate = true;
    if (node->NodeClass == ncColumn && !insideAggregate) use.HasColumnOutsideAggregate = true;
    const bool inside = insideAggregate || aggregate;
    if (node->Left) work.emplace_back(node->Left.get(), inside);
    if (node->Right) work.emplace_back(node->Right.get(), inside);
    for (const auto& argument : node->Arguments)
      work.emplace_back(argument.get(), inside);
  }
  return use;
}

std::string LastCharacters(const std::string& text, std::size_t count) {
  return text.size() <= count ? text : text.substr(text.size() - count);
}

TExpTokenPtr NewColumnNode(const std::string& correlation, const std::string& column) {
  TExpTokenPtr node = NewExpToken();
  node->NodeClass = ncColumn;
  node->Text = column;
  node->ColumnName = column;
  node->CorrelationName = correlation;
  return node;
}

// The table and field a HAVING column node stands for (result columns map to their source).
std::pair<const void*, int> ColumnIdentity(const TExpToken& node,
                                           const std::set<const void*>& resultFields) {
  if (resultFields.count(node.SourceTable) != 0) {
    const auto* field = static_cast<const TResultField*>(node.SourceTable);
    if (field->SourceTable != nullptr && field->Aggregate == TAggregateKind::None) {
      return {field->SourceTable, field->SourceFieldNo};
    }
    return {field, 0};
  }
  return {node.SourceTable, node.FieldNumber};
}

bool SameTree(const TExpToken& a, const TExpToken& b, const std::set<const void*>& results) {
  if (a.NodeClass != b.NodeClass || a.OperatorCode != b.OperatorCode) return false;
  if (a.NodeClass == ncColumn) {
    if (a.ColumnName == "*" || b.ColumnName == "*") return a.ColumnName == b.ColumnName;
    return ColumnIdentity(a, results) == ColumnIdentity(b, results);
  }
  if (a.NodeClass == ncConstant) {
    return a.DataType == b.DataType && a.IsParameter == b.IsParameter && a.Text == b.Text;
  }
  if (a.NodeClass == ncSubSelect) return a.SubSelect == b.SubSelect;
  if (!a.Left != !b.Left || !a.Right != !b.Right) return false;
  if (a.Arguments.size() != b.Arguments.size()) return false;
  if (a.Left && !SameTree(*a.Left, *b.Left, results)) return false;
  if (a.Right && !SameTree(*a.Right, *b.Right, results)) return false;
  for (std::size_t i = 0; i < a.Arguments.size(); ++i) {
    if (!SameTree(*a.Arguments[i], *b.Arguments[i], results)) return false;
  }
  return true;
}

// Resolves HAVING names against the result columns, and (for aggregate arguments) the
// source tables.
class THavingResolver : public TSourceResolver {
 public:
  explicit THavingResolver(TDataQuery& block) : TSourceResolver(block) {}

  TResolveResult ResolveColumn(std::string_view correlation, std::string_view column,
                               TColumnInfo& info) override {
    for (auto& field : Block_.ResultFields) {
      const bool plain = field->Aggregate == TAggregateKind::None && field->SourceTable != nullptr;
      bool match;
      if (correlation.empty()) {
        match = SameName(field->ResultName, column) ||
                (plain && SameName(field->SourceFieldName, column));
      } else {
        match = plain && SameName(field->SourceTable->CorrelationName, correlation) &&
                SameName(field->SourceFieldName, column);
      }
      if (!match) continue;
      info.SourceTable = field.get();
      info.FieldNumber = field->Position;
      info.CorrelationName = std::string(correlation);
      info.ColumnName = field->ResultName;
      info.DataType = field->DataType;
      info.SubType = field->SubType;
      info.Size = field->Size;
      info.Scale = field->Scale;
      return TResolveResult::Found;
    }
    return TSourceResolver::ResolveColumn(correlation, column, info);
  }
};

}  // namespace

void TStatementBinder::BindSelect(TDataQuery& block) {
  if (block.Distinct && block.HasGroupBy) block.Distinct = false;
  LoadSources(block);
  ExpandAllColumns(block);
  if (block.ResultFields.size() > static_cast<std::size_t>(MaxResultColumns)) {
    Raise("Maximum number of columns (" + std::to_string(MaxResultColumns) +
          ") in result set exceeded");
  }

  TSourceResolver resolver(block);
  int position = 1;
  for (auto& field : block.ResultFields) {
    CheckColumnNames(*field->Expression, block, TResolveMode::SelectList);
    BindTree(field->Expression, resolver, "source column expression", true, false);
    DescribeResultField(*field);
    field->Position = position++;
    SetResultType(*field);
  }
  NameResultColumns(block);
  CheckAggregateUse(block);
  if (block.Role == TQueryRole::Master) CheckUnionParts(block);
  if (block.HasHaving && !block.HasGroupBy) {
    Raise("A GROUP BY clause must exist in order to use the HAVING clause");
  }

  BindConditions(block);
  if (block.Having) BindHaving(block);

  if (block.GroupByFields.size() > static_cast<std::size_t>(MaxResultColumns)) {
    Raise("Maximum number of columns (" + std::to_string(MaxResultColumns) +
          ") in GROUP BY clause exceeded");
  }
  if (block.OrderByFields.size() > static_cast<std::size_t>(MaxResultColumns)) {
    Raise("Maximum number of columns (" + std::to_string(MaxResultColumns) +
          ") in ORDER BY clause exceeded");
  }
  ResolveColumnItems(block, block.GroupByFields, "GROUP BY");
  ResolveColumnItems(block, block.OrderByFields, "ORDER BY");
  if (block.Distinct) {
    for (const auto& field : block.ResultFields) {
      if (field->DataType == dtBlob) {
        Raise("Invalid BLOB column '" + field->ResultName + "' specified in DISTINCT clause");
      }
    }
  }
}

void TStatementBinder::ExpandAllColumns(TDataQuery& block) {
  block.StarOnly = block.ResultFields.size() == 1 &&
                   block.ResultFields.front()->Expression->NodeClass == ncColumn &&
                   block.ResultFields.front()->Expression->ColumnName == "*" &&
                   block.ResultFields.front()->Expression->CorrelationName.empty();
  std::vector<std::unique_ptr<TResultField>> expanded;
  for (auto& field : block.ResultFields) {
    const TExpToken& node = *field->Expression;
    if (node.NodeClass != ncColumn || node.ColumnName != "*") {
      expanded.push_back(std::move(field));
      continue;
    }
    std::vector<TSourceTable*> tables;
    if (node.CorrelationName.empty()) {
      for (auto& table : block.SourceTables)
        tables.push_back(table.get());
    } else {
      TSourceTable* table = TSourceResolver(block).FindCorrelation(node.CorrelationName);
      if (table == nullptr) {
        Raise("Invalid use of column correlation name '" + node.CorrelationName +
              "' for '*' specified in source columns");
      }
      tables.push_back(table);
    }
    for (TSourceTable* table : tables) {
      for (const TSchemaField& column : table->Schema->Fields) {
        if (expanded.size() > static_cast<std::size_t>(MaxResultColumns)) break;
        auto item = std::make_unique<TResultField>();
        item->Expression = NewColumnNode(table->CorrelationName, column.Name);
        item->ClauseText = column.Name;
        DescribeResultField(*item);
        expanded.push_back(std::move(item));
      }
    }
  }
  block.ResultFields = std::move(expanded);
}

void TStatementBinder::SetResultType(TResultField& field) {
  const TExpToken& root = *field.Expression;
  field.DataType = root.DataType;
  field.SubType = root.SubType;
  field.Size = root.Size;
  field.Scale = root.Scale;
  field.SourceTable = nullptr;
  field.SourceFieldNo = 0;
  field.SourceFieldName.clear();
  const TExpToken* column = &root;
  if (field.Aggregate != TAggregateKind::None) {
    column = root.Arguments.empty() ? nullptr : root.Arguments.front().get();
  }
  if (column != nullptr && column->NodeClass == ncColumn && column->ColumnName != "*" &&
      column->SourceTable != nullptr) {
    auto* table = static_cast<TSourceTable*>(column->SourceTable);
    field.SourceTable = table;
    field.SourceFieldNo = column->FieldNumber;
    if (table->Schema && column->FieldNumber >= 1 &&
        static_cast<std::size_t>(column->FieldNumber) <= table->Schema->Fields.size()) {
      field.SourceFieldName =
          table->Schema->Fields[static_cast<std::size_t>(column->FieldNumber - 1)].Name;
    }
  }
  const bool integral = field.DataType == dtSmallInt || field.DataType == dtWord ||
                        field.DataType == dtInteger || field.DataType == dtLargeInt;
  switch (field.Aggregate) {
    case TAggregateKind::Sum:
    case TAggregateKind::RunSum:
      if (field.DataType == dtSmallInt || field.DataType == dtWord) {
        field.DataType = dtInteger;
      } else if (field.DataType == dtInteger) {
        field.DataType = dtLargeInt;
      }
      break;
    case TAggregateKind::Avg:
      if (integral) field.DataType = dtFloat;
      break;
    case TAggregateKind::Count:
      field.DataType = dtInteger;
      break;
    default:
      break;
  }
  if (field.Aggregate != TAggregateKind::None) {
    if (field.DataType != root.DataType) {
      field.SubType = stNone;
      field.Size = FixedTypeSize(field.DataType);
      field.Scale = 0;
    }
  }
  // An auto-increment column is a plain Integer in a result.
  if (field.DataType == dtInteger && field.SubType == stAutoInc) field.SubType = stNone;
  if ((field.DataType == dtString && field.Size - 1 > MaxSqlStringSize) ||
      (field.DataType == dtBytes && field.Size > MaxSqlStringSize)) {
    Raise("Column expression '" + field.ClauseText + "' exceeds the maximum allowable field size");
  }
}

void TStatementBinder::NameResultColumns(TDataQuery& block) {
  std::vector<std::string> names;
  for (auto& field : block.ResultFields) {
    std::string name;
    if (field->AliasGiven) {
      name = field->Alias;
    } else if (field->SourceTable != nullptr) {
      name = std::string(AggregatePrefix(field->Aggregate)) + field->SourceFieldName;
    } else if (field->Aggregate != TAggregateKind::None) {
      name = std::string(AggregatePrefix(field->Aggregate)) + "Expr";
    } else {
      name = "Expression";
    }
    name = LastCharacters(name, MaxResultNameLength);
    auto taken = [&](const std::string& candidate) {
      return std::any_of(names.begin(), names.end(),
                         [&](const std::string& n) { return SameName(n, candidate); });
    };
    if (taken(name)) {
      for (int number = 1;; ++number) {
        const std::string suffix = "_" + std::to_string(number);
        std::string candidate =
            LastCharacters(name,
                           MaxResultNameLength - std::min(suffix.size(), MaxResultNameLength)) +
            suffix;
        if (!taken(candidate)) {
          name = std::move(candidate);
          break;
        }
      }
    }
    field->ResultName = name;
    names.push_back(std::move(name));
  }
}

void TStatementBinder::CheckAggregateUse(TDataQuery& block) {
  bool anyAggregate = false;
  bool anyColumnOutside = false;
  bool allAggregateOrConstant = true;
  for (const auto& field : block.ResultFields) {
    const TItemUse use = UseOf(*field->Expression);
    anyAggregate = anyAggregate || use.HasAggregate;
    anyColumnOutside = anyColumnOutside || use.HasColumnOutsideAggregate;
    if (!use.HasAggregate && use.HasColumnOutsideAggregate) allAggregateOrConstant = false;
  }
  if (!block.HasGroupBy && anyAggregate && anyColumnOutside) {
    Raise("Invalid use of aggregate function(s), the necessary GROUP BY clause is missing");
  }
  block.AggregateOnly = !block.HasGroupBy && anyAggregate && allAggregateOrConstant;
}

void TStatementBinder::CheckUnionParts(TDataQuery& master) {
  for (TDataQuery* part = master.UnionNext; part != nullptr; part = part->UnionNext) {
    const char* keyword = part->UnionAll ? "UNION ALL" : "UNION";
    if (part->ResultFields.size() != master.ResultFields.size()) {
      Raise(std::string("The number of columns  in the ") + keyword +
            " query must match the  number of columns in the master query");
    }
    for (std::size_t i = 0; i < master.ResultFields.size(); ++i) {
      const TResultField& mine = *master.ResultFields[i];
      const TResultField& theirs = *part->ResultFields[i];
      if (mine.DataType != theirs.DataType) {
        Raise("Type mismatch between column expression '" + mine.ClauseText + "' in the " +
              keyword + " query and column expression '" + theirs.ClauseText +
              "' in the master query");
      }
    }
  }
}

void TStatementBinder::BindHaving(TDataQuery& block) {
  // Binding fills in correlation names; messages name what was written.
  std::map<const TExpToken*, std::pair<std::string, std::string>> written;
  std::vector<const TExpToken*> pending{block.Having.get()};
  while (!pending.empty()) {
    const TExpToken* node = pending.back();
    pending.pop_back();
    if (node->NodeClass == ncColumn) written[node] = {node->CorrelationName, node->ColumnName};
    if (node->Left) pending.push_back(node->Left.get());
    if (node->Right) pending.push_back(node->Right.get());
    for (const auto& argument : node->Arguments)
      pending.push_back(argument.get());
  }
  THavingResolver resolver(block);
  block.Having->Parent = nullptr;
  BindTree(block.Having, resolver, "HAVING clause", true, true);
  if (block.Having->DataType != dtBoolean) Raise("HAVING clause must be a boolean expression");

  std::set<const void*> results;
  for (const auto& field : block.ResultFields)
    results.insert(field.get());
  std::vector<std::pair<const TExpToken*, bool>> work{{block.Having.get(), false}};
  while (!work.empty()) {
    const TExpToken* node = work.back().first;
    const bool insideAggregate = work.back().second;
    work.pop_back();
    if (IsAggregateNode(*node)) {
      const bool listed =
          std::any_of(block.ResultFields.begin(), block.ResultFields.end(), [&](const auto& field) {
            return field->Aggregate != TAggregateKind::None &&
                   SameTree(*node, *field->Expression, results);
          });
      if (!listed) Raise("Expression in HAVING clause not found in source columns");
      continue;
    }
    if (node->NodeClass == ncColumn && !insideAggregate && results.count(node->SourceTable) == 0) {
      auto it = written.find(node);
      const auto& [correlation, column] =
          it != written.end() ? it->second : std::pair(node->CorrelationName, node->ColumnName);
      Raise("Invalid column name '" + column + "' or table correlation name '" + correlation +
            "' specified in HAVING clause");
    }
    if (node->Left) work.emplace_back(node->Left.get(), insideAggregate);
    if (node->Right) work.emplace_back(node->Right.get(), insideAggregate);
    for (const auto& argument : node->Arguments)
      work.emplace_back(argument.get(), insideAggregate);
  }
}

template <typename TItem>
void TStatementBinder::ResolveColumnItems(TDataQuery& block, std::vector<TItem>& items,
                                          const char* clause) {
  const bool orderBy = std::string_view(clause) == "ORDER BY";
  const int count = static_cast<int>(block.ResultFields.size());
  for (TItem& item : items) {
    int index = -1;
    if (item.ColumnName.empty()) {
      if (item.ColumnNumber < 1 || item.ColumnNumber > count) {
        Raise("Invalid column number '" + std::to_string(item.ColumnNumber) + "' specified in " +
              clause + " clause");
      }
      index = item.ColumnNumber - 1;
    } else {
      for (int i = 0; i < count && index < 0; ++i) {
        const TResultField& field = *block.ResultFields[static_cast<std::size_t>(i)];
        const bool plain = field.Aggregate == TAggregateKind::None && field.SourceTable != nullptr;
        if (!item.CorrelationName.empty()) {
          if (plain && SameName(field.SourceTable->CorrelationName, item.CorrelationName) &&
              SameName(field.SourceFieldName, item.ColumnName)) {
            index = i;
          }
        } else if ((plain && SameName(field.SourceFieldName, item.ColumnName)) ||
                   SameName(field.ResultName, item.ColumnName)) {
          index = i;
        }
      }
      if (index < 0) {
        Raise("Invalid column name '" + item.ColumnName + "' or table correlation name '" +
              item.CorrelationName + "' specified in " + clause + " clause");
      }
    }
    const TResultField& field = *block.ResultFields[static_cast<std::size_t>(index)];
    if (field.DataType == dtBlob) {
      // A BLOB cannot be sorted, grouped or compared for duplicates.
      if (orderBy) {
        Raise("Invalid column number '" + std::to_string(index + 1) + "' specified in " + clause +
              " clause");
      }
      Raise("Invalid BLOB column '" + field.ResultName + "' specified in " + clause + " clause");
    }
    item.ResultIndex = index;
  }
}

}  // namespace zorvic::engine::detail

#include "engine/sql/bind/StatementBinder.h"
#include "engine/sql/bind/StatementBinderImpl.h"

namespace zorvic::engine::detail {
namespace {

// Resolves exactly one column: the target column a value is checked against.
class TTargetColumnResolver : public ColumnResolver {
 public:
  TTargetColumnResolver(const TSourceTable& table, const TUpdateField& field)
      : Table_(table), Field_(field) {}

  TResolveResult ResolveColumn(std::string_view, std::string_view, TColumnInfo& info) override {
    info.SourceTable = const_cast<TSourceTable*>(&Table_);
    info.FieldNumber = Field_.FieldNo;
    info.CorrelationName = Table_.CorrelationName;
    info.DataType = Field_.DataType;
    info.SubType = Field_.SubType;
    info.Size = Field_.Size;
    info.Scale = Field_.Scale;
    return TResolveResult::Found;
  }

 private:
  const TSourceTable& Table_;
  const TUpdateField& Field_;
};

}  // namespace

void TStatementBinder::BindTargetColumns(TDataQuery& block, bool allowAll) {
  TSourceTable& target = *block.FirstSource();
  const TTableSchema& schema = *target.Schema;
  std::vector<TUpdateField> bound;
  bound.reserve(block.UpdateFields.size() == 1 ? schema.Fields.size() : block.UpdateFields.size());
  for (TUpdateField& field : block.UpdateFields) {
    if (allowAll && field.ColumnName == "*" && !field.Column) {
      // No column list: every column of the table in field order.
      for (std::size_t i = 0; i < schema.Fields.size(); ++i) {
        TUpdateField column;
        column.ColumnName = schema.Fields[i].Name;
        column.ClauseText = schema.Fields[i].Name;
        column.FieldNo = static_cast<int>(i) + 1;
        bound.push_back(std::move(column));
      }
      continue;
    }
    int index = -1;
    if (!field.ColumnName.empty() && field.ColumnName != "*" &&
        (field.CorrelationName.empty() ||
         SameName(field.CorrelationName, target.CorrelationName))) {
      index = schema.FindField(field.ColumnName);
    }
    if (index < 0) {
      const std::string& name = field.ColumnName.empty() ? field.ClauseText : field.ColumnName;
      Raise("Invalid column name '" + name + "' or table correlation name '" +
            field.CorrelationName + "' specified in table columns");
    }
    field.FieldNo = index + 1;
    bound.push_back(std::move(field));
  }
  for (TUpdateField& field : bound) {
    const TSchemaField& column = schema.Fields[static_cast<std::size_t>(field.FieldNo - 1)];
    field.DataType = static_cast<TDataType>(column.DataType);
    field.SubType = static_cast<TSubType>(column.SubType);
    field.Size = ExpressionSizeOf(column);
    field.Scale = column.Scale;
    if (field.Column) {
      if (field.Column->NodeClass == ncConstant) {
        // A double-quoted string naming the column becomes that column.
        TExpToken& node = *field.Column;
        node.WasString = true;
        node.SavedDataType = node.DataType;
        node.SavedSubType = node.SubType;
        node.SavedSize = node.Size;
        node.SavedScale = node.Scale;
        node.NodeClass = ncColumn;
        node.ColumnName = column.Name;
      }
      field.Column->SourceTable = &target;
      field.Column->FieldNumber = field.FieldNo;
      field.Column->DataType = field.DataType;
      field.Column->SubType = field.SubType;
      field.Column->Size = field.Size;
      field.Column->Scale = field.Scale;
    }
  }
  block.UpdateFields = std::move(bound);
}

void TStatementBinder::CheckValueAgainstColumn(TDataQuery& block, TUpdateField& field,
                                               TUpdateValue& value) {
  // Only constants are checked now: a string for a date, time or timestamp column becomes
  // that value (or fails); a string for any other column is converted when the row is
  // written, like the value of an expression; any other constant must be comparable with the
  // column. The check is the binding of "column = value", whose messages are the ones these
  // checks use.
  const TExpToken& node = *value.Value;
  if (node.NodeClass != ncConstant || node.IsParameter || node.DataType == dtNull) return;
  if (node.DataType == field.DataType) return;
  if (node.DataType == dtString && !IsDateTimeType(field.DataType)) return;
  TExpTokenPtr column = NewExpToken();
  column->NodeClass = ncColumn;
  const TSourceTable& target = *block.FirstSource();
  column->ColumnName = target.Schema->Fields[static_cast<std::size_t>(field.FieldNo - 1)].Name;
  column->Text = column->ColumnName;
  TExpTokenPtr check = NewExpToken();
  check->NodeClass = ncBinary;
  check->OperatorCode = opEqual;
  check->Text.assign(1, '=');
  check->Left = std::move(column);
  check->Right = std::move(value.Value);
  UpdateHeight(*check);
  TTargetColumnResolver resolver(target, field);
  struct TGiveBack {
    TExpTokenPtr& Check;
    TExpTokenPtr& Value;
    ~TGiveBack() {
      if (Check && Check->Right) {
        Value = std::move(Check->Right);
        Value->Parent = nullptr;
      }
    }
  } giveBack{check, value.Value};
  BindTree(check, resolver, "update values", false, false);
}

void TStatementBinder::BindInsert(TDataQuery& block) {
  LoadSources(block);
  BindTargetColumns(block, true);
  if (block.InsertSource != nullptr) {
    // Each result column fills the target column at its position.
    if (block.InsertSource->ResultFields.size() != block.UpdateFields.size()) {
      Raise("The number of values must match the number of table columns");
    }
    return;
  }
  if (block.UpdateValues.size() != block.UpdateFields.size()) {
    Raise("The number of values must match the number of table columns");
  }
  TNoColumnsResolver resolver(block);
  for (std::size_t i = 0; i < block.UpdateValues.size(); ++i) {
    TUpdateValue& value = block.UpdateValues[i];
    BindTree(value.Value, resolver, "insert values", false, false);
    CheckValueAgainstColumn(block, block.UpdateFields[i], value);
  }
}

void TStatementBinder::BindUpdate(TDataQuery& block) {
  LoadSources(block);
  BindTargetColumns(block, false);
  if (block.UpdateValues.size() != block.UpdateFields.size()) {
    Raise("The number of values must match the number of table columns");
  }
  TSourceResolver resolver(block);
  for (std::size_t i = 0; i < block.UpdateValues.size(); ++i) {
    TUpdateValue& value = block.UpdateValues[i];
    BindTree(value.Value, resolver, "update values", true, false);
    CheckValueAgainstColumn(block, block.UpdateFields[i], value);
  }
  BindConditions(block);
}

void TStatementBinder::BindDelete(TDataQuery& block) {
  LoadSources(block);
  BindConditions(block);
}

}  // namespace zorvic::engine::detail

#include <algorithm>

#include "engine/sql/bind/StatementBinder.h"
#include "engine/sql/bind/StatementBinderImpl.h"

namespace zorvic::engine {
namespace {

TSchemaField FieldOf(const TCreateField& definition, const std::string& name) {
  TSchemaField field;
  field.Name = name;
  field.DataType = static_cast<std::uint8_t>(definition.DataType);
  field.SubType = static_cast<std::uint8_t>(definition.SubType);
  field.Size = definition.Size;
  field.Scale = definition.Scale;
  field.Required = definition.NotNull;
  return field;
}

// Field numbers (1-based) of index column names among fields, or the engine's message for
// the first unknown one.
std::vector<int> IndexFieldNumbers(const TTableSchema& table, const std::vector<std::string>& names,
                                   const std::string& indexName, bool textIndex,
                                   TExpressionParser* lexer) {
  std::vector<int> numbers;
  for (const std::string& name : names) {
    const int index = table.FindField(name);
    if (index < 0) {
      const std::string message =
          textIndex ? "Invalid field name '" + name + "' specified for text index"
                    : "Invalid field name '" + name + "' specified for index '" + indexName + "'";
      if (lexer != nullptr) lexer->RaiseError(message);
      RaiseSQLError(message);
    }
    numbers.push_back(index + 1);
  }
  return numbers;
}

}  // namespace

std::shared_ptr<TTableSchema> SchemaOfCreateTable(const TDataQuery& block) {
  auto schema = std::make_shared<TTableSchema>();
  schema->Name = block.Target.Name;
  for (const TCreateField& definition : block.CreateFields) {
    schema->Fields.push_back(FieldOf(definition, definition.Name));
  }
  for (const TCreateIndex& index : block.CreateIndexes) {
    if (index.PrimaryKey) schema->HasPrimaryKey = true;
  }
  return schema;
}

std::shared_ptr<TTableSchema> SchemaAfterAlterTable(const TTableSchema& table,
                                                    const TDataQuery& block) {
  auto schema = std::make_shared<TTableSchema>(table);
  std::vector<TSchemaField>& fields = schema->Fields;
  for (const TCreateField& action : block.CreateFields) {
    if (action.Position < 1 && action.PositionGiven) {
      RaiseSQLError("AT column position must be greater than or equal to 1");
    }
    if (action.Add) {
      TSchemaField field = FieldOf(action, action.Name);
      const std::size_t at =
          action.PositionGiven
              ? std::min(static_cast<std::size_t>(action.Position - 1), fields.size())
              : fields.size();
      fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at), field);
      continue;
    }
    const int index = schema->FindField(action.Name);
    if (index < 0) RaiseSQLError("Column " + action.Name + " not found");
    if (action.Drop) {
      fields.erase(fields.begin() + index);
      continue;
    }
    TSchemaField field = fields[static_cast<std::size_t>(index)];
    if (!action.NewName.empty()) field.Name = action.NewName;
    if (action.TypeGiven) {
      field.DataType = static_cast<std::uint8_t>(action.DataType);
      field.SubType = static_cast<std::uint8_t>(action.SubType);
      field.Size = action.Size;
      field.Scale = action.Scale;
    }
    fields.erase(fields.begin() + index);
    const std::size_t at =
        action.PositionGiven
            ? std::min(static_cast<std::size_t>(action.Position - 1), fields.size())
            : static_cast<std::size_t>(index);
    fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at), field);
  }
  for (const TCreateIndex& index : block.CreateIndexes) {
    if (!index.PrimaryKey) continue;
    if (index.Add && schema->HasPrimaryKey) {
      RaiseSQLError("Cannot REDEFINE the primary key using the ADD keyword");
    }
    schema->HasPrimaryKey = !index.Drop;
    if (!index.Drop) IndexFieldNumbers(*schema, index.ColumnNames, index.Name, false, nullptr);
  }
  if (block.Options.TextIndexGiven) {
    IndexFieldNumbers(*schema, block.Options.TextIndexColumnNames, "", true, nullptr);
  }
  return schema;
}

namespace detail {

void TStatementBinder::BindCreateTable(TDataQuery& block) {
  const std::shared_ptr<TTableSchema> schema = SchemaOfCreateTable(block);
  for (TCreateIndex& index : block.CreateIndexes) {
    index.FieldNumbers =
        IndexFieldNumbers(*schema, index.ColumnNames, index.Name, false, &Statement_.Lexer());
  }
  if (block.Options.TextIndexGiven) {
    block.Options.TextIndexFieldNumbers = IndexFieldNumbers(
        *schema, block.Options.TextIndexColumnNames, "", true, &Statement_.Lexer());
  }
}

void TStatementBinder::BindCreateIndex(TDataQuery& block) {
  const std::shared_ptr<const TTableSchema> table = LoadTable(block.Target);
  for (TCreateIndex& index : block.CreateIndexes) {
    index.FieldNumbers =
        IndexFieldNumbers(*table, index.ColumnNames, index.Name, false, &Statement_.Lexer());
  }
}

void TStatementBinder::BindAlterTable(TDataQuery& block) {
  const std::shared_ptr<const TTableSchema> table = LoadTable(block.Target);
  const std::shared_ptr<TTableSchema> after = SchemaAfterAlterTable(*table, block);
  for (TCreateIndex& index : block.CreateIndexes) {
    if (!index.Drop) {
      index.FieldNumbers =
          IndexFieldNumbers(*after, index.ColumnNames, index.Name, false, &Statement_.Lexer());
    }
  }
  if (block.Options.TextIndexGiven) {
    block.Options.TextIndexFieldNumbers = IndexFieldNumbers(
        *after, block.Options.TextIndexColumnNames, "", true, &Statement_.Lexer());
  }
}

void TStatementBinder::BindDropIndex(TDataQuery& block) {
  LoadTable(block.Target);
}

}  // namespace detail
}  // namespace zorvic::engine

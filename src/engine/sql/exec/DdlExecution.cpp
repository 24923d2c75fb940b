#include "engine/sql/exec/DdlExecution.h"

#include <algorithm>
#include <string>

#include "engine/sql/bind/StatementBinder.h"
#include "engine/sql/exec/DdlDefinitions.h"
#include "engine/sql/exec/ExecSchema.h"
#include "engine/sql/exec/Restructure.h"
#include "engine/sql/exec/TransactionStatements.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/formats/IndexFile.h"
#include "engine/storage/sessions/DataSession.h"

namespace zorvic::engine {
namespace {

bool IsPrimaryName(const std::string& name) {
  return SameFieldName(name, "PRIMARY");
}

// The table settings that a statement gives replace those of the definition.
void ApplyTableOptions(const TDataQuery& block, TTableDefinition& def, TDataSession& session) {
  const TTableOptions& options = block.Options;
  if (options.DescriptionGiven) def.Description = options.Description;
  if (options.BlobBlockSizeGiven)
    def.BlobBlockSize = static_cast<std::uint32_t>(std::max(options.BlobBlockSize, 0));
  if (options.UserMajorVersionGiven)
    def.UserMajorVersion = static_cast<std::uint16_t>(options.UserMajorVersion);
  if (options.UserMinorVersionGiven)
    def.UserMinorVersion = static_cast<std::uint16_t>(options.UserMinorVersion);
  if (block.LanguageGiven) def.LanguageId = block.LanguageId;
  if (block.SortGiven) def.SortId = block.SortId;
  if (block.EncryptedGiven) {
    def.Encrypted = !block.Password.empty();
    def.Password = block.Password;
    // The new table must open in this session afterwards.
    if (def.Encrypted) session.AddPassword(block.Password);
  }
}

// Opens the statement's table exclusively for the lifetime of the object.
class TExclusiveTable {
 public:
  TExclusiveTable(TDataDirectory& database, const TTableRef& ref) : Cursor(database) {
    Cursor.Open(ref.Name, ref.InMemory, true);
  }
  ~TExclusiveTable() { Cursor.Close(); }
  TExclusiveTable(const TExclusiveTable&) = delete;
  TExclusiveTable& operator=(const TExclusiveTable&) = delete;
  TDataCursor Cursor;
};

void CreateTable(TDataDirectory& database, const TDataQuery& block) {
  const TTableRef& ref = block.Target;
  if (block.IfNotExists && database.TableExists(ref.Name, ref.InMemory)) return;
  TTableCreation creation;
  TTableDefinition& def = creation.Table;
  def.UserMajorVersion = 1;
  for (const TCreateField& column : block.CreateFields)
    def.Fields.push_back(FieldDefinitionOf(column));
  for (const TCreateIndex& index : block.CreateIndexes) {
    if (index.PrimaryKey) creation.Primary = IndexDefinitionOf(index);
  }
  // LAST AUTOINC takes effect through ALTER TABLE only.
  ApplyTableOptions(block, def, database.Session());
  TDataTable& table = database.CreateTable(ref.Name, ref.InMemory, creation, false);
  database.CloseTable(table);
}

void CreateIndex(TDataDirectory& database, const TDataQuery& block) {
  TExclusiveTable table(database, block.Target);
  for (const TCreateIndex& index : block.CreateIndexes) {
    const int slot = table.Cursor.Table().Index().FindIndex(index.Name);
    if (block.IfNotExists && slot >= 1 &&
        slot <= table.Cursor.Table().Index().Header().SecondaryCount())
      continue;
    table.Cursor.AddIndex(IndexDefinitionOf(index));
  }
}

void DropTable(TDataDirectory& database, const TDataQuery& block) {
  const TTableRef& ref = block.Target;
  if (block.IfExists && !database.TableExists(ref.Name, ref.InMemory)) return;
  database.DeleteTable(ref.Name, ref.InMemory);
}

// The layout after the column and index actions of ALTER TABLE, in the order the binder
// checks them (its messages are raised first, by SchemaAfterAlterTable).
TTableLayout LayoutAfterAlter(TDataTable& table, const TDataQuery& block) {
  SchemaAfterAlterTable(*SchemaOfTable(table), block);
  TTableLayout layout = TableDefinitionOf(table);
  std::vector<TFieldDefinition>& fields = layout.Creation.Table.Fields;
  std::vector<std::uint16_t>& sources = layout.SourceFields;
  auto findField = [&](const std::string& name) -> std::ptrdiff_t {
    for (std::size_t i = 0; i < fields.size(); ++i)
      if (SameFieldName(fields[i].Name, name)) return static_cast<std::ptrdiff_t>(i);
    return -1;
  };
  for (const TCreateField& action : block.CreateFields) {
    if (action.Add) {
      const std::size_t at =
          action.PositionGiven
              ? std::min(static_cast<std::size_t>(action.Position - 1), fields.size())
              : fields.size();
      fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at), FieldDefinitionOf(action));
      sources.insert(sources.begin() + static_cast<std::ptrdiff_t>(at), 0);
      continue;
    }
    const std::ptrdiff_t index = findField(action.Name);
    if (index < 0) RaiseSQLError("Column " + action.Name + " not found");
    if (action.Drop) {
      fields.erase(fields.begin() + index);
      sources.erase(sources.begin() + index);
      continue;
    }
    TFieldDefinition field = fields[static_cast<std::size_t>(index)];
    const std::uint16_t source = sources[static_cast<std::size_t>(index)];
    const TFieldDefinition given = FieldDefinitionOf(action);
    if (!action.NewName.empty()) field.Name = action.NewName.substr(0, 30);
    if (action.TypeGiven) {
      field.DataType = given.DataType;
      field.SubType = given.SubType;
      field.Size = given.Size;
      field.Scale = given.Scale;
    }
    if (action.DescriptionGiven) field.Description = given.Description;
    if (action.NotNullGiven) field.Required = given.Required;
    if (action.DefaultGiven) field.DefaultValue = given.DefaultValue;
    if (action.MinGiven) field.MinValue = given.MinValue;
    if (action.MaxGiven) field.MaxValue = given.MaxValue;
    if (action.CharCaseGiven) field.CharCase = given.CharCase;
    fields.erase(fields.begin() + index);
    sources.erase(sources.begin() + index);
    const std::size_t at =
        action.PositionGiven
            ? std::min(static_cast<std::size_t>(action.Position - 1), fields.size())
            : static_cast<std::size_t>(index);
    fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at), field);
    sources.insert(sources.begin() + static_cast<std::ptrdiff_t>(at), source);
  }
  for (std::size_t i = 0; i < fields.size(); ++i)
    fields[i].FieldNo = 0;

  // Indexes follow their columns to their new numbers; an index on a dropped column goes.
  auto renumber = [&](TIndexDefinition& index) {
    for (std::uint16_t& no : index.Fields) {
      const auto it = std::find(sources.begin(), sources.end(), no);
      if (it == sources.end()) return false;
      no = static_cast<std::uint16_t>(it - sources.begin() + 1);
    }
    return true;
  };
  TTableCreation& creation = layout.Creation;
  if (!creation.Primary.Fields.empty() && !renumber(creation.Primary))
    creation.Primary = TIndexDefinition{};
  std::vector<TIndexDefinition> kept;
  for (TIndexDefinition& index : creation.Secondary)
    if (renumber(index)) kept.push_back(std::move(index));
  creation.Secondary = std::move(kept);
  for (const TCreateIndex& index : block.CreateIndexes) {
    if (!index.PrimaryKey) continue;
    creation.Primary = index.Drop ? TIndexDefinition{} : IndexDefinitionOf(index);
  }
  return layout;
}

// A restructure copies into a new table and swaps files, which a transaction (whose tables
// stay open until it ends, and whose changes stay in caches) cannot take part in.
void CheckNoTransaction(TDataDirectory& database, const char* statement) {
  if (!database.InTransaction()) return;
  RaiseSQLError(std::string(statement) + " cannot restructure a table while a transaction is " +
                "in progress for database '" + TransactionDatabaseName(database) + "'");
}

void AlterTable(TDataDirectory& database, const TDataQuery& block) {
  CheckNoTransaction(database, "ALTER TABLE");
  TExclusiveTable table(database, block.Target);
  TTableLayout layout = LayoutAfterAlter(table.Cursor.Table(), block);
  TTableDefinition& def = layout.Creation.Table;
  ApplyTableOptions(block, def, database.Session());
  if (block.Options.LastAutoIncGiven) def.LastAutoInc = block.Options.LastAutoInc;
  RestructureTable(table.Cursor, layout, !block.Options.NoBackup);
}

void DropIndex(TDataDirectory& database, const TDataQuery& block) {
  TExclusiveTable table(database, block.Target);
  TDataTable& data = table.Cursor.Table();
  if (IsPrimaryName(block.IndexName)) {
    if (!data.HasPrimaryIndex()) {
      if (block.IfExists) return;
      RaiseIndexError(VELDOR_INVALIDINDEXNAME, block.IndexName, data.Name());
    }
    CheckNoTransaction(database, "DROP INDEX");
    TTableLayout layout = TableDefinitionOf(data);
    layout.Creation.Primary = TIndexDefinition{};
    RestructureTable(table.Cursor, layout, true);
    return;
  }
  const int slot = data.Index().FindIndex(block.IndexName);
  const bool exists = slot >= 1 && slot <= data.Index().Header().SecondaryCount();
  if (!exists && block.IfExists) return;
  table.Cursor.DeleteIndex(block.IndexName);
}

}  // namespace

void ExecuteDdl(TDataDirectory& statementDatabase, TQueryStatement& statement, TDataQuery& block) {
  statement.RowsAffected = 0;
  TDatabaseUse use(statementDatabase, block.Target);
  TDataDirectory& database = use.Database();
  switch (block.Kind) {
    case TStatementKind::CreateTable:
      CreateTable(database, block);
      break;
    case TStatementKind::CreateIndex:
      CreateIndex(database, block);
      break;
    case TStatementKind::AlterTable:
      AlterTable(database, block);
      break;
    case TStatementKind::DropTable:
      DropTable(database, block);
      break;
    case TStatementKind::DropIndex:
      DropIndex(database, block);
      break;
    default:
      RaiseSQLError(std::string("Internal error: ") + StatementKindName(block.Kind) +
                    " is not a DDL statement");
  }
}

}  // namespace zorvic::engine

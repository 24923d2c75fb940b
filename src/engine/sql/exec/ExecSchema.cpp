#include "engine/sql/exec/ExecSchema.h"

#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/formats/IndexFile.h"
#include "engine/storage/formats/IndexFormat.h"
#include "engine/storage/sessions/DataSession.h"

namespace zorvic::engine {

TDatabaseUse::TDatabaseUse(TDataDirectory& statementDatabase, const TTableRef& table)
    : Database_(&statementDatabase) {
  if (table.InMemory && !statementDatabase.InMemory()) {
    Database_ = &statementDatabase.Session().OpenDatabase("Memory");
    Owned_ = true;
  } else if (!table.InMemory && !table.Folder.empty()) {
    Database_ = &statementDatabase.Session().OpenDatabase(table.Folder);
    Owned_ = true;
  }
}

TDatabaseUse::~TDatabaseUse() {
  if (Owned_) Database_->Session().CloseDatabase(*Database_);
}

bool TDatabaseUse::InMemory() const {
  return Database_->InMemory();
}

std::shared_ptr<const TTableSchema> TExecSchemaSource::LoadTable(const TTableRef& table) {
  TDatabaseUse use(Database_, table);
  // Opening raises the engine's own errors: a missing table, damaged headers, rights.
  TDataCursor cursor(use.Database());
  cursor.Open(table.Name, use.InMemory());
  auto schema = std::make_shared<TTableSchema>();
  schema->Name = table.Name;
  for (const TFieldDesc& desc : cursor.Fields()) {
    TSchemaField field;
    field.Name = desc.Name();
    field.DataType = desc.DataType;
    field.SubType = desc.SubType;
    field.Size = desc.FieldSize;
    field.Scale = desc.FieldScale;
    field.Required = desc.Required != 0;
    schema->Fields.push_back(std::move(field));
  }
  const TIndexHeader& header = cursor.Table().Index().Header();
  schema->HasPrimaryKey = !header.NoPrimaryIndex() && header.SlotInUse(0);
  for (int slot = 1; slot <= header.SecondaryCount(); ++slot)
    schema->IndexNames.push_back(header.Descriptor(slot).IndexName);
  cursor.Close();
  return schema;
}

bool TExecSchemaSource::TableExists(const TTableRef& table) {
  TDatabaseUse use(Database_, table);
  return use.Database().TableExists(table.Name, use.InMemory());
}

}  // namespace zorvic::engine

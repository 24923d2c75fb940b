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

TExecSchemaSource::TExecSchemaSource(TDataDirectory& database) : Database_(database) {}

TExecSchemaSource::~TExecSchemaSource() {
  // The last opened first: a cursor ends before the database it was opened in.
  for (auto it = Opened_.rbegin(); it != Opened_.rend(); ++it) {
    if (!it->Cursor) continue;  // handed over
    try {
      it->Cursor->Close();
    } catch (...) {
      // Closing a cursor that only read the table's definition has nothing left to lose.
    }
    it->Cursor.reset();
    it->Use.reset();
  }
}

std::shared_ptr<const TTableSchema> TExecSchemaSource::LoadTable(const TTableRef& table) {
  TOpenedTable opened;
  opened.Ref = table;
  opened.Use = std::make_unique<TDatabaseUse>(Database_, table);
  // Opening raises the engine's own errors: a missing table, damaged headers, rights.
  opened.Cursor = std::make_unique<TDataCursor>(opened.Use->Database());
  TDataCursor& cursor = *opened.Cursor;
  cursor.Open(table.Name, opened.Use->InMemory());
  auto schema = std::make_shared<TTableSchema>();
  schema->Name = table.Name;
  schema->Fields.reserve(cursor.Fields().size());
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
  Opened_.push_back(std::move(opened));
  return schema;
}

bool TExecSchemaSource::TakeOpened(const TTableRef& table, std::unique_ptr<TDatabaseUse>* use,
                                   std::unique_ptr<TDataCursor>* cursor) {
  for (TOpenedTable& opened : Opened_) {
    if (!opened.Cursor || opened.Ref.Name != table.Name || opened.Ref.Folder != table.Folder ||
        opened.Ref.InMemory != table.InMemory || !opened.Cursor->IsOpen())
      continue;
    *use = std::move(opened.Use);
    *cursor = std::move(opened.Cursor);
    return true;
  }
  return false;
}

bool TExecSchemaSource::TableExists(const TTableRef& table) {
  TDatabaseUse use(Database_, table);
  return use.Database().TableExists(table.Name, use.InMemory());
}

}  // namespace zorvic::engine

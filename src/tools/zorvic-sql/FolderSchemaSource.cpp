#include "tools/zorvic-sql/FolderSchemaSource.h"

#include "engine/storage/EngineError.h"
#include "engine/storage/files/FileLayer.h"
#include "engine/storage/files/FileSystem.h"
#include "engine/storage/formats/DataFile.h"

namespace zorvic {

using namespace zorvic::engine;

std::string TFolderSchemaSource::FindDataFile(const TTableRef& table) const {
  if (table.InMemory) return {};
  const std::string folder = table.Folder.empty() ? Folder_ : table.Folder;
  return ResolveTableFileName(MakeTableFileName(folder, table.Name, ".DAT"));
}

bool TFolderSchemaSource::TableExists(const TTableRef& table) {
  if (table.InMemory) return false;
  TFileStatus status;
  return CurrentFileSystem().Stat(FindDataFile(table), &status) == 0 && status.Exists &&
         !status.IsDirectory;
}

std::shared_ptr<const TTableSchema> TFolderSchemaSource::LoadTable(const TTableRef& table) {
  // The shell has no in-memory database of its own.
  if (table.InMemory) RaiseTableMissing(table, Folder_);
  const std::string path = FindDataFile(table);
  auto known = Loaded_.find(path);
  if (known != Loaded_.end()) return known->second;

  // Opening the data file raises the storage engine's own errors: a missing table, a damaged
  // header or descriptors.
  TDataFile file(path, table.Name);
  file.Open(false);
  auto schema = std::make_shared<TTableSchema>();
  schema->Name = table.Name;
  for (const TFieldDesc& desc : file.Fields()) {
    TSchemaField field;
    field.Name = desc.Name();
    field.DataType = desc.DataType;
    field.SubType = desc.SubType;
    field.Size = desc.FieldSize;
    field.Scale = desc.FieldScale;
    schema->Fields.push_back(std::move(field));
  }
  file.Close();
  Loaded_[path] = schema;
  return schema;
}

}  // namespace zorvic

// Table definitions read from the table files of one folder, for the SQL shell.
//
// A table is its data file "<name>.DAT" (name matched ignoring case); its definition is the
// field descriptors of that file, read through the storage engine's data file, so a missing
// or damaged table gives the engine's own error. Definitions are read once per table and kept.
//
// Thread safety: one thread.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "engine/sql/SchemaSource.h"

namespace zorvic {

class TFolderSchemaSource : public engine::TSchemaSource {
 public:
  explicit TFolderSchemaSource(std::string folder) : Folder_(std::move(folder)) {}

  std::shared_ptr<const engine::TTableSchema> LoadTable(const engine::TTableRef& table) override;
  bool TableExists(const engine::TTableRef& table) override;

 private:
  // The data file's path on disk, or empty when there is none.
  std::string FindDataFile(const engine::TTableRef& table) const;

  std::string Folder_;
  std::map<std::string, std::shared_ptr<const engine::TTableSchema>> Loaded_;
};

}  // namespace zorvic

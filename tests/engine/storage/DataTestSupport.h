// Helpers for the data-file tests: field and table definitions in one line, and a data file
// opened on a table in a temporary folder.
#pragma once

#include <memory>
#include <string>

#include "engine/storage/FileTestSupport.h"
#include "engine/storage/formats/DataFile.h"
#include "engine/storage/formats/FieldDefs.h"

namespace zorvic::engine::testing {

inline TFieldDefinition FieldDef(const std::string& name, std::uint8_t type, std::uint32_t size = 0,
                                 std::uint8_t subType = 0) {
  TFieldDefinition f;
  f.Name = name;
  f.DataType = type;
  f.Size = size;
  f.SubType = subType;
  return f;
}

inline TTableDefinition TableDef(std::initializer_list<TFieldDefinition> fields) {
  TTableDefinition def;
  def.Fields.assign(fields.begin(), fields.end());
  return def;
}

// The (auto-increment, String 20, Boolean) table of the record layout examples.
inline TTableDefinition SmallTableDef() {
  return TableDef({FieldDef("ID", ftInteger, 0, fstAutoInc), FieldDef("Name", ftString, 20),
                   FieldDef("Active", ftBoolean)});
}

inline std::unique_ptr<TDataFile> CreateDataFile(const TTempDir& dir, const std::string& table,
                                                 const TTableDefinition& def) {
  auto file = std::make_unique<TDataFile>(dir.File(table + ".DAT"), table);
  file->Create(def);
  return file;
}

inline std::unique_ptr<TDataFile> OpenDataFile(const TTempDir& dir, const std::string& table,
                                               bool exclusive = true) {
  auto file = std::make_unique<TDataFile>(dir.File(table + ".DAT"), table);
  file->Open(exclusive);
  return file;
}

}  // namespace zorvic::engine::testing

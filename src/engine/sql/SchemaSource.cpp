#include "engine/sql/SchemaSource.h"

#include <algorithm>
#include <cctype>

#include "engine/sql/parse/Lexer.h"
#include "engine/storage/EngineError.h"

namespace zorvic::engine {
namespace {

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

int TTableSchema::FindField(std::string_view name) const {
  for (std::size_t i = 0; i < Fields.size(); ++i) {
    if (SameTextIgnoringCase(Fields[i].Name, name)) return static_cast<int>(i);
  }
  return -1;
}

bool TTableSchema::HasIndex(std::string_view name) const {
  return std::any_of(IndexNames.begin(), IndexNames.end(),
                     [&](const std::string& n) { return SameTextIgnoringCase(n, name); });
}

std::string TableFileName(const TTableRef& table, std::string_view databaseFolder) {
  std::string out;
  if (!table.InMemory) {
    out = table.Folder.empty() ? std::string(databaseFolder) : table.Folder;
    if (!out.empty() && out.back() != '/' && out.back() != '\\') out += '/';
  }
  return out + table.Name + ".DAT";
}

void RaiseTableMissing(const TTableRef& table, std::string_view databaseFolder) {
  RaiseTableError(VELDOR_OSENOENT, TableFileName(table, databaseFolder));
}

std::shared_ptr<const TTableSchema> TEmptySchemaSource::LoadTable(const TTableRef& table) {
  RaiseTableMissing(table, Folder_);
}

bool TEmptySchemaSource::TableExists(const TTableRef&) {
  return false;
}

std::string TSchemaOverlay::Key(const TTableRef& table) {
  return (table.InMemory ? "M|" : "F|") + Upper(table.Folder) + "|" + Upper(table.Name);
}

std::shared_ptr<const TTableSchema> TSchemaOverlay::LoadTable(const TTableRef& table) {
  auto it = Tables_.find(Key(table));
  if (it == Tables_.end()) return Base_.LoadTable(table);
  if (it->second == nullptr) RaiseTableMissing(table, DatabaseFolder_);
  return it->second;
}

bool TSchemaOverlay::TableExists(const TTableRef& table) {
  auto it = Tables_.find(Key(table));
  if (it == Tables_.end()) return Base_.TableExists(table);
  return it->second != nullptr;
}

void TSchemaOverlay::PutTable(const TTableRef& table, std::shared_ptr<const TTableSchema> schema) {
  Tables_[Key(table)] = std::move(schema);
}

void TSchemaOverlay::DropTable(const TTableRef& table) {
  Tables_[Key(table)] = nullptr;
}

}  // namespace zorvic::engine

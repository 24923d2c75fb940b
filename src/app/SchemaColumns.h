// The tables and columns of a schema script of "Create Table IF NOT EXISTS Name(col type,...,
// Primary Key (...))" statements, as the administration commands and zorvic-cli read them
// from the shared schema: each column's name and the rest of its definition (its type and
// constraints). Header-only, so the client tool uses it without the server's libraries.
//
// Thread safety: pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/AsciiText.h"

namespace zorvic {

struct cSchemaColumn {
  std::string Name;
  std::string Definition;  // "VARCHAR(32) NOT NULL", "Boolean DEFAULT TRUE", ...
};

struct cSchemaTable {
  std::string Name;
  std::vector<cSchemaColumn> Columns;
};

// The n of a definition that starts "VARCHAR(n)", nullopt for any other type.
inline std::optional<std::size_t> VarcharWidth(std::string_view definition) {
  constexpr std::string_view kVarchar = "VARCHAR(";
  if (!AsciiStartsWithNoCase(definition, kVarchar)) return std::nullopt;
  std::size_t width = 0;
  bool digits = false;
  for (char c : definition.substr(kVarchar.size())) {
    if (c == ')') return digits ? std::optional<std::size_t>(width) : std::nullopt;
    if (c < '0' || c > '9' || width > 1'000'000) return std::nullopt;
    width = width * 10 + static_cast<std::size_t>(c - '0');
    digits = true;
  }
  return std::nullopt;
}

// One statement's table, or nullopt when it is not a Create Table statement.
inline std::optional<cSchemaTable> ParseSchemaTable(std::string_view statement) {
  statement = TrimBlanksAndTabs(statement);
  constexpr std::string_view kPrefix = "Create Table IF NOT EXISTS ";
  if (!AsciiStartsWithNoCase(statement, kPrefix)) return std::nullopt;
  statement.remove_prefix(kPrefix.size());
  const std::size_t open = statement.find('(');
  const std::size_t close = statement.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open)
    return std::nullopt;
  cSchemaTable table{std::string(TrimBlanksAndTabs(statement.substr(0, open))), {}};
  const std::string_view body = statement.substr(open + 1, close - open - 1);
  int depth = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= body.size(); ++i) {
    if (i < body.size() && body[i] == '(') ++depth;
    if (i < body.size() && body[i] == ')') --depth;
    if (i < body.size() && !(body[i] == ',' && depth == 0)) continue;
    const std::string_view definition = TrimBlanksAndTabs(body.substr(start, i - start));
    start = i + 1;
    if (definition.empty() || AsciiStartsWithNoCase(definition, "Primary Key")) continue;
    const std::size_t blank = definition.find(' ');
    table.Columns.push_back({std::string(definition.substr(0, blank)),
                             blank == std::string_view::npos
                                 ? std::string()
                                 : std::string(TrimBlanksAndTabs(definition.substr(blank + 1)))});
  }
  return table;
}

// Every table of a script of statements ended by ";", in script order.
inline std::vector<cSchemaTable> ParseSchemaScript(std::string_view script) {
  std::vector<cSchemaTable> tables;
  while (!script.empty()) {
    const std::size_t end = script.find(';');
    if (auto table = ParseSchemaTable(script.substr(0, end))) tables.push_back(std::move(*table));
    if (end == std::string_view::npos) break;
    script.remove_prefix(end + 1);
  }
  return tables;
}

}  // namespace zorvic

// The storage engine's definitions of the tables that DDL statements create and change.
//
// CREATE TABLE and CREATE INDEX build engine field and index definitions from the parsed
// column and index records (ClauseRecords.h); ALTER TABLE and DROP INDEX start from the
// definition of the table as it is (TableDefinitionOf) and change it. A TTableLayout is a
// creation (fields, primary and secondary indexes, table settings) plus, for every field, the
// number of the old field its values come from, which is what a restructure copies by.
//
// Thread safety: plain values and functions of the calling thread's tables.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/DataQuery.h"
#include "engine/sql/SchemaSource.h"
#include "engine/sql/bind/ClauseRecords.h"
#include "engine/storage/sessions/DataTable.h"

namespace zorvic::engine {

struct TTableLayout {
  TTableCreation Creation;
  // Per new field (same order as Creation.Table.Fields): the 1-based number of the old field
  // whose values it takes, 0 for a new field.
  std::vector<std::uint16_t> SourceFields;
};

// The engine field definition of a column definition (name cut to 30 characters, texts to 50).
TFieldDefinition FieldDefinitionOf(const TCreateField& column);
// The engine index definition of a parsed index whose FieldNumbers binding has set.
TIndexDefinition IndexDefinitionOf(const TCreateIndex& index);

// The definition of an open table: its fields, primary and secondary indexes and settings
// (the old field numbers are the field numbers themselves).
TTableLayout TableDefinitionOf(TDataTable& table);

// The binder's view of an open table.
std::shared_ptr<TTableSchema> SchemaOfTable(TDataTable& table);

}  // namespace zorvic::engine

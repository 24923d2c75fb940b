// Helpers of the DDL, transaction and INSERT execution tests: a session with one database in
// a temporary folder, statements run through TSqlExecution, the bytes of every file of the
// folder, and record reads by field name.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/QueryStatement.h"
#include "engine/sql/exec/SqlExecution.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/FileTestSupport.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/sessions/DataSession.h"

namespace zorvic::engine::ddltest {

using FileBytes = std::map<std::string, std::string>;
using engine::testing::ReadWholeFile;
using engine::testing::TTempDir;

// Whether text holds part, with both shown on failure.
inline ::testing::AssertionResult Contains(const std::string& text, std::string_view part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << text << "\" does not contain \"" << part << "\"";
}

class TSqlFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    Session = std::make_unique<TDataSession>();
    Database = &Session->OpenDatabase(Dir.Path());
  }
  void TearDown() override {
    if (Database) Session->CloseDatabase(*Database);
    Session.reset();
  }

  // Runs every statement of the text; returns the rows affected of the last one. Failures
  // propagate.
  std::int32_t Run(std::string_view text) {
    TQueryStatement statement(Database->Path());
    TSqlExecution execution(*Database);
    statement.Prepare(text);
    std::int32_t rows = 0;
    while (statement.MasterQuery() != nullptr) {
      execution.Prepare(statement);
      execution.Execute(statement);
      rows = statement.RowsAffected;
      execution.Release();
      if (statement.AtEnd()) break;
      statement.ParseNext();
    }
    return rows;
  }
  // The message of the error the text raises, "" when it runs.
  std::string Error(std::string_view text, int* code = nullptr) {
    try {
      Run(text);
    } catch (const EVELDOREngineError& e) {
      if (code) *code = e.ErrorCode;
      return e.what();
    }
    return "";
  }
  // Every file of the folder with its bytes.
  FileBytes Files() const {
    FileBytes out;
    for (const auto& entry : std::filesystem::directory_iterator(Dir.Path()))
      out[entry.path().filename().string()] = ReadWholeFile(entry.path().string());
    return out;
  }
  bool HasFile(const std::string& name) const { return std::filesystem::exists(Dir.File(name)); }

  TTempDir Dir;
  std::unique_ptr<TDataSession> Session;
  TDataDirectory* Database = nullptr;
};

// The records of a table, read through a cursor of its own in primary (or record) order,
// each as field texts by name ("<NULL>" for NULL; integers, Booleans and strings only).
struct TRow {
  std::map<std::string, std::string> Values;
  std::int32_t RowId = 0;
  const std::string& operator[](const std::string& field) const { return Values.at(field); }
};

inline std::string FieldText(TDataCursor& cursor, const std::uint8_t* record, const TFieldDesc& f) {
  if (f.IsAutoInc()) return std::to_string(RecRowId(record));
  if (cursor.IsFieldNull(record, f.FieldNo)) return "<NULL>";
  std::uint8_t bytes[256] = {};
  switch (f.DataType) {
    case ftString:
      return cursor.GetString(record, f.FieldNo);
    case ftInteger:
      cursor.GetFieldBytes(record, f.FieldNo, bytes);
      return std::to_string(GetI32(bytes));
    case ftSmallInt:
    case ftBoolean:
      cursor.GetFieldBytes(record, f.FieldNo, bytes);
      return std::to_string(static_cast<std::int16_t>(bytes[0] | (bytes[1] << 8)));
    default:
      return "<value>";
  }
}

inline std::vector<TRow> ReadRows(TDataDirectory& database, const std::string& table) {
  TDataCursor cursor(database);
  cursor.Open(table);
  std::vector<TRow> rows;
  std::vector<std::uint8_t> record(cursor.RecordSize());
  cursor.First();
  while (cursor.GetNext(record.data()) == VELDOR_NONE) {
    TRow row;
    row.RowId = RecRowId(record.data());
    for (const TFieldDesc& f : cursor.Fields())
      row.Values[f.Name()] = FieldText(cursor, record.data(), f);
    rows.push_back(std::move(row));
  }
  cursor.Close();
  return rows;
}

}  // namespace zorvic::engine::ddltest

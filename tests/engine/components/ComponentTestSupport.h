// Helpers for the component tests: a temporary folder that tables live in, tables made through
// the table component, and a clean default session after every test.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/components/Components.h"
#include "engine/storage/EngineError.h"
#include "support/TempDir.h"

namespace zorvic::engine::testing {

inline TFieldDef Col(const std::string& name, TFieldKind kind, int size = 0,
                     bool required = false) {
  TFieldDef d;
  d.Name = name;
  d.DataType = kind;
  d.Size = size;
  d.Required = required;
  return d;
}

inline TIndexDef PrimaryOn(const std::string& fields) {
  TIndexDef d;
  d.Fields = fields;
  d.Primary = true;
  return d;
}

inline TIndexDef IndexOn(const std::string& name, const std::string& fields, bool unique = false,
                         bool caseInsensitive = false) {
  TIndexDef d;
  d.Name = name;
  d.Fields = fields;
  d.Unique = unique;
  d.CaseInsensitive = caseInsensitive;
  return d;
}

// The message of the EDatabaseError `action` raises ("" when it raises none or another kind).
inline std::string DatabaseErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EDatabaseError& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("other error: ") + e.what();
  }
  return {};
}

// The engine error code `action` raises (0 when none).
inline TErrorCode EngineErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EVELDOREngineError& e) {
    return e.ErrorCode;
  }
  return VELDOR_NONE;
}

class TComponentTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Temporary database components of the default session go with the session's close.
    TVELDORSessionList::Instance().DefaultSession().Close();
  }

  // A table like the server's log: an auto-increment key, a time stamp, texts and a memo.
  void CreateLogTable(const std::string& name, const std::string& database = {}) {
    TVELDORTable t;
    t.SetDatabaseName(database.empty() ? Dir.Path() : database);
    t.SetTableName(name);
    t.FieldDefs = {Col("ID", TFieldKind::AutoInc),    Col("Stamp", TFieldKind::DateTime),
                   Col("Kind", TFieldKind::SmallInt), Col("Text", TFieldKind::String, 100),
                   Col("Body", TFieldKind::Memo),     Col("Data", TFieldKind::Blob)};
    t.IndexDefs = {PrimaryOn("ID"), IndexOn("ByText", "Text", false, true)};
    t.CreateTable();
  }

  // A table keyed by a name, with a few typed columns.
  void CreateUsersTable(const std::string& name, const std::string& database = {}) {
    TVELDORTable t;
    t.SetDatabaseName(database.empty() ? Dir.Path() : database);
    t.SetTableName(name);
    t.FieldDefs = {Col("UserName", TFieldKind::String, 30), Col("ID", TFieldKind::AutoInc),
                   Col("Rights", TFieldKind::Integer),      Col("Active", TFieldKind::Boolean),
                   Col("Created", TFieldKind::Date),        Col("Quota", TFieldKind::LargeInt),
                   Col("Score", TFieldKind::Float),         Col("Balance", TFieldKind::BCD, 2),
                   Col("Notes", TFieldKind::Memo)};
    t.IndexDefs = {PrimaryOn("UserName"), IndexOn("ByRights", "Rights")};
    t.CreateTable();
  }

  // Opens `table` on the test folder (or `database`).
  void OpenOn(TVELDORTable& table, const std::string& name, const std::string& database = {}) {
    table.SetDatabaseName(database.empty() ? Dir.Path() : database);
    table.SetTableName(name);
    table.Open();
  }

  zorvic::testing::TTempDir Dir;
};

}  // namespace zorvic::engine::testing

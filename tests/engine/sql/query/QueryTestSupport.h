// Helpers for the query component tests: a temporary database folder, the server's schema
// script, queries on the folder and a clean default session after every test.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/components/Components.h"
#include "engine/sql/StmtTestSupport.h"
#include "engine/sql/query/Query.h"
#include "engine/storage/EngineError.h"
#include "support/TempDir.h"

namespace zorvic::engine::testing {

// The server's schema script: six tables and one index, one text (shared with the parser
// tests).
inline const std::string kSchemaScript(engine::test::kSchemaScript);

inline constexpr const char* kSqlError = "VELDOR Engine Error # 11949 SQL error - ";

// The message of the error `action` raises: EDatabaseError and EVELDOREngineError messages
// as they are, "" when it raises none.
inline std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

inline TErrorCode EngineCodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EVELDOREngineError& e) {
    return e.ErrorCode;
  } catch (...) {
    return static_cast<TErrorCode>(-1);
  }
  return VELDOR_NONE;
}

class TQueryTest : public ::testing::Test {
 protected:
  void TearDown() override { TVELDORSessionList::Instance().DefaultSession().Close(); }

  // A query on the test folder with the text set.
  void Use(TVELDORQuery& q, const std::string& text) {
    q.SetDatabaseName(Dir.Path());
    q.SetSQLText(text);
  }
  // Runs a text on a fresh query and returns its AffectedRows.
  std::int32_t Run(const std::string& text) {
    TVELDORQuery q;
    Use(q, text);
    q.RunSQL();
    return q.AffectedRows();
  }
  void RunSchema() { Run(kSchemaScript); }
  // The first column of every row of a SELECT, as text.
  std::vector<std::string> Column(const std::string& text) {
    TVELDORQuery q;
    Use(q, text);
    q.Open();
    std::vector<std::string> values;
    for (q.First(); !q.Eof(); q.Next())
      values.push_back(q.Field(0).IsNull() ? "NULL" : q.Field(0).AsString());
    return values;
  }

  zorvic::testing::TTempDir Dir;
};

}  // namespace zorvic::engine::testing

// Helpers of the statement execution tests: a database in a temporary folder, a script runner
// that returns the last result as text, and a table builder on the storage API.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/sql/QueryStatement.h"
#include "engine/sql/eval/Evaluator.h"
#include "engine/sql/eval/RecordValues.h"
#include "engine/sql/exec/SqlExecution.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/sessions/DataSession.h"
#include "support/TempDir.h"

namespace zorvic::engine::test {

inline constexpr std::string_view kSqlError = "VELDOR Engine Error # 11949 SQL error - ";

// A result as text: column names and rows; NULL shows as "<null>".
struct TResultText {
  std::vector<std::string> Columns;
  std::vector<std::vector<std::string>> Rows;
  bool Live = false;
  std::int32_t RowsAffected = 0;

  // The rows joined: cells by ",", rows by ";".
  std::string Joined() const {
    std::string text;
    for (std::size_t r = 0; r < Rows.size(); ++r) {
      if (r > 0) text += ";";
      for (std::size_t c = 0; c < Rows[r].size(); ++c) {
        if (c > 0) text += ",";
        text += Rows[r][c];
      }
    }
    return text;
  }
};

inline TResultText ReadCursor(TDataCursor& cursor) {
  TResultText result;
  for (const TFieldDesc& field : cursor.Fields())
    result.Columns.push_back(field.Name());
  std::vector<std::uint8_t> record(cursor.RecordSize());
  TExpTokenPtr value = NewExpToken();
  cursor.First();
  while (cursor.GetNext(record.data()) == VELDOR_NONE) {
    std::vector<std::string> row;
    for (std::uint32_t i = 1; i <= cursor.FieldCount(); ++i) {
      FetchFieldValue(cursor, record.data(), i, *value);
      row.push_back(value->IsNull ? "<null>" : ValueToText(*value));
    }
    result.Rows.push_back(std::move(row));
  }
  return result;
}

// Runs a script in a session of its own on another thread, as a second server thread would:
// the last result's rows joined (as TResultText::Joined), "" when it has none, or the message
// of the error it raised.
inline std::string RunInOtherSession(const std::string& folder, const std::string& text) {
  std::string out;
  std::thread([&] {
    try {
      TDataSession session;
      TDataDirectory& database = session.OpenDatabase(folder);
      {
        TSqlExecution execution(database);
        TQueryStatement statement(folder + "/");
        statement.Prepare(text);
        for (;;) {
          execution.Prepare(statement);
          TDataCursor* cursor = execution.Execute(statement);
          if (statement.AtEnd()) {
            if (cursor != nullptr) out = ReadCursor(*cursor).Joined();
            break;
          }
          statement.ParseNext();
        }
        execution.Release();
      }
      session.CloseDatabase(database);
    } catch (const std::exception& e) {
      out = e.what();
    }
  }).join();
  return out;
}

class TExecTest : public ::testing::Test {
 protected:
  TExecTest()
      : Session(std::make_unique<TDataSession>()),
        Database(&Session->OpenDatabase(Dir.Path())),
        Execution(std::make_unique<TSqlExecution>(*Database)),
        Statement(std::make_unique<TQueryStatement>(Dir.Path() + "/")) {}
  ~TExecTest() override {
    Execution.reset();
    Statement.reset();
    Session.reset();
  }

  // Runs every statement of the text; returns the result of the last (empty when none).
  TResultText Run(std::string_view text) {
    Statement->Prepare(text);
    TDataCursor* cursor = nullptr;
    std::int32_t affected = 0;
    for (;;) {
      Execution->Prepare(*Statement);
      cursor = Execution->Execute(*Statement);
      affected = Statement->RowsAffected;
      if (Statement->AtEnd()) break;
      Statement->ParseNext();
    }
    TResultText result;
    if (cursor != nullptr) result = ReadCursor(*cursor);
    result.Live = Statement->ResultIsLive;
    result.RowsAffected = affected;
    return result;
  }
  std::string Rows(std::string_view text) { return Run(text).Joined(); }
  // The message of the error the text raises ("" when it runs).
  std::string Error(std::string_view text) {
    try {
      Run(text);
    } catch (const EVELDOREngineError& error) {
      return error.what();
    }
    return "";
  }
  std::string SqlError(std::string_view message) {
    return std::string(kSqlError) + std::string(message);
  }

  zorvic::testing::TTempDir Dir;
  std::unique_ptr<TDataSession> Session;
  TDataDirectory* Database;
  std::unique_ptr<TSqlExecution> Execution;
  std::unique_ptr<TQueryStatement> Statement;
};

}  // namespace zorvic::engine::test

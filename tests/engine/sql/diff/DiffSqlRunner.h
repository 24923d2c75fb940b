// Runs SQL texts through the statement executor and hands back their results as text cells,
// for tests that compare the engine with a model of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/sql/QueryStatement.h"
#include "engine/sql/eval/Evaluator.h"
#include "engine/sql/eval/RecordValues.h"
#include "engine/sql/exec/SqlExecution.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/sessions/DataSession.h"

namespace zorvic::engine::test {

using TCell = std::optional<std::string>;
using TRow = std::vector<TCell>;

struct TSqlOutcome {
  bool Ok = true;
  std::string Error;               // the full engine message when the text failed
  std::vector<std::string> Names;  // result column names of a SELECT
  std::vector<TRow> Rows;          // result rows of a SELECT, in cursor order
  std::int32_t RowsAffected = 0;
};

// One database folder and an execution on it; every Run parses, prepares and executes one
// text statement by statement.
class TSqlRunner {
 public:
  explicit TSqlRunner(const std::string& folder)
      : Database_(TDataSession::Default().OpenDatabase(folder)), Folder_(Database_.Path()) {}
  ~TSqlRunner() {
    Execution_.reset();
    TDataSession::Default().CloseDatabase(Database_);
  }
  TSqlRunner(const TSqlRunner&) = delete;
  TSqlRunner& operator=(const TSqlRunner&) = delete;

  TDataDirectory& Database() { return Database_; }

  TSqlOutcome Run(const std::string& sql) {
    TSqlOutcome outcome;
    Execution_ = std::make_unique<TSqlExecution>(Database_);
    TQueryStatement statement(Folder_);
    try {
      statement.Prepare(sql);
      for (;;) {
        Execution_->Prepare(statement);
        TDataCursor* result = Execution_->Execute(statement);
        outcome.RowsAffected = statement.RowsAffected;
        outcome.Names.clear();
        outcome.Rows.clear();
        if (result != nullptr) Read(*result, outcome);
        if (statement.AtEnd()) break;
        statement.ParseNext();
      }
    } catch (const EVELDOREngineError& e) {
      outcome.Ok = false;
      outcome.Error = e.what();
    }
    Execution_->Release();
    return outcome;
  }

 private:
  static void Read(TDataCursor& cursor, TSqlOutcome& outcome) {
    for (const TFieldDesc& field : cursor.Fields())
      outcome.Names.push_back(field.Name());
    std::vector<std::uint8_t> record(cursor.RecordSize());
    cursor.First();
    while (cursor.GetNext(record.data()) == VELDOR_NONE) {
      TRow row;
      for (std::uint32_t n = 1; n <= cursor.FieldCount(); ++n) {
        TExpTokenPtr value = NewExpToken();
        FetchFieldValue(cursor, record.data(), n, *value);
        if (value->IsNull)
          row.emplace_back(std::nullopt);
        else
          row.emplace_back(ValueToText(*value));
      }
      outcome.Rows.push_back(std::move(row));
    }
  }

  TDataDirectory& Database_;
  std::string Folder_;
  std::unique_ptr<TSqlExecution> Execution_;
};

}  // namespace zorvic::engine::test

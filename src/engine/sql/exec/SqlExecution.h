// TSqlExecution: runs the statements of a TQueryStatement against a database.
//
// The statement parses a script one statement at a time (QueryStatement.h); an execution
// object binds the current statement against the tables as they are, opens its source tables,
// and runs it: SELECT to a result cursor (canned or live), INSERT, UPDATE and DELETE with
// their implicit transactions, DDL and the transaction statements. The query component drives
// the script loop and parameter values; the SQL shell and the tests may drive it directly:
//
//   TQueryStatement statement(folder);
//   TSqlExecution execution(database);
//   statement.Prepare(text);
//   for (;;) {
//     execution.Prepare(statement);          // bind, open tables
//     /* fill statement.ParameterList values here for the first statement */
//     TDataCursor* result = execution.Execute(statement);
//     if (statement.AtEnd()) break;
//     statement.ParseNext();
//   }
//
// Execute publishes RowsAffected, ExecutionSeconds, ResultIsLive and ResultIsReadOnly on the
// statement. Failures raise EVELDOREngineError: 11949 ("SQL error - ...") for the messages of
// the SQL layer, the storage engine's own codes for its failures.
//
// Thread safety: an execution object, its statement and its cursors belong to one thread at
// a time; tables are shared with other sessions and processes through the engine's locks.
#pragma once

#include <memory>

#include "engine/sql/QueryStatement.h"

namespace zorvic::engine {

class TDataCursor;
class TDataDirectory;

class TSqlExecution {
 public:
  // database: the statement's database (the folder its table names are resolved in).
  explicit TSqlExecution(TDataDirectory& database);
  ~TSqlExecution();
  TSqlExecution(const TSqlExecution&) = delete;
  TSqlExecution& operator=(const TSqlExecution&) = delete;

  // Releases what the previous statement left, binds the statement's current statement and
  // prepares its blocks (last created first).
  void Prepare(TQueryStatement& statement);
  // Runs the prepared statement. Returns the result cursor of a SELECT, positioned on its
  // first row (owned here and valid until the next Prepare, Release or destruction), else
  // nullptr.
  TDataCursor* Execute(TQueryStatement& statement);
  // Closes the cursors of the current statement and deletes its temporary result tables.
  void Release();

  TDataDirectory& Database() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl_;
};

}  // namespace zorvic::engine

// TVELDORQuery: the query component, SQL text run against a database through a dataset.
//
// A query holds its SQL text as a list of lines and its parameters (QueryParams.h). Preparing
// parses the first statement of the text; running executes every statement of the text one
// after another (a script), and when the last statement executed is a SELECT, the query opens
// as a dataset on its result (the dataset behaviour is TVELDORDBDataSet's). Otherwise it stays
// closed. AffectedRows and RunSeconds describe the last run: the rows of every statement are
// summed, except that a ROLLBACK sets the sum back to what it was at the START TRANSACTION
// before it. There is no transaction around a script: each statement stands on its own, a
// failure stops the script at that statement, and a transaction the script started stays
// active until a COMMIT or ROLLBACK runs on the database.
//
// Every "?" of every statement of a script takes the value of its parameter (named places by
// name, a "?" written as such by its position in Params); a place without a value fails with
// "No value for parameter '...'" before its statement runs. A run always starts at the first
// statement of the text, also when the statement is still prepared from an earlier run.
//
// Detail queries: with a DataSource whose dataset is open, every parameter that the program
// did not set takes the value of the master's column of the same name (case-insensitive) at
// each run. While the query is open it follows the master: each time the master opens, moves
// to another record, is refreshed or changes its current record (DataSet.h), the query runs
// its text again with the master's current values and shows the new result from its first
// row. A master without a current record gives NULL values. Closing the master leaves the
// query as it is; destroying it ends the link.
//
// With SingleStatement set the text must hold exactly one statement: after it only a ";",
// blanks and comments may follow, and anything else is refused before anything runs (SQL
// error 11949). Programs that build SQL from input they do not control set it, so that no
// second statement can ride along.
//
// Failures: the engine's errors come up as EVELDOREngineError (11949 "SQL error - ..." for
// the SQL layer; after such a failure the statement is released, so the next run parses the
// text again); the query's own failures raise EDatabaseError.
//
// Thread safety: a query is used by one thread at a time; two queries in different threads
// need sessions of their own (Session.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/components/DataSet.h"
#include "engine/components/Session.h"
#include "engine/sql/query/QueryParams.h"

namespace zorvic::engine {

class TQueryStatement;
class TSqlExecution;
class TVELDORQuery;

// A link to a master dataset whose current record supplies parameter values.
class TVELDORDataSource {
 public:
  explicit TVELDORDataSource(TVELDORDataSet* dataSet = nullptr) : DataSet(dataSet) {}
  TVELDORDataSet* DataSet;
};

// Progress of a long statement: percent done 0..100; setting abort stops the statement.
using TQueryProgressEvent =
    std::function<void(TVELDORQuery& sender, int percentDone, bool& abortQuery)>;

class TVELDORQuery : public TVELDORDBDataSet, private TDataSetLink {
 public:
  explicit TVELDORQuery(const void* owner = nullptr);
  ~TVELDORQuery() override;

  // ---- text and parameters ---------------------------------------------------------------
  const std::vector<std::string>& SQL() const { return FSQL; }
  // Replaces the lines. A text equal to the current one changes nothing (a prepared statement
  // stays prepared); any other closes and releases the query and scans the parameters again.
  void SetSQL(const std::vector<std::string>& lines);
  // The text cut at its line feeds; joining the lines gives the text back unchanged.
  void SetSQLText(const std::string& text);
  void AddSQL(const std::string& line);
  void ClearSQL();
  // The lines joined with line feeds, and the text the engine sees after scanning.
  std::string SQLText() const;
  const std::string& ProcessedText() const { return FText; }

  TParams& Params() { return FParams; }
  const TParams& Params() const { return FParams; }
  TParam& ParamByName(const std::string& name) { return FParams.ParamByName(name); }
  bool ParamCheck() const { return FParamCheck; }
  // Takes effect at the next change of the text.
  void SetParamCheck(bool on) { FParamCheck = on; }

  // ---- options -----------------------------------------------------------------------------
  bool RequestLive() const { return FRequestLive; }
  void SetRequestLive(bool on);
  std::int32_t MaxRowCount() const { return FMaxRowCount; }
  // -1: no limit. Passed on to a prepared statement.
  void SetMaxRowCount(std::int32_t rows);
  bool ReadOnly() const { return FReadOnly; }
  // Only while closed ("Cannot perform this operation on an open dataset").
  void SetReadOnly(bool on);
  bool SingleStatement() const { return FSingleStatement; }
  void SetSingleStatement(bool on);
  TVELDORDataSource* DataSource() const { return FDataSource; }
  // "Circular data links are not allowed." when the master is this query or links back to it.
  void SetDataSource(TVELDORDataSource* source);
  const char* EngineVersion() const { return kComponentEngineVersion; }
  void SetEngineVersion(const std::string&) {}
  TQueryProgressEvent OnQueryProgress;

  // ---- running -----------------------------------------------------------------------------
  bool Prepared() const { return static_cast<bool>(FStatement); }
  void PrepareSQL();
  void ReleaseSQL();
  // Runs the whole text; opens on the result when the last statement was a SELECT.
  void RunSQL();
  // Opening runs the text as RunSQL does; a text whose last statement is no SELECT runs and
  // leaves the query closed.
  void SetActive(bool active);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }

  std::int32_t AffectedRows() const { return FAffectedRows; }
  double RunSeconds() const { return FRunSeconds; }
  // The number of statements the last run executed (also when it failed part-way).
  int StatementsRun() const { return FStatementsRun; }
  // The index pages and records the statements of the last run read (ReadCounters.h); the
  // rows the dataset reads from a result afterwards are not counted.
  std::uint64_t IndexPagesRead() const { return FIndexPagesRead; }
  std::uint64_t RecordsRead() const { return FRecordsRead; }

  // The parameters whose names are columns of the master dataset: master and detail column
  // names (equal, as the link is by name).
  std::pair<std::vector<std::string>, std::vector<std::string>> GetDetailLinkFields() const;

 protected:
  TDataCursor* CreateHandle(TVELDORDatabase& database) override;
  void DestroyHandle() override;
  bool WantsReadOnly() const override;
  void AfterOpenCursor() override;
  // The columns of a canned result take the NOT NULL and auto-increment marks of the table
  // columns they name (TResultColumnOrigin).
  void CreateFields() override;

 private:
  void SetText();
  void CheckClosed() const;
  // The parameter a place takes its value from (nullptr: none), and its name for messages.
  const TParam* PlaceParam(std::size_t place, std::string* displayName) const;
  // Fills the "?" nodes of the current statement from the places starting at firstPlace.
  void FillParameters(std::size_t firstPlace);
  void CheckSingleStatement();
  // Runs the text on the database; the result cursor or nullptr.
  TDataCursor* Execute(TVELDORDatabase& database);
  void LinkMasterValues();
  // Following the master while open.
  void FollowMaster();
  void UnfollowMaster();
  void MasterRecordChanged(TVELDORDataSet& master) override;
  void MasterDestroyed(TVELDORDataSet& master) override;

  std::vector<std::string> FSQL;
  std::string FText;  // the processed text
  std::vector<std::string> FPlaceNames;
  TParams FParams;
  bool FParamCheck = true;
  bool FRequestLive = false;
  std::int32_t FMaxRowCount = -1;
  bool FReadOnly = false;
  bool FSingleStatement = false;
  TVELDORDataSource* FDataSource = nullptr;
  TVELDORDataSet* FFollowed = nullptr;  // the master this open query follows

  std::unique_ptr<TQueryStatement> FStatement;
  // Whether the statement holds the first statement of the text (nothing run beyond it).
  bool FAtFirstStatement = false;
  std::unique_ptr<TSqlExecution> FExecution;
  bool FResultReadOnly = false;
  bool FNoResult = false;  // the run being opened ended without a result
  std::int32_t FAffectedRows = 0;
  double FRunSeconds = 0;
  int FStatementsRun = 0;
  std::uint64_t FIndexPagesRead = 0;
  std::uint64_t FRecordsRead = 0;
};

}  // namespace zorvic::engine

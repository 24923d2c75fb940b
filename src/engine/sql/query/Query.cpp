// The query component: text and parameters, preparing, the script loop and the dataset on the
// result of the last statement.
#include "engine/sql/query/Query.h"

#include "engine/components/Database.h"
#include "engine/components/DatabaseError.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/exec/SqlExecution.h"
#include "engine/sql/filter/ConditionFilter.h"
#include "engine/sql/parse/ExpToken.h"
#include "engine/storage/EngineError.h"

namespace zorvic::engine {

namespace {

// Raised by CreateHandle when a run ends without a result: the query stays closed. Opening
// through the query catches it; a caller that opens the query as a plain dataset sees it as
// the dataset error it is.
class ENoResultSet : public EDatabaseError {
 public:
  ENoResultSet() : EDatabaseError("The last statement of the SQL text returns no result set") {}
};

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) text += '\n';
    text += lines[i];
  }
  return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find('\n', start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    lines.push_back(std::move(line));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

}  // namespace

TVELDORQuery::TVELDORQuery(const void* owner) : TVELDORDBDataSet(owner) {
  InstallExpressionFilters();
}

TVELDORQuery::~TVELDORQuery() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the handle is freed below.
  }
  UnfollowMaster();
  FExecution.reset();
  FStatement.reset();
}

void TVELDORQuery::CheckClosed() const {
  if (Active()) RaiseDatabaseError(kDataSetOpen);
}

// ---- text and parameters -----------------------------------------------------------------

std::string TVELDORQuery::SQLText() const {
  return JoinLines(FSQL);
}

void TVELDORQuery::SetText() {
  FPlaceNames.clear();
  const std::string joined = JoinLines(FSQL);
  if (!FParamCheck) {
    FText = joined;
    return;
  }
  TParamScan scan = ScanParameters(joined);
  FText = std::move(scan.Text);
  FPlaceNames = std::move(scan.PlaceNames);
  // The parameters are those of the new text; values of names that stay are kept.
  TParams fresh;
  for (const std::string& name : scan.Names) {
    TParam& p = fresh.CreateParam(name);
    if (const TParam* old = FParams.FindParam(name)) {
      p.SetDataType(old->DataType());
      if (!old->IsNull()) p.Assign(*old);
      p.SetBound(old->Bound());
    }
  }
  FParams = std::move(fresh);
}

void TVELDORQuery::SetSQL(const std::vector<std::string>& lines) {
  if (JoinLines(lines) == JoinLines(FSQL)) return;
  Close();
  ReleaseSQL();
  FSQL = lines;
  SetText();
}

void TVELDORQuery::SetSQLText(const std::string& text) {
  SetSQL(SplitLines(text));
}

void TVELDORQuery::AddSQL(const std::string& line) {
  Close();
  ReleaseSQL();
  FSQL.push_back(line);
  SetText();
}

void TVELDORQuery::ClearSQL() {
  SetSQL({});
}

// ---- options -----------------------------------------------------------------------------

void TVELDORQuery::SetRequestLive(bool on) {
  FRequestLive = on;
  if (FStatement) FStatement->RequestLive = on;
}

void TVELDORQuery::SetMaxRowCount(std::int32_t rows) {
  if (rows == FMaxRowCount) return;
  FMaxRowCount = rows;
  if (FStatement) FStatement->MaxRowCount = rows;
}

void TVELDORQuery::SetReadOnly(bool on) {
  CheckClosed();
  FReadOnly = on;
}

void TVELDORQuery::SetSingleStatement(bool on) {
  if (on == FSingleStatement) return;
  Close();
  ReleaseSQL();
  FSingleStatement = on;
}

void TVELDORQuery::SetDataSource(TVELDORDataSource* source) {
  for (TVELDORDataSource* link = source; link && link->DataSet;) {
    if (link->DataSet == this) RaiseDatabaseError(kCircularDataLink);
    auto* query = dynamic_cast<TVELDORQuery*>(link->DataSet);
    link = query ? query->FDataSource : nullptr;
  }
  const bool following = FFollowed != nullptr;
  UnfollowMaster();
  FDataSource = source;
  if (following) {
    // An open query takes its values from the new master at once.
    FollowMaster();
    if (FFollowed) MasterRecordChanged(*FFollowed);
  }
}

std::pair<std::vector<std::string>, std::vector<std::string>> TVELDORQuery::GetDetailLinkFields()
    const {
  std::pair<std::vector<std::string>, std::vector<std::string>> links;
  if (!FDataSource || !FDataSource->DataSet) return links;
  const TVELDORDataSet& master = *FDataSource->DataSet;
  for (std::size_t i = 0; i < FParams.Count(); ++i) {
    const TParam& p = FParams[i];
    if (p.Name().empty()) continue;
    if (const TVELDORField* field = master.FindField(p.Name())) {
      links.first.push_back(field->FieldName());
      links.second.push_back(p.Name());
    }
  }
  return links;
}

// ---- preparing ---------------------------------------------------------------------------

void TVELDORQuery::PrepareSQL() {
  CheckClosed();
  if (FText.size() < 2) RaiseDatabaseError(kNoSqlStatement);
  ReleaseSQL();
  // The folder table names are resolved in: the database component's, or the path the
  // dataset names.
  std::string folder;
  TVELDORSession& session = TVELDORSessionList::Instance().SessionByName(SessionName());
  if (TVELDORDatabase* database = session.FindDatabase(DatabaseName(), Owner())) {
    folder = database->Connected() ? database->Engine().Path() : database->Directory();
    if (database->IsInMemory()) folder.clear();
  } else if (!SameTextIgnoringCase(DatabaseName(), "Memory")) {
    folder = DatabaseName();
  }
  if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder += '/';

  auto statement = std::make_unique<TQueryStatement>(folder);
  statement->RequestLive = FRequestLive;
  statement->MaxRowCount = FMaxRowCount;
  statement->Progress = [this](int percentDone, bool& abort) {
    if (OnQueryProgress) OnQueryProgress(*this, percentDone, abort);
  };
  // A parse error frees the statement with the unique_ptr: the query stays unprepared.
  statement->Prepare(FText);
  if (!statement->MasterQuery()) RaiseDatabaseError(kNoSqlStatement);
  if (FSingleStatement && !statement->AtEnd()) {
    RaiseSQLError("Only one statement may be run here, instead found '" +
                  statement->Lexer().TokenText() + "'");
  }
  FStatement = std::move(statement);
  FAtFirstStatement = true;
}

void TVELDORQuery::ReleaseSQL() {
  if (Active()) TVELDORDBDataSet::SetActive(false);
  FExecution.reset();
  FStatement.reset();
  FAtFirstStatement = false;
}

// ---- running -----------------------------------------------------------------------------

const TParam* TVELDORQuery::PlaceParam(std::size_t place, std::string* displayName) const {
  if (place < FPlaceNames.size() && !FPlaceNames[place].empty()) {
    *displayName = FPlaceNames[place];
    return FParams.FindParam(FPlaceNames[place]);
  }
  if (place < FParams.Count()) {
    *displayName = FParams[place].Name().empty() ? std::string("?") : FParams[place].Name();
    return &FParams[place];
  }
  *displayName = "?";
  return nullptr;
}

void TVELDORQuery::FillParameters(std::size_t firstPlace) {
  std::vector<TExpToken*>& nodes = FStatement->ParameterList;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    std::string name;
    const TParam* param = PlaceParam(firstPlace + i, &name);
    if (!param) RaiseDatabaseError(kNoParameterValue, name);
    param->FillNode(*nodes[i], name);
  }
}

void TVELDORQuery::LinkMasterValues() {
  if (!FDataSource || !FDataSource->DataSet || !FDataSource->DataSet->Active()) return;
  const TVELDORDataSet& master = *FDataSource->DataSet;
  for (std::size_t i = 0; i < FParams.Count(); ++i) {
    TParam& p = FParams[i];
    if (p.Bound() || p.Name().empty()) continue;
    if (const TVELDORField* field = master.FindField(p.Name())) {
      p.AssignField(*field);
      // Still the master's: the next run takes the master's current record again.
      p.SetBound(false);
    }
  }
}

TDataCursor* TVELDORQuery::Execute(TVELDORDatabase& database) {
  FIndexPagesRead = 0;
  FRecordsRead = 0;
  if (!FStatement || !FAtFirstStatement) PrepareSQL();
  LinkMasterValues();
  FExecution = std::make_unique<TSqlExecution>(database.Engine());
  FAffectedRows = 0;
  FRunSeconds = 0;
  FStatementsRun = 0;
  FResultReadOnly = false;
  std::int32_t sum = 0;
  std::int32_t atTransactionStart = 0;
  double seconds = 0;
  std::size_t place = 0;
  TDataCursor* result = nullptr;
  try {
    for (;;) {
      FExecution->Prepare(*FStatement);
      FillParameters(place);
      place += FStatement->ParameterList.size();
      try {
        result = FExecution->Execute(*FStatement);
      } catch (...) {
        FIndexPagesRead += FStatement->IndexPagesRead;
        FRecordsRead += FStatement->RecordsRead;
        throw;
      }
      FIndexPagesRead += FStatement->IndexPagesRead;
      FRecordsRead += FStatement->RecordsRead;
      ++FStatementsRun;
      seconds += FStatement->ExecutionSeconds;
      switch (FStatement->Kind()) {
        case TStatementKind::StartTransaction:
          atTransactionStart = sum;
          break;
        case TStatementKind::Rollback:
          sum = atTransactionStart;
          break;
        default:
          sum += FStatement->RowsAffected;
          break;
      }
      if (FStatement->AtEnd()) break;
      result = nullptr;
      FAtFirstStatement = false;
      FStatement->ParseNext();
      if (!FStatement->MasterQuery()) break;
    }
  } catch (const EVELDOREngineError& error) {
    FAffectedRows = sum;
    FRunSeconds = seconds;
    FExecution.reset();
    // A failed SQL text is parsed again by the next run.
    if (error.ErrorCode == VELDOR_SQLPARSE) {
      FStatement.reset();
      FAtFirstStatement = false;
    }
    throw;
  } catch (...) {
    FAffectedRows = sum;
    FRunSeconds = seconds;
    FExecution.reset();
    throw;
  }
  FAffectedRows = sum;
  FRunSeconds = seconds;
  if (!result) {
    FExecution.reset();
    return nullptr;
  }
  FResultReadOnly = FStatement->ResultIsReadOnly;
  return result;
}

// ---- following the master ----------------------------------------------------------------

void TVELDORQuery::FollowMaster() {
  UnfollowMaster();
  if (!FDataSource || !FDataSource->DataSet) return;
  FFollowed = FDataSource->DataSet;
  FFollowed->AddLink(this);
}

void TVELDORQuery::UnfollowMaster() {
  if (!FFollowed) return;
  FFollowed->RemoveLink(this);
  FFollowed = nullptr;
}

void TVELDORQuery::CreateFields() {
  TVELDORDBDataSet::CreateFields();
  if (!FStatement) return;
  const std::vector<TResultColumnOrigin>& origins = FStatement->ResultColumnOrigins;
  for (std::size_t i = 0; i < FieldCount(); ++i) {
    TVELDORField& field = Field(i);
    const std::size_t index = static_cast<std::size_t>(field.FieldNo()) - 1;
    if (field.FieldNo() < 1 || index >= origins.size()) continue;
    field.TakeTableColumnMarks(origins[index].Required, origins[index].AutoInc);
  }
}

void TVELDORQuery::AfterOpenCursor() {
  FollowMaster();
}

void TVELDORQuery::MasterRecordChanged(TVELDORDataSet& master) {
  if (&master != FFollowed || !Active()) return;
  // Runs the text again on the master's current values; the statement stays prepared.
  TVELDORDBDataSet::SetActive(false);
  try {
    TVELDORDBDataSet::SetActive(true);
  } catch (const ENoResultSet&) {
    // The text has no result to show: the query stays closed.
  }
}

void TVELDORQuery::MasterDestroyed(TVELDORDataSet& master) {
  if (&master == FFollowed) FFollowed = nullptr;
}

TDataCursor* TVELDORQuery::CreateHandle(TVELDORDatabase& database) {
  TDataCursor* result = Execute(database);
  if (!result) throw ENoResultSet();
  return result;
}

void TVELDORQuery::DestroyHandle() {
  UnfollowMaster();
  if (!FExecution) return;
  std::unique_ptr<TSqlExecution> execution = std::move(FExecution);
  execution->Release();
}

bool TVELDORQuery::WantsReadOnly() const {
  return FReadOnly || FResultReadOnly;
}

void TVELDORQuery::SetActive(bool active) {
  if (!active) {
    TVELDORDBDataSet::SetActive(false);
    return;
  }
  if (Active()) return;
  try {
    TVELDORDBDataSet::SetActive(true);
  } catch (const ENoResultSet&) {
    // The text ran and has no result to show.
  }
}

void TVELDORQuery::RunSQL() {
  CheckClosed();
  SetActive(true);
}

}  // namespace zorvic::engine

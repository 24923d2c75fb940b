#include "app/SharedDatabase.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>

#include "app/Folders.h"
#include "engine/components/Table.h"
#include "engine/sql/query/Query.h"
#include "engine/storage/formats/FieldTypes.h"

namespace zorvic {

engine::TVELDORQuery* SharedQuery = nullptr;
engine::TVELDORTable* AttachmentsTable = nullptr;
engine::TVELDORTable* LogTable = nullptr;

namespace {

std::unique_ptr<engine::TVELDORQuery> gSharedQuery;
std::unique_ptr<engine::TVELDORTable> gAttachmentsTable;
std::unique_ptr<engine::TVELDORTable> gLogTable;

// The message in single quotes with every single quote inside it doubled.
std::string Quoted(const std::string& message) {
  std::string out = "'";
  for (char c : message) {
    if (c == '\'') out.push_back('\'');
    out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

void RunText(engine::TVELDORQuery& query, std::string_view text) {
  query.Close();
  query.SetSQLText(std::string(text));
  query.RunSQL();
  query.Close();
}

void SeedEmptyDatabase(engine::TVELDORQuery& query) {
  query.Close();
  query.ClearSQL();
  query.SetSQLText("Select count(UserName) from Users");
  query.Open();
  std::int32_t users = query.Field(0).AsInteger();
  query.Close();
  if (users != 0) return;
  try {
    RunText(query, "Insert into Groups (GroupName) values ('Admins');");
  } catch (const std::exception&) {
    // The group may be there already; the account follows in any case.
  }
  RunText(query,
          "Insert into Users (username, password, GroupName, HasAdminPower, AccountDisabled) "
          "values ('admin', 'tarnlamp', 'Admins', True, False)");
  std::string folder = UserFolderPath("admin");
  folder.pop_back();  // the trailing '/'
  if (::mkdir(folder.c_str(), 0777) != 0)
    throw std::runtime_error("Unable to create the folder " + folder + ": " + std::strerror(errno));
}

std::unique_ptr<engine::TVELDORTable> OpenSharedTable(const char* name) {
  auto table = std::make_unique<engine::TVELDORTable>();
  table->SetDatabaseName(DataFolder);
  table->SetTableName(name);
  table->Open();
  return table;
}

}  // namespace

void CreateSharedQuery() {
  gSharedQuery = std::make_unique<engine::TVELDORQuery>();
  gSharedQuery->SetDatabaseName(DataFolder);
  SharedQuery = gSharedQuery.get();
}

void BootstrapSharedDatabase() {
  if (!SharedQuery) CreateSharedQuery();
  try {
    // The script is the server's own text of seven statements; every statement built from
    // input elsewhere runs in single-statement mode.
    SharedQuery->SetSingleStatement(false);
    RunText(*SharedQuery, kSharedSchemaScript);
    SharedQuery->SetSingleStatement(true);
    SeedEmptyDatabase(*SharedQuery);
  } catch (const std::exception& e) {
    std::printf("Exception in Main Server Thread: %s\n", Quoted(e.what()).c_str());
    std::fflush(stdout);
  }
  SharedQuery->Close();
  SharedQuery->SetSingleStatement(true);
  gAttachmentsTable = OpenSharedTable("Attachments");
  AttachmentsTable = gAttachmentsTable.get();
  gLogTable = OpenSharedTable("Log");
  LogTable = gLogTable.get();
}

void CloseSharedDatabase() {
  AttachmentsTable = nullptr;
  gAttachmentsTable.reset();
  LogTable = nullptr;
  gLogTable.reset();
  SharedQuery = nullptr;
  gSharedQuery.reset();
}

void AppendLogEntry(const std::string& text) {
  if (!LogTable) throw std::runtime_error("The log table is not open");
  engine::TVELDORTable& table = *LogTable;
  table.Append();
  try {
    table.FieldByName("EntryDate")
        .SetAsDateTime(engine::EncodeTimeStamp(engine::TodayDayNumber(), 0));
    table.FieldByName("EntryText").SetAsString(text);
    table.Post();
  } catch (...) {
    // Leave the table browsing, so the next entry starts afresh.
    try {
      table.Cancel();
    } catch (...) {
    }
    throw;
  }
}

}  // namespace zorvic

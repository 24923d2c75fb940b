// The shared database as start-up leaves it, the log table behind WriteLog, and the SQL API
// handlers use on it.
#include "app/SharedDatabase.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/Folders.h"
#include "app/Server.h"
#include "app/SharedSql.h"
#include "app/ThreadINIFile.h"
#include "engine/components/Table.h"
#include "engine/storage/formats/FieldTypes.h"
#include "support/TempDir.h"

using namespace zorvic;
using zorvic::testing::TTempDir;
using zorvic::testing::WriteFileBytes;

namespace {

class SharedDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetAppFolder(home.Path());
    CreateServerFolders();
  }
  void TearDown() override {
    server.reset();
    CloseSharedDatabase();
  }
  // Start-up's steps 6 and 8; the text bootstrap wrote to standard output.
  std::string Bootstrap() {
    ::testing::internal::CaptureStdout();
    CreateSharedQuery();
    BootstrapSharedDatabase();
    return ::testing::internal::GetCapturedStdout();
  }
  void Restart() {
    server.reset();
    CloseSharedDatabase();
  }
  void StartServer(bool logging) {
    WriteFileBytes(home.File("ServerOptions.ini"),
                   std::string("[ServerOptions]\nEnableLogging=") + (logging ? "1" : "0") + "\n");
    options = std::make_unique<TThreadINIFile>(home.File("ServerOptions.ini"));
    server = std::make_unique<cServer>(0, *options,
                                       [](const std::string& entry) { AppendLogEntry(entry); });
  }
  // A server object without a listener's worth of set-up, for the SQL API alone.
  cServer& Server() {
    if (!server) StartServer(false);
    return *server;
  }
  std::string One(const std::string& sql, const cSqlParams& params = {}) {
    cSqlRows rows = SelectShared(Server(), sql, params);
    EXPECT_EQ(rows.Rows.size(), 1u) << sql;
    if (rows.Rows.empty() || rows.Rows[0].empty() || !rows.Rows[0][0]) return "<null>";
    return *rows.Rows[0][0];
  }

  TTempDir home;
  std::unique_ptr<TThreadINIFile> options;
  std::unique_ptr<cServer> server;
};

TEST_F(SharedDatabaseTest, FirstStartCreatesTablesIndexAndTheDefaultAccount) {
  EXPECT_EQ(Bootstrap(), "");
  for (const char* table : {"Profiles", "Groups", "Users", "Attachments", "Requests", "Log"}) {
    EXPECT_TRUE(std::filesystem::exists(DataFolder + table + ".DAT")) << table;
  }
  ASSERT_NE(AttachmentsTable, nullptr);
  ASSERT_NE(LogTable, nullptr);
  EXPECT_TRUE(AttachmentsTable->Active());
  EXPECT_TRUE(LogTable->Active());
  cSqlRows users = SelectShared(
      Server(), "Select UserName, Password, GroupName, HasAdminPower, AccountDisabled from Users");
  ASSERT_EQ(users.Rows.size(), 1u);
  EXPECT_EQ(*users.Rows[0][0], "admin");
  EXPECT_EQ(*users.Rows[0][1], "tarnlamp");
  EXPECT_EQ(*users.Rows[0][2], "Admins");
  EXPECT_EQ(*users.Rows[0][3], "True");
  EXPECT_EQ(*users.Rows[0][4], "False");
  EXPECT_EQ(One("Select count(*) from Groups"), "1");
  EXPECT_EQ(One("Select GroupName from Groups"), "Admins");
  EXPECT_TRUE(std::filesystem::is_directory(UsersFolder + "admin"));
  // The index on GroupName is there: the table opens on it.
  engine::TVELDORTable users2;
  users2.SetDatabaseName(DataFolder);
  users2.SetTableName("Users");
  users2.SetIndexName("UserGroupNames");
  EXPECT_NO_THROW(users2.Open());
  EXPECT_EQ(users2.RecordCount(), 1);
  users2.Close();
  engine::TVELDORTable wrong;
  wrong.SetDatabaseName(DataFolder);
  wrong.SetTableName("Users");
  wrong.SetIndexName("NoSuchIndex");
  EXPECT_ANY_THROW(wrong.Open());
}

TEST_F(SharedDatabaseTest, LaterStartsAddNothingUntilUsersIsEmpty) {
  Bootstrap();
  ExecShared(Server(), "Insert into Users (UserName, Password) values (?, ?)", {"bob", "pw"});
  Restart();
  EXPECT_EQ(Bootstrap(), "");
  EXPECT_EQ(One("Select count(*) from Users"), "2");
  EXPECT_EQ(One("Select count(*) from Groups"), "1");

  // Every user gone, "Admins" still there and Users/admin still on disk: the group insert
  // fails quietly, the account comes back, and the existing folder is reported.
  ExecShared(Server(), "Delete from Users");
  Restart();
  std::string out = Bootstrap();
  EXPECT_EQ(out.rfind("Exception in Main Server Thread: '", 0), 0u) << out;
  EXPECT_EQ(One("Select count(*) from Users where UserName = 'admin'"), "1");
  EXPECT_EQ(One("Select count(*) from Groups"), "1");

  // Without the folder the same restart is silent.
  ExecShared(Server(), "Delete from Users");
  Restart();
  std::filesystem::remove_all(UsersFolder + "admin");
  EXPECT_EQ(Bootstrap(), "");
  EXPECT_TRUE(std::filesystem::is_directory(UsersFolder + "admin"));
}

TEST_F(SharedDatabaseTest, ALogTableThatCannotOpenEndsTheBootstrap) {
  // A folder where the log table's data file should be: the script fails (reported) and the
  // table cannot be opened (raised to start-up).
  std::filesystem::create_directory(DataFolder + "Log.DAT");
  ::testing::internal::CaptureStdout();
  CreateSharedQuery();
  EXPECT_ANY_THROW(BootstrapSharedDatabase());
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Exception in Main Server Thread: '", 0), 0u) << out;
}

TEST_F(SharedDatabaseTest, WriteLogAppendsRowsOnlyWithLoggingOn) {
  Bootstrap();
  StartServer(false);
  server->WriteLog("not kept");
  EXPECT_EQ(One("Select count(*) from Log"), "0");
  server.reset();  // a quit adds nothing either

  StartServer(true);
  server->WriteLog("It's " + std::string(300, 'x'));
  server.reset();
  cServer& s = Server();
  cSqlRows rows = SelectShared(s, "Select EntryNo, EntryText, EntryDate from Log order by EntryNo");
  ASSERT_EQ(rows.Rows.size(), 3u);
  EXPECT_EQ(*rows.Rows[0][1], "Start of log file");
  EXPECT_EQ(*rows.Rows[1][1], ("It's " + std::string(300, 'x')).substr(0, 250));
  EXPECT_EQ(*rows.Rows[2][1], "Server is closing. End of logfile.");
  EXPECT_LT(std::stoi(*rows.Rows[0][0]), std::stoi(*rows.Rows[1][0]));
  std::optional<engine::TCalendarDate> today = engine::DecodeDate(engine::TodayDayNumber());
  ASSERT_TRUE(today);
  char expected[16];
  std::snprintf(expected, sizeof expected, "%04d-%02d-%02d", today->Year, today->Month, today->Day);
  EXPECT_EQ(*rows.Rows[0][2], expected);
}

TEST_F(SharedDatabaseTest, AFailingLogNeverReachesTheCaller) {
  Bootstrap();
  StartServer(true);
  CloseSharedDatabase();  // the sink now raises "The log table is not open"
  ::testing::internal::CaptureStderr();
  server->WriteLog("lost entry");  // noexcept: a raise would end the test binary
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("lost entry"), std::string::npos) << err;
  EXPECT_NE(err.find("The log table is not open"), std::string::npos) << err;
  // The locks were left: another thread takes both.
  std::thread other([&] {
    std::lock_guard<std::recursive_mutex> a(server->DatabaseLock);
    std::lock_guard<std::recursive_mutex> b(server->LogLock);
  });
  other.join();
  ::testing::internal::CaptureStderr();
  server.reset();
  ::testing::internal::GetCapturedStderr();
}

TEST_F(SharedDatabaseTest, ClientTextGoesInAsValuesNeverAsSql) {
  Bootstrap();
  const std::string hostile = "x'); Delete from Users; --";
  EXPECT_EQ(ExecShared(Server(), "Insert into Groups (GroupName, ProfileName) values (?, ?)",
                       {hostile, std::monostate{}}),
            1);
  EXPECT_EQ(One("Select count(*) from Users"), "1");
  EXPECT_EQ(One("Select GroupName from Groups where GroupName = ?", {hostile}), hostile);
  EXPECT_EQ(One("Select ProfileName from Groups where GroupName = ?", {hostile}), "<null>");
  // Typed values, and a literal built with quotes doubled.
  ExecShared(Server(), "Update Users set LastLogin = ?, HasAdminPower = ? where UserName = ?",
             {cSqlDate{*engine::EncodeDate(2024, 2, 29)}, false, std::string("admin")});
  EXPECT_EQ(One("Select LastLogin from Users"), "2024-02-29");
  EXPECT_EQ(One("Select HasAdminPower from Users"), "False");
  EXPECT_EQ(QuoteSqlString("it's"), "'it''s'");
  EXPECT_EQ(One("Select count(*) from Groups where GroupName = " + QuoteSqlString(hostile)), "1");
}

TEST_F(SharedDatabaseTest, OneStatementOnlyAndErrorsLeaveQueryAndLockFree) {
  Bootstrap();
  EXPECT_ANY_THROW(ExecShared(Server(), "Delete from Requests; Delete from Users"));
  EXPECT_EQ(One("Select count(*) from Users"), "1");
  EXPECT_ANY_THROW(SelectShared(Server(), "Select Nothing from Nowhere"));
  EXPECT_ANY_THROW(SelectShared(Server(), "Select count(*) from Users where UserName = ?"));
  EXPECT_THROW(WithSharedQuery(Server(), "Select * from Users", {},
                               [](engine::TVELDORQuery&) { throw std::runtime_error("reader"); }),
               std::runtime_error);
  std::thread other([&] { std::lock_guard<std::recursive_mutex> a(Server().DatabaseLock); });
  other.join();
  // The query is usable at once after each failure.
  EXPECT_EQ(One("Select count(*) from Users"), "1");
  cSqlRows rows = SelectShared(Server(), "Select UserName, Password from Users");
  EXPECT_EQ(rows.ColumnIndex("PASSWORD"), 1);
  EXPECT_EQ(rows.ColumnIndex("nope"), -1);
}

TEST_F(SharedDatabaseTest, WithoutTheSharedDatabaseTheApiRaises) {
  EXPECT_THROW(SelectShared(Server(), "Select 1 from Users"), std::runtime_error);
}

}  // namespace

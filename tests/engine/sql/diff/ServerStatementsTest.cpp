// The statements the messaging server issues, run on tables holding the server's schema:
// each gives the rows, types and rows affected that the server's handlers expect.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "engine/sql/StmtTestSupport.h"
#include "engine/sql/diff/DiffSqlRunner.h"
#include "support/TempDir.h"

namespace zorvic::engine::test {
namespace {

using zorvic::testing::ReadFileBytes;
using zorvic::testing::TTempDir;

// The server's schema script and a user's mailbox table, as the parser tests know them.
const std::string kSchema(kSchemaScript);
const std::string kMessages(kMessagesTable);

std::map<std::string, std::string> FolderBytes(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    files[entry.path().filename().string()] = ReadFileBytes(entry.path().string());
  return files;
}

class ServerStatements : public ::testing::Test {
 protected:
  void SetUp() override {
    Runner = std::make_unique<TSqlRunner>(Dir.Path());
    Require(kSchema);
  }
  void TearDown() override { Runner.reset(); }

  TSqlOutcome Require(const std::string& sql) {
    TSqlOutcome outcome = Runner->Run(sql);
    EXPECT_TRUE(outcome.Ok) << sql << "\n" << outcome.Error;
    return outcome;
  }

  TTempDir Dir;
  std::unique_ptr<TSqlRunner> Runner;
};

TEST_F(ServerStatements, SchemaScriptRunsWholeAndASecondRunChangesNoByte) {
  for (const char* table : {"Profiles", "Groups", "Users", "Attachments", "Requests", "Log"})
    EXPECT_TRUE(std::filesystem::exists(Dir.File(std::string(table) + ".DAT"))) << table;
  const auto before = FolderBytes(Dir.Path());
  TSqlOutcome again = Require(kSchema);
  EXPECT_EQ(again.RowsAffected, 0);
  EXPECT_EQ(FolderBytes(Dir.Path()), before);
}

TEST_F(ServerStatements, AggregatesOnEmptyTables) {
  TSqlOutcome count = Require("Select count(*) From Users where UserName='carol'");
  ASSERT_EQ(count.Rows.size(), 1u);
  EXPECT_EQ(count.Rows[0][0], TCell("0"));
  TSqlOutcome named = Require("Select count(UserName) from Users");
  ASSERT_EQ(named.Rows.size(), 1u);
  EXPECT_EQ(named.Rows[0][0], TCell());
  TSqlOutcome max = Require("Select MAX(AttachID) from Attachments;");
  ASSERT_EQ(max.Rows.size(), 1u);
  EXPECT_EQ(max.Rows[0][0], TCell());
}

TEST_F(ServerStatements, AccountsGroupsAndLogins) {
  TSqlOutcome insert = Require(
      "Insert Into Users (username, password, GroupName, HasAdminPower, AccountDisabled) values "
      "('admin', 'secret', 'Admins', TRUE, FALSE);");
  EXPECT_EQ(insert.RowsAffected, 1);
  Require("Insert into Groups (GroupName) values ('Admins');");
  Require("Insert into Groups (GroupName, ProfileName) values ('Sales', 'Standard');");
  Require("Insert into Profiles (ProfileName, Privileges) values ('Standard', 3);");
  Require(
      "Insert Into Users (UserName, Password, GroupName, HasAdminPower, AccountDisabled) values "
      "('carol', 'pw', 'Sales', false, true);");
  Require(
      "Insert Into Users (UserName, Password, GroupName, HasAdminPower, AccountDisabled) values "
      "('Bob', 'pw', 'sales', false, false);");

  TSqlOutcome admin = Require("Select * from Users where UserName='admin'");
  ASSERT_EQ(admin.Rows.size(), 1u);
  ASSERT_EQ(admin.Names.size(), 14u);
  EXPECT_EQ(admin.Names[0], "UserName");
  EXPECT_EQ(admin.Rows[0][1], TCell("secret"));
  EXPECT_EQ(admin.Rows[0][4], TCell("True"));
  EXPECT_EQ(admin.Rows[0][5], TCell("False"));
  EXPECT_TRUE(Require("Select * from Users where UserName='Admin'").Rows.empty());
  EXPECT_TRUE(Require("Select * from Users where UserName='admin '").Rows.empty());

  TSqlOutcome profile = Require("Select * from Profiles where ProfileName='Standard'");
  ASSERT_EQ(profile.Rows.size(), 1u);
  EXPECT_EQ(profile.Rows[0][2], TCell("False"));  // RestrictedCommunicationAccess DEFAULT FALSE
  EXPECT_EQ(profile.Rows[0][4], TCell("True"));   // AllowAttachments DEFAULT TRUE
  EXPECT_EQ(profile.Rows[0][6], TCell("1024"));   // MaxAttachSize DEFAULT 1024

  TSqlOutcome update =
      Require("Update Users set LastLogin = '2004-03-07 10:11:12' where UserName='admin';");
  EXPECT_EQ(update.RowsAffected, 1);
  TSqlOutcome login = Require("Select LastLogin from Users where UserName='admin'");
  ASSERT_EQ(login.Rows.size(), 1u);
  EXPECT_EQ(login.Rows[0][0], TCell("2004-03-07"));
  EXPECT_EQ(Require("Update Users set AccountDisabled=false where UserName='nobody'").RowsAffected,
            0);

  // Group lookups: the exact name, and the prefix pattern of "Group/*" items, which ignores
  // case like every LIKE under the default language.
  TSqlOutcome exact = Require("Select UserName from Users where GroupName='Sales'");
  ASSERT_EQ(exact.Rows.size(), 1u);
  EXPECT_EQ(exact.Rows[0][0], TCell("carol"));
  TSqlOutcome prefix = Require("Select UserName from Users where GroupName like \"Sal%\"");
  EXPECT_EQ(prefix.Rows.size(), 2u);
  TSqlOutcome ordered = Require("Select GroupName from Groups order by GroupName");
  ASSERT_EQ(ordered.Rows.size(), 2u);
  EXPECT_EQ(ordered.Rows[0][0], TCell("Admins"));
  TSqlOutcome people = Require(
      "Select ProfileName,GroupName, PrimaryEmail, SecondaryEmail from Users where "
      "UserName='carol';");
  ASSERT_EQ(people.Rows.size(), 1u);
  EXPECT_EQ(people.Rows[0][1], TCell("Sales"));
  EXPECT_EQ(Require("Select count(*) From Users where UserName='carol'").Rows[0][0], TCell("1"));

  TSqlOutcome request = Require(
      "Insert into Requests (From, RequestType, RequestDate) values ('dave','User Activation "
      "Request','2005-01-31');");
  EXPECT_EQ(request.RowsAffected, 1);
  TSqlOutcome requests = Require("Select * from Requests");
  ASSERT_EQ(requests.Rows.size(), 1u);
  EXPECT_EQ(requests.Rows[0][0], TCell("1"));
  EXPECT_EQ(requests.Rows[0][3], TCell("2005-01-31"));
}

TEST_F(ServerStatements, AttachmentsInATransaction) {
  Require("START TRANSACTION");
  Require("Insert into Attachments (RefCount, Size) values (2, 10)");
  Require("COMMIT FLUSH");
  TSqlOutcome max = Require("Select MAX(AttachID) from Attachments;");
  ASSERT_EQ(max.Rows.size(), 1u);
  EXPECT_EQ(max.Rows[0][0], TCell("1"));
  TSqlOutcome body = Require("Select BODY from Attachments where AttachID=1");
  ASSERT_EQ(body.Rows.size(), 1u);
  EXPECT_EQ(body.Rows[0][0], TCell());
}

TEST_F(ServerStatements, MailboxCycleOverTenThousandMessages) {
  Require(kMessages);
  const std::string body(2000, 'x');
  Require("START TRANSACTION");
  for (int i = 1; i <= 10000; ++i) {
    TSqlOutcome in = Runner->Run(
        "Insert into Messages (MessageDate, Size, Priority, Attachments, From, To, Body) values "
        "('2026-12-09 10:00:00', 2000, 1, '', 'alice', 'bob', '" +
        body + std::to_string(i) + "')");
    ASSERT_TRUE(in.Ok) << in.Error;
  }
  Require("COMMIT");
  TSqlOutcome ids =
      Require("Select MessageID from Messages where MessageID > 9990 order by MessageID");
  ASSERT_EQ(ids.Rows.size(), 10u);
  EXPECT_EQ(ids.Rows.front()[0], TCell("9991"));
  EXPECT_EQ(ids.Rows.back()[0], TCell("10000"));
  TSqlOutcome one = Require("Select * from Messages where MessageID=5000");
  ASSERT_EQ(one.Rows.size(), 1u);
  EXPECT_EQ(one.Rows[0][7], TCell(body + "5000"));
  EXPECT_EQ(one.Rows[0][5], TCell("alice"));
  EXPECT_EQ(one.Rows[0][4], TCell());  // '' stores NULL
  EXPECT_EQ(Require("Delete from Messages where MessageID=5000").RowsAffected, 1);
  EXPECT_TRUE(Require("Select * from Messages where MessageID=5000").Rows.empty());
  EXPECT_EQ(Require("Select count(*) from Messages").Rows[0][0], TCell("9999"));
}

}  // namespace
}  // namespace zorvic::engine::test

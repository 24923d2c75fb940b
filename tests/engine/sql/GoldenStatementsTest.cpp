// Every SQL text the server issues, with realistic values pasted in as the server pastes
// them, parses and binds against the server's tables and gives the parse result checked in
// under tests/engine/sql/golden/. Set ZORVIC_UPDATE_GOLDEN=1 to rewrite the expectations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "StmtTestSupport.h"

namespace zorvic::engine::test {
namespace {

struct TGoldenCase {
  const char* Name;
  const char* Sql;
};

const TGoldenCase kServerStatements[] = {
    // Start-up: the schema script, the seeding of an empty database.
    {"schema_script", nullptr},
    {"seed_count_users", "Select count(UserName) from Users"},
    {"seed_insert_group", "Insert into Groups (GroupName) values ('Admins');"},
    {"seed_insert_admin",
     "Insert into Users (username, password, GroupName, HasAdminPower, AccountDisabled) values "
     "('admin', 'tarnlamp', 'Admins', True, False)"},
    // The mailbox of a user.
    {"mailbox_create", nullptr},
    // Login and user information.
    {"login_user", "Select * from Users where UserName='O''Brien'"},
    {"login_group", "Select * from Groups where GroupName='Admins'"},
    {"login_profile", "Select * from Profiles where ProfileName='Standard'"},
    {"login_last_login", "Update Users set LastLogin = '2004-03-07' where UserName='admin';"},
    // Composition and delivery.
    {"attachment_start", "START TRANSACTION"},
    {"attachment_commit", "COMMIT FLUSH"},
    {"attachment_max_id", "Select MAX(AttachID) from Attachments;"},
    {"group_by_prefix", "Select UserName from Users where GroupName like \"Sal%\""},
    {"group_exact", "Select UserName from Users where GroupName='Sales ''East'''"},
    {"forward_user",
     "Select ProfileName,GroupName, PrimaryEmail, SecondaryEmail from Users where "
     "UserName='bob';"},
    {"forward_group_profile", "Select ProfileName from Groups where GroupName='Sales'"},
    {"forward_profile", "Select * from Profiles where ProfileName='Standard';"},
    // Retrieval.
    {"list_all", "Select MessageID from Messages order by MessageID"},
    {"list_after", "Select MessageID from Messages where MessageID > 17 order by MessageID"},
    {"fetch_message", "Select * from Messages where MessageID=17"},
    {"fetch_attachment", "Select BODY from Attachments where AttachID=3"},
    {"delete_all", "Delete from Messages"},
    {"delete_one", "Delete from Messages where MessageID=17"},
    {"mailer_fetch", "Select * from messages where MessageID=17;"},
    // Listings.
    {"list_groups", "Select GroupName from Groups order by GroupName"},
    {"list_users", "Select UserName,GroupName from Users Order by GroupName"},
    {"list_group_members",
     "Select UserName from Users where GroupName=\"Sales\" order by UserName"},
    {"admin_listing", "Select * From Requests\r\norder by RequestDate"},
    {"admin_listing_where",
     "Select * From Users\r\nwhere GroupName='Admins'\r\norder by GroupName"},
    {"admin_listing_log", "Select * From Log\r\norder by EntryNo"},
    // Resource manipulation and account requests.
    {"resource_exists", "Select count(*) From Users where UserName='carol'"},
    {"resource_insert",
     "Insert Into Users (UserName, Password, GroupName, ProfileName, HasAdminPower, "
     "AccountDisabled, PrimaryEmail) values ('carol', 'secret', 'Sales', '', false, true, "
     "'carol@example.org');"},
    {"resource_insert_group",
     "Insert Into Groups (GroupName, ProfileName) values ('Sales', 'Standard');"},
    {"resource_insert_profile",
     "Insert Into Profiles (ProfileName, Privileges, AllowAttachments, MaxAttachSize, "
     "ForwardMsgs) values ('Standard', 0, true, 2048, false);"},
    {"resource_update",
     "Update Users set Password='n3w',GroupName='Sales',HasAdminPower=false,AccountDisabled="
     "false where UserName='carol'"},
    {"resource_update_profile",
     "Update Profiles set Privileges=2,MaxAttachSize=512,ForwardUrgent=true where "
     "ProfileName='Standard'"},
    {"resource_delete", "Delete From Users where UserName='carol'"},
    {"resource_delete_request", "Delete From Requests where RequestID=4"},
    {"self_service_activate", "Update Users set AccountDisabled=False where UserName='dave'"},
    {"self_service_request",
     "Insert into Requests (From, RequestType, RequestDate) values ('dave','User Activation "
     "Request','2005-01-31');"},
    {"approve_read", "Select * From Requests where RequestID=4"},
    {"approve_enable", "Update Users set AccountDisabled=false where UserName=\"dave\""},
    {"approve_delete", "Delete from Requests where RequestID=4"},
};

std::string GoldenPath(const std::string& name) {
  return std::string(ZORVIC_SOURCE_DIR) + "/tests/engine/sql/golden/" + name + ".txt";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(GoldenStatements, ServerStatementsParseBindAndMatchTheirExpectations) {
  const bool update = std::getenv("ZORVIC_UPDATE_GOLDEN") != nullptr;
  TEmptySchemaSource none{""};
  TScriptChecker checker(none, "");
  for (const TGoldenCase& golden : kServerStatements) {
    std::string sql;
    if (std::string_view(golden.Name) == "schema_script") {
      sql = std::string(kSchemaScript);
    } else if (std::string_view(golden.Name) == "mailbox_create") {
      sql = std::string(kMessagesTable);
    } else {
      sql = golden.Sql;
    }
    std::string explanation;
    const std::string error = checker.Check(sql, &explanation);
    EXPECT_EQ(error, "") << golden.Name << ": " << sql;
    std::string header;
    for (char c : sql) {
      if (c == '\r') {
        header += "\\r";
      } else if (c == '\n') {
        header += "\\n";
      } else {
        header += c;
      }
    }
    const std::string actual = "-- " + header + "\n" + explanation;
    const std::string path = GoldenPath(golden.Name);
    if (update) {
      std::ofstream(path, std::ios::binary) << actual;
      continue;
    }
    EXPECT_EQ(ReadFile(path), actual)
        << golden.Name << " differs from " << path << " (set ZORVIC_UPDATE_GOLDEN=1 to rewrite)";
  }
}

TEST(GoldenStatements, TheSchemaScriptRunsTwice) {
  // Every statement carries IF NOT EXISTS, so a second run over existing tables is sound.
  TServerTables tables;
  EXPECT_EQ(tables.Check(kSchemaScript), "");
  EXPECT_EQ(tables.Check(kMessagesTable), "");
}

}  // namespace
}  // namespace zorvic::engine::test

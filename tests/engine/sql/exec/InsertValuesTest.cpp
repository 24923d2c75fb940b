// INSERT ... VALUES through SQL, and the record fill of INSERT ... SELECT through the C++ API.
#include <gtest/gtest.h>

#include "engine/sql/StmtTestSupport.h"
#include "engine/sql/exec/DdlTestSupport.h"
#include "engine/sql/exec/InsertValues.h"

namespace zorvic::engine::ddltest {
namespace {

class InsertValuesTest : public TSqlFixture {
 protected:
  void SetUp() override {
    TSqlFixture::SetUp();
    Run(test::kSchemaScript);
  }
};

TEST_F(InsertValuesTest, ServerInsertsOfGroupsAndTheAdministrator) {
  EXPECT_EQ(Run("Insert into Groups (GroupName) values ('Admins');"), 1);
  std::vector<TRow> groups = ReadRows(*Database, "Groups");
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0]["GroupName"], "Admins");
  EXPECT_EQ(groups[0]["ProfileName"], "<NULL>");
  // The second run fails on the primary key and appends nothing.
  int code = 0;
  EXPECT_NE(Error("Insert into Groups (GroupName) values ('Admins');", &code), "");
  EXPECT_EQ(code, VELDOR_KEYVIOL);
  EXPECT_EQ(ReadRows(*Database, "Groups").size(), 1u);

  EXPECT_EQ(Run("Insert into Users (username, password, GroupName, HasAdminPower, "
                "AccountDisabled) values ('admin', 'tarnlamp', 'Admins', True, False)"),
            1);
  const std::vector<TRow> users = ReadRows(*Database, "Users");
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0]["UserName"], "admin");
  EXPECT_EQ(users[0]["Password"], "tarnlamp");
  EXPECT_EQ(users[0]["HasAdminPower"], "1");
  EXPECT_EQ(users[0]["AccountDisabled"], "0");
  EXPECT_EQ(users[0]["LastLogin"], "<NULL>");
}

TEST_F(InsertValuesTest, DefaultsNullsAndEmptyStrings) {
  Run("Insert into Profiles (ProfileName, Privileges) values ('Std', 3)");
  const TRow p = ReadRows(*Database, "Profiles")[0];
  EXPECT_EQ(p["AllowAttachments"], "1");  // DEFAULT TRUE
  EXPECT_EQ(p["RestrictedCommunicationAccess"], "0");
  EXPECT_EQ(p["MaxAttachSize"], "1024");
  EXPECT_EQ(p["ForwardNormal"], "<NULL>");
  // A NULL value clears a column with a DEFAULT; '' is the NULL constant.
  Run("Insert into Profiles (ProfileName, Privileges, MaxAttachSize) values ('Other', 1, NULL)");
  Run("Insert into Groups (GroupName, ProfileName) values ('G', '')");
  EXPECT_EQ(ReadRows(*Database, "Profiles")[0]["MaxAttachSize"], "<NULL>");  // 'Other' sorts first
  EXPECT_EQ(ReadRows(*Database, "Groups")[0]["ProfileName"], "<NULL>");
  // NOT NULL is enforced by the append: nothing is written.
  int code = 0;
  EXPECT_NE(Error("Insert into Profiles (ProfileName) values ('NoPrivileges')", &code), "");
  EXPECT_EQ(code, VELDOR_REQDERR);
  EXPECT_EQ(ReadRows(*Database, "Profiles").size(), 2u);
}

TEST_F(InsertValuesTest, ConversionFailuresNameTheValueAsWritten) {
  EXPECT_TRUE(Contains(Error("Insert into Profiles (ProfileName, Privileges) values ('x', 'abc')"),
                       "SQL error - Type mismatch between column Privileges and constant value "
                       "abc in INSERT statement"));
  EXPECT_TRUE(ReadRows(*Database, "Profiles").empty());
  // A string that reads as the column's type is converted.
  Run("Insert into Profiles (ProfileName, Privileges) values ('x', '42')");
  EXPECT_EQ(ReadRows(*Database, "Profiles")[0]["Privileges"], "42");
}

TEST_F(InsertValuesTest, AutoIncrementAndMemos) {
  Run("Insert into Log (EntryText) values ('first')");
  Run("Insert into Log (EntryText) values ('second')");
  std::vector<TRow> log = ReadRows(*Database, "Log");
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1]["EntryNo"], "2");
  // NOAUTOINC keeps the value given for the auto-increment column.
  Run("Insert into Log (EntryNo, EntryText) values (50, 'given') NOAUTOINC");
  log = ReadRows(*Database, "Log");
  EXPECT_EQ(log.back()["EntryNo"], "50");
  Run("Insert into Log (EntryText) values ('after')");
  EXPECT_EQ(ReadRows(*Database, "Log").back()["EntryNo"], "51");

  Run("Insert into Attachments (RefCount, BODY, Size) values (1, 'body bytes', 10)");
  TDataCursor cursor(*Database);
  cursor.Open("Attachments");
  std::vector<std::uint8_t> record(cursor.RecordSize());
  cursor.First();
  ASSERT_EQ(cursor.GetNext(record.data()), VELDOR_NONE);
  const TFieldDesc* body = cursor.FindField("BODY");
  cursor.OpenBlob(record.data(), body->FieldNo, TBlobOpenMode::bmRead);
  std::int64_t size = 0;
  cursor.BlobSize(record.data(), body->FieldNo, &size);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  std::int64_t read = 0;
  cursor.ReadBlob(record.data(), body->FieldNo, 0, bytes.data(), size, &read);
  cursor.FreeBlob(record.data(), body->FieldNo);
  EXPECT_EQ(bytes, "body bytes");  // no terminating NUL
  cursor.Close();
}

TEST_F(InsertValuesTest, AttachmentStoreInATransaction) {
  Run("START TRANSACTION");
  Run("Insert into Attachments (RefCount, BODY, Size) values (2, 'x', 1)");
  // A failing insert inside the transaction leaves the earlier one in it.
  EXPECT_NE(Error("Insert into Attachments (AttachID, RefCount) values (1, 3) NOAUTOINC"), "");
  EXPECT_TRUE(Database->InTransaction());
  Run("Insert into Groups (GroupName) values ('G')");
  Run("COMMIT FLUSH");
  const std::vector<TRow> rows = ReadRows(*Database, "Attachments");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["RefCount"], "2");
  EXPECT_EQ(ReadRows(*Database, "Groups").size(), 1u);
}

TEST_F(InsertValuesTest, AppendInsertRecordDirectly) {
  TQueryStatement statement(Database->Path());
  statement.Prepare("Insert into Groups (GroupName, ProfileName) values ('a', 'b')");
  TDataQuery& block = *statement.MasterQuery();
  block.UpdateFields[0].FieldNo = 1;
  block.UpdateFields[1].FieldNo = 2;
  TDataCursor cursor(*Database);
  cursor.Open("Groups");
  TExpTokenPtr name = NewExpToken();
  name->SetStringConstant("FromSelect");
  TExpTokenPtr profile = NewExpToken();
  profile->SetNullValue();
  AppendInsertRecord(cursor, block, {name.get(), profile.get()});
  EXPECT_THROW(AppendInsertRecord(cursor, block, {name.get()}), EVELDOREngineError);

  // A value that does not convert is named by its text form.
  TDataCursor users(*Database);
  users.Open("Profiles");
  statement.Prepare("Insert into Profiles (ProfileName, Privileges) values ('p', 1)");
  TDataQuery& insert = *statement.MasterQuery();
  insert.UpdateFields[0].FieldNo = 1;
  insert.UpdateFields[1].FieldNo = 2;
  TExpTokenPtr privileges = NewExpToken();
  privileges->SetStringConstant("many");
  try {
    AppendInsertRecord(users, insert, {name.get(), privileges.get()});
    ADD_FAILURE() << "no error";
  } catch (const EVELDOREngineError& e) {
    EXPECT_TRUE(Contains(e.what(),
                         "Type mismatch between column Privileges and constant value "
                         "many in INSERT statement"));
  }
  users.Close();
  cursor.Close();
  const std::vector<TRow> groups = ReadRows(*Database, "Groups");
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0]["GroupName"], "FromSelect");
  EXPECT_EQ(groups[0]["ProfileName"], "<NULL>");
  EXPECT_TRUE(ReadRows(*Database, "Profiles").empty());
}

}  // namespace
}  // namespace zorvic::engine::ddltest

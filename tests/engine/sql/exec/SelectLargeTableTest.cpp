// Larger tables: conditions answered through indexes, batch commits of a long UPDATE.
#include "engine/sql/exec/ExecTestSupport.h"

#include <cstdio>

namespace zorvic::engine::test {
namespace {

// Rows of a Users-shaped table ("u000000", "u000001", ...), written through the storage API in
// one transaction.
void FillUsers(TDataDirectory& database, int count) {
  TTableCreation creation;
  const char* names[] = {"UserName", "Password", "GroupName", "ProfileName"};
  for (const char* name : names) {
    TFieldDefinition field;
    field.Name = name;
    field.DataType = dtString;
    field.Size = 32;
    creation.Table.Fields.push_back(field);
  }
  TFieldDefinition disabled;
  disabled.Name = "AccountDisabled";
  disabled.DataType = dtBoolean;
  creation.Table.Fields.push_back(disabled);
  creation.Primary.Fields = {1};
  TDataCursor cursor(database);
  cursor.CreateTable("Users", creation, false);
  cursor.Open("Users");
  std::vector<std::uint8_t> record(cursor.RecordSize());
  database.StartTransaction();
  char name[16];
  for (int i = 0; i < count; ++i) {
    cursor.InitRecord(record.data());
    std::snprintf(name, sizeof name, "u%06d", i);
    cursor.SetString(record.data(), 1, name);
    cursor.SetString(record.data(), 2, "secret");
    cursor.SetString(record.data(), 3, i % 10 == 0 ? "admins" : "staff");
    cursor.InsertRecord(record.data());
  }
  database.Commit();
  cursor.Close();
}

class SelectLargeTableTest : public TExecTest {};

TEST_F(SelectLargeTableTest, KeyLookupReadsOneRecordThroughThePrimaryIndex) {
  constexpr int kRows = 10000;
  FillUsers(*Database, kRows);
  EXPECT_EQ(Rows("Select UserName, GroupName from Users where UserName='u005000'"),
            "u005000,admins");
  // The live form hands out the table's own cursor, whose filter counts the records it read.
  Statement->RequestLive = true;
  Statement->Prepare("Select * from Users where UserName='u005000'");
  Execution->Prepare(*Statement);
  TDataCursor* cursor = Execution->Execute(*Statement);
  ASSERT_TRUE(Statement->ResultIsLive);
  EXPECT_EQ(Statement->RowsAffected, 1);
  EXPECT_EQ(cursor->FilterOptimisationLevel(), 2);
  EXPECT_LE(cursor->FilterRecordsTested(), 1);
  // A condition that selects nearly every record is tested record by record.
  Statement->Prepare("Select * from Users where UserName >= 'u'");
  Execution->Prepare(*Statement);
  cursor = Execution->Execute(*Statement);
  EXPECT_EQ(Statement->RowsAffected, kRows);
  EXPECT_EQ(cursor->FilterRecordsTested(), kRows);
  // COUNT(*) over one table counts the filter's records.
  Statement->RequestLive = false;
  EXPECT_EQ(Rows("Select COUNT(*) from Users where GroupName = 'admins'"), "1000");
  EXPECT_EQ(Rows("Select COUNT(*) from Users where UserName < 'u000100'"), "100");
}

TEST_F(SelectLargeTableTest, JoinOverLargerTablesUsesTheSmallTableFirst) {
  FillUsers(*Database, 2000);
  Run("Create Table Picked(UserName VARCHAR(32));"
      "Insert into Picked values ('u000007');"
      "Insert into Picked values ('u001999')");
  EXPECT_EQ(Rows("Select u.UserName, u.GroupName from Users u, Picked p where u.UserName = "
                 "p.UserName order by 1"),
            "u000007,staff;u001999,staff");
}

}  // namespace
}  // namespace zorvic::engine::test

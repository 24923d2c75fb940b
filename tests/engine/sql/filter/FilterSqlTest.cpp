// Filters on tables made and filled through SQL, shaped like the server's: a String primary
// key and a NOCASE index on the group name; and filters on a SELECT's result table.
#include <gtest/gtest.h>

#include "engine/sql/exec/ExecTestSupport.h"
#include "engine/sql/filter/ConditionFilter.h"

namespace zorvic::engine::test {
namespace {

class TFilterSqlTest : public TExecTest {
 protected:
  void SetUp() override {
    InstallExpressionFilters();
    Run("Create Table Users(UserName VARCHAR(32), GroupName VARCHAR(32), Rights Integer, "
        "Primary Key (UserName));"
        "Create NOCASE Index \"UserGroupNames\" on Users(GroupName) COMPRESS FULL;"
        "Create Index ByRights on Users(Rights);"
        "Insert into Users values ('admin', 'Staff', 3);"
        "Insert into Users values ('Admin', 'staff', 2);"
        "Insert into Users values ('adminx', 'STAFF', 1);"
        "Insert into Users values ('bob', 'Sales', 1);"
        "Insert into Users values ('carol', 'SalesNorth', 1);"
        "Insert into Users values ('dave', '', 0);"
        "Insert into Users values ('erin', 'Support', 0)");
    Users = std::make_unique<TDataCursor>(*Database);
    Users->Open("Users");
  }
  void TearDown() override { Users.reset(); }
  // The user names the filtered cursor shows, joined by ",", and the optimisation level.
  std::string Names(const std::string& filter, int* level) {
    const int h = Users->AddFilter(filter);
    *level = Users->FilterOptimisationLevel();
    std::string out;
    std::vector<std::uint8_t> record(Users->RecordSize());
    Users->First();
    while (Users->GetNext(record.data()) == VELDOR_NONE) {
      if (!out.empty()) out += ",";
      out += Users->GetString(record.data(), 1);
    }
    Users->DropFilter(h);
    return out;
  }
  std::unique_ptr<TDataCursor> Users;
};

TEST_F(TFilterSqlTest, TextSearchIsTestedPerRecord) {
  int level = -1;
  // No index answers the word functions, not even the group name's: each record is tested.
  EXPECT_EQ(Names("TEXTSEARCH('staff' IN GroupName)", &level), "Admin,admin,adminx");
  EXPECT_EQ(level, 0);
  EXPECT_EQ(
      Names("TEXTSEARCH('sales' IN GroupName) or TEXTOCCURS('support' IN GroupName) = 1", &level),
      "bob,erin");
  EXPECT_EQ(level, 0);
  // Beside an indexed part the filter is answered partly through the index.
  EXPECT_EQ(Names("Rights = 1 and not TEXTSEARCH('STAFF' IN GroupName)", &level), "bob,carol");
  EXPECT_EQ(level, 1);
}

TEST_F(TFilterSqlTest, ServerShapedTableAnswersThroughItsIndexes) {
  int level = -1;
  // Exactly 'admin': not 'Admin', not 'adminx'.
  EXPECT_EQ(Names("UserName = 'admin'", &level), "admin");
  EXPECT_EQ(level, 2);
  EXPECT_EQ(Names("UPPER(GroupName) = 'STAFF'", &level), "Admin,admin,adminx");
  EXPECT_EQ(level, 2);
  // The group index ignores case, so a case-sensitive compare is tested per record.
  EXPECT_EQ(Names("GroupName = 'Staff'", &level), "admin");
  EXPECT_EQ(level, 0);
  // LIKE with a plain prefix ignores case: the NOCASE index serves it.
  EXPECT_EQ(Names("GroupName LIKE 'sa%'", &level), "bob,carol");
  EXPECT_EQ(level, 2);
  EXPECT_EQ(Names("GroupName IS NULL", &level), "dave");
  EXPECT_EQ(level, 2);
  EXPECT_EQ(Names("Rights = 1 AND GroupName LIKE 'S%'", &level), "adminx,bob,carol");
  EXPECT_EQ(level, 2);
  EXPECT_EQ(Names("Rights BETWEEN 1 AND 2 AND UserName <> 'bob'", &level), "Admin,adminx,carol");
  EXPECT_EQ(level, 2);
}

TEST_F(TFilterSqlTest, ChangesThroughSqlAreSeenByAFilteredCursor) {
  Users->AddFilter("Rights = 1");
  EXPECT_EQ(Users->RecordCount(), 3);
  Run("Update Users set Rights = 1 where UserName = 'erin'");
  EXPECT_EQ(Users->RecordCount(), 4);
  Run("Delete from Users where GroupName = 'Sales'");
  EXPECT_EQ(Users->RecordCount(), 3);
  EXPECT_EQ(Users->FilterOptimisationLevel(), 2);
}

TEST_F(TFilterSqlTest, FiltersOnASelectResult) {
  Statement->Prepare("Select UserName, Rights from Users where Rights > 0");
  Execution->Prepare(*Statement);
  TDataCursor* result = Execution->Execute(*Statement);
  ASSERT_NE(result, nullptr);
  const std::int64_t all = result->RecordCount();
  EXPECT_EQ(all, 5);
  result->AddFilter("Rights = 1 AND UserName LIKE '%o%'");
  EXPECT_EQ(ReadCursor(*result).Joined(), "bob,1;carol,1");
  result->DropAllFilters();
  EXPECT_EQ(result->RecordCount(), all);
  EXPECT_EQ(Error("Select * from Users where Bogus = 1").rfind(std::string(kSqlError), 0), 0u);
}

}  // namespace
}  // namespace zorvic::engine::test

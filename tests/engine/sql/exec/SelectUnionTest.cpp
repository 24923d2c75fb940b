// UNION, IN sub-selects, INTO and WITH LOCKS.
#include <filesystem>

#include "engine/sql/exec/ExecTestSupport.h"

namespace zorvic::engine::test {
namespace {

class SelectUnionTest : public TExecTest {
 protected:
  void SetUp() override {
    Run("Create Table Users(UserName VARCHAR(32), GroupName VARCHAR(32), Primary Key "
        "(UserName));"
        "Create Table Groups(GroupName VARCHAR(64), Note VARCHAR(5));"
        "Insert into Users values ('alice', 'admins');"
        "Insert into Users values ('bob', 'staff');"
        "Insert into Users values ('carol', 'staff');"
        "Insert into Groups values ('staff', 'x');"
        "Insert into Groups values ('a-group-name-much-longer-than-thirty-two-chars', 'y');");
  }
};

TEST_F(SelectUnionTest, UnionRemovesDuplicatesUnionAllKeepsThem) {
  EXPECT_EQ(Rows("Select GroupName from Users union Select GroupName from Groups where Note = "
                 "'x' order by 1"),
            "admins;staff");
  EXPECT_EQ(Rows("Select GroupName from Users union all Select GroupName from Groups where "
                 "Note = 'x' order by 1"),
            "admins;staff;staff;staff");
  EXPECT_EQ(Rows("Select UserName from Users where UserName = 'bob' union all Select UserName "
                 "from Users where UserName = 'alice'"),
            "bob;alice");
  // ORDER BY and TOP after the last part apply to the whole union.
  EXPECT_EQ(Rows("Select UserName from Users union Select GroupName from Users order by 1 desc "
                 "TOP 2"),
            "staff;carol");
}

TEST_F(SelectUnionTest, UnionColumnsTakeTheWidestPart) {
  // The master's column holds 32 characters; the part's value is longer and stays whole.
  EXPECT_EQ(Rows("Select GroupName from Users where UserName = 'alice' union Select GroupName "
                 "from Groups where Note = 'y'"),
            "admins;a-group-name-much-longer-than-thirty-two-chars");
}

TEST_F(SelectUnionTest, UnionMessages) {
  EXPECT_EQ(Error("Select UserName, GroupName from Users union Select GroupName from Groups"),
            SqlError("The number of columns  in the UNION query must match the  number of "
                     "columns in the master query"));
}

TEST_F(SelectUnionTest, InSubSelect) {
  EXPECT_EQ(Rows("Select UserName from Users where GroupName in (Select GroupName from Groups) "
                 "order by 1"),
            "bob;carol");
  EXPECT_EQ(Rows("Select UserName from Users where GroupName not in (Select GroupName from "
                 "Groups)"),
            "alice");
  EXPECT_EQ(Rows("Select UserName from Users where GroupName in (Select GroupName from Groups "
                 "where Note = 'none')"),
            "");
  EXPECT_EQ(Rows("Select g.Note from Groups g where g.GroupName in (Select u.GroupName from "
                 "Users u where u.UserName like 'c%')"),
            "x");
}

TEST_F(SelectUnionTest, IntoATable) {
  Run("Select UserName into Staff from Users where GroupName = 'staff'");
  EXPECT_EQ(Rows("Select * from Staff order by UserName"), "bob;carol");
  // The table stays after the statement, and INTO again replaces it.
  Run("Select UserName into Staff from Users");
  EXPECT_EQ(Rows("Select COUNT(*) from Staff"), "3");
  Run("Select GroupName into Memory Kept from Groups");
  EXPECT_EQ(Rows("Select COUNT(*) from Memory Kept"), "2");
}

TEST_F(SelectUnionTest, IntoAFolderAndIntoUnnamedMemory) {
  std::filesystem::create_directory(Dir.File("Other"));
  Run("Select UserName into \"" + Dir.File("Other") + "/Staff\" from Users");
  EXPECT_TRUE(std::filesystem::exists(Dir.File("Other/Staff.DAT")));
  EXPECT_EQ(Rows("Select COUNT(*) from \"" + Dir.File("Other") + "/Staff\""), "3");
  EXPECT_EQ(Rows("Select UserName into Memory from Users where UserName = 'bob'"), "bob");
}

TEST_F(SelectUnionTest, CannedResultsLeaveNoFiles) {
  const std::size_t before = Database->TableNames().size();
  for (int i = 0; i < 3; ++i)
    Run("Select UserName from Users order by 1");
  EXPECT_EQ(Database->TableNames().size(), before);
}

TEST_F(SelectUnionTest, WithLocks) {
  EXPECT_EQ(Rows("Select UserName from Users where GroupName = 'admins' with locks"), "alice");
  // The read locks are gone afterwards: a change goes through.
  Run("Update Users set GroupName = 'staff' where UserName = 'alice'");
  EXPECT_EQ(Rows("Select COUNT(*) from Users where GroupName = 'staff'"), "3");
}

}  // namespace
}  // namespace zorvic::engine::test

// UPDATE, DELETE and INSERT ... SELECT row loops.
#include "engine/sql/exec/ExecTestSupport.h"

namespace zorvic::engine::test {
namespace {

class UpdateDeleteTest : public TExecTest {
 protected:
  void SetUp() override {
    Run("Create Table Users(UserName VARCHAR(32), GroupName VARCHAR(32), Age Integer, "
        "AccountDisabled Boolean DEFAULT TRUE, Notes MEMO, Primary Key (UserName));"
        "Create Index ByAge on Users(Age);"
        "Insert into Users (UserName, GroupName, Age) values ('alice', 'admins', 30);"
        "Insert into Users (UserName, GroupName, Age) values ('bob', 'staff', 25);"
        "Insert into Users (UserName, GroupName, Age) values ('carol', 'staff', 41);");
  }
};

TEST_F(UpdateDeleteTest, UpdateChangesQualifyingRecords) {
  TResultText result = Run("Update Users set AccountDisabled = false where UserName = 'bob'");
  EXPECT_EQ(result.RowsAffected, 1);
  EXPECT_EQ(Rows("Select UserName, AccountDisabled from Users order by 1"),
            "alice,True;bob,False;carol,True");
  EXPECT_EQ(Run("Update Users set Age = 1 where UserName = 'nobody'").RowsAffected, 0);
  // Values are evaluated against the record they change; NULL clears.
  EXPECT_EQ(Run("Update Users set Age = Age + 10, GroupName = NULL where GroupName = "
                "'staff'")
                .RowsAffected,
            2);
  EXPECT_EQ(Rows("Select UserName, GroupName, Age from Users order by 1"),
            "alice,admins,30;bob,<null>,35;carol,<null>,51");
}

TEST_F(UpdateDeleteTest, UpdateThatMovesRecordsInIndexOrderTouchesEachOnce) {
  // Through the ByAge index every increase moves the record behind the ones still to come.
  EXPECT_EQ(Run("Update Users set Age = Age + 100 where Age > 0").RowsAffected, 3);
  EXPECT_EQ(Rows("Select Age from Users order by 1"), "125;130;141");
  // A key change of the primary index too.
  EXPECT_EQ(Run("Update Users set UserName = UserName + 'x'").RowsAffected, 3);
  EXPECT_EQ(Rows("Select UserName from Users order by 1"), "alicex;bobx;carolx");
}

TEST_F(UpdateDeleteTest, UpdateWritesMemosAndRefusesWrongValues) {
  Run("Update Users set Notes = 'remember the milk' where UserName = 'alice'");
  EXPECT_EQ(Rows("Select Notes from Users where UserName = 'alice'"), "remember the milk");
  EXPECT_EQ(Error("Update Users set Age = 'abc' where UserName = 'alice'"),
            SqlError("Type mismatch between column Age and constant value abc in UPDATE "
                     "statement"));
  // The failed statement changed nothing.
  EXPECT_EQ(Rows("Select Age from Users where UserName = 'alice'"), "30");
}

TEST_F(UpdateDeleteTest, FailedUpdateRollsBack) {
  // The second record's new key collides: the whole statement is undone.
  EXPECT_NE(Error("Update Users set UserName = 'carol' where UserName <> 'carol'"), "");
  EXPECT_EQ(Rows("Select UserName from Users order by 1"), "alice;bob;carol");
}

TEST_F(UpdateDeleteTest, DeleteRemovesEachQualifyingRecordOnce) {
  EXPECT_EQ(Run("Delete from Users where Age < 35").RowsAffected, 2);
  EXPECT_EQ(Rows("Select UserName from Users"), "carol");
  EXPECT_EQ(Run("Delete from Users where Age < 35").RowsAffected, 0);
  EXPECT_EQ(Run("Delete from Users").RowsAffected, 1);
  EXPECT_EQ(Rows("Select COUNT(*) from Users"), "0");
}

// A change of one record outside a transaction is written at once, memo and all, and leaves
// no transaction behind; another session sees it.
TEST_F(UpdateDeleteTest, SingleRecordChangesAreWrittenAtOnce) {
  Run("Update Users set Notes = 'a note of some length', Age = 31 where UserName = 'alice'");
  EXPECT_FALSE(Database->InTransaction());
  EXPECT_EQ(Run("Delete from Users where UserName = 'bob'").RowsAffected, 1);
  EXPECT_FALSE(Database->InTransaction());
  EXPECT_EQ(Run("Delete from Users where UserName = 'nobody'").RowsAffected, 0);
  EXPECT_EQ(Error("Delete from Users where UserName = 'carol' Commit Interval 0"),
            SqlError("Commit interval must be greater than 0, instead found '0'"));

  TDataSession other;
  TDataDirectory& db = other.OpenDatabase(Dir.Path());
  {
    TSqlExecution execution(db);
    TQueryStatement statement(Dir.Path() + "/");
    statement.Prepare("Select UserName, Age, Notes from Users order by 1");
    execution.Prepare(statement);
    EXPECT_EQ(ReadCursor(*execution.Execute(statement)).Joined(),
              "alice,31,a note of some length;carol,41,<null>");
    execution.Release();
  }
  other.CloseDatabase(db);
}

TEST_F(UpdateDeleteTest, DeleteWithAJoinRemovesEachRecordOnce) {
  Run("Create Table Banned(GroupName VARCHAR(32));"
      "Insert into Banned values ('staff');"
      "Insert into Banned values ('staff');");
  EXPECT_EQ(Run("Delete from Users u, Banned b where u.GroupName = b.GroupName").RowsAffected, 2);
  EXPECT_EQ(Rows("Select UserName from Users"), "alice");
}

TEST_F(UpdateDeleteTest, UpdateWithAJoinTakesJoinedValues) {
  Run("Create Table Ages(UserName VARCHAR(32), NewAge Integer);"
      "Insert into Ages values ('bob', 60);"
      "Insert into Ages values ('carol', 70);");
  EXPECT_EQ(Run("Update Users u set Age = a.NewAge from Users u, Ages a where u.UserName = "
                "a.UserName")
                .RowsAffected,
            2);
  EXPECT_EQ(Rows("Select Age from Users order by 1"), "30;60;70");
}

TEST_F(UpdateDeleteTest, InsertSelect) {
  Run("Create Table Archive(Name VARCHAR(32), Years Integer)");
  EXPECT_EQ(Run("Insert into Archive (Name, Years) Select UserName, Age * 2 from Users where "
                "Age > 26")
                .RowsAffected,
            2);
  EXPECT_EQ(Rows("Select * from Archive order by 1"), "alice,60;carol,82");
  // Into the source table itself: the rows are read before any is appended.
  Run("Create Table Numbers(N Integer);Insert into Numbers values (1);"
      "Insert into Numbers values (2)");
  EXPECT_EQ(Run("Insert into Numbers Select N + 10 from Numbers").RowsAffected, 2);
  EXPECT_EQ(Rows("Select N from Numbers order by 1"), "1;2;11;12");
  EXPECT_EQ(Error("Insert into Archive (Years) Select UserName from Users"),
            SqlError("Type mismatch between column Years and constant value alice in INSERT "
                     "statement"));
}

TEST_F(UpdateDeleteTest, InsideATransactionNothingIsCommitted) {
  Run("Start Transaction;Update Users set Age = 99;Rollback");
  EXPECT_EQ(Rows("Select Age from Users order by 1"), "25;30;41");
  Run("Start Transaction;Delete from Users where Age = 25;Commit");
  EXPECT_EQ(Rows("Select COUNT(*) from Users"), "2");
}

}  // namespace
}  // namespace zorvic::engine::test

// Aggregates, GROUP BY, HAVING and RUNSUM.
#include "engine/sql/exec/ExecTestSupport.h"

namespace zorvic::engine::test {
namespace {

class SelectAggregateTest : public TExecTest {
 protected:
  void SetUp() override {
    Run("Create Table Users(UserName VARCHAR(32), GroupName VARCHAR(32), Age Integer, Score "
        "SmallInt, Born DATE, Primary Key (UserName));"
        "Create Table Attachments(AttachID AUTOINC, RefCount INTEGER, BODY BLOB, Size Integer, "
        "Primary Key (AttachID));");
  }
  void Fill() {
    Run("Insert into Users values ('alice', 'admins', NULL, 3, '2000-01-01');"
        "Insert into Users values ('bob', 'staff', 25, NULL, '2000-01-03');"
        "Insert into Users values ('carol', 'staff', 41, 5, NULL);"
        "Insert into Users values ('dave', NULL, 40, 2, '2000-01-02');");
  }
};

TEST_F(SelectAggregateTest, EmptyTable) {
  EXPECT_EQ(Rows("Select COUNT(*) from Users"), "0");
  EXPECT_EQ(Rows("Select count(UserName) from Users"), "<null>");
  EXPECT_EQ(Rows("Select COUNT(*) from Users where Age > 3"), "0");
  EXPECT_EQ(Rows("Select SUM(Age), MIN(Age), MAX(Age), AVG(Age), COUNT(*) from Users"),
            "<null>,<null>,<null>,0,0");
  // MAX of an AUTOINC column is a plain Integer, NULL over no rows.
  TResultText max = Run("Select MAX(AttachID) from Attachments;");
  ASSERT_EQ(max.Joined(), "<null>");
  EXPECT_EQ(max.Columns[0], "Max Of AttachID");
  Statement->Prepare("Select MAX(AttachID) from Attachments");
  Execution->Prepare(*Statement);
  TDataCursor* cursor = Execution->Execute(*Statement);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(cursor->Field(1)->DataType, dtInteger);
  EXPECT_FALSE(cursor->Field(1)->IsAutoInc());
  // GROUP BY over no rows gives no rows.
  EXPECT_EQ(Rows("Select GroupName, COUNT(*) from Users group by GroupName"), "");
}

TEST_F(SelectAggregateTest, NullsNeverPoisonAnAggregate) {
  Fill();
  // alice comes first in the table's order and has a NULL Age.
  EXPECT_EQ(Rows("Select MIN(Age), MAX(Age), SUM(Age), COUNT(Age), COUNT(*) from Users"),
            "25,41,106,3,4");
  EXPECT_EQ(Rows("Select count(UserName) from Users"), "4");
  EXPECT_EQ(Rows("Select AVG(Score) from Users"), "3.3333333333333335");
  EXPECT_EQ(Rows("Select MIN(Born), MAX(Born), AVG(Born) from Users"),
            "2000-01-01,2000-01-03,2000-01-02");
  EXPECT_EQ(Rows("Select SUM(Age) from Users where Age is null"), "<null>");
  EXPECT_EQ(Rows("Select COUNT(Age) from Users where UserName = 'alice'"), "0");
}

TEST_F(SelectAggregateTest, ResultTypesAndNames) {
  Fill();
  TResultText result =
      Run("Select SUM(Score), SUM(Age), AVG(Age), COUNT(*), MAX(Age) + 1 from "
          "Users");
  ASSERT_EQ(result.Columns.size(), 5u);
  EXPECT_EQ(result.Columns[0], "Sum Of Score");
  EXPECT_EQ(result.Columns[2], "Average Of Age");
  EXPECT_EQ(result.Columns[3], "Count Of Expr");
  EXPECT_EQ(result.Joined(), "10,106,35.333333333333336,4,42");
  Statement->Prepare("Select SUM(Score), SUM(Age), AVG(Age) from Users");
  Execution->Prepare(*Statement);
  TDataCursor* cursor = Execution->Execute(*Statement);
  EXPECT_EQ(cursor->Field(1)->DataType, dtInteger);
  EXPECT_EQ(cursor->Field(2)->DataType, dtLargeInt);
  EXPECT_EQ(cursor->Field(3)->DataType, dtFloat);
}

TEST_F(SelectAggregateTest, GroupByAndHaving) {
  Fill();
  EXPECT_EQ(Rows("Select GroupName, COUNT(*), MAX(Age) from Users group by GroupName"),
            "<null>,1,40;admins,1,<null>;staff,2,41");
  EXPECT_EQ(Rows("Select GroupName, COUNT(*) from Users group by GroupName having COUNT(*) > 1"),
            "staff,2");
  EXPECT_EQ(Rows("Select GroupName, SUM(Age) from Users group by 1 having GroupName = 'staff' "
                 "or SUM(Age) > 39"),
            "<null>,40;staff,66");
  EXPECT_EQ(Rows("Select GroupName, COUNT(*) from Users group by GroupName order by 2 desc, 1 "
                 "TOP 1"),
            "staff,2");
  EXPECT_EQ(Error("Select GroupName, COUNT(*) from Users group by GroupName having MIN(Age) > "
                  "1"),
            SqlError("Expression in HAVING clause not found in source columns"));
}

TEST_F(SelectAggregateTest, RunningSumFollowsGroupOrder) {
  Fill();
  EXPECT_EQ(Rows("Select UserName, RUNSUM(Score) from Users group by UserName"),
            "alice,3;bob,3;carol,8;dave,10");
  EXPECT_EQ(Rows("Select RUNSUM(Score) from Users"), "10");
}

TEST_F(SelectAggregateTest, AggregatesOverJoins) {
  Fill();
  Run("Create Table Groups(GroupName VARCHAR(32), Rank Integer);"
      "Insert into Groups values ('staff', 1);"
      "Insert into Groups values ('admins', 2);");
  EXPECT_EQ(Rows("Select g.Rank, COUNT(*), SUM(u.Age) from Users u, Groups g where u.GroupName "
                 "= g.GroupName group by g.Rank"),
            "1,2,66;2,1,<null>");
  EXPECT_EQ(Rows("Select COUNT(*) from Users u, Groups g where u.GroupName = g.GroupName"), "3");
}

}  // namespace
}  // namespace zorvic::engine::test

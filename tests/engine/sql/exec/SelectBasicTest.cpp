// SELECT over one table: WHERE, ORDER BY, TOP, result names, live results and the messages.
#include <chrono>
#include <optional>
#include <thread>

#include "engine/sql/exec/ExecTestSupport.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine::test {
namespace {

class SelectBasicTest : public TExecTest {
 protected:
  void SetUp() override {
    Run("Create Table Users(UserName VARCHAR(32), GroupName VARCHAR(32), Age Integer, "
        "AccountDisabled Boolean, LastLogin DATE, Primary Key (UserName));"
        "Create Index ByAge on Users(Age);"
        "Insert into Users values ('carol', 'staff', 41, FALSE, '2005-01-31');"
        "Insert into Users values ('alice', 'admins', 30, TRUE, NULL);"
        "Insert into Users values ('bob', 'staff', 25, NULL, '2004-12-24');"
        "Insert into Users values ('dave', NULL, 41, FALSE, NULL);");
  }
};

TEST_F(SelectBasicTest, WhereAndOrderBy) {
  EXPECT_EQ(Rows("Select UserName from Users where Age > 26 order by UserName"),
            "alice;carol;dave");
  EXPECT_EQ(Rows("Select UserName, Age from Users order by Age desc, UserName"),
            "carol,41;dave,41;alice,30;bob,25");
  // A Boolean column alone is "= TRUE": NULL does not match.
  EXPECT_EQ(Rows("Select UserName from Users where AccountDisabled"), "alice");
  EXPECT_EQ(Rows("Select UserName from Users where not AccountDisabled order by 1"),
            "bob;carol;dave");
  EXPECT_EQ(Rows("Select UserName from Users where LastLogin = '2005-01-31'"), "carol");
  EXPECT_EQ(Rows("Select UserName from Users where GroupName is null"), "dave");
  // A quoted name that is a column compares two columns.
  EXPECT_EQ(Rows("Select UserName from Users where GroupName = 'UserName'"), "");
  EXPECT_EQ(Rows("Select UserName from Users where UserName in ('bob', 'zed', 'dave') order by "
                 "UserName desc"),
            "dave;bob");
  EXPECT_EQ(Rows("Select UserName from Users where UserName like 'c%' or Age between 20 and 26 "
                 "order by UserName"),
            "bob;carol");
}

TEST_F(SelectBasicTest, ResultNamesAndTypes) {
  TResultText result = Run("Select UserName, UserName, Age + 1, Age as Years from Users");
  ASSERT_EQ(result.Columns.size(), 4u);
  EXPECT_EQ(result.Columns[0], "UserName");
  EXPECT_EQ(result.Columns[1], "UserName_1");
  EXPECT_EQ(result.Columns[2], "Expression");
  EXPECT_EQ(result.Columns[3], "Years");
  EXPECT_EQ(result.RowsAffected, 4);
  EXPECT_FALSE(result.Live);
  EXPECT_EQ(Rows("Select Age * 2, UPPER(UserName) from Users where UserName = 'bob'"), "50,BOB");
  // Any alias is a result name; one that cannot name a table column is stored with a "_".
  result = Run("Select UserName as \"2nd name\", Age as \"#\" from Users where Age = 25");
  EXPECT_EQ(result.Joined(), "bob,25");
  ASSERT_EQ(result.Columns.size(), 2u);
  EXPECT_EQ(result.Columns[0], "_2nd name");
  EXPECT_EQ(result.Columns[1], "_#");
}

TEST_F(SelectBasicTest, TopCutsTheFinalResult) {
  EXPECT_EQ(Rows("Select UserName from Users order by UserName TOP 1"), "alice");
  // Without ORDER BY the first qualifying row in the table's order (the primary index).
  EXPECT_EQ(Rows("Select UserName from Users TOP 2"), "alice;bob");
  EXPECT_EQ(Rows("Select UserName from Users TOP 0"), "");
  EXPECT_EQ(Rows("Select UserName, Age from Users order by Age desc, UserName desc TOP 2"),
            "dave,41;carol,41");
  // TOP after DISTINCT: two distinct values, not the first two rows.
  EXPECT_EQ(Rows("Select DISTINCT Age from Users order by Age desc TOP 2"), "41;30");
}

TEST_F(SelectBasicTest, MaxRowCountLimitsTheSortedResult) {
  Statement->MaxRowCount = 2;
  EXPECT_EQ(Rows("Select UserName from Users order by UserName desc"), "dave;carol");
  EXPECT_EQ(Rows("Select DISTINCT GroupName from Users order by GroupName desc"), "staff;admins");
}

TEST_F(SelectBasicTest, Distinct) {
  EXPECT_EQ(Rows("Select DISTINCT GroupName from Users order by GroupName"), "<null>;admins;staff");
  EXPECT_EQ(Rows("Select DISTINCT Age, GroupName from Users order by 1, 2"),
            "25,staff;30,admins;41,<null>;41,staff");
  // DISTINCT with GROUP BY behaves as GROUP BY alone.
  EXPECT_EQ(Rows("Select DISTINCT Age, COUNT(*) from Users group by Age"), "25,1;30,1;41,2");
}

TEST_F(SelectBasicTest, Messages) {
  EXPECT_EQ(Error("Select UserName from Users order by GroupName"),
            SqlError("Invalid column name 'GroupName' or table correlation name '' specified "
                     "in ORDER BY clause"));
  EXPECT_EQ(Error("Select COUNT(*), GroupName from Users"),
            SqlError("Invalid use of aggregate function(s), the necessary GROUP BY clause is "
                     "missing"));
  EXPECT_EQ(Error("Select UserName from Users where x.UserName = 'a'"),
            SqlError("Table correlation name 'x' referenced in WHERE clause is not defined in "
                     "the FROM clause"));
  EXPECT_EQ(Error("Select Nothing from Users"),
            SqlError("Invalid column name 'Nothing' or table correlation name '' specified in "
                     "source columns"));
  EXPECT_EQ(Error("Select UserName from Users having Age > 1"),
            SqlError("A GROUP BY clause must exist in order to use the HAVING clause"));
  EXPECT_NE(Error("Select * from Missing").find("does not exist"), std::string::npos);
}

TEST_F(SelectBasicTest, LiveResultIsTheTablesCursor) {
  Statement->RequestLive = true;
  TResultText result = Run("Select * from Users where Age = 41");
  EXPECT_TRUE(result.Live);
  EXPECT_EQ(result.RowsAffected, 2);
  EXPECT_EQ(result.Rows.size(), 2u);
  // ORDER BY served by an index stays live and comes in index order.
  result = Run("Select * from Users order by Age");
  EXPECT_TRUE(result.Live);
  ASSERT_EQ(result.Rows.size(), 4u);
  EXPECT_EQ(result.Rows.front()[0], "bob");
  // An ORDER BY no index serves, or any other clause, gives a canned result.
  EXPECT_FALSE(Run("Select * from Users order by GroupName").Live);
  EXPECT_FALSE(Run("Select * from Users TOP 1").Live);
  EXPECT_FALSE(Run("Select UserName from Users").Live);

  // An edit through the live cursor changes the table.
  Statement->Prepare("Select * from Users where UserName = 'bob'");
  Execution->Prepare(*Statement);
  TDataCursor* cursor = Execution->Execute(*Statement);
  ASSERT_NE(cursor, nullptr);
  ASSERT_TRUE(Statement->ResultIsLive);
  std::vector<std::uint8_t> record(cursor->RecordSize());
  ASSERT_EQ(cursor->GetCurrent(record.data()), VELDOR_NONE);
  ASSERT_EQ(cursor->BeginEdit(), VELDOR_NONE);
  cursor->SetString(record.data(), 2, "guests");
  cursor->ModifyRecord(record.data());
  Execution->Release();
  Statement->RequestLive = false;
  EXPECT_EQ(Rows("Select GroupName from Users where UserName = 'bob'"), "guests");
}

TEST_F(SelectBasicTest, ExecutingAgainStartsOver) {
  Statement->Prepare("Select UserName from Users where Age < 40 order by UserName");
  Execution->Prepare(*Statement);
  EXPECT_EQ(ReadCursor(*Execution->Execute(*Statement)).Joined(), "alice;bob");
  EXPECT_EQ(ReadCursor(*Execution->Execute(*Statement)).Joined(), "alice;bob");
  EXPECT_EQ(Statement->RowsAffected, 2);
}

TEST_F(SelectBasicTest, PreparingTheSameStatementAgain) {
  Statement->Prepare(
      "Select u.UserName, COUNT(*) from Users u where u.GroupName = 'staff' or "
      "AccountDisabled group by u.UserName having COUNT(*) > 0");
  for (int round = 0; round < 2; ++round) {
    Execution->Prepare(*Statement);
    EXPECT_EQ(ReadCursor(*Execution->Execute(*Statement)).Joined(), "alice,1;bob,1;carol,1");
  }
}

TEST_F(SelectBasicTest, ParametersTakeTheirValuesBeforeExecution) {
  Statement->Prepare("Select UserName from Users where Age = ?");
  Execution->Prepare(*Statement);
  ASSERT_EQ(Statement->ParameterList.size(), 1u);
  Statement->ParameterList[0]->SetIntegerConstant(41);
  EXPECT_EQ(ReadCursor(*Execution->Execute(*Statement)).Joined(), "carol;dave");
  Statement->ParameterList[0]->SetIntegerConstant(25);
  EXPECT_EQ(ReadCursor(*Execution->Execute(*Statement)).Joined(), "bob");
}

TEST_F(SelectBasicTest, ProgressAndAbort) {
  std::vector<int> reported;
  Statement->Progress = [&](int percent, bool&) { reported.push_back(percent); };
  Run("Select UserName from Users");
  ASSERT_FALSE(reported.empty());
  EXPECT_EQ(reported.back(), 100);
  Statement->Progress = [&](int, bool& abort) { abort = true; };
  // Aborting stops row production: fewer rows than the table holds.
  EXPECT_LT(Run("Select UserName from Users").Rows.size(), 4u);
}

TEST_F(SelectBasicTest, LastAutoIncReadsTheNamedTable) {
  Run("Create Table Log(EntryNo AUTOINC, EntryText VARCHAR(250), Primary Key (EntryNo));"
      "Insert into Log (EntryText) values ('one');"
      "Insert into Log (EntryText) values ('two')");
  EXPECT_EQ(Rows("Select LASTAUTOINC('Log') from Users where UserName = 'bob'"), "2");
  Run("Insert into Log (EntryText) values ('three')");
  EXPECT_EQ(Rows("Select IDENT_CURRENT('Log') from Users where UserName = 'bob'"), "3");
}

TEST_F(SelectBasicTest, OrderByNoCase) {
  Run("Insert into Users (UserName, Age) values ('Bea', 1)");
  EXPECT_EQ(Rows("Select UserName from Users where Age < 31 order by UserName"), "Bea;alice;bob");
  EXPECT_EQ(Rows("Select UserName from Users where Age < 31 order by UserName NOCASE"),
            "alice;Bea;bob");
  EXPECT_EQ(Rows("Select UserName from Users where Age < 31 order by UserName desc NOCASE"),
            "bob;Bea;alice");
}

TEST_F(SelectBasicTest, ClockIsReadOncePerExecution) {
  std::string script = "Create Table Many(N Integer);";
  for (int i = 0; i < 300; ++i)
    script += "Insert into Many values (" + std::to_string(i) + ");";
  Run(script);
  // Every row of one execution sees the same moment.
  EXPECT_EQ(Run("Select DISTINCT CURRENT_TIMESTAMP from Many").Rows.size(), 1u);
  // A later execution of the same prepared statement sees a later moment, not the parse time.
  Statement->Prepare("Select CURRENT_TIMESTAMP from Users where UserName = 'bob'");
  Execution->Prepare(*Statement);
  const std::string first = ReadCursor(*Execution->Execute(*Statement)).Joined();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::string second = ReadCursor(*Execution->Execute(*Statement)).Joined();
  // As moments, not as texts: the milliseconds are written without leading zeros (".3" is
  // 3 ms, ".24" is 24 ms).
  const std::optional<double> a = ParseTimeStamp(first), b = ParseTimeStamp(second);
  ASSERT_TRUE(a && b) << first << " / " << second;
  EXPECT_LT(*a, *b) << first << " / " << second;
}

TEST_F(SelectBasicTest, ConstantConditions) {
  EXPECT_EQ(Rows("Select UserName from Users where 1 = 0"), "");
  EXPECT_EQ(Rows("Select COUNT(*) from Users where 1 = 1"), "4");
  EXPECT_EQ(Rows("Select 'x' || 'y' from Users where UserName = 'bob'"), "xy");
}

}  // namespace
}  // namespace zorvic::engine::test

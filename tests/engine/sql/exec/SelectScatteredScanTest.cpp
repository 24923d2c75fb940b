// SELECTs over a table loaded in random key order, so that walking the primary index visits
// the data file's records out of order: counts, GROUP BY and ranges are exact, and a change that
// another session committed between two statements reaches the next one.
#include <algorithm>
#include <cstdio>
#include <random>

#include "engine/sql/exec/ExecTestSupport.h"

namespace zorvic::engine::test {
namespace {

constexpr int kRows = 2500;

class SelectScatteredScanTest : public TExecTest {
 protected:
  void SetUp() override {
    Run("CREATE TABLE Users (UserName VARCHAR(32), GroupName VARCHAR(32), Num INTEGER, "
        "PRIMARY KEY (UserName))");
    std::vector<int> order(kRows);
    for (int i = 0; i < kRows; ++i)
      order[static_cast<std::size_t>(i)] = i;
    std::mt19937 rng(3);
    std::shuffle(order.begin(), order.end(), rng);
    Run("START TRANSACTION");
    for (int i : order)
      Run(Insert(i));
    Run("COMMIT");
  }
  static std::string Name(int i) {
    char text[16];
    std::snprintf(text, sizeof text, "u%05d", i);
    return text;
  }
  static std::string Insert(int i) {
    return "INSERT INTO Users (UserName, GroupName, Num) VALUES ('" + Name(i) + "', 'g" +
           std::to_string(i % 7) + "', " + std::to_string(i) + ")";
  }
};

TEST_F(SelectScatteredScanTest, CountsGroupsAndRangesAreExact) {
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM Users"), std::to_string(kRows));
  // 2500 = 7 * 357 + 1: group g0 has one row more.
  EXPECT_EQ(Rows("SELECT GroupName, COUNT(*) FROM Users GROUP BY GroupName"),
            "g0,358;g1,357;g2,357;g3,357;g4,357;g5,357;g6,357");
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM Users WHERE GroupName = 'g3'"), "357");
  EXPECT_EQ(Rows("SELECT SUM(Num) FROM Users"), std::to_string(kRows * (kRows - 1) / 2));
  // A key range ending inside a leaf, in key order.
  const TResultText range =
      Run("SELECT UserName FROM Users WHERE UserName >= 'u01000' AND UserName < 'u01100' "
          "ORDER BY UserName");
  ASSERT_EQ(range.Rows.size(), 100u);
  EXPECT_EQ(range.Rows.front()[0], "u01000");
  EXPECT_EQ(range.Rows.back()[0], "u01099");
  EXPECT_TRUE(std::is_sorted(range.Rows.begin(), range.Rows.end()));
}

TEST_F(SelectScatteredScanTest, TheNextStatementSeesAnotherSessionsCommittedChanges) {
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM Users WHERE GroupName = 'g3'"), "357");
  {
    TDataSession other;
    TDataDirectory& database = other.OpenDatabase(Dir.Path());
    {
      TSqlExecution execution(database);
      TQueryStatement statement(Dir.Path() + "/");
      for (const std::string& text :
           {std::string("UPDATE Users SET GroupName = 'g3' WHERE Num < 70"),
            std::string("DELETE FROM Users WHERE UserName = 'u02499'"), Insert(kRows + 1)}) {
        statement.Prepare(text);
        execution.Prepare(statement);
        execution.Execute(statement);
        execution.Release();
      }
    }
    other.CloseDatabase(database);
  }
  // Nums 0..69 hold 10 rows of g3 already; 60 more join; u02499 (g0) goes; u02501 is g2.
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM Users WHERE GroupName = 'g3'"), "417");
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM Users"), std::to_string(kRows));
  EXPECT_EQ(Rows("SELECT UserName FROM Users WHERE UserName > 'u02497'"), "u02498;u02501");
}

}  // namespace
}  // namespace zorvic::engine::test

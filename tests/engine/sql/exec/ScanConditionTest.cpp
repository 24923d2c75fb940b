// A WHERE on an unindexed column tests every record, read in runs straight from the data file
// and compared on the record's bytes. What it must still see: the statement's own
// uncommitted inserts, changes and deletes of a transaction (cached, some past the file's
// end), another session's commits between two scans, runs longer than one read, deleted
// slots, NULLs, and a comparison with the constant on either side.
#include "engine/sql/exec/ExecTestSupport.h"

namespace zorvic::engine::test {
namespace {

class ScanConditionTest : public TExecTest {
 protected:
  // Rows 1..n: Grp 'g' + n % 7 (NULL when n % 11 == 0), Score n % 5.
  void Fill(int n) {
    std::string script =
        "Create Table T(N Integer, Grp VarChar(8), Score Integer, Pad VarChar(200), "
        "Primary Key (N));Start Transaction;";
    for (int i = 1; i <= n; ++i) {
      const std::string grp = i % 11 == 0 ? "NULL" : "'g" + std::to_string(i % 7) + "'";
      script += "Insert into T values (" + std::to_string(i) + ", " + grp + ", " +
                std::to_string(i % 5) + ", 'padding');";
    }
    Run(script + "Commit");
  }
  static bool IsNull(int i) { return i % 11 == 0; }
  static int Group(int i) { return i % 7; }
  static int Score(int i) { return i % 5; }
  // How many of rows 1..n pass.
  template <class F>
  static std::string Expected(int n, F&& pass) {
    int count = 0;
    for (int i = 1; i <= n; ++i)
      count += pass(i) ? 1 : 0;
    return std::to_string(count);
  }
  static std::string InGroup(int n, int group) {
    return Expected(n, [&](int i) { return !IsNull(i) && Group(i) == group; });
  }
  std::string Count(const std::string& where) {
    return Rows("Select count(*) from T where " + where);
  }
};

TEST_F(ScanConditionTest, CountsEveryRunOfALargeTableWithNullsAndDeletedSlots) {
  Fill(3000);  // records of ~250 bytes: many runs
  const int n = 3000;
  EXPECT_EQ(Count("Grp = 'g3'"), InGroup(n, 3));
  EXPECT_EQ(Count("'g3' = Grp"), InGroup(n, 3));
  // NULL is unequal to every text and orders as the empty one.
  EXPECT_EQ(Count("Grp <> 'g3'"), Expected(n, [](int i) { return IsNull(i) || Group(i) != 3; }));
  EXPECT_EQ(Count("Grp < 'g1'"), Expected(n, [](int i) { return IsNull(i) || Group(i) == 0; }));
  EXPECT_EQ(Count("'g5' <= Grp"), Expected(n, [](int i) { return !IsNull(i) && Group(i) >= 5; }));
  EXPECT_EQ(Count("Grp is null"), Expected(n, IsNull));
  EXPECT_EQ(Count("Score = 4 and Grp = 'g3'"),
            Expected(n, [](int i) { return Score(i) == 4 && !IsNull(i) && Group(i) == 3; }));
  Run("Delete from T where Score = 4");
  EXPECT_EQ(Count("Grp = 'g3'"),
            Expected(n, [](int i) { return Score(i) != 4 && !IsNull(i) && Group(i) == 3; }));
  EXPECT_EQ(Count("Score = 4"), "0");
}

TEST_F(ScanConditionTest, ATransactionSeesItsOwnChangesAndOthersOnlyItsCommit) {
  Fill(400);
  const int before = std::stoi(InGroup(400, 2));
  Run("Start Transaction;"
      "Insert into T values (1001, 'g2', 0, 'new');"  // appended, only in the cache
      "Update T set Grp = 'g2' where N = 1;"          // was g1
      "Delete from T where N = 2");                   // was g2
  EXPECT_EQ(Count("Grp = 'g2'"), std::to_string(before + 1));
  EXPECT_EQ(Count("N = 1001 and Grp = 'g2'"), "1");
  Execution->Release();
  EXPECT_EQ(RunInOtherSession(Dir.Path(), "Select count(*) from T where Grp = 'g2'"),
            std::to_string(before));
  Run("Rollback");
  EXPECT_EQ(Count("Grp = 'g2'"), std::to_string(before));

  // Another session's commit between two scans is in the second.
  Execution->Release();
  EXPECT_EQ(RunInOtherSession(Dir.Path(),
                              "Update T set Grp = 'g2' where Score = 0 and Grp <> 'g2';"
                              "Select count(*) from T where Score = 0 and Grp = 'g2'"),
            "80");
  EXPECT_EQ(Count("Score = 0 and Grp = 'g2'"), "80");
  EXPECT_EQ(Count("Grp = 'g2'"),
            Expected(400, [](int i) { return Score(i) == 0 || (!IsNull(i) && Group(i) == 2); }));
}

// Grouped SELECTs read the table in file order, which here is not key order: the groups still
// come out in the order of their keys (NULL first), texts and numbers alike, and the table's
// next plain SELECT is in primary-key order again.
TEST_F(ScanConditionTest, GroupsComeOutInKeyOrderWhateverOrderTheFileHolds) {
  Run("Create Table T(N Integer, Grp VarChar(8), Score Integer, Primary Key (N))");
  std::string script = "Start Transaction;";
  for (int i = 0; i < 60; ++i) {
    const int n = (i * 37) % 60 + 1;  // every number once, out of order
    const std::string grp = n % 11 == 0 ? "NULL" : "'g" + std::to_string(n % 4) + "'";
    script += "Insert into T values (" + std::to_string(n) + ", " + grp + ", " +
              std::to_string(n % 3) + ");";
  }
  Run(script + "Commit");
  EXPECT_EQ(Rows("Select Grp, count(*), min(N) from T group by Grp"),
            "<null>,5,11;g0,14,4;g1,14,1;g2,14,2;g3,13,3");
  EXPECT_EQ(Rows("Select Score, count(*) from T where Grp = 'g1' group by Score"), "0,4;1,5;2,5");
  EXPECT_EQ(Rows("Select Score, Grp, count(*) from T where N <= 8 group by Score, Grp"),
            "0,g2,1;0,g3,1;1,g0,1;1,g1,1;1,g3,1;2,g0,1;2,g1,1;2,g2,1");
  EXPECT_EQ(Rows("Select count(*), max(N) from T"), "60,60");
  // A column that is neither a key nor an aggregate shows the group's first row in key order,
  // as it always did: such a block still reads in index order.
  EXPECT_EQ(Rows("Select Grp, N from T where Grp = 'g1' group by Grp"), "g1,1");
  Run("Insert into T values (0, 'g1', 0)");  // the lowest key, in the file's last slot
  EXPECT_EQ(Rows("Select Grp, N, count(*) from T where Grp = 'g1' group by Grp"), "g1,0,15");
  EXPECT_EQ(Rows("Select N from T where N < 6"), "0;1;2;3;4;5");
}

}  // namespace
}  // namespace zorvic::engine::test

// The index pages and records a statement reads: a key lookup on a large table is answered
// through its primary index, a condition no index serves reads every record.
#include "engine/sql/exec/ExecTestSupport.h"

#include <cstdio>

#include "engine/storage/locks/ReadCounters.h"

namespace zorvic::engine::test {
namespace {

class ReadCountsTest : public TExecTest {
 protected:
  // A table shaped like the server's Users (a VARCHAR(32) primary key on UserName and the
  // texts that follow it) with `count` users "u000000", "u000001", ..., written through the
  // storage API on an exclusive cursor, which writes the files once at its close.
  void FillUsers(int count) {
    Run("Create Table Users(UserName VARCHAR(32), Password VARCHAR(32) NOT NULL, "
        "GroupName VARCHAR(32), ProfileName VARCHAR(32), AccountDisabled Boolean, "
        "Primary Key (UserName))");
    TDataCursor cursor(*Database);
    cursor.Open("Users", false, true);
    std::vector<std::uint8_t> record(cursor.RecordSize());
    char name[16];
    for (int i = 0; i < count; ++i) {
      cursor.InitRecord(record.data());
      std::snprintf(name, sizeof name, "u%06d", i);
      cursor.SetString(record.data(), 1, name);
      cursor.SetString(record.data(), 2, "secret");
      cursor.SetString(record.data(), 3, i % 10 == 0 ? "admins" : "staff");
      cursor.InsertRecord(record.data());
    }
    cursor.Close();
  }
};

TEST_F(ReadCountsTest, KeyLookupOnAHundredThousandUsersReadsAHandful) {
  constexpr int kUsers = 100000;
  FillUsers(kUsers);

  TResultText found = Run("Select * from Users where UserName='u050000'");
  ASSERT_EQ(found.Rows.size(), 1u);
  EXPECT_EQ(found.Rows[0][0], "u050000");
  EXPECT_EQ(found.Rows[0][2], "admins");
  EXPECT_GT(Statement->IndexPagesRead, 0u);
  EXPECT_LE(Statement->IndexPagesRead, 10u);
  EXPECT_GE(Statement->RecordsRead, 1u);
  EXPECT_LE(Statement->RecordsRead, 2u);

  // A key that is not there reads no record at all.
  EXPECT_EQ(Run("Select * from Users where UserName='u050000x'").Rows.size(), 0u);
  EXPECT_LE(Statement->IndexPagesRead, 10u);
  EXPECT_EQ(Statement->RecordsRead, 0u);

  // No index serves Password: every record is read.
  EXPECT_EQ(Rows("Select COUNT(*) from Users where Password = 'other'"), "0");
  EXPECT_GE(Statement->RecordsRead, static_cast<std::uint64_t>(kUsers));

  // The statement's reads are part of what the calling thread read around it.
  const TReadCounters before = ReadCountersNow();
  Run("Select UserName from Users where UserName='u000001'");
  const TReadCounters after = ReadCountersNow();
  EXPECT_GE(after.IndexPages - before.IndexPages, Statement->IndexPagesRead);
  EXPECT_GE(after.Records - before.Records, Statement->RecordsRead);
  EXPECT_GE(Statement->RecordsRead, 1u);
}

TEST_F(ReadCountsTest, FailedStatementStillReportsItsReads) {
  Run("Create Table T(N Integer);Create Unique Index ByN on T(N);"
      "Insert into T values (1);Insert into T values (2);Insert into T values (3)");
  EXPECT_NE(Error("Update T set N = 3 where N < 3"), "");
  EXPECT_GE(Statement->RecordsRead, 2u);
  EXPECT_GT(Statement->IndexPagesRead, 0u);
}

}  // namespace
}  // namespace zorvic::engine::test

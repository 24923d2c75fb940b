// Transactions of a database within one session: nothing reaches the files before the commit,
// a rollback restores the headers, tables opened during a transaction join it, and the end
// of a write reaches the files of a shared table at once.
#include <gtest/gtest.h>

#include "engine/storage/CursorTestSupport.h"

namespace zorvic::engine::testing {
namespace {

using TTableTransactionTest = TDatabaseFixture;

TEST_F(TTableTransactionTest, RollbackRestoresAndCommitWrites) {
  TDataCursor& c = Create("T", CounterTable());
  TRec r(c);
  r.Init().Int("Value", 1);
  c.InsertRecord(r.Bytes());
  const std::string dataBefore = ReadWholeFile(File("T.DAT"));
  const std::string indexBefore = ReadWholeFile(File("T.IDX"));

  Database->StartTransaction();
  EXPECT_TRUE(c.Table().InTransaction());
  for (int i = 2; i <= 50; ++i) {
    r.Init().Int("Value", i);
    c.InsertRecord(r.Bytes());
  }
  EXPECT_EQ(c.RecordCount(), 50);
  EXPECT_EQ(ReadWholeFile(File("T.DAT")), dataBefore);  // nothing written yet
  EXPECT_EQ(ReadWholeFile(File("T.IDX")), indexBefore);
  Database->Rollback();
  EXPECT_FALSE(c.Table().InTransaction());
  EXPECT_EQ(c.RecordCount(), 1);
  EXPECT_EQ(c.Table().Data().Header().NextRecordNo, 2);
  r.Init().Int("Value", 2);
  c.InsertRecord(r.Bytes());
  EXPECT_EQ(r.GetInt("ID"), 2);  // the rolled-back RowIds are handed out again

  Database->StartTransaction();
  r.Init().Int("Value", 3);
  c.InsertRecord(r.Bytes());
  // A table opened during the transaction joins it.
  TDataCursor& other = Create("U", UsersTable());
  EXPECT_TRUE(other.Table().InTransaction());
  TRec u(other);
  u.Init().Str("UserName", "ann");
  other.InsertRecord(u.Bytes());
  Database->Commit(true, true);
  EXPECT_FALSE(Database->InTransaction());
  EXPECT_NE(ReadWholeFile(File("T.DAT")), dataBefore);
  EXPECT_TRUE(CheckTable(c.Table()).empty());

  // A fresh session sees everything that was committed.
  TDataSession fresh;
  TDataDirectory& db = fresh.OpenDatabase(Dir.Path());
  {
    TDataCursor check(db);
    check.Open("T");
    EXPECT_EQ(check.RecordCount(), 3);
    check.Close();
    check.Open("U");
    EXPECT_EQ(check.RecordCount(), 1);
  }
  fresh.CloseDatabase(db);
}

TEST_F(TTableTransactionTest, IntermediateCommitKeepsTheTransaction) {
  TDataCursor& c = Create("T", CounterTable());
  TRec r(c);
  Database->StartTransaction();
  r.Init().Int("Value", 1);
  c.InsertRecord(r.Bytes());
  Database->Commit(false);
  EXPECT_TRUE(Database->InTransaction());
  r.Init().Int("Value", 2);
  c.InsertRecord(r.Bytes());
  Database->Rollback();  // undoes only what came after the intermediate commit
  EXPECT_EQ(c.RecordCount(), 1);
}

TEST_F(TTableTransactionTest, ExclusiveTablesWriteLazily) {
  TDataCursor& c = NewCursor();
  c.CreateTable("X", CounterTable(), false);
  c.Open("X", false, true);
  const std::string before = ReadWholeFile(File("X.DAT"));
  TRec r(c);
  r.Init().Int("Value", 1);
  c.InsertRecord(r.Bytes());
  EXPECT_EQ(ReadWholeFile(File("X.DAT")), before);  // kept in the caches
  c.Close();
  EXPECT_NE(ReadWholeFile(File("X.DAT")), before);  // written at close
  c.Open("X");
  EXPECT_EQ(c.RecordCount(), 1);
  EXPECT_TRUE(CheckTable(c.Table()).empty());
}

}  // namespace
}  // namespace zorvic::engine::testing

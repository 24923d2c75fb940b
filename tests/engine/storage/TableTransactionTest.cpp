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

// A key already present is refused before anything changes, so the transaction's earlier
// changes stay good: in the primary index (whose insert is its own uniqueness check) and in a
// unique secondary index, on appended records and on a reused slot.
TEST_F(TTableTransactionTest, ADuplicateKeyLosesNothingOfTheTransaction) {
  TTableCreation def = UsersTable();
  def.Secondary[0].Unique = true;
  TDataCursor& c = Create("U", def);
  TRec r(c);
  auto insert = [&](const char* name, const char* full) {
    r.Init().Str("UserName", name).Str("FullName", full);
    c.InsertRecord(r.Bytes());
  };
  insert("gone", "Gone Away");
  TRec key(c);
  key.Init().Str("UserName", "gone");
  ASSERT_TRUE(c.FindKey(key.Bytes(), 1));
  c.DeleteRecord();  // its slot is reused by the next insert

  Database->StartTransaction();
  insert("ann", "Ann Smith");
  EXPECT_ENGINE_ERROR(insert("ann", "Another Ann"), VELDOR_KEYVIOL);
  EXPECT_ENGINE_ERROR(insert("carl", "ANN SMITH"), VELDOR_KEYVIOL);
  EXPECT_FALSE(c.Table().ChangeLost());
  insert("bob", "Bob Jones");
  EXPECT_ENGINE_ERROR(insert("bob", "Bob Again"), VELDOR_KEYVIOL);
  EXPECT_FALSE(c.Table().ChangeLost());
  Database->Commit(true, true);
  EXPECT_EQ(c.RecordCount(), 2);
  EXPECT_TRUE(CheckTable(c.Table()).empty());

  TDataSession fresh;
  TDataDirectory& db = fresh.OpenDatabase(Dir.Path());
  {
    TDataCursor check(db);
    check.Open("U");
    EXPECT_EQ(check.RecordCount(), 2);
    TRec got(check);
    key.Init().Str("UserName", "ann");
    ASSERT_TRUE(check.FindKey(key.Bytes(), 1));
    check.GetCurrent(got.Bytes());
    EXPECT_EQ(got.GetStr("FullName"), "Ann Smith");
    EXPECT_TRUE(CheckTable(check.Table()).empty());
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

// Deleting an index moves the later indexes (and their cached pages) down one slot; pages
// they change afterwards still reach the file when the table is written.
TEST_F(TTableTransactionTest, PagesOfIndexesMovedByADeletionAreWritten) {
  TTableCreation def = CounterTable();
  def.Secondary.push_back(Idx("ByLabel", {3}, false, icNone));
  TDataCursor& c = NewCursor();
  c.CreateTable("X", def, false);
  c.Open("X", false, true);
  TRec r(c);
  auto insert = [&](int from, int to) {
    for (int i = from; i <= to; ++i) {
      r.Init().Int("Value", i).Str("Label", "label " + std::to_string(1000 + i));
      c.InsertRecord(r.Bytes());
    }
  };
  insert(1, 300);
  c.DeleteIndex("ByValue");
  insert(301, 600);
  c.Close();
  c.Open("X");
  EXPECT_EQ(c.RecordCount(), 600);
  EXPECT_TRUE(CheckTable(c.Table()).empty());
  c.SetIndexByName("ByLabel");
  TRec key(c);
  key.Init().Str("Label", "label 1555");
  ASSERT_TRUE(c.FindKey(key.Bytes(), 1));
  c.GetCurrent(r.Bytes());
  EXPECT_EQ(r.GetInt("Value"), 555);
}

}  // namespace
}  // namespace zorvic::engine::testing

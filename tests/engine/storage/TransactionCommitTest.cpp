// Transactions seen from a second session: uncommitted rows stay invisible, a rollback leaves
// the files exactly as they were, intermediate commits, commits that cannot lock or cannot
// write, COMMIT FLUSH, and tables that cannot join.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "engine/storage/LockTestSupport.h"
#include "engine/storage/files/FaultFileSystem.h"

namespace zorvic::engine::testing {
namespace {

// Every physical file goes through a fault file system; session B opens the same folder.
class TTransactionCommitTest : public TDatabaseFixture {
 protected:
  TTransactionCommitTest() { InstallFileSystem(&Faults); }
  ~TTransactionCommitTest() override { InstallFileSystem(nullptr); }
  void SetUp() override {
    TDatabaseFixture::SetUp();
    SessionB = std::make_unique<TDataSession>();
    SessionB->SetStrictChangeDetection(true);  // B looks at the files at every operation
    DatabaseB = &SessionB->OpenDatabase(Dir.Path());
  }
  void TearDown() override {
    CursorsB.clear();
    SessionB->CloseDatabase(*DatabaseB);
    SessionB.reset();
    TDatabaseFixture::TearDown();
  }
  TDataCursor& OpenB(const std::string& name) {
    CursorsB.push_back(std::make_unique<TDataCursor>(*DatabaseB));
    CursorsB.back()->Open(name);
    return *CursorsB.back();
  }
  static void InsertValues(TDataCursor& c, int first, int count) {
    TRec r(c);
    for (int v = first; v < first + count; ++v) {
      r.Init().Int("Value", v);
      c.InsertRecord(r.Bytes());
    }
  }
  std::string Files(const std::string& name) {
    return ReadWholeFile(File(name + ".DAT")) + "|" + ReadWholeFile(File(name + ".IDX"));
  }

  TFaultFileSystem Faults;
  std::unique_ptr<TDataSession> SessionB;
  TDataDirectory* DatabaseB = nullptr;
  std::vector<std::unique_ptr<TDataCursor>> CursorsB;
};

TEST_F(TTransactionCommitTest, RollbackLeavesTheFilesAsTheyWere) {
  TDataCursor& a = Create("T", CounterTable());
  InsertValues(a, 1, 3);
  TDataCursor& b = OpenB("T");
  const std::string before = Files("T");

  Database->StartTransaction();
  InsertValues(a, 100, 1000);
  EXPECT_EQ(a.RecordCount(), 1003);
  EXPECT_EQ(b.RecordCount(), 3);  // B still sees the table as it was
  Database->Rollback();
  EXPECT_EQ(Files("T"), before);
  EXPECT_EQ(a.RecordCount(), 3);
  EXPECT_EQ(a.Table().Data().Header().NextRecordNo, 4);
  EXPECT_EQ(a.Table().Data().LastAutoInc(), 3);
  EXPECT_EQ(a.Table().Index().RecordCount(), 3);

  Database->StartTransaction();
  TRec r(a);
  r.Init().Int("Value", 100);
  a.InsertRecord(r.Bytes());
  EXPECT_EQ(r.GetInt("ID"), 4);  // the auto-increment value of the rolled-back insert
  InsertValues(a, 101, 999);
  Database->Commit();
  EXPECT_EQ(b.RecordCount(), 1003);
  EXPECT_TRUE(CheckTable(b.Table()).empty());
}

TEST_F(TTransactionCommitTest, RollbackAfterIntermediateCommitUndoesOnlyTheRest) {
  TDataCursor& a = Create("T", CounterTable());
  TDataCursor& b = OpenB("T");
  Database->StartTransaction();
  InsertValues(a, 1, 10);
  Database->Commit(false);
  EXPECT_TRUE(Database->InTransaction());
  EXPECT_TRUE(a.Table().LockState().HoldsTransactionLock());
  EXPECT_EQ(b.RecordCount(), 10);
  const std::string afterIntermediate = Files("T");
  InsertValues(a, 11, 5);
  Database->Rollback();
  EXPECT_FALSE(Database->InTransaction());
  EXPECT_EQ(a.RecordCount(), 10);
  EXPECT_EQ(b.RecordCount(), 10);
  EXPECT_EQ(Files("T"), afterIntermediate);
}

TEST_F(TTransactionCommitTest, FailedWriteKeepsTheTransactionForASecondCommit) {
  TShortLockWaits shortWaits;
  TDataCursor& a = Create("T", CounterTable());
  InsertValues(a, 1, 2);
  TDataCursor& b = OpenB("T");
  Database->StartTransaction();
  InsertValues(a, 10, 300);
  Faults.SetFreeSpace(0);  // the disk is full
  EXPECT_EQ(CodeOf([&] { Database->Commit(); }), VELDOR_WRITEERR);
  // Still in the transaction, with its locks: B neither writes nor reads a half-written table.
  EXPECT_TRUE(Database->InTransaction());
  EXPECT_TRUE(a.Table().InTransaction());
  EXPECT_TRUE(a.Table().LockState().HoldsTransactionLock());
  TRec rb(b);
  rb.Init().Int("Value", 999);
  EXPECT_EQ(CodeOf([&] { b.InsertRecord(rb.Bytes()); }), VELDOR_LOCKTIMEOUT);
  EXPECT_EQ(CodeOf([&] { b.RecordCount(); }), VELDOR_LOCKTIMEOUT);
  // A keeps working inside the transaction, then commits once the disk has room.
  InsertValues(a, 400, 10);
  EXPECT_EQ(a.RecordCount(), 312);
  Faults.SetFreeSpace(-1);
  Database->Commit();
  EXPECT_FALSE(Database->InTransaction());
  EXPECT_EQ(b.RecordCount(), 312);
  EXPECT_TRUE(CheckTable(b.Table()).empty());
  EXPECT_TRUE(b.Table().Data().CheckFile().empty());
  b.InsertRecord(rb.Bytes());
  EXPECT_EQ(rb.GetInt("ID"), 313);
}

// A commit far larger than the caches, failing at one write after another: each failed one
// leaves the files as they were and the whole transaction in the caches (none of it trimmed
// away), the next commit writes all of it, and the table holds every row with sound files.
TEST_F(TTransactionCommitTest, ALargeCommitFailingAtAnyWriteCommitsWholeTheNextTime) {
  TShortLockWaits shortWaits;
  TDataCursor& a = Create("T", CounterTable());
  InsertValues(a, 1, 2);
  std::int64_t expected = 2;
  int failures = 0;
  for (int n = 1; n <= 8; ++n) {
    Database->StartTransaction();
    InsertValues(a, 10000 * n, 2000);
    expected += 2000;
    const std::string before = Files("T");
    Faults.FailWrite(n);
    const TErrorCode code = CodeOf([&] { Database->Commit(); });
    Faults.ClearFaults();
    if (code != VELDOR_NONE) {
      ++failures;
      // Put back as they were, new records and pages written past the old ends included.
      EXPECT_TRUE(Files("T") == before) << n;
      EXPECT_TRUE(Database->InTransaction()) << n;
      Database->Commit();
    }
    EXPECT_FALSE(Database->InTransaction()) << n;
    EXPECT_EQ(a.RecordCount(), expected) << n;
  }
  TDataCursor& b = OpenB("T");
  EXPECT_EQ(b.RecordCount(), expected);
  EXPECT_TRUE(CheckTable(b.Table()).empty());
  EXPECT_TRUE(b.Table().Data().CheckFile().empty());
  EXPECT_GT(failures, 3);
}

TEST_F(TTransactionCommitTest, FailedWriteThenRollbackReleasesEverything) {
  TShortLockWaits shortWaits;
  TDataCursor& a = Create("T", CounterTable());
  TDataCursor& b = OpenB("T");
  Database->StartTransaction();
  InsertValues(a, 1, 5);
  Faults.FailWrite(1, 5, true);  // every write fails before anything reaches the files
  EXPECT_EQ(CodeOf([&] { Database->Commit(); }), VELDOR_WRITEERR);
  Faults.ClearFaults();
  Database->Rollback();
  EXPECT_EQ(a.RecordCount(), 0);
  EXPECT_EQ(b.RecordCount(), 0);
  EXPECT_FALSE(a.Table().LockState().HoldsWriteLock());
  InsertValues(b, 1, 1);  // nothing of A's is held any more
}

TEST_F(TTransactionCommitTest, CommitThatCannotLockChangesNothing) {
  TShortLockWaits shortWaits;
  TDataCursor& a = Create("T", CounterTable());
  TDataCursor& b = OpenB("T");
  Database->StartTransaction();
  InsertValues(a, 1, 4);
  b.TakeTableReadLock();  // a reader keeps the commit's writer range out
  EXPECT_EQ(CodeOf([&] { Database->Commit(); }), VELDOR_LOCKTIMEOUT);
  EXPECT_TRUE(Database->InTransaction());
  EXPECT_FALSE(a.Table().LockState().HoldsWriteLock());
  EXPECT_EQ(a.RecordCount(), 4);
  b.ReleaseTableReadLock();
  Database->Commit();
  EXPECT_EQ(b.RecordCount(), 4);
}

TEST_F(TTransactionCommitTest, CommitFlushSyncsOnlyTheFilesItWrote) {
  TDataCursor& a = Create("U", UsersTable());
  Database->StartTransaction();
  TRec r(a);
  r.Init().Str("UserName", "ann").Str("FullName", "Ann");
  a.InsertRecord(r.Bytes());
  const std::int64_t syncs = Faults.Syncs();
  const std::int64_t writes = Faults.Writes();
  Database->Commit(false, false);  // intermediate, no flush: written, not synced
  EXPECT_GT(Faults.Writes(), writes);
  EXPECT_EQ(Faults.Syncs(), syncs);
  r.Init().Str("UserName", "bob").Str("FullName", "Bob");
  a.InsertRecord(r.Bytes());
  Database->Commit(true, true);
  EXPECT_EQ(Faults.SyncsOf(File("U.DAT")), 1);
  EXPECT_EQ(Faults.SyncsOf(File("U.IDX")), 1);
  EXPECT_EQ(Faults.SyncsOf(File("U.BLB")), 0);  // no memo was written
  // Besides the two table files: the journal once written and once voided, and its folder
  // (the journal is gone by now, so only the total shows it).
  EXPECT_EQ(Faults.Syncs(), syncs + 5);
}

TEST_F(TTransactionCommitTest, FailedStartLeavesTheDatabaseOutside) {
  TShortLockWaits shortWaits;
  Create("T", CounterTable());
  TDataCursor& u = Create("U", CounterTable());
  OpenB("U");
  DatabaseB->StartTransaction();  // B holds U's transaction byte
  EXPECT_EQ(CodeOf([&] { Database->StartTransaction(); }), VELDOR_LOCKTIMEOUT);
  EXPECT_FALSE(Database->InTransaction());
  EXPECT_FALSE(Cursors[0]->Table().InTransaction());
  EXPECT_FALSE(Cursors[0]->Table().LockState().HoldsTransactionLock());
  EXPECT_FALSE(u.Table().InTransaction());
  DatabaseB->Rollback();
  Database->StartTransaction();
  EXPECT_TRUE(u.Table().LockState().HoldsTransactionLock());
  Database->Rollback();
}

TEST_F(TTransactionCommitTest, EveryOpenTableJoinsButReadOnlyOnes) {
  TDataCursor& t = Create("T", CounterTable());
  TDataCursor& untouched = Create("V", CounterTable());
  untouched.Close();
  for (const char* ext : {"V.DAT", "V.IDX"})
    ASSERT_EQ(::chmod(File(ext).c_str(), 0444), 0);
  untouched.Open("V");
  ASSERT_TRUE(untouched.Table().ReadOnlyAttribute());
  TDataCursor& joined = Create("W", CounterTable());
  Database->StartTransaction();
  EXPECT_TRUE(t.Table().InTransaction());
  EXPECT_TRUE(joined.Table().InTransaction());  // joins although nothing touches it
  EXPECT_FALSE(untouched.Table().InTransaction());
  InsertValues(joined, 1, 3);
  TDataCursor& wb = OpenB("W");
  EXPECT_EQ(wb.RecordCount(), 0);
  Database->Commit();
  EXPECT_EQ(wb.RecordCount(), 3);
  untouched.Close();
  for (const char* ext : {"V.DAT", "V.IDX"})
    ::chmod(File(ext).c_str(), 0644);
}

}  // namespace
}  // namespace zorvic::engine::testing

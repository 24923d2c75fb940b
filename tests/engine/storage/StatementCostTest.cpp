// What the cheap paths of a statement must still notice: a kept table's files removed or made
// read-only between read batches, a crashed writer's journal under a reader whose ChangeCounts
// moved, the thread id of a forked child; and that inserts a transaction keeps in its caches
// stay invisible, unlocked and undoable for every other session until the commit.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "engine/storage/JournalTestSupport.h"
#include "engine/storage/LockTestSupport.h"
#include "engine/storage/files/ThreadId.h"
#include "engine/storage/locks/TableLocks.h"

namespace zorvic::engine::testing {
namespace {

// ---- thread id ------------------------------------------------------------------------------

TEST(ThreadIdTest, IsTheCallersAndAForkedChildsOwn) {
  EXPECT_EQ(CurrentThreadId(), static_cast<pid_t>(::syscall(SYS_gettid)));
  EXPECT_EQ(CurrentThreadId(), CurrentThreadId());
  pid_t other = 0;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(other, CurrentThreadId());
  EXPECT_EQ(ThreadIdDigits(3), std::to_string(CurrentThreadId()).substr(0, 3));

  const pid_t parent = CurrentThreadId();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child's only thread is its main thread: its id is the child's process id.
    const pid_t self = CurrentThreadId();
    ::_exit(self == ::getpid() && self != parent && ThreadIdDigits(-1) == std::to_string(::getpid())
                ? 0
                : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(CurrentThreadId(), parent);
}

// ---- kept tables ----------------------------------------------------------------------------

class TKeptTableCheckTest : public TDatabaseFixture {
 protected:
  void SetUp() override {
    TDatabaseFixture::SetUp();
    TDataCursor c(*Database);
    c.CreateTable("People", UsersTable(), false);
    c.Open("People");
    TRec r(c);
    r.Init().Str("UserName", "ann").Int("Rights", 30);
    c.InsertRecord(r.Bytes());
  }
  // One statement's reads: a batch in which a cursor opens the table and counts its rows.
  std::int64_t CountInBatch() {
    TReadBatch batch(Database->Session());
    TDataCursor c(*Database);
    c.Open("People");
    return c.RecordCount();
  }
  std::string File(const char* ext) { return Dir.File(std::string("People") + ext); }
};

TEST_F(TKeptTableCheckTest, FilesRemovedBetweenBatchesAreNoticed) {
  EXPECT_EQ(CountInBatch(), 1);
  {
    // Within one batch the second take-back relies on the first one's look at the files.
    TReadBatch batch(Database->Session());
    {
      TDataCursor c(*Database);
      c.Open("People");
    }
    for (const char* ext : {".DAT", ".IDX"})
      ASSERT_TRUE(std::filesystem::remove(File(ext)));
    TDataCursor again(*Database);
    again.Open("People");
    EXPECT_EQ(again.RecordCount(), 1);
  }
  // The next batch looks again and finds them gone.
  EXPECT_EQ(CodeOf([&] { CountInBatch(); }), VELDOR_OSENOENT);
}

TEST_F(TKeptTableCheckTest, AReadOnlyAttributeSetOrClearedBetweenBatchesIsNoticed) {
  EXPECT_EQ(CountInBatch(), 1);
  ASSERT_EQ(::chmod(File(".DAT").c_str(), 0444), 0);
  {
    TReadBatch batch(Database->Session());
    TDataCursor c(*Database);
    c.Open("People");
    EXPECT_TRUE(c.Table().ReadOnly());
    TRec r(c);
    r.Init().Str("UserName", "bob").Int("Rights", 5);
    EXPECT_NE(CodeOf([&] { c.InsertRecord(r.Bytes()); }), VELDOR_NONE);
  }
  ASSERT_EQ(::chmod(File(".DAT").c_str(), 0644), 0);
  {
    TReadBatch batch(Database->Session());
    TDataCursor c(*Database);
    c.Open("People");
    EXPECT_FALSE(c.Table().ReadOnly());
    TRec r(c);
    r.Init().Str("UserName", "bob").Int("Rights", 5);
    c.InsertRecord(r.Bytes());
    EXPECT_EQ(c.RecordCount(), 2);
  }
}

TEST_F(TKeptTableCheckTest, FilesReplacedUnderTheirNamesAreReadAfresh) {
  EXPECT_EQ(CountInBatch(), 1);
  // Another copy of the table with three rows takes the names over.
  const std::string other = Dir.File("other/");
  std::filesystem::create_directory(other);
  {
    TDataSession session;
    TDataDirectory& db = session.OpenDatabase(other);
    {
      TDataCursor c(db);
      c.CreateTable("People", UsersTable(), false);
      c.Open("People");
      TRec r(c);
      for (const char* name : {"x", "y", "z"}) {
        r.Init().Str("UserName", name).Int("Rights", 1);
        c.InsertRecord(r.Bytes());
      }
    }
    session.CloseDatabase(db);
  }
  for (const char* ext : {".DAT", ".IDX", ".BLB"})
    std::filesystem::rename(other + "People" + ext, File(ext));
  EXPECT_EQ(CountInBatch(), 3);
}

// ---- a crashed writer under a reader that keeps the table open ------------------------------

class TReaderBesideCrashTest : public TJournalTestBase {};

TEST_F(TReaderBesideCrashTest, AReaderNeverReadsWhatADeadWriterHalfWrote) {
  Populate();
  const auto start = SaveFiles();
  const std::string before = Inspect("before");
  int crashes = 0;
  for (std::int64_t n = 0;; ++n) {
    RestoreFiles(start);
    // The reader has the table open, its headers and some units cached.
    TUse reader(Dir.Path(), true);
    TDataCursor& r = reader.Open("A");
    ASSERT_EQ(Image(r), before);
    bool committed = false;
    {
      TUse writer(Dir.Path());
      TDataCursor& w = writer.Open("A");
      writer.Database->StartTransaction();
      TRec rec(w);
      w.First();
      while (w.GetNext(rec.Bytes()) == VELDOR_NONE) {
        rec.Int("Value", rec.GetInt("Value") + 100);
        SetMemo(w, rec, MemoText(rec.GetInt("Value"), 1));
        w.ModifyRecord(rec.Bytes());
      }
      Faults.CrashAfter(n);
      try {
        writer.Database->Commit(true, false);
        committed = true;
      } catch (const EVELDOREngineError&) {
      }
    }  // the "dead" writer goes, releasing its locks
    const bool crashed = Faults.Crashed();
    Faults.ClearFaults();
    const std::string seen = Image(r);
    if (committed) {
      EXPECT_NE(seen, before) << n;
    } else {
      EXPECT_EQ(seen, before) << "a reader saw a write stopped after " << n << " changes";
    }
    EXPECT_EQ(CheckTable(r.Table()), std::vector<std::string>{}) << n;
    if (!crashed) break;
    ++crashes;
    ASSERT_LT(n, 2000) << "the commit never completes";
  }
  EXPECT_GT(crashes, 3);
}

// ---- inserts a transaction keeps in its caches ----------------------------------------------

class TCachedInsertTest : public ::testing::Test {
 protected:
  TCachedInsertTest() { CreateTableIn(Dir.Path(), "T", KeyedTable()); }
  TTempDir Dir;
  TShortLockWaits Waits;
};

TEST_F(TCachedInsertTest, OthersSeeNothingAndWaitForNothingUntilTheCommit) {
  TDataSession a, b;
  b.SetStrictChangeDetection(true);
  b.SetLockRetryCount(0);
  TDataDirectory& da = a.OpenDatabase(Dir.Path());
  TDataDirectory& db = b.OpenDatabase(Dir.Path());
  {
    TDataCursor ca(da), cb(db);
    ca.Open("T");
    cb.Open("T");
    TRec ra(ca), rb(cb);
    rb.Init().Str("Key", "old").Int("Value", 1);
    cb.InsertRecord(rb.Bytes());

    da.StartTransaction();
    for (int i = 0; i < 50; ++i) {
      ra.Init().Str("Key", "new" + std::to_string(i)).Int("Value", i);
      ca.InsertRecord(ra.Bytes());
    }
    // A's inserts hold nothing that B's readers or record locks wait for.
    EXPECT_FALSE(da.FindTable("T", false)->LockState().HoldsWriteLock());
    double ms = MillisecondsOf([&] { EXPECT_EQ(cb.RecordCount(), 1); });
    EXPECT_LT(ms, 500);
    cb.First();
    ASSERT_EQ(cb.GetNext(rb.Bytes()), VELDOR_NONE);
    cb.LockRecord();
    cb.UnlockRecord();
    // B cannot write before A ends, and sees A's rows only after the commit.
    rb.Init().Str("Key", "late").Int("Value", 2);
    EXPECT_EQ(CodeOf([&] { cb.InsertRecord(rb.Bytes()); }), VELDOR_LOCKTIMEOUT);
    // One of A's new rows is changed and one deleted inside the transaction.
    int seen = 0;
    ca.First();
    while (ca.GetNext(ra.Bytes()) == VELDOR_NONE) {
      if (ra.GetStr("Key") == "new8") {
        ra.Int("Value", 800);
        ca.ModifyRecord(ra.Bytes());
      }
      ++seen;
    }
    EXPECT_EQ(seen, 51);
    ca.First();
    while (ca.GetNext(ra.Bytes()) == VELDOR_NONE) {
      if (ra.GetStr("Key") != "new7") continue;
      ca.DeleteRecord();
      break;
    }
    da.Commit(true, false);
    EXPECT_EQ(cb.RecordCount(), 50);
    EXPECT_EQ(CheckTable(cb.Table()), std::vector<std::string>{});
    // Nothing of A's stays locked: B edits and deletes A's rows.
    cb.First();
    while (cb.GetNext(rb.Bytes()) == VELDOR_NONE) {
      if (rb.GetStr("Key") == "new8") {
        EXPECT_EQ(rb.GetInt("Value"), 800);
      }
      if (rb.GetStr("Key") == "new9") cb.DeleteRecord();
    }
    EXPECT_EQ(cb.RecordCount(), 49);
    rb.Init().Str("Key", "late").Int("Value", 2);
    cb.InsertRecord(rb.Bytes());
  }
  a.CloseDatabase(da);
  b.CloseDatabase(db);
}

TEST_F(TCachedInsertTest, ARollbackTakesTheInsertsBackAndTheirSlotsAreFilledAgain) {
  TDataSession a, b;
  a.SetStrictChangeDetection(true);
  b.SetStrictChangeDetection(true);
  TDataDirectory& da = a.OpenDatabase(Dir.Path());
  TDataDirectory& db = b.OpenDatabase(Dir.Path());
  {
    TDataCursor ca(da), cb(db);
    ca.Open("T");
    cb.Open("T");
    TRec ra(ca), rb(cb);
    da.StartTransaction();
    for (int i = 0; i < 20; ++i) {
      ra.Init().Str("Key", "gone" + std::to_string(i)).Int("Value", i);
      ca.InsertRecord(ra.Bytes());
    }
    da.Rollback();
    EXPECT_EQ(ca.RecordCount(), 0);
    // B's inserts take the slots A's rolled-back rows had, and A can lock and delete them.
    for (int i = 0; i < 5; ++i) {
      rb.Init().Str("Key", "kept" + std::to_string(i)).Int("Value", i);
      cb.InsertRecord(rb.Bytes());
    }
    da.StartTransaction();
    ca.First();
    ASSERT_EQ(ca.GetNext(ra.Bytes()), VELDOR_NONE);
    ca.DeleteRecord();
    da.Commit(true, false);
    EXPECT_EQ(cb.RecordCount(), 4);
    EXPECT_EQ(CheckTable(cb.Table()), std::vector<std::string>{});
  }
  a.CloseDatabase(da);
  b.CloseDatabase(db);
}

}  // namespace
}  // namespace zorvic::engine::testing

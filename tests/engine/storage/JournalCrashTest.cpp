// Commits that stop dead at every write or sync, and power losses during COMMIT FLUSH: a fresh
// session afterwards finds both tables sound and both in their old or both in their new state.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "engine/storage/JournalTestSupport.h"
#include "engine/storage/LockTestSupport.h"
#include "engine/storage/files/FaultFileSystem.h"
#include "engine/storage/locks/Journal.h"
#include "engine/storage/sessions/TableAccess.h"

namespace zorvic::engine::testing {
namespace {

// Two tables with memo values; the transaction inserts, modifies and deletes in both.
class TJournalCrashTest : public TJournalTestBase {
 protected:
  void Populate() {
    TUse use(Dir.Path());
    for (const char* name : {"A", "B"}) {
      TDataCursor c(*use.Database);
      c.CreateTable(name, NotesTable(), false);
    }
    for (const char* name : {"A", "B"}) {
      TDataCursor& c = use.Open(name);
      use.Database->StartTransaction();
      for (int v = 1; v <= 12; ++v) {
        TRec r(c);
        r.Init().Int("Value", v);
        SetMemo(c, r, MemoText(v, 0));
        c.InsertRecord(r.Bytes());
      }
      use.Database->Commit(true, true);
    }
  }

  // The transaction under test: in each table, inserts with memos, a memo grown and one
  // shrunk, a value changed, two deletions; with Bulk, that many more rows in A, whose records
  // and pages the commit writes past the files' old ends in large runs.
  void Change(TUse& use, TDataCursor& a, TDataCursor& b) const {
    use.Database->StartTransaction();
    TRec bulk(a);
    for (int v = 0; v < Bulk; ++v) {
      bulk.Init().Int("Value", 5000 + v);
      a.InsertRecord(bulk.Bytes());
    }
    for (TDataCursor* c : {&a, &b}) {
      TRec r(*c);
      for (int v = 100; v < 106; ++v) {
        r.Init().Int("Value", v);
        SetMemo(*c, r, MemoText(v, 1) + std::string(400, 'z'));
        c->InsertRecord(r.Bytes());
      }
      c->First();
      int n = 0;
      while (c->GetNext(r.Bytes()) == VELDOR_NONE && n < 8) {
        ++n;
        if (n == 2 || n == 5) {
          c->DeleteRecord();
          continue;
        }
        if (n % 2 == 1) {
          r.Int("Value", r.GetInt("Value") + 1000);
          SetMemo(*c, r, n == 3 ? std::string("short") : MemoText(n, 2) + std::string(500, 'y'));
          c->ModifyRecord(r.Bytes());
        }
      }
    }
  }

  // Opens both tables in a fresh session (which plays back what it finds), checks them and
  // returns their images.
  std::pair<std::string, std::string> Inspect(const std::string& context) {
    std::pair<std::string, std::string> images;
    {
      TUse use(Dir.Path());
      TDataCursor& a = use.Open("A");
      TDataCursor& b = use.Open("B");
      images = {Image(a), Image(b)};
      EXPECT_EQ(CheckTable(a.Table()), std::vector<std::string>{}) << context;
      EXPECT_EQ(CheckTable(b.Table()), std::vector<std::string>{}) << context;
    }
    for (const char* name : {"A", "B"}) {
      TTableAccess access(Dir.Path(), name);
      access.Open(true);
      EXPECT_EQ(access.Check(), std::vector<std::string>{}) << context << " table " << name;
    }
    EXPECT_FALSE(FileExists(Dir.File("A.JNL"))) << context;
    EXPECT_FALSE(FileExists(Dir.File("B.JNL"))) << context;
    return images;
  }

  // The old and the new images, made once with no fault.
  void Reference(std::pair<std::string, std::string>* before,
                 std::pair<std::string, std::string>* after) {
    *before = Inspect("before");
    {
      TUse use(Dir.Path());
      TDataCursor& a = use.Open("A");
      TDataCursor& b = use.Open("B");
      Change(use, a, b);
      use.Database->Commit(true, false);
    }
    *after = Inspect("after");
    ASSERT_NE(*before, *after);
  }

  // Copies of the table files, to start every round from the same state.
  std::map<std::string, std::string> SaveFiles() {
    std::map<std::string, std::string> files;
    for (const char* name : {"A.DAT", "A.IDX", "A.BLB", "B.DAT", "B.IDX", "B.BLB"})
      files[name] = ReadWholeFile(Dir.File(name));
    return files;
  }
  void RestoreFiles(const std::map<std::string, std::string>& files) {
    for (const auto& [name, bytes] : files)
      WriteWholeFile(Dir.File(name), bytes);
  }

  void StopAtEveryChange();
  void LosePowerAtEveryChange();

  int Bulk = 0;
};

void TJournalCrashTest::StopAtEveryChange() {
  Populate();
  const auto start = SaveFiles();
  std::pair<std::string, std::string> before, after;
  Reference(&before, &after);
  for (const bool flush : {false, true}) {
    int olds = 0, news = 0;
    for (std::int64_t n = 0;; ++n) {
      RestoreFiles(start);
      bool committed = false;
      {
        TUse use(Dir.Path());
        TDataCursor& a = use.Open("A");
        TDataCursor& b = use.Open("B");
        Change(use, a, b);
        Faults.CrashAfter(n);
        try {
          use.Database->Commit(true, flush);
          committed = true;
        } catch (const EVELDOREngineError&) {
        }
      }  // the "dead" session goes, releasing its locks
      const bool crashed = Faults.Crashed();
      Faults.ClearFaults();
      const std::string context =
          "stopped after " + std::to_string(n) + " changes, flush " + std::to_string(flush);
      const auto seen = Inspect(context);
      if (committed) {
        EXPECT_EQ(seen, after) << context;
      }
      EXPECT_TRUE(seen == before || seen == after) << context;
      (seen == before ? olds : news)++;
      if (!crashed) break;  // the commit ran to its end
      ASSERT_LT(n, 2000) << "the commit never completes";
    }
    EXPECT_GT(olds, 3);
    EXPECT_GT(news, 0);
  }
}

void TJournalCrashTest::LosePowerAtEveryChange() {
  Populate();
  const auto start = SaveFiles();
  std::pair<std::string, std::string> before, after;
  Reference(&before, &after);
  for (std::int64_t n = 0;; ++n) {
    RestoreFiles(start);
    Faults.ForgetUnsynced();  // the files as restored count as on the disk
    bool committed = false;
    bool crashed = false;
    {
      TUse use(Dir.Path());
      TDataCursor& a = use.Open("A");
      TDataCursor& b = use.Open("B");
      Change(use, a, b);
      Faults.CrashAfter(n);
      try {
        use.Database->Commit(true, true);
        committed = true;
      } catch (const EVELDOREngineError&) {
      }
      crashed = Faults.Crashed();
      Faults.SimulateCrash();  // every write not synced is gone; the session dies with it
    }
    Faults.ClearFaults();
    const std::string context = "power lost after " + std::to_string(n) + " changes";
    const auto seen = Inspect(context);
    if (committed) {
      EXPECT_EQ(seen, after) << context;
    }
    EXPECT_TRUE(seen == before || seen == after) << context;
    if (!crashed) break;
    ASSERT_LT(n, 2000);
  }
}

TEST_F(TJournalCrashTest, ACommitStoppedAtAnyWriteOrSyncLeavesBothTablesOldOrBothNew) {
  StopAtEveryChange();
}

TEST_F(TJournalCrashTest, PowerLossDuringCommitFlushKeepsEverythingItReturnedFor) {
  LosePowerAtEveryChange();
}

// A process that dies after writing new records past the old end of a file, before or after
// its journal, leaves bytes there that no header counts (or a journal that cuts them off).
TEST_F(TJournalCrashTest, ALargeCommitStoppedAtAnyWriteOrSyncLeavesBothTablesOldOrBothNew) {
  Bulk = 1500;
  StopAtEveryChange();
}

TEST_F(TJournalCrashTest, PowerLossDuringALargeCommitFlushKeepsEverythingItReturnedFor) {
  Bulk = 1500;
  LosePowerAtEveryChange();
}

// A commit stopped after its journals and its first table write: an orphaned, hot journal.
class TJournalRecoveryTest : public TJournalCrashTest {
 protected:
  void SetUp() override {
    Populate();
    Before = Inspect("before");
  }
  // The changes of a whole commit, measured once.
  std::int64_t CommitChanges() {
    const auto files = SaveFiles();
    std::int64_t changes = 0;
    {
      TUse use(Dir.Path());
      TDataCursor& a = use.Open("A");
      TDataCursor& b = use.Open("B");
      Change(use, a, b);
      const std::int64_t start = Faults.Changes();
      use.Database->Commit(true, false);
      changes = Faults.Changes() - start;
    }
    RestoreFiles(files);
    return changes;
  }
  // Leaves the commit stopped after n changes, with its session still alive when keep.
  std::unique_ptr<TUse> StopCommitAfter(std::int64_t n, bool keep = false) {
    auto use = std::make_unique<TUse>(Dir.Path());
    TDataCursor& a = use->Open("A");
    TDataCursor& b = use->Open("B");
    Change(*use, a, b);
    Faults.CrashAfter(n);
    EXPECT_NE(CodeOf([&] { use->Database->Commit(true, false); }), VELDOR_NONE);
    if (!keep) use.reset();
    Faults.ClearFaults();
    return use;
  }
  // A reader takes over the journals and stops dead at its n-th change; true when it did
  // stop (false: it was done before its n-th change).
  bool ReadStoppingAfter(std::int64_t n) {
    Faults.CrashAfter(n);
    {
      TUse reader(Dir.Path());
      try {
        TDataCursor& a = reader.Open("A");
        TDataCursor& b = reader.Open("B");
        Image(a);
        Image(b);
      } catch (const EVELDOREngineError&) {
      }
    }
    const bool crashed = Faults.Crashed();
    Faults.ClearFaults();
    return crashed;
  }
  std::pair<std::string, std::string> Before;
};

TEST_F(TJournalRecoveryTest, AJournalWhoseWriterHoldsItsLocksIsLeftAlone) {
  TShortLockWaits shortWaits;
  // Two journals and two table writes: the writer stops (its I/O refused) but lives on.
  std::unique_ptr<TUse> writer = StopCommitAfter(4, true);
  ASSERT_TRUE(FileExists(Dir.File("A.JNL")) || FileExists(Dir.File("B.JNL")));
  {
    TUse other(Dir.Path());
    EXPECT_EQ(CodeOf([&] { other.Open("A"); }), VELDOR_LOCKTIMEOUT);
    EXPECT_EQ(CodeOf([&] { other.Open("B"); }), VELDOR_LOCKTIMEOUT);
  }
  EXPECT_TRUE(FileExists(Dir.File("A.JNL")) || FileExists(Dir.File("B.JNL")));
  // The writer itself can still commit: its first step puts its own journal back.
  writer->Database->Commit(true, false);
  writer.reset();
  const auto seen = Inspect("after the writer's second commit");
  EXPECT_NE(seen, Before);
}

TEST_F(TJournalRecoveryTest, RecoveryStoppedAtAnyPointCanBeRepeated) {
  int stops = 0;
  for (std::int64_t n = 0;; ++n) {
    StopCommitAfter(3);
    ASSERT_TRUE(FileExists(Dir.File("A.JNL")) || FileExists(Dir.File("B.JNL")));
    const bool crashed = ReadStoppingAfter(n);
    EXPECT_EQ(Inspect("recovery stopped after " + std::to_string(n)), Before) << n;
    if (!crashed) break;
    ++stops;
    ASSERT_LT(n, 200);
  }
  EXPECT_GT(stops, 2);
}

// A session that kept the table open since before a writer died half-way through its commit
// takes the write lock with counts of its own that the files no longer hold (or, after a
// playback stopped half-way, hold again in some headers): at every stopping point of that
// playback its insert goes in after the rest of the playback, and the tables end as the
// insert into the old state.
TEST_F(TJournalRecoveryTest, AWriterThatKeptTheTableOpenPlaysBackWhatAStoppedRecoveryLeft) {
  const std::int64_t total = CommitChanges();
  const auto files = SaveFiles();
  auto restart = [&] {
    RestoreFiles(files);
    for (const char* name : {"A.JNL", "B.JNL"})
      std::remove(Dir.File(name).c_str());
  };
  auto insert = [&](TDataCursor& a) {
    TRec r(a);
    r.Init().Int("Value", 7777);
    SetMemo(a, r, "kept");
    a.InsertRecord(r.Bytes());
  };
  {
    TUse kept(Dir.Path());
    insert(kept.Open("A"));
  }
  const auto expected = Inspect("the insert alone");
  int stops = 0;
  for (std::int64_t n = 0;; ++n) {
    restart();
    auto kept = std::make_unique<TUse>(Dir.Path());
    TDataCursor& a = kept->Open("A");
    Image(a);
    // Everything of the commit written but its journals not retired: it never happened.
    StopCommitAfter(total - 2);
    const bool crashed = ReadStoppingAfter(n);
    insert(a);
    kept.reset();
    EXPECT_EQ(Inspect("playback stopped after " + std::to_string(n)), expected) << n;
    if (!crashed) break;
    ++stops;
    ASSERT_LT(n, 200);
  }
  EXPECT_GT(stops, 2);
}

TEST_F(TJournalRecoveryTest, TwoProcessesFindingOneJournalBothSeeTheRecoveredTables) {
  StopCommitAfter(3);
  InstallFileSystem(nullptr);  // the children use the real file system
  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i) {
    children.push_back(ForkChild([&] {
      TUse use(Dir.Path());
      TDataCursor& a = use.Open("A");
      TDataCursor& b = use.Open("B");
      if (std::make_pair(Image(a), Image(b)) != Before) throw std::runtime_error("not recovered");
    }));
  }
  for (pid_t child : children)
    EXPECT_EQ(WaitChild(child), 0);
  InstallFileSystem(&Faults);
  EXPECT_EQ(Inspect("after both"), Before);
}

TEST_F(TJournalRecoveryTest, AStaleOrIncompleteJournalIsThrownAwayUnplayed) {
  // A member journal without its lead, and a lead journal cut short: neither counts.
  const std::int64_t total = CommitChanges();
  {
    TUse use(Dir.Path());
    TDataCursor& a = use.Open("A");
    TDataCursor& b = use.Open("B");
    Change(use, a, b);
    use.Database->Commit(true, false);
  }
  const auto after = Inspect("after");
  WriteWholeFile(Dir.File("A.JNL"), std::string("ZVJRNL01") + std::string(30, '\x01'));
  EXPECT_EQ(Inspect("an incomplete journal"), after);
  EXPECT_GT(total, 4);
}

TEST_F(TJournalCrashTest, ASingleInsertOutsideATransactionIsWholeOrAbsent) {
  Populate();
  const auto start = SaveFiles();
  const auto before = Inspect("before");
  for (std::int64_t n = 0;; ++n) {
    RestoreFiles(start);
    bool done = false;
    {
      TUse use(Dir.Path());
      TDataCursor& a = use.Open("A");
      Faults.CrashAfter(n);
      try {
        TRec r(a);
        r.Init().Int("Value", 77);
        SetMemo(a, r, std::string(900, 'm'));
        a.InsertRecord(r.Bytes());
        done = true;
      } catch (const EVELDOREngineError&) {
      }
    }
    const bool crashed = Faults.Crashed();
    Faults.ClearFaults();
    const auto seen = Inspect("insert stopped after " + std::to_string(n));
    EXPECT_EQ(seen.second, before.second);
    const bool old = seen.first == before.first;
    if (done) {
      EXPECT_FALSE(old) << n;
    }
    if (!old) {
      EXPECT_NE(seen.first.find(std::string(900, 'm')), std::string::npos) << n;
    }
    if (!crashed) break;
    ASSERT_LT(n, 200);
  }
}

}  // namespace
}  // namespace zorvic::engine::testing

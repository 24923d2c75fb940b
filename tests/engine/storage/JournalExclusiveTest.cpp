// Exclusive tables write lazily (a cache making room, emptying): a crash at any of those writes
// returns the table to its last flush. And a change that fails half-way inside a transaction
// never lets the transaction commit without its earlier changes.
//
// The crash loops stop at a sample of the writes by default; ZORVIC_CRASH_EVERY_WRITE=1 stops at
// every one.
#include <cstdlib>

#include "engine/storage/JournalTestSupport.h"
#include "engine/storage/locks/TableJournal.h"

namespace zorvic::engine::testing {
namespace {

class TExclusiveJournalTest : public TJournalTestBase {
 protected:
  // A load under way on an exclusive table: inserts with memos, every old row changed, two
  // deleted. With the small caches most of it reaches the files before the flush.
  static void Load(TDataCursor& c) {
    TRec r(c);
    for (int v = 100; v < 130; ++v) {
      r.Init().Int("Value", v);
      SetMemo(c, r, MemoText(v, 1) + std::string(200, 'z'));
      c.InsertRecord(r.Bytes());
    }
    c.First();
    int n = 0;
    while (c.GetNext(r.Bytes()) == VELDOR_NONE && n < 12) {
      ++n;
      if (n == 4 || n == 9) {
        c.DeleteRecord();
        continue;
      }
      r.Int("Value", r.GetInt("Value") + 1000);
      SetMemo(c, r, MemoText(n, 2) + std::string(n * 20, 'y'));
      c.ModifyRecord(r.Bytes());
    }
  }

  // Changes the load makes before its flush, and in all.
  std::pair<std::int64_t, std::int64_t> MeasureLoad(bool forceFlush) {
    const std::int64_t start = Faults.Changes();
    std::int64_t beforeFlush = 0;
    {
      TUse use(Dir.Path(), true, forceFlush);
      Load(use.Open("A", true));
      beforeFlush = Faults.Changes() - start;
    }
    return {beforeFlush, Faults.Changes() - start};
  }

  // The stops tried: all of the first ones, then a sample.
  static std::vector<std::int64_t> Stops(std::int64_t total) {
    const bool every = std::getenv("ZORVIC_CRASH_EVERY_WRITE") != nullptr;
    const std::int64_t step = every ? 1 : std::max<std::int64_t>(1, total / 12);
    std::vector<std::int64_t> stops;
    for (std::int64_t n = 0; n <= total + 1; n += (n < 6 ? 1 : step))
      stops.push_back(n);
    stops.push_back(total - 1);
    stops.push_back(total);
    return stops;
  }
};

TEST_F(TExclusiveJournalTest, ALoadStoppedAtAnyWriteLeavesTheTableAtItsLastFlush) {
  Populate();
  const auto start = SaveFiles();
  const std::string before = Inspect("before");
  const auto [beforeFlush, total] = MeasureLoad(false);
  const std::string after = Inspect("after");
  ASSERT_NE(before, after);
  // The load itself wrote to make room: those are the writes under test.
  ASSERT_GT(beforeFlush, 20);
  int olds = 0, news = 0;
  for (const std::int64_t n : Stops(total)) {
    RestoreFiles(start);
    bool done = false;
    {
      TUse use(Dir.Path(), true);
      Faults.CrashAfter(n);
      try {
        TDataCursor& c = use.Open("A", true);
        Load(c);
        c.Close();
        use.Cursors.clear();
        use.Session->CloseDatabase(*use.Database);
        use.Database = &use.Session->OpenDatabase(Dir.Path());
        done = !Faults.Crashed();
      } catch (const EVELDOREngineError&) {
      }
    }
    Faults.ClearFaults();
    const std::string context = "stopped after " + std::to_string(n) + " changes";
    const std::string seen = Inspect(context);
    if (done) {
      EXPECT_EQ(seen, after) << context;
    }
    EXPECT_TRUE(seen == before || seen == after) << context;
    (seen == before ? olds : news)++;
  }
  EXPECT_GT(olds, 10);
  EXPECT_GT(news, 0);
}

TEST_F(TExclusiveJournalTest, PowerLossKeepsAForcedFlushAndOtherwiseTheLastOne) {
  Populate();
  const auto start = SaveFiles();
  const std::string before = Inspect("before");
  const std::int64_t total = MeasureLoad(true).second;
  const std::string after = Inspect("after");
  for (const std::int64_t n : Stops(total)) {
    RestoreFiles(start);
    Faults.ForgetUnsynced();
    bool done = false;
    {
      TUse use(Dir.Path(), true, true);
      Faults.CrashAfter(n);
      try {
        TDataCursor& c = use.Open("A", true);
        Load(c);
        c.Close();
        use.Cursors.clear();
        use.Session->CloseDatabase(*use.Database);
        use.Database = &use.Session->OpenDatabase(Dir.Path());
        done = !Faults.Crashed();
      } catch (const EVELDOREngineError&) {
      }
      Faults.SimulateCrash();  // everything not synced is gone
    }
    Faults.ClearFaults();
    const std::string context = "power lost after " + std::to_string(n) + " changes";
    const std::string seen = Inspect(context);
    if (done) {
      EXPECT_EQ(seen, after) << context;
    }
    EXPECT_TRUE(seen == before || seen == after) << context;
  }
}

TEST_F(TExclusiveJournalTest, EmptyingStoppedAtAnyWriteLeavesTheTableWholeOrEmpty) {
  Populate();
  const auto start = SaveFiles();
  const std::string before = Inspect("before");
  for (std::int64_t n = 0;; ++n) {
    RestoreFiles(start);
    bool done = false;
    {
      TUse use(Dir.Path());
      Faults.CrashAfter(n);
      try {
        TDataCursor& c = use.Open("A", true);
        c.EmptyTable();
        done = !Faults.Crashed();
      } catch (const EVELDOREngineError&) {
      }
    }
    const bool crashed = Faults.Crashed();
    Faults.ClearFaults();
    const std::string context = "emptying stopped after " + std::to_string(n) + " changes";
    const std::string seen = Inspect(context);
    if (done) {
      EXPECT_EQ(seen, "") << context;
    }
    EXPECT_TRUE(seen == before || seen.empty()) << context;
    if (!crashed) break;
    ASSERT_LT(n, 500);
  }
  // Emptied and filled again: the table is sound and holds only the new rows.
  {
    TUse use(Dir.Path());
    TDataCursor& c = use.Open("A", true);
    TRec r(c);
    r.Init().Int("Value", 5);
    SetMemo(c, r, std::string(300, 'e'));
    c.InsertRecord(r.Bytes());
  }
  EXPECT_NE(Inspect("refilled").find(std::string(300, 'e')), std::string::npos);
}

TEST_F(TExclusiveJournalTest, AFailedChangeOfAnExclusiveTableReturnsItToItsLastFlush) {
  Populate();
  const auto start = SaveFiles();
  const std::string before = Inspect("before");
  int rolledBack = 0;
  for (std::int64_t n = 1; n < 40; ++n) {
    RestoreFiles(start);
    bool failed = false;
    {
      TUse use(Dir.Path(), true);
      TDataCursor& c = use.Open("A", true);
      Load(c);  // much of it written already to make room
      TRec r(c);
      c.Last();
      ASSERT_EQ(c.GetPrior(r.Bytes()), VELDOR_NONE);
      Faults.FailRead(n);
      try {
        c.DeleteRecord();
      } catch (const EVELDOREngineError&) {
        failed = true;
      }
      Faults.ClearFaults();
    }
    const std::string context = "failed at " + std::to_string(n);
    const std::string seen = Inspect(context);
    const bool lastThere = seen.find(MemoText(129, 1)) != std::string::npos;
    if (!failed) {
      EXPECT_FALSE(lastThere) << context;
    } else if (seen == before) {
      ++rolledBack;  // back to the last flush, whole
    } else {
      EXPECT_TRUE(lastThere) << context;  // refused before it changed anything
    }
    if (!failed) break;  // every read of the delete was tried
  }
  EXPECT_GT(rolledBack, 0);
}

// A transaction of inserts, then a delete that fails at its n-th read or write.
class TAbandonedChangeTest : public TJournalTestBase {};

TEST_F(TAbandonedChangeTest, AChangeFailingHalfWayInATransactionNeverCommitsWithoutTheOthers) {
  Populate();
  const auto start = SaveFiles();
  const std::string before = Inspect("before");
  int refused = 0, committed = 0;
  for (std::int64_t n = 1; n < 60; ++n) {
    RestoreFiles(start);
    bool deleted = false, commitOk = false;
    {
      TUse use(Dir.Path(), true);
      TDataCursor& c = use.Open("A");
      use.Database->StartTransaction();
      TRec r(c);
      for (int v = 200; v < 205; ++v) {
        r.Init().Int("Value", v);
        SetMemo(c, r, MemoText(v, 3));
        c.InsertRecord(r.Bytes());
      }
      c.First();
      ASSERT_EQ(c.GetNext(r.Bytes()), VELDOR_NONE);
      Faults.FailRead(n);
      try {
        c.DeleteRecord();
        deleted = true;
      } catch (const EVELDOREngineError&) {
      }
      Faults.ClearFaults();
      try {
        use.Database->Commit(true, false);
        commitOk = true;
      } catch (const EVELDOREngineError&) {
        EXPECT_FALSE(use.Database->InTransaction());
      }
    }
    const std::string context = "read " + std::to_string(n) + " failed";
    const std::string seen = Inspect(context);
    if (commitOk) {
      ++committed;
      // A commit that succeeded holds every insert of the transaction.
      for (int v = 200; v < 205; ++v)
        EXPECT_NE(seen.find("=" + std::to_string(v) + ":" + MemoText(v, 3) + "\n"),
                  std::string::npos)
            << context;
      EXPECT_EQ(seen.find("1=1:"), deleted ? std::string::npos : 0u) << context;
    } else {
      ++refused;
      EXPECT_EQ(seen, before) << context;
    }
    if (deleted && n > 1) break;  // the delete got through: every read before it was tried
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(committed, 0);
}

// Emptying writes the files at once, where a rollback could not take it back: inside a
// transaction it is refused, and the transaction goes on untouched.
TEST_F(TExclusiveJournalTest, EmptyingInsideATransactionIsRefusedAndChangesNothing) {
  Populate();
  const std::string before = Inspect("before");
  for (const bool commit : {false, true}) {
    {
      TUse use(Dir.Path());
      TDataCursor& c = use.Open("A", true);
      use.Database->StartTransaction();
      TRec r(c);
      r.Init().Int("Value", 40);
      SetMemo(c, r, MemoText(40, 9));
      c.InsertRecord(r.Bytes());
      try {
        c.EmptyTable();
        ADD_FAILURE() << "emptied inside a transaction";
      } catch (const EVELDOREngineError& e) {
        EXPECT_EQ(e.ErrorCode, VELDOR_TABLEOPEN);
        EXPECT_EQ(e.ErrorTable, "A");
      }
      EXPECT_TRUE(use.Database->InTransaction());
      EXPECT_EQ(c.RecordCount(), 13);
      if (commit) {
        use.Database->Commit(true, false);
      } else {
        use.Database->Rollback();
      }
    }
    const std::string seen = Inspect(commit ? "committed" : "rolled back");
    if (commit) {
      EXPECT_EQ(seen.find(before), 0u);
      EXPECT_NE(seen.find("=40:" + MemoText(40, 9) + "\n"), std::string::npos);
    } else {
      EXPECT_EQ(seen, before);
    }
  }
}

// The seam the measurements use: with the journal switched off a commit writes the tables in
// place, so a crash in the middle leaves them neither old nor new; switched on again, the same
// crashes never do.
class TJournalSwitchTest : public TJournalTestBase {
 protected:
  // A transaction changing every row's value and memo.
  static void ChangeAll(TUse& use, TDataCursor& c) {
    use.Database->StartTransaction();
    TRec r(c);
    c.First();
    while (c.GetNext(r.Bytes()) == VELDOR_NONE) {
      r.Int("Value", r.GetInt("Value") + 500);
      SetMemo(c, r, MemoText(r.GetInt("ID"), 7) + std::string(150, 'w'));
      c.ModifyRecord(r.Bytes());
    }
    use.Database->Commit(true, false);
  }
  // Crashes the change after each write in turn; counts the crashes that left the table
  // neither as before nor as after (or failing its checks).
  int TornStates(bool journalOff, const std::map<std::string, std::string>& start,
                 const std::string& before, const std::string& after) {
    int torn = 0;
    for (std::int64_t n = 0; n < 400; ++n) {
      RestoreFiles(start);
      SwitchJournalOffForMeasurement(journalOff);
      {
        TUse use(Dir.Path());
        TDataCursor& c = use.Open("A");
        Faults.CrashAfter(n);
        try {
          ChangeAll(use, c);
        } catch (const EVELDOREngineError&) {
        }
      }
      SwitchJournalOffForMeasurement(false);
      const bool crashed = Faults.Crashed();
      Faults.ClearFaults();
      if (journalOff) {
        EXPECT_FALSE(FileExists(Dir.File("A.JNL"))) << n;
      }
      std::string seen;
      bool sound = true;
      try {
        TUse use(Dir.Path());
        TDataCursor& c = use.Open("A");
        seen = Image(c);
        sound = CheckTable(c.Table()).empty();
      } catch (const EVELDOREngineError&) {
        sound = false;
      }
      if (!sound || (seen != before && seen != after)) ++torn;
      if (!crashed) break;
    }
    return torn;
  }
};

TEST_F(TJournalSwitchTest, WithoutTheJournalACrashedCommitLeavesTheTableTorn) {
  Populate();
  const auto start = SaveFiles();
  const std::string before = Inspect("before");
  {
    TUse use(Dir.Path());
    ChangeAll(use, use.Open("A"));
  }
  const std::string after = Inspect("after");
  ASSERT_NE(before, after);
  EXPECT_GT(TornStates(true, start, before, after), 0);
  EXPECT_FALSE(JournalSwitchedOff());
  EXPECT_EQ(TornStates(false, start, before, after), 0);
}

}  // namespace
}  // namespace zorvic::engine::testing

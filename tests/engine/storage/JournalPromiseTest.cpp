// The rest of what survives a crash: an exclusive table's lazy writes are committed by the
// start and the commit of a transaction, a crash inside the transaction loses the transaction
// and nothing else, a change of a shared table that fails half-way outside a transaction loses
// only itself, and only FLUSH (or the forced flush) syncs anything.
#include "engine/storage/JournalTestSupport.h"

namespace zorvic::engine::testing {
namespace {

class TJournalPromiseTest : public TJournalTestBase {
 protected:
  static void InsertRows(TDataCursor& c, int from, int to, int round) {
    TRec r(c);
    for (int v = from; v < to; ++v) {
      r.Init().Int("Value", v);
      SetMemo(c, r, MemoText(v, round) + std::string(120, 'q'));
      c.InsertRecord(r.Bytes());
    }
  }
  static bool Holds(const std::string& image, int value, int round) {
    return image.find("=" + std::to_string(value) + ":" + MemoText(value, round)) !=
           std::string::npos;
  }
};

// Rows written lazily (small caches) before START TRANSACTION are the table's from then on: a
// crash inside the transaction, or during its commit, keeps them and loses only the
// transaction's own rows; a commit that returned keeps both.
TEST_F(TJournalPromiseTest, TheStartAndTheCommitOfATransactionCommitAnExclusiveTablesWrites) {
  Populate();
  const auto start = SaveFiles();
  for (std::int64_t stop : {std::int64_t{0}, std::int64_t{3}, std::int64_t{12}, std::int64_t{-1}}) {
    RestoreFiles(start);
    bool committed = false;
    {
      TUse use(Dir.Path(), true);
      TDataCursor& c = use.Open("A", true);
      InsertRows(c, 100, 140, 1);  // much of it written to make room, in the undo journal
      EXPECT_TRUE(FileExists(Dir.File("A.JNX")));
      use.Database->StartTransaction();  // the table's last flush from here on
      EXPECT_FALSE(FileExists(Dir.File("A.JNX")));
      InsertRows(c, 200, 230, 2);
      if (stop >= 0) Faults.CrashAfter(stop);
      try {
        use.Database->Commit(true, false);
        committed = !Faults.Crashed();
      } catch (const EVELDOREngineError&) {
      }
    }
    const bool crashed = Faults.Crashed();
    Faults.ClearFaults();
    const std::string context = "stopped after " + std::to_string(stop);
    const std::string seen = Inspect(context);
    EXPECT_TRUE(Holds(seen, 1, 0) && Holds(seen, 139, 1)) << context;
    const bool transactionThere = Holds(seen, 200, 2);
    EXPECT_EQ(transactionThere, Holds(seen, 229, 2)) << context;
    EXPECT_TRUE(!committed || transactionThere) << context;
    EXPECT_TRUE(stop != 0 || !transactionThere) << context;
    EXPECT_TRUE(stop >= 0 || (committed && !crashed)) << context;
  }
}

// A shared table, no transaction: an insert or a delete whose n-th read or write fails is
// refused whole; the table stays sound with every other row, and takes the next change.
TEST_F(TJournalPromiseTest, AFailedChangeOfASharedTableLosesOnlyItself) {
  Populate();
  const std::string before = Inspect("before");
  int refused = 0;
  int round = 10;
  for (const int kind : {0, 1, 2, 3}) {
    const bool write = kind & 1, insert = kind & 2;
    for (std::int64_t n = 1; n < 80; ++n, ++round) {
      const std::string context = std::string(insert ? "insert, " : "delete, ") +
                                  (write ? "write " : "read ") + std::to_string(n) + " failed";
      SCOPED_TRACE(context);
      const std::string start = Inspect(context + ", start");
      bool failed = false;
      {
        TUse use(Dir.Path(), true);
        TDataCursor& c = use.Open("A");
        write ? Faults.FailWrite(n) : Faults.FailRead(n);
        try {
          if (insert) {
            InsertRows(c, 300 + round, 301 + round, 4);
          } else {
            TRec r(c);
            c.First();
            ASSERT_EQ(c.GetNext(r.Bytes()), VELDOR_NONE);
            c.DeleteRecord();
          }
        } catch (const EVELDOREngineError&) {
          failed = true;
        }
        Faults.ClearFaults();
        if (failed) {
          ++refused;
          InsertRows(c, 500, 501, round);  // the table takes the next change
        }
      }
      const std::string seen = Inspect(context);
      if (failed) {
        // Only the refused change is missing: the next one is there, everything else as it was.
        ASSERT_TRUE(Holds(seen, 500, round)) << context;
        std::string rest = seen;
        const std::size_t at = rest.find("=500:" + MemoText(500, round));
        rest.erase(rest.rfind('\n', at) + 1, rest.find('\n', at) - rest.rfind('\n', at));
        EXPECT_EQ(rest, start) << context;
      }
      if (!failed) break;
    }
  }
  EXPECT_GT(refused, 4);
  EXPECT_NE(Inspect("after"), before);
}

// Without FLUSH nothing is synced; COMMIT FLUSH and the forced flush sync the tables.
TEST_F(TJournalPromiseTest, OnlyFlushSyncs) {
  Populate();
  for (const bool forced : {false, true}) {
    TUse use(Dir.Path(), false, forced);
    TDataCursor& c = use.Open("A");
    std::int64_t syncs = Faults.Syncs();
    InsertRows(c, 600, 601, 5);
    EXPECT_EQ(Faults.Syncs() > syncs, forced) << "single insert, forced " << forced;
    use.Database->StartTransaction();
    InsertRows(c, 610, 613, 5);
    syncs = Faults.Syncs();
    use.Database->Commit(true, false);
    EXPECT_EQ(Faults.Syncs() > syncs, forced) << "commit, forced " << forced;
    use.Database->StartTransaction();
    InsertRows(c, 620, 623, 5);
    syncs = Faults.Syncs();
    use.Database->Commit(true, true);
    EXPECT_GT(Faults.Syncs(), syncs) << "commit flush";
    EXPECT_GT(Faults.SyncsOf(Dir.File("A.DAT")), 0);
  }
}

}  // namespace
}  // namespace zorvic::engine::testing

// Two writers on one table at the same time, as two sessions of one process and as two
// processes: both finish, nothing is lost, and the table's indexes and data file check clean.
// A process that dies holding locks leaves nothing locked behind.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "engine/storage/LockTestSupport.h"

namespace zorvic::engine::testing {
namespace {

constexpr int kRowsPerWriter = 10000;

// A third session sees every row, and the table checks clean.
void ExpectCompleteTable(const std::string& dir, int rows) {
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(dir);
  {
    TDataCursor c(db);
    c.Open("T");
    EXPECT_EQ(c.RecordCount(), rows);
    const std::vector<std::string> indexProblems = CheckTable(c.Table());
    EXPECT_TRUE(indexProblems.empty()) << indexProblems.front();
    const std::vector<std::string> dataProblems = c.Table().Data().CheckFile();
    EXPECT_TRUE(dataProblems.empty()) << dataProblems.front();
    EXPECT_EQ(c.Table().Index().RecordCount(), rows);
  }
  session.CloseDatabase(db);
}

TEST(TableConcurrencyTest, TwoSessionsOfOneProcessInsertAtOnce) {
  TTempDir dir;
  CreateTableIn(dir.Path(), "T", KeyedTable());
  std::string failures[2];
  std::thread writers[2];
  for (int w = 0; w < 2; ++w) {
    writers[w] = std::thread([&, w] {
      try {
        InsertRandomRows(dir.Path(), w == 0 ? "a" : "b", kRowsPerWriter, 1000 + w);
      } catch (const std::exception& e) {
        failures[w] = e.what();
      }
    });
  }
  for (std::thread& t : writers)
    t.join();
  EXPECT_EQ(failures[0], "");
  EXPECT_EQ(failures[1], "");
  ExpectCompleteTable(dir.Path(), 2 * kRowsPerWriter);
}

TEST(TableConcurrencyTest, TwoProcessesInsertAtOnce) {
  TTempDir dir;
  CreateTableIn(dir.Path(), "T", KeyedTable());
  const pid_t a = ForkChild([&] { InsertRandomRows(dir.Path(), "a", kRowsPerWriter, 7); });
  const pid_t b = ForkChild([&] { InsertRandomRows(dir.Path(), "b", kRowsPerWriter, 8); });
  EXPECT_EQ(WaitChild(a), 0);
  EXPECT_EQ(WaitChild(b), 0);
  ExpectCompleteTable(dir.Path(), 2 * kRowsPerWriter);
}

TEST(TableConcurrencyTest, ReadersNeverSeeHalfACommit) {
  TTempDir dir;
  CreateTableIn(dir.Path(), "T", KeyedTable());
  constexpr int kBatch = 10;
  constexpr int kBatches = 60;
  std::atomic<bool> done{false};
  std::string writerFailure;
  std::thread writer([&] {
    try {
      TDataSession session;
      TDataDirectory& db = session.OpenDatabase(dir.Path());
      {
        TDataCursor c(db);
        c.Open("T");
        TRec r(c);
        for (int b = 0; b < kBatches; ++b) {
          db.StartTransaction();
          for (int i = 0; i < kBatch; ++i) {
            r.Init().Str("Key", "k" + std::to_string(b * kBatch + i)).Int("Value", i);
            c.InsertRecord(r.Bytes());
          }
          db.Commit();
        }
      }
      session.CloseDatabase(db);
    } catch (const std::exception& e) {
      writerFailure = e.what();
    }
    done = true;
  });
  TDataSession session;
  session.SetStrictChangeDetection(true);
  TDataDirectory& db = session.OpenDatabase(dir.Path());
  {
    TDataCursor c(db);
    c.Open("T");
    c.SetIndexByName("ByValue");
    std::int64_t last = 0;
    while (!done) {
      // Every count shows whole batches only.
      const std::int64_t n = c.RecordCount();
      EXPECT_EQ(n % kBatch, 0) << "saw " << n << " rows";
      EXPECT_GE(n, last);
      last = n;
      // Under the table read lock nobody writes: a walk sees one state from end to end.
      c.TakeTableReadLock();
      const std::int64_t locked = c.RecordCount();
      c.First();
      std::int64_t walked = 0;
      while (c.GetNext(nullptr) == VELDOR_NONE)
        ++walked;
      c.ReleaseTableReadLock();
      EXPECT_EQ(walked, locked);
      EXPECT_EQ(walked % kBatch, 0) << "walked " << walked << " rows";
      if (::testing::Test::HasFailure()) break;
    }
  }
  writer.join();
  {
    TDataCursor c(db);
    c.Open("T");
    EXPECT_EQ(c.RecordCount(), kBatch * kBatches);
  }
  session.CloseDatabase(db);
  EXPECT_EQ(writerFailure, "");
}

TEST(TableConcurrencyTest, KilledProcessReleasesItsLocks) {
  TTempDir dir;
  CreateTableIn(dir.Path(), "T", KeyedTable());
  InsertRandomRows(dir.Path(), "x", 3, 1);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  // The child starts a transaction on T (the transaction byte) and locks its first record.
  const pid_t child = ForkChild([&] {
    TDataSession session;
    TDataDirectory& db = session.OpenDatabase(dir.Path());
    TDataCursor c(db);
    c.Open("T");
    db.StartTransaction();
    c.SetIndexByName("");
    c.First();
    TRec r(c);
    c.GetNext(r.Bytes());
    c.LockRecord();
    const char byte = 1;
    if (::write(ready[1], &byte, 1) != 1) ::_exit(2);
    ::pause();
  });
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);

  TDataSession session;
  session.SetLockRetryCount(0);
  TDataDirectory& db = session.OpenDatabase(dir.Path());
  {
    TDataCursor c(db);
    c.Open("T");
    c.SetIndexByName("");
    TRec r(c);
    {
      TShortLockWaits shortWaits;
      r.Init().Str("Key", "new").Int("Value", 1);
      EXPECT_EQ(CodeOf([&] { c.InsertRecord(r.Bytes()); }), VELDOR_LOCKTIMEOUT);
      c.First();
      ASSERT_EQ(c.GetNext(r.Bytes()), VELDOR_NONE);
      EXPECT_EQ(CodeOf([&] { c.LockRecord(); }), VELDOR_RECLOCKFAILED);
    }
    ::kill(child, SIGKILL);
    EXPECT_EQ(WaitChild(child), -1);
    // The survivor proceeds at once.
    c.LockRecord();
    c.UnlockRecord();
    r.Init().Str("Key", "new").Int("Value", 1);
    c.InsertRecord(r.Bytes());
    EXPECT_EQ(c.RecordCount(), 4);
  }
  session.CloseDatabase(db);
}

}  // namespace
}  // namespace zorvic::engine::testing

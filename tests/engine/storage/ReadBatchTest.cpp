// Runs of reads that share one read lock (TReadBatch): a writer in another thread or process
// never waits long behind a scan that keeps reading; a batch sees what was committed before it
// began, and what another process commits while it runs once its lock was given up and taken
// again; a batch keeps no lock once it ends or the table's last cursor closes; a table whose
// units are all cached is looked at once per batch and at each scan start outside batches; a
// filter that tests every slot of a large table lets a waiting writer in between its runs.
#include <poll.h>
#include <algorithm>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "engine/storage/LockTestSupport.h"
#include "engine/storage/files/FileLayer.h"

namespace zorvic::engine::testing {
namespace {

// Far more rows than the record and page caches hold: every scan reads the files.
constexpr int kRows = 1500;

// Inserts `count` rows keyed `tag`0.. through a session of its own, in one transaction.
void InsertRows(const std::string& dir, const std::string& tag, int count) {
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(dir);
  {
    TDataCursor c(db);
    c.Open("T");
    TRec r(c);
    db.StartTransaction();
    for (int i = 0; i < count; ++i) {
      r.Init().Str("Key", tag + std::to_string(i)).Int("Value", (i * 7919) % 1000);
      c.InsertRecord(r.Bytes());
    }
    db.Commit();
  }
  session.CloseDatabase(db);
}

void LoadRows(const std::string& dir) {
  CreateTableIn(dir, "T", KeyedTable());
  InsertRows(dir, "base", kRows);
}

// A record cache of 16 KB: reads go to the file, so they take read locks (a table whose
// records are all cached takes none, and a writer never waits for it).
void UseSmallRecordCache(TDataSession& session) {
  TSessionSettings small = session.Settings();
  small.RecordCacheBytes = 16384;
  session.SetSettings(small);
}

std::int64_t Walk(TDataCursor& c) {
  std::int64_t n = 0;
  c.First();
  while (c.GetNext(nullptr) == VELDOR_NONE)
    ++n;
  return n;
}

// Whether another session can take the table's write lock at once (a single attempt).
bool WriterGetsIn(const std::string& dir, const std::string& key) {
  TShortLockWaits once(1, 0);
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(dir);
  bool in = true;
  {
    TDataCursor c(db);
    c.Open("T");
    TRec r(c);
    r.Init().Str("Key", key).Int("Value", 1);
    in = CodeOf([&] { c.InsertRecord(r.Bytes()); }) == VELDOR_NONE;
  }
  session.CloseDatabase(db);
  return in;
}

// Walks T by its secondary index over and over inside one read batch until `stop` says so.
void ScanInOneBatch(const std::string& dir, const std::function<bool(int scans)>& stop) {
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(dir);
  {
    TReadBatch batch(session);
    TDataCursor c(db);
    c.Open("T");
    c.SetIndexByName("ByValue");
    for (int scans = 0; !stop(scans); ++scans)
      EXPECT_GE(Walk(c), kRows);
  }
  session.CloseDatabase(db);
}

// The slowest of `count` single inserts keyed `tag`0.., in milliseconds.
double LongestInsert(const std::string& dir, const std::string& tag, int count) {
  double longest = 0;
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(dir);
  {
    TDataCursor c(db);
    c.Open("T");
    TRec r(c);
    for (int i = 0; i < count; ++i) {
      r.Init().Str("Key", tag + std::to_string(i)).Int("Value", i);
      longest = std::max(longest, MillisecondsOf([&] { c.InsertRecord(r.Bytes()); }));
    }
  }
  session.CloseDatabase(db);
  return longest;
}

std::int64_t CountRows(const std::string& dir) {
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(dir);
  std::int64_t n = 0;
  {
    TDataCursor c(db);
    c.Open("T");
    n = Walk(c);
    EXPECT_EQ(c.RecordCount(), n);
  }
  session.CloseDatabase(db);
  return n;
}

// A pipe for one byte from one process to another.
struct TSignal {
  int Fd[2] = {-1, -1};
  TSignal() { EXPECT_EQ(::pipe(Fd), 0); }
  ~TSignal() {
    ::close(Fd[0]);
    ::close(Fd[1]);
  }
  void Send() { EXPECT_EQ(::write(Fd[1], "x", 1), 1); }
  void Await() {
    char b;
    EXPECT_EQ(::read(Fd[0], &b, 1), 1);
  }
  bool Arrived() {
    pollfd p{Fd[0], POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }
};

// The bound is tens of milliseconds; a loaded machine under the sanitizers gets slack, but a
// writer starved for the length of whole scans (seconds, before batches made room) fails.
constexpr double kWaitLimitMs = 250;

TEST(ReadBatchTest, WriterInAnotherThreadOrProcessNeverWaitsLongBehindAScanningBatch) {
  TTempDir dir;
  LoadRows(dir.Path());
  // Another process scans, forked while this one has no file open.
  TSignal started;
  TSignal stop;
  const pid_t scanner = ForkChild([&] {
    ScanInOneBatch(dir.Path(), [&](int scans) {
      if (scans == 1) started.Send();
      return scans > 1 && stop.Arrived();
    });
    if (::testing::Test::HasFailure()) throw std::runtime_error("scan failed");
  });
  started.Await();
  const double process = LongestInsert(dir.Path(), "process", 20);
  EXPECT_LT(process, kWaitLimitMs);
  stop.Send();
  EXPECT_EQ(WaitChild(scanner), 0);

  // Another thread of this process scans.
  std::atomic<int> scans{0};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    ScanInOneBatch(dir.Path(), [&](int n) {
      scans = n;
      return done.load();
    });
  });
  while (scans < 1)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const double thread = LongestInsert(dir.Path(), "thread", 20);
  EXPECT_LT(thread, kWaitLimitMs);
  RecordProperty("LongestWaitMs", std::to_string(process) + " / " + std::to_string(thread));
  std::printf("longest insert beside a scan: other process %.1f ms, other thread %.1f ms\n",
              process, thread);
  done = true;
  reader.join();
  EXPECT_EQ(CountRows(dir.Path()), kRows + 40);
}

// A filter's test of every slot is one operation: on a large table it holds the read lock
// far longer than a batch may. Between its runs of slots it lets a waiting writer in, and
// tests the slots after that as the writer left them; the cursor's next operation tests them
// all again.
constexpr int kManyRows = 8000;  // several of the scan's 64 KB runs

struct TSlowBuild {
  int CallsWhenWritten = 0;  // the slot test at which the writer was seen done (0: never)
  int FirstBuild = 0;        // slots the first build tested
  std::int64_t Counted = 0;  // the count of the cursor's next operation
};

// Builds a filter over every slot of T on this thread, slow enough that a run of slots
// outlasts the batch's hold several times over; startWriter is called at the first slot,
// writerDone asked at each one.
TSlowBuild SlowBuildBeside(const std::string& dir, const std::function<void()>& startWriter,
                           const std::function<bool()>& writerDone) {
  TSlowBuild out;
  int calls = 0;
  bool building = true;
  TDataSession session;
  UseSmallRecordCache(session);
  TDataDirectory& db = session.OpenDatabase(dir);
  {
    TDataCursor c(db);
    c.Open("T");
    c.AddFilter([&](const std::uint8_t*) {
      if (++calls == 1) startWriter();
      if (building && out.CallsWhenWritten == 0 && writerDone()) out.CallsWhenWritten = calls;
      if (building && calls % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      return true;
    });
    out.FirstBuild = calls;
    building = false;
    out.Counted = c.RecordCount();
  }
  session.CloseDatabase(db);
  return out;
}

// The writer finished while the first build still had slots to test, and the build's rest
// (the slots the table has now) took in its row.
void ExpectWriterGotInDuringTheBuild(const TSlowBuild& build) {
  EXPECT_GT(build.CallsWhenWritten, 0);
  EXPECT_LT(build.CallsWhenWritten, kManyRows);
  EXPECT_EQ(build.FirstBuild, kManyRows + 1);
  EXPECT_EQ(build.Counted, kManyRows + 1);
}

TEST(ReadBatchTest, AWriterGetsInDuringALongFilterBuildWhoseRestSeesItsRow) {
  TTempDir dir;
  CreateTableIn(dir.Path(), "T", KeyedTable());
  InsertRows(dir.Path(), "base", kManyRows);
  std::atomic<bool> done{false};
  std::thread writer;
  const TSlowBuild build = SlowBuildBeside(
      dir.Path(),
      [&] {
        writer = std::thread([&] {
          InsertRows(dir.Path(), "writer", 1);
          done = true;
        });
      },
      [&] { return done.load(); });
  writer.join();
  ExpectWriterGotInDuringTheBuild(build);
}

TEST(ReadBatchTest, AWriterProcessGetsInDuringALongFilterBuildWhoseRestSeesItsRow) {
  TTempDir dir;
  CreateTableIn(dir.Path(), "T", KeyedTable());
  InsertRows(dir.Path(), "base", kManyRows);
  // Forked while no file is open here.
  TSignal go;
  TSignal done;
  const pid_t writer = ForkChild([&] {
    go.Await();
    InsertRows(dir.Path(), "writer", 1);
    done.Send();
  });
  const TSlowBuild build = SlowBuildBeside(
      dir.Path(), [&] { go.Send(); }, [&] { return done.Arrived(); });
  EXPECT_EQ(WaitChild(writer), 0);
  ExpectWriterGotInDuringTheBuild(build);
}

TEST(ReadBatchTest, BatchSeesCommitsBeforeItAndAnotherProcessesCommitAfterItsLockIsRetaken) {
  TTempDir dir;
  LoadRows(dir.Path());
  // Children forked while no file is open here, each waiting for its turn.
  TSignal goBefore;
  TSignal goDuring;
  const pid_t before = ForkChild([&] {
    goBefore.Await();
    InsertRows(dir.Path(), "before", 5);
  });
  const pid_t during = ForkChild([&] {
    goDuring.Await();
    InsertRows(dir.Path(), "during", 7);
  });
  TDataSession session;
  UseSmallRecordCache(session);
  TDataDirectory& db = session.OpenDatabase(dir.Path());
  {
    TDataCursor c(db);
    c.Open("T");
    EXPECT_EQ(Walk(c), kRows);
    // Committed by another process while no batch runs: the next batch sees it.
    goBefore.Send();
    ASSERT_EQ(WaitChild(before), 0);
    {
      TReadBatch batch(session);
      EXPECT_EQ(Walk(c), kRows + 5);
      // Committed by another process while this batch runs and keeps reading: the child's
      // write gets in between two of the batch's locks, and a walk begun after it finished
      // sees its rows.
      goDuring.Send();
      int status = 0;
      while (::waitpid(during, &status, WNOHANG) == 0)
        Walk(c);
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 0);
      EXPECT_EQ(Walk(c), kRows + 12);
    }
  }
  session.CloseDatabase(db);
}

// A statement (a batch) on a table that another cursor of the session holds open sees what
// another session committed before it began, though every page it needs is cached.
TEST(ReadBatchTest, AStatementOnATableHeldOpenSeesWhatWasCommittedBeforeIt) {
  TTempDir dir;
  CreateTableIn(dir.Path(), "T", KeyedTable());
  InsertRows(dir.Path(), "k", 10);
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(dir.Path());
  {
    TDataCursor held(db);
    held.Open("T");
    auto find = [&](const std::string& key) {
      TReadBatch batch(session);
      TDataCursor c(db);
      c.Open("T");
      TRec r(c);
      r.Init().Str("Key", key);
      return c.FindKey(r.Bytes(), 1);
    };
    EXPECT_TRUE(find("k5"));
    EXPECT_FALSE(find("new1"));
    InsertRows(dir.Path(), "new", 3);
    EXPECT_TRUE(find("new1"));
    EXPECT_EQ(Walk(held), 13);
  }
  session.CloseDatabase(db);
}

// A table whose every record and page is cached: a cursor opened before a batch looks at the
// table once in the batch, and a walk outside any batch once at its start, so neither answers
// from caches that miss what another session committed before it.
TEST(ReadBatchTest, AWhollyCachedTableSeesCommitsBeforeABatchOrAScanBegan) {
  TTempDir dir;
  CreateTableIn(dir.Path(), "T", KeyedTable());
  InsertRows(dir.Path(), "k", 10);
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(dir.Path());
  {
    TDataCursor c(db);
    c.Open("T");
    EXPECT_EQ(Walk(c), 10);
    TRec r(c);
    r.Init().Str("Key", "new1");
    EXPECT_FALSE(c.FindKey(r.Bytes(), 1));
    InsertRows(dir.Path(), "new", 3);
    {
      TReadBatch batch(session);
      r.Init().Str("Key", "new1");
      EXPECT_TRUE(c.FindKey(r.Bytes(), 1));
    }
    InsertRows(dir.Path(), "more", 2);
    EXPECT_EQ(Walk(c), 15);
    // Backward from the end as well.
    InsertRows(dir.Path(), "last", 1);
    c.Last();
    std::int64_t back = 0;
    while (c.GetPrior(nullptr) == VELDOR_NONE)
      ++back;
    EXPECT_EQ(back, 16);
  }
  session.CloseDatabase(db);
}

TEST(ReadBatchTest, NoLockOutlivesTheBatchOrTheLastCursor) {
  TTempDir dir;
  LoadRows(dir.Path());
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(dir.Path());
  {
    TDataCursor c(db);
    c.Open("T");
    {
      TReadBatch batch(session);
      Walk(c);
      // Kept between operations while the batch runs (a read that misses the caches takes it;
      // one that took longer than the batch keeps a lock gives it up at its end, so a slow
      // machine gets a few tries).
      TDataTable& table = *db.FindTable("T", false);
      bool kept = false;
      for (int i = 0; i < 20 && !kept; ++i) {
        table.DropCaches();
        c.First();
        c.GetNext(nullptr);
        kept = table.LockState().HoldsReadLock();
      }
      EXPECT_TRUE(kept);
    }
    EXPECT_FALSE(db.FindTable("T", false)->LockState().HoldsReadLock());
    EXPECT_TRUE(WriterGetsIn(dir.Path(), "probe1"));
    {
      TReadBatch batch(session);
      TReadBatch nested(session);
      Walk(c);
      c.Close();
      // The table's last cursor went: an idle table holds nothing, batch or not.
      EXPECT_TRUE(WriterGetsIn(dir.Path(), "probe2"));
      c.Open("T");
      Walk(c);
      // A batch of another session covers nothing of this one.
      TDataSession other;
      TReadBatch foreign(other);
    }
    EXPECT_TRUE(WriterGetsIn(dir.Path(), "probe3"));
    // Outside a batch every operation gives its lock up at its end, as before.
    Walk(c);
    EXPECT_FALSE(db.FindTable("T", false)->LockState().HoldsReadLock());
    // A write of this session inside a batch first gives up what the batch keeps.
    {
      TReadBatch batch(session);
      Walk(c);
      TRec r(c);
      r.Init().Str("Key", "own").Int("Value", 2);
      c.InsertRecord(r.Bytes());
      EXPECT_EQ(Walk(c), kRows + 4);
    }
  }
  session.CloseDatabase(db);
}

}  // namespace
}  // namespace zorvic::engine::testing

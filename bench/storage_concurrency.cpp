// Concurrent inserts into one table and commit rates, side by side with SQLite doing the same.
//
// The table is shaped like a mailbox: an auto-increment key, a sender (String 30, with a
// non-unique index), a subject (String 60) and a number. ZORVIC_BENCH_INSERTS (default 100,000)
// inserts are shared out among 1, 2 or 4 threads (one session each, argument `sessions`) or 2
// forked processes (argument `processes`), each working on the shared table: outside
// transactions (argument `txn` 0: every insert writes its pages to the files) or in
// transactions of ZORVIC_BENCH_BATCH inserts (default 100; `txn` 1). Commit rates: one insert
// per transaction, ZORVIC_BENCH_COMMITS commits (default 2,000), without and with the flush to
// disk (argument `flush`).
//
// Counters: items_per_second (inserts or commits); lock_timeouts (VELDOR_LOCKTIMEOUT raised to
// a worker, whose insert or batch is then retried); cache_drops (how often the sessions'
// tables dropped their caches because another writer changed the table, from the table
// objects' epochs).
//
// Several sessions writing one table need the table locks between sessions and processes.
// Until those are in place such writes are not safe, so the cases with more than one session
// or process run only when ZORVIC_BENCH_MULTI=1 is set; otherwise they report a skip.
//
// SQLite: one connection per thread or process, in its default rollback journal (argument
// `wal` 0) or in WAL mode (`wal` 1); batches in BEGIN IMMEDIATE ... COMMIT; a busy timeout of
// 10 s. The engine leaves its writes in the system's buffers unless asked to flush, so SQLite
// runs with synchronous=OFF for the inserts and for commits without flush, and with
// synchronous=FULL for commits with flush.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <latch>
#include <thread>

#include "StorageBenchSupport.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/locks/TableLocks.h"
#include "engine/storage/sessions/DataSession.h"

using namespace zorvic::engine;
using zorvic::bench::TBenchDir;
using zorvic::bench::TSqlite;
using zorvic::bench::TSqliteStatement;

namespace {

const char* const kTable = "Mailbox";

std::int64_t InsertCount() {
  return zorvic::bench::EnvCount("ZORVIC_BENCH_INSERTS", 100000);
}
std::int64_t BatchSize() {
  return zorvic::bench::EnvCount("ZORVIC_BENCH_BATCH", 100);
}
std::int64_t CommitCount() {
  return zorvic::bench::EnvCount("ZORVIC_BENCH_COMMITS", 2000);
}
bool MultiSessionAllowed() {
  const char* on = getenv("ZORVIC_BENCH_MULTI");
  return on && std::strcmp(on, "1") == 0;
}

// What one worker saw.
struct TWorkerResult {
  std::int64_t Inserted = 0;
  std::int64_t LockTimeouts = 0;
  std::int64_t CacheDrops = 0;
  bool Failed = false;
  char Error[200] = {};
};

void Fail(TWorkerResult& r, const char* what) {
  r.Failed = true;
  std::snprintf(r.Error, sizeof r.Error, "%s", what);
}

// Runs `count` workers as threads or as forked processes, releases them together and returns
// the seconds from the release until the last one finished.
double RunWorkers(int count, bool processes, std::vector<TWorkerResult>& results,
                  const std::function<void(int, TWorkerResult&)>& work) {
  results.assign(static_cast<std::size_t>(count), TWorkerResult{});
  using TClock = std::chrono::steady_clock;
  if (!processes) {
    std::latch ready(count), go(1);
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
      threads.emplace_back([&, i] {
        ready.count_down();
        go.wait();
        work(i, results[static_cast<std::size_t>(i)]);
      });
    ready.wait();
    const auto start = TClock::now();
    go.count_down();
    for (auto& t : threads)
      t.join();
    return std::chrono::duration<double>(TClock::now() - start).count();
  }
  // Processes: a pipe releases them, one pipe per child carries its result back.
  int goPipe[2];
  if (pipe(goPipe) != 0) throw std::runtime_error("pipe");
  std::vector<int> resultFds;
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) {
    int resultPipe[2];
    if (pipe(resultPipe) != 0) throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
      close(goPipe[1]);
      close(resultPipe[0]);
      char byte;
      TWorkerResult r;
      if (read(goPipe[0], &byte, 1) == 1) {
        try {
          work(i, r);
        } catch (const std::exception& e) {
          Fail(r, e.what());
        }
      } else {
        Fail(r, "no start signal");
      }
      const ssize_t written = write(resultPipe[1], &r, sizeof r);
      _exit(written == static_cast<ssize_t>(sizeof r) ? 0 : 1);
    }
    close(resultPipe[1]);
    resultFds.push_back(resultPipe[0]);
    children.push_back(pid);
  }
  close(goPipe[0]);
  const auto start = TClock::now();
  const std::vector<char> bytes(static_cast<std::size_t>(count), 'g');
  if (write(goPipe[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error("cannot release the workers");
  for (int i = 0; i < count; ++i) {
    TWorkerResult& r = results[static_cast<std::size_t>(i)];
    if (read(resultFds[static_cast<std::size_t>(i)], &r, sizeof r) !=
        static_cast<ssize_t>(sizeof r))
      Fail(r, "worker process ended without a result");
    close(resultFds[static_cast<std::size_t>(i)]);
  }
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
  close(goPipe[1]);
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
  }
  return seconds;
}

// Reports the workers' totals; false (the case skipped with the first error) when one failed.
bool Report(benchmark::State& state, const std::vector<TWorkerResult>& results,
            std::int64_t expected) {
  std::int64_t inserted = 0, timeouts = 0, drops = 0;
  for (const TWorkerResult& r : results) {
    if (r.Failed) {
      state.SkipWithError(r.Error);
      return false;
    }
    inserted += r.Inserted;
    timeouts += r.LockTimeouts;
    drops += r.CacheDrops;
  }
  state.counters["lock_timeouts"] = static_cast<double>(timeouts);
  state.counters["cache_drops"] = static_cast<double>(drops);
  state.SetItemsProcessed(inserted);
  if (inserted != expected) {
    state.SkipWithError(
        ("inserted " + std::to_string(inserted) + " of " + std::to_string(expected)).c_str());
    return false;
  }
  return true;
}

// ---- the engine ------------------------------------------------------------------------

TTableCreation MailboxTable() {
  const auto field = [](const char* name, std::uint8_t type, std::uint32_t size, std::uint8_t sub) {
    TFieldDefinition f;
    f.Name = name;
    f.DataType = type;
    f.Size = size;
    f.SubType = sub;
    return f;
  };
  TTableCreation c;
  c.Table.Fields = {field("ID", ftInteger, 0, fstAutoInc), field("Sender", ftString, 30, 0),
                    field("Subject", ftString, 60, 0), field("Size", ftInteger, 0, 0)};
  c.Primary.Fields = {1};
  c.Primary.Unique = true;
  TIndexDefinition bySender;
  bySender.Name = "BySender";
  bySender.Fields = {2};
  bySender.Compression = icFull;
  c.Secondary = {bySender};
  return c;
}

void CreateEngineTable(const TBenchDir& dir) {
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(dir.Path);
  {
    TDataCursor cursor(db);
    cursor.CreateTable(kTable, MailboxTable(), false);
  }
  session.CloseDatabase(db);
}

// Counts the table's records in a session of its own.
std::int64_t EngineRecordCount(const TBenchDir& dir) {
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(dir.Path);
  std::int64_t n = 0;
  {
    TDataCursor cursor(db);
    cursor.Open(kTable);
    n = cursor.RecordCount();
  }
  session.CloseDatabase(db);
  return n;
}

void FillRecord(TDataCursor& cursor, std::uint8_t* record, int worker, std::int64_t i) {
  cursor.InitRecord(record);
  cursor.SetString(record, 2, "sender" + std::to_string((worker * 7919 + i) % 500));
  cursor.SetString(
      record, 3,
      "Subject of message " + std::to_string(i) + " from worker " + std::to_string(worker));
  std::uint8_t size[4];
  PutI32(size, static_cast<std::int32_t>(i % 100000));
  cursor.SetFieldBytes(record, 4, size);
}

// One worker: its own session, `count` inserts, outside or inside transactions of `batch`.
void EngineWorker(const std::string& path, int worker, std::int64_t count, std::int64_t batch,
                  TWorkerResult& r) {
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(path);
  try {
    TDataCursor cursor(db);
    cursor.Open(kTable);
    const std::uint64_t epoch = cursor.Table().Epoch();
    std::vector<std::uint8_t> record(cursor.RecordSize());
    std::int64_t done = 0;
    while (done < count) {
      const std::int64_t n = batch > 0 ? std::min(batch, count - done) : 1;
      try {
        if (batch > 0) db.StartTransaction();
        for (std::int64_t j = 0; j < n; ++j) {
          FillRecord(cursor, record.data(), worker, done + j);
          cursor.InsertRecord(record.data());
        }
        if (batch > 0) db.Commit();
        done += n;
      } catch (const EVELDOREngineError& e) {
        if (db.InTransaction()) db.Rollback();
        if (e.ErrorCode != VELDOR_LOCKTIMEOUT) throw;
        ++r.LockTimeouts;
      }
    }
    r.Inserted = done;
    r.CacheDrops = static_cast<std::int64_t>(cursor.Table().Epoch() - epoch);
    cursor.Close();
  } catch (const std::exception& e) {
    Fail(r, e.what());
  }
  session.CloseDatabase(db);
}

void EngineInserts(benchmark::State& state, int workers, bool processes) {
  if ((workers > 1 || processes) && !MultiSessionAllowed()) {
    state.SkipWithError("several writing sessions need the table locks; set ZORVIC_BENCH_MULTI=1");
    return;
  }
  const bool txn = state.range(1) != 0;
  const std::int64_t total = InsertCount();
  std::vector<TWorkerResult> results;
  std::int64_t inserted = 0;
  for (auto _ : state) {
    TBenchDir dir;
    CreateEngineTable(dir);
    const double seconds = RunWorkers(workers, processes, results, [&](int i, TWorkerResult& r) {
      const std::int64_t share = total / workers + (i < total % workers ? 1 : 0);
      EngineWorker(dir.Path, i, share, txn ? BatchSize() : 0, r);
    });
    state.SetIterationTime(seconds);
    inserted = EngineRecordCount(dir);
  }
  if (Report(state, results, total) && inserted != total)
    state.SkipWithError(("the table holds " + std::to_string(inserted) + " records").c_str());
}

void BM_EngineInsertThreads(benchmark::State& state) {
  EngineInserts(state, static_cast<int>(state.range(0)), false);
}
void BM_EngineInsertProcesses(benchmark::State& state) {
  EngineInserts(state, static_cast<int>(state.range(0)), true);
}

void BM_EngineCommits(benchmark::State& state) {
  const bool flush = state.range(0) != 0;
  const std::int64_t commits = CommitCount();
  for (auto _ : state) {
    TBenchDir dir;
    CreateEngineTable(dir);
    TDataSession session;
    TDataDirectory& db = session.OpenDatabase(dir.Path);
    {
      TDataCursor cursor(db);
      cursor.Open(kTable);
      std::vector<std::uint8_t> record(cursor.RecordSize());
      const auto start = std::chrono::steady_clock::now();
      for (std::int64_t i = 0; i < commits; ++i) {
        db.StartTransaction();
        FillRecord(cursor, record.data(), 0, i);
        cursor.InsertRecord(record.data());
        db.Commit(true, flush);
      }
      state.SetIterationTime(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    session.CloseDatabase(db);
  }
  state.SetItemsProcessed(state.iterations() * commits);
}

// ---- SQLite ------------------------------------------------------------------------------

void CreateSqliteTable(const std::string& file, bool wal) {
  TSqlite db(file);
  if (wal) db.Exec("PRAGMA journal_mode=WAL");
  db.Exec("CREATE TABLE mailbox(id INTEGER PRIMARY KEY, sender TEXT, subject TEXT, size INTEGER)");
  db.Exec("CREATE INDEX by_sender ON mailbox(sender)");
}

bool IsBusy(const std::exception& e) {
  return std::strstr(e.what(), "locked") != nullptr || std::strstr(e.what(), "busy") != nullptr;
}

void SqliteWorker(const std::string& file, int worker, std::int64_t count, std::int64_t batch,
                  bool sync, TWorkerResult& r) {
  try {
    TSqlite db(file);
    db.Exec(sync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF");
    TSqliteStatement insert(db.Get(),
                            "INSERT INTO mailbox(sender, subject, size) VALUES(?1, ?2, ?3)");
    std::int64_t done = 0;
    while (done < count) {
      const std::int64_t n = batch > 0 ? std::min(batch, count - done) : 1;
      try {
        if (batch > 0) db.Exec("BEGIN IMMEDIATE");
        for (std::int64_t j = 0; j < n; ++j) {
          const std::int64_t i = done + j;
          const std::string sender = "sender" + std::to_string((worker * 7919 + i) % 500);
          const std::string subject =
              "Subject of message " + std::to_string(i) + " from worker " + std::to_string(worker);
          sqlite3_bind_text(insert.Get(), 1, sender.c_str(), -1, SQLITE_TRANSIENT);
          sqlite3_bind_text(insert.Get(), 2, subject.c_str(), -1, SQLITE_TRANSIENT);
          sqlite3_bind_int(insert.Get(), 3, static_cast<int>(i % 100000));
          insert.Step();
          insert.Reset();
        }
        if (batch > 0) db.Exec("COMMIT");
        done += n;
      } catch (const std::exception& e) {
        insert.Reset();
        if (!sqlite3_get_autocommit(db.Get())) db.Exec("ROLLBACK");
        if (!IsBusy(e)) throw;
        ++r.LockTimeouts;
      }
    }
    r.Inserted = done;
  } catch (const std::exception& e) {
    Fail(r, e.what());
  }
}

void SqliteInserts(benchmark::State& state, int workers, bool processes) {
  const bool txn = state.range(1) != 0;
  const bool wal = state.range(2) != 0;
  const std::int64_t total = InsertCount();
  std::vector<TWorkerResult> results;
  std::int64_t rows = 0;
  for (auto _ : state) {
    TBenchDir dir;
    const std::string file = dir.File("bench.db");
    CreateSqliteTable(file, wal);
    const double seconds = RunWorkers(workers, processes, results, [&](int i, TWorkerResult& r) {
      const std::int64_t share = total / workers + (i < total % workers ? 1 : 0);
      SqliteWorker(file, i, share, txn ? BatchSize() : 0, false, r);
    });
    state.SetIterationTime(seconds);
    TSqlite db(file);
    rows = db.QueryInt("SELECT count(*) FROM mailbox");
  }
  if (Report(state, results, total) && rows != total)
    state.SkipWithError(("the table holds " + std::to_string(rows) + " rows").c_str());
}

void BM_SqliteInsertThreads(benchmark::State& state) {
  SqliteInserts(state, static_cast<int>(state.range(0)), false);
}
void BM_SqliteInsertProcesses(benchmark::State& state) {
  SqliteInserts(state, static_cast<int>(state.range(0)), true);
}

void BM_SqliteCommits(benchmark::State& state) {
  const bool flush = state.range(0) != 0;
  const bool wal = state.range(1) != 0;
  const std::int64_t commits = CommitCount();
  for (auto _ : state) {
    TBenchDir dir;
    const std::string file = dir.File("bench.db");
    CreateSqliteTable(file, wal);
    std::vector<TWorkerResult> results(1);
    const auto start = std::chrono::steady_clock::now();
    SqliteWorker(file, 0, commits, 1, flush, results[0]);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (results[0].Failed) {
      state.SkipWithError(results[0].Error);
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * commits);
}

// A writer beside a reader that keeps scanning: one thread walks the whole table over and over,
// each walk one read batch (as one SQL statement), while this thread makes single inserts;
// reports the inserts' median, 99th percentile and longest time.
void BM_EngineWriterBesideScan(benchmark::State& state) {
  if (!MultiSessionAllowed()) {
    state.SkipWithError("several writing sessions need the table locks; set ZORVIC_BENCH_MULTI=1");
    return;
  }
  for (auto _ : state) {
    TBenchDir dir;
    CreateEngineTable(dir);
    TWorkerResult loaded;
    EngineWorker(dir.Path, 9, 20000, 1000, loaded);
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> scans{0};
    std::thread reader([&] {
      TDataSession session;
      TDataDirectory& db = session.OpenDatabase(dir.Path);
      {
        TDataCursor cursor(db);
        cursor.Open(kTable);
        std::vector<std::uint8_t> record(cursor.RecordSize());
        while (!stop) {
          TReadBatch batch(session);
          cursor.First();
          while (cursor.GetNext(record.data()) == VELDOR_NONE) {
          }
          ++scans;
        }
      }
      session.CloseDatabase(db);
    });
    while (scans == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<double> waits;
    {
      TDataSession session;
      TDataDirectory& db = session.OpenDatabase(dir.Path);
      {
        TDataCursor cursor(db);
        cursor.Open(kTable);
        std::vector<std::uint8_t> record(cursor.RecordSize());
        for (std::int64_t i = 0; i < 300; ++i) {
          FillRecord(cursor, record.data(), 1, i);
          const auto start = std::chrono::steady_clock::now();
          cursor.InsertRecord(record.data());
          waits.push_back(
              std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                  .count());
        }
      }
      session.CloseDatabase(db);
    }
    stop = true;
    reader.join();
    std::sort(waits.begin(), waits.end());
    state.SetIterationTime(1);
    state.counters["median_ms"] = waits[waits.size() / 2];
    state.counters["p99_ms"] = waits[waits.size() * 99 / 100];
    state.counters["longest_ms"] = waits.back();
    state.counters["scans"] = static_cast<double>(scans.load());
  }
}

void ThreadArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"sessions", "txn"});
  for (int txn : {0, 1})
    for (int n : {1, 2, 4})
      b->Args({n, txn});
}
void ProcessArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"processes", "txn"});
  for (int txn : {0, 1})
    b->Args({2, txn});
}
void SqliteThreadArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"connections", "txn", "wal"});
  for (int wal : {0, 1})
    for (int txn : {0, 1})
      for (int n : {1, 2, 4})
        b->Args({n, txn, wal});
}
void SqliteProcessArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"processes", "txn", "wal"});
  for (int wal : {0, 1})
    for (int txn : {0, 1})
      b->Args({2, txn, wal});
}

}  // namespace

BENCHMARK(BM_EngineInsertThreads)
    ->Apply(ThreadArgs)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineInsertProcesses)
    ->Apply(ProcessArgs)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteInsertThreads)
    ->Apply(SqliteThreadArgs)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteInsertProcesses)
    ->Apply(SqliteProcessArgs)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineCommits)
    ->ArgName("flush")
    ->DenseRange(0, 1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineWriterBesideScan)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteCommits)
    ->ArgNames({"flush", "wal"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

// Index B-tree throughput, side by side with SQLite doing the same work.
//
// A two-field table (key K, integer V) keyed by K, loaded with ZORVIC_BENCH_KEYS (default
// 1,000,000) distinct keys in a random order through the cursor, then searched with as many
// random point lookups (find the key, read the record) and read in full in key order. Keys are
// integers, or 34-character texts with each of the four leaf compressions (argument `key`: 0
// integer, 1 text/none, 2 text/duplicate bytes, 3 text/trailing bytes, 4 text/full). Every case
// runs with the default cache sizes and with 16 times larger ones (argument `cache`).
//
// Engine loads (argument `mode`): 0 the table opened exclusively (pages and records written
// lazily), 1 a shared table inside transactions, 2 a shared table outside transactions (every
// insert writes its pages to the files, as a server's single-record inserts do;
// ZORVIC_BENCH_SHARED_KEYS, default a tenth of the keys). Modes 0 and 1 write in batches of
// ZORVIC_BENCH_LOAD_BATCH inserts (default 1,000): mode 0 flushes the table after each batch,
// mode 1 commits each batch, as multi-row statements commit in batches. Without the batches an
// exclusive or transactional load keeps every record and page in its caches until the end, and
// both the search for a cache entry to reuse and the final trim grow with the cache, so the
// load takes time quadratic in its size (ZORVIC_BENCH_LOAD_BATCH=0 shows it; keep the key
// count small then). Lookups and scans work on a shared table, as the server reads its tables.
//
// SQLite: the same keys in the same order into "k INTEGER PRIMARY KEY" (its row tree) or
// "k TEXT PRIMARY KEY" (a row tree plus an index tree), one transaction per load, default
// journal and synchronous settings, its default page cache (2,000 KiB) or 16 times that.
//
// Counters: items_per_second; after loads the tree's height, pages, leaf pages and fill factor
// (engine: the primary index; SQLite: the key's tree, read from its page statistics when the
// library offers them) and the bytes of all files.
#include <cstring>
#include <map>
#include <memory>
#include <optional>

#include "StorageBenchSupport.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/maintenance/IndexVerify.h"
#include "engine/storage/sessions/DataSession.h"

using namespace zorvic::engine;
using zorvic::bench::TBenchDir;
using zorvic::bench::TSqlite;
using zorvic::bench::TSqliteStatement;

namespace {

const char* const kTable = "Bench";

std::int64_t KeyCount() {
  return zorvic::bench::EnvCount("ZORVIC_BENCH_KEYS", 1000000);
}
std::int64_t LoadBatch() {
  const char* text = getenv("ZORVIC_BENCH_LOAD_BATCH");
  if (text && std::strcmp(text, "0") == 0) return 0;
  return zorvic::bench::EnvCount("ZORVIC_BENCH_LOAD_BATCH", 1000);
}
std::int64_t SharedKeyCount() {
  return zorvic::bench::EnvCount("ZORVIC_BENCH_SHARED_KEYS",
                                 std::max<std::int64_t>(1, KeyCount() / 10));
}

bool IsStringKind(int kind) {
  return kind != 0;
}
std::uint8_t CompressionOf(int kind) {
  static const std::uint8_t codes[] = {icNone, icNone, icDuplicateBytes, icTrailingBytes, icFull};
  return codes[kind];
}

const std::vector<std::int32_t>& InsertOrder(std::int64_t n) {
  static std::map<std::int64_t, std::vector<std::int32_t>> cache;
  auto it = cache.find(n);
  if (it == cache.end()) it = cache.emplace(n, zorvic::bench::ShuffledKeys(n)).first;
  return it->second;
}

// ---- the engine ------------------------------------------------------------------------

TTableCreation BenchTable(int kind) {
  TTableCreation c;
  TFieldDefinition key;
  key.Name = "K";
  key.DataType = IsStringKind(kind) ? ftString : ftInteger;
  key.Size = IsStringKind(kind) ? zorvic::bench::kStringKeyLength : 0;
  TFieldDefinition value;
  value.Name = "V";
  value.DataType = ftInteger;
  c.Table.Fields = {key, value};
  c.Primary.Fields = {1};
  c.Primary.Unique = true;
  c.Primary.Compression = CompressionOf(kind);
  return c;
}

// A session with scaled caches and one database in a folder.
struct TEngine {
  TDataSession Session;
  TDataDirectory* Database;
  TEngine(const std::string& path, std::int64_t scale) {
    zorvic::bench::ScaleCaches(Session, scale);
    Database = &Session.OpenDatabase(path);
  }
  ~TEngine() { Session.CloseDatabase(*Database); }
};

// Fills a record buffer with key number v.
void SetKey(TDataCursor& cursor, std::uint8_t* record, int kind, std::int32_t v) {
  std::uint8_t bytes[4];
  if (IsStringKind(kind)) {
    cursor.SetString(record, 1, zorvic::bench::StringKey(v));
  } else {
    PutI32(bytes, v);
    cursor.SetFieldBytes(record, 1, bytes);
  }
}

void EngineInsert(TDataCursor& cursor, std::vector<std::uint8_t>& record, int kind,
                  std::int32_t v) {
  cursor.InitRecord(record.data());
  SetKey(cursor, record.data(), kind, v);
  std::uint8_t bytes[4];
  PutI32(bytes, v * 3);
  cursor.SetFieldBytes(record.data(), 2, bytes);
  cursor.InsertRecord(record.data());
}

// Loads the first n keys of the insert order into a new table in `dir`.
void EngineLoad(const TBenchDir& dir, int kind, std::int64_t scale, int mode, std::int64_t n) {
  TEngine engine(dir.Path, scale);
  TDataCursor cursor(*engine.Database);
  cursor.CreateTable(kTable, BenchTable(kind), false);
  cursor.Open(kTable, false, mode == 0);
  std::vector<std::uint8_t> record(cursor.RecordSize());
  const std::vector<std::int32_t>& order = InsertOrder(KeyCount());
  const std::int64_t batch = mode == 2 ? 0 : LoadBatch();
  if (mode == 1) engine.Database->StartTransaction();
  for (std::int64_t i = 0; i < n; ++i) {
    EngineInsert(cursor, record, kind, order[static_cast<std::size_t>(i)]);
    if (batch > 0 && (i + 1) % batch == 0 && i + 1 < n) {
      if (mode == 0) cursor.Table().Flush(false, false);
      if (mode == 1) {
        engine.Database->Commit();
        engine.Database->StartTransaction();
      }
    }
  }
  if (mode == 1) engine.Database->Commit();
  cursor.Close();
}

// Loaded tables kept for the lookup and scan cases, one per key kind.
std::map<int, std::unique_ptr<TBenchDir>>& LoadedTables() {
  static std::map<int, std::unique_ptr<TBenchDir>> tables;
  return tables;
}
const TBenchDir& LoadedTable(int kind) {
  auto& tables = LoadedTables();
  auto it = tables.find(kind);
  if (it == tables.end()) {
    auto dir = std::make_unique<TBenchDir>();
    EngineLoad(*dir, kind, 16, 0, KeyCount());
    it = tables.emplace(kind, std::move(dir)).first;
  }
  return *it->second;
}

// The primary index's shape as counters; false (with the first problem) when it is unsound.
bool EngineTreeCounters(const TBenchDir& dir, std::int64_t expectedKeys, benchmark::State& state) {
  TEngine engine(dir.Path, 16);
  TDataCursor cursor(*engine.Database);
  cursor.Open(kTable);
  TIndexFile& index = cursor.Table().Index();
  const TTreeCheck check = CheckIndexTree(index, 0, index.KeyCompare(0));
  cursor.Close();
  state.counters["height"] = check.Height;
  state.counters["pages"] = static_cast<double>(check.NodePages + check.LeafPages);
  state.counters["leaf_pages"] = static_cast<double>(check.LeafPages);
  state.counters["fill_factor"] = check.FillFactor();
  state.counters["file_bytes"] = static_cast<double>(dir.Bytes());
  if (!check.Ok()) {
    state.SkipWithError(("index unsound: " + check.Problems.front()).c_str());
    return false;
  }
  if (check.Keys != expectedKeys) {
    state.SkipWithError(("index holds " + std::to_string(check.Keys) + " keys").c_str());
    return false;
  }
  return true;
}

void BM_EngineLoad(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const std::int64_t scale = state.range(1);
  const int mode = static_cast<int>(state.range(2));
  const std::int64_t n = mode == 2 ? SharedKeyCount() : KeyCount();
  auto dir = std::make_unique<TBenchDir>();
  for (auto _ : state)
    EngineLoad(*dir, kind, scale, mode, n);
  state.SetItemsProcessed(n);
  if (!EngineTreeCounters(*dir, n, state)) return;
  if (mode == 0 && n == KeyCount()) LoadedTables()[kind] = std::move(dir);
}

void BM_EngineFind(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const std::int64_t n = KeyCount();
  const TBenchDir& dir = LoadedTable(kind);
  const std::vector<std::int32_t> lookups = zorvic::bench::LookupKeys(n, n);
  TEngine engine(dir.Path, state.range(1));
  TDataCursor cursor(*engine.Database);
  cursor.Open(kTable);
  std::vector<std::uint8_t> record(cursor.RecordSize()), found(cursor.RecordSize());
  cursor.InitRecord(record.data());
  std::int64_t misses = 0, wrong = 0;
  for (auto _ : state) {
    for (const std::int32_t v : lookups) {
      SetKey(cursor, record.data(), kind, v);
      if (!cursor.FindKey(record.data(), 1) || cursor.GetCurrent(found.data()) != VELDOR_NONE) {
        ++misses;
        continue;
      }
      std::uint8_t bytes[4];
      cursor.GetFieldBytes(found.data(), 2, bytes);
      if (GetI32(bytes) != v * 3) ++wrong;
    }
  }
  cursor.Close();
  state.SetItemsProcessed(state.iterations() * n);
  if (misses || wrong)
    state.SkipWithError(
        ("lookups missed " + std::to_string(misses) + ", wrong " + std::to_string(wrong)).c_str());
}

void BM_EngineScan(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const std::int64_t n = KeyCount();
  const TBenchDir& dir = LoadedTable(kind);
  TEngine engine(dir.Path, state.range(1));
  TDataCursor cursor(*engine.Database);
  cursor.Open(kTable);
  std::vector<std::uint8_t> record(cursor.RecordSize());
  std::int64_t rows = 0, sum = 0;
  for (auto _ : state) {
    cursor.First();
    while (cursor.GetNext(record.data()) == VELDOR_NONE) {
      std::uint8_t bytes[4];
      cursor.GetFieldBytes(record.data(), 2, bytes);
      sum += GetI32(bytes);
      ++rows;
    }
  }
  cursor.Close();
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(rows);
  if (rows != state.iterations() * n)
    state.SkipWithError(("scan read " + std::to_string(rows) + " rows").c_str());
}

// ---- SQLite ------------------------------------------------------------------------------

std::string SqliteFile(const TBenchDir& dir) {
  return dir.File("bench.db");
}

void SqliteLoad(const TBenchDir& dir, int kind, std::int64_t scale, std::int64_t n) {
  TSqlite db(SqliteFile(dir));
  db.Exec(zorvic::bench::SqliteCachePragma(scale));
  db.Exec(IsStringKind(kind) ? "CREATE TABLE t(k TEXT PRIMARY KEY, v INTEGER)"
                             : "CREATE TABLE t(k INTEGER PRIMARY KEY, v INTEGER)");
  const std::vector<std::int32_t>& order = InsertOrder(KeyCount());
  db.Exec("BEGIN");
  {
    TSqliteStatement insert(db.Get(), "INSERT INTO t(k, v) VALUES(?1, ?2)");
    for (std::int64_t i = 0; i < n; ++i) {
      const std::int32_t v = order[static_cast<std::size_t>(i)];
      if (IsStringKind(kind)) {
        const std::string key = zorvic::bench::StringKey(v);
        sqlite3_bind_text(insert.Get(), 1, key.data(), static_cast<int>(key.size()),
                          SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_int(insert.Get(), 1, v);
      }
      sqlite3_bind_int(insert.Get(), 2, v * 3);
      insert.Step();
      insert.Reset();
    }
  }
  db.Exec("COMMIT");
}

std::map<int, std::unique_ptr<TBenchDir>>& SqliteTables() {
  static std::map<int, std::unique_ptr<TBenchDir>> tables;
  return tables;
}
const TBenchDir& SqliteTable(int kind) {
  auto& tables = SqliteTables();
  auto it = tables.find(kind);
  if (it == tables.end()) {
    auto dir = std::make_unique<TBenchDir>();
    SqliteLoad(*dir, kind, 16, KeyCount());
    it = tables.emplace(kind, std::move(dir)).first;
  }
  return *it->second;
}

// The key's tree from SQLite's page statistics, when the library was built with them.
void SqliteTreeCounters(const TBenchDir& dir, int kind, benchmark::State& state) {
  state.counters["file_bytes"] = static_cast<double>(dir.Bytes());
  try {
    TSqlite db(SqliteFile(dir));
    TSqliteStatement stats(db.Get(),
                           "SELECT count(*), sum(pagetype = 'leaf'), sum(pgsize - unused), "
                           "sum(pgsize), max(length(path)) FROM dbstat WHERE name = ?1");
    const char* tree = IsStringKind(kind) ? "sqlite_autoindex_t_1" : "t";
    sqlite3_bind_text(stats.Get(), 1, tree, -1, SQLITE_STATIC);
    if (!stats.Step()) return;
    state.counters["pages"] = static_cast<double>(sqlite3_column_int64(stats.Get(), 0));
    state.counters["leaf_pages"] = static_cast<double>(sqlite3_column_int64(stats.Get(), 1));
    const double total = sqlite3_column_double(stats.Get(), 3);
    state.counters["fill_factor"] = total > 0 ? sqlite3_column_double(stats.Get(), 2) / total : 0;
    state.counters["height"] =
        static_cast<double>((sqlite3_column_int64(stats.Get(), 4) - 1) / 4 + 1);
  } catch (const std::exception&) {
    // No page statistics in this build of the library: only the file size is reported.
  }
}

void BM_SqliteLoad(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const std::int64_t n = KeyCount();
  auto dir = std::make_unique<TBenchDir>();
  for (auto _ : state)
    SqliteLoad(*dir, kind, state.range(1), n);
  state.SetItemsProcessed(n);
  SqliteTreeCounters(*dir, kind, state);
  TSqlite db(SqliteFile(*dir));
  if (db.QueryInt("SELECT count(*) FROM t") != n) state.SkipWithError("row count differs");
  SqliteTables()[kind] = std::move(dir);
}

void BM_SqliteFind(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const std::int64_t n = KeyCount();
  const std::vector<std::int32_t> lookups = zorvic::bench::LookupKeys(n, n);
  TSqlite db(SqliteFile(SqliteTable(kind)));
  db.Exec(zorvic::bench::SqliteCachePragma(state.range(1)));
  TSqliteStatement find(db.Get(), "SELECT v FROM t WHERE k = ?1");
  std::int64_t misses = 0, wrong = 0;
  for (auto _ : state) {
    for (const std::int32_t v : lookups) {
      if (IsStringKind(kind)) {
        const std::string key = zorvic::bench::StringKey(v);
        sqlite3_bind_text(find.Get(), 1, key.data(), static_cast<int>(key.size()),
                          SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_int(find.Get(), 1, v);
      }
      if (!find.Step())
        ++misses;
      else if (sqlite3_column_int(find.Get(), 0) != v * 3)
        ++wrong;
      find.Reset();
    }
  }
  state.SetItemsProcessed(state.iterations() * n);
  if (misses || wrong) state.SkipWithError("lookups missed or read wrong values");
}

void BM_SqliteScan(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const std::int64_t n = KeyCount();
  TSqlite db(SqliteFile(SqliteTable(kind)));
  db.Exec(zorvic::bench::SqliteCachePragma(state.range(1)));
  TSqliteStatement scan(db.Get(), "SELECT k, v FROM t ORDER BY k");
  std::int64_t rows = 0, sum = 0;
  for (auto _ : state) {
    while (scan.Step()) {
      sum += sqlite3_column_int(scan.Get(), 1);
      benchmark::DoNotOptimize(sqlite3_column_text(scan.Get(), 0));
      ++rows;
    }
    scan.Reset();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(rows);
  if (rows != state.iterations() * n) state.SkipWithError("scan row count differs");
}

// Engine key kinds 0..4, SQLite key kinds 0 (integer) and 1 (text); caches 1 and 16 times.
void EngineLoadArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"key", "cache", "mode"});
  for (int mode : {0, 1, 2})
    for (int kind = 0; kind <= 4; ++kind)
      for (int scale : {1, 16})
        b->Args({kind, scale, mode});
}
void EngineArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"key", "cache"});
  for (int kind = 0; kind <= 4; ++kind)
    for (int scale : {1, 16})
      b->Args({kind, scale});
}
void SqliteArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"key", "cache"});
  for (int kind = 0; kind <= 1; ++kind)
    for (int scale : {1, 16})
      b->Args({kind, scale});
}

}  // namespace

BENCHMARK(BM_EngineLoad)
    ->Apply(EngineLoadArgs)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteLoad)
    ->Apply(SqliteArgs)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineFind)
    ->Apply(EngineArgs)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteFind)
    ->Apply(SqliteArgs)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineScan)
    ->Apply(EngineArgs)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteScan)
    ->Apply(SqliteArgs)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

// SQL execution through SQL text, the engine side by side with SQLite on the same rows:
// point lookups by primary key, a range scan, a GROUP BY, a two-table join, single-row
// INSERTs outside and inside transactions, and the server's mailbox cycle (insert a message,
// list the ids above n, fetch one, delete one).
//
// Both sides get the statement as text every time (SQLite prepares each text anew, as the
// engine parses it), so the figures compare whole statement runs. Rows come from
// ZORVIC_BENCH_SQL_ROWS (default 100,000). Compare Engine/Sqlite pairs as ratios in one run.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "StorageBenchSupport.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/exec/SqlExecution.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/sessions/DataSession.h"

namespace zorvic::bench {
namespace {

using engine::TDataCursor;
using engine::TDataDirectory;
using engine::TDataSession;
using engine::TQueryStatement;
using engine::TSqlExecution;

std::int64_t Rows() {
  return EnvCount("ZORVIC_BENCH_SQL_ROWS", 100000);
}

std::string UserName(std::int64_t i) {
  char text[32];
  std::snprintf(text, sizeof text, "u%06lld", static_cast<long long>(i));
  return text;
}

// Runs SQL texts on one engine database; returns the rows read from the last result.
class TEngineSql {
 public:
  explicit TEngineSql(const std::string& folder)
      : Database_(TDataSession::Default().OpenDatabase(folder)),
        Execution_(std::make_unique<TSqlExecution>(Database_)) {}
  ~TEngineSql() {
    Execution_.reset();
    TDataSession::Default().CloseDatabase(Database_);
  }

  std::int64_t Run(const std::string& sql) {
    TQueryStatement statement(Database_.Path());
    statement.Prepare(sql);
    std::int64_t rows = 0;
    for (;;) {
      Execution_->Prepare(statement);
      TDataCursor* result = Execution_->Execute(statement);
      if (result != nullptr) {
        Record_.resize(result->RecordSize());
        result->First();
        while (result->GetNext(Record_.data()) == engine::VELDOR_NONE)
          ++rows;
      }
      if (statement.AtEnd()) break;
      statement.ParseNext();
    }
    Execution_->Release();
    return rows;
  }

 private:
  TDataDirectory& Database_;
  std::unique_ptr<TSqlExecution> Execution_;
  std::vector<std::uint8_t> Record_;
};

std::int64_t SqliteRun(TSqlite& db, const std::string& sql) {
  TSqliteStatement s(db.Get(), sql);
  std::int64_t rows = 0;
  while (s.Step())
    ++rows;
  return rows;
}

const char* const kCreateUsers =
    "CREATE TABLE Users (UserName VARCHAR(32), Password VARCHAR(32), GroupName VARCHAR(32), "
    "HasAdminPower BOOLEAN, PRIMARY KEY (UserName))";
const char* const kCreateItems =
    "CREATE TABLE Items (id INTEGER, grp INTEGER, val INTEGER, PRIMARY KEY (id))";
const char* const kCreateGroups =
    "CREATE TABLE Groups (grp INTEGER, name VARCHAR(20), PRIMARY KEY (grp))";
const char* const kCreateMessages =
    "CREATE TABLE Messages (MessageID AUTOINC, MessageDate TIMESTAMP, Size INTEGER, Priority "
    "INTEGER, From VARCHAR(100), To VARCHAR(250), Body MEMO, PRIMARY KEY (MessageID))";
const char* const kSqliteMessages =
    "CREATE TABLE Messages (MessageID INTEGER PRIMARY KEY AUTOINCREMENT, MessageDate TEXT, "
    "Size INTEGER, Priority INTEGER, \"From\" TEXT, \"To\" TEXT, Body TEXT)";

std::string UserInsert(std::int64_t i) {
  return "INSERT INTO Users (UserName, Password, GroupName, HasAdminPower) VALUES ('" +
         UserName(i) + "', 'secret', 'g" + std::to_string(i % 50) + "', FALSE)";
}
std::string ItemInsert(std::int64_t i) {
  return "INSERT INTO Items (id, grp, val) VALUES (" + std::to_string(i) + ", " +
         std::to_string(i % 100) + ", " + std::to_string((i * 7919) % 1000) + ")";
}
std::string GroupInsert(std::int64_t g) {
  return "INSERT INTO Groups (grp, name) VALUES (" + std::to_string(g) + ", 'group" +
         std::to_string(g) + "')";
}
std::string MessageInsert(const std::string& body) {
  return "INSERT INTO Messages (MessageDate, Size, Priority, From, To, Body) VALUES "
         "('2026-12-09 10:00:00', 2000, 1, 'alice', 'bob', '" +
         body + "')";
}
std::string SqliteMessageInsert(const std::string& body) {
  return "INSERT INTO Messages (MessageDate, Size, Priority, \"From\", \"To\", Body) VALUES "
         "('2026-12-09 10:00:00', 2000, 1, 'alice', 'bob', '" +
         body + "')";
}

// The loaded databases, built once per process.
struct TWorld {
  TBenchDir EngineDir;
  TBenchDir SqliteDir;
  std::unique_ptr<TEngineSql> Engine;
  std::unique_ptr<TSqlite> Sqlite;

  TWorld() {
    Engine = std::make_unique<TEngineSql>(EngineDir.Path);
    Sqlite = std::make_unique<TSqlite>(SqliteDir.File("bench.db"));
    const std::int64_t n = Rows();
    for (const char* sql : {kCreateUsers, kCreateItems, kCreateGroups, kCreateMessages})
      Engine->Run(sql);
    Sqlite->Exec(
        "CREATE TABLE Users (UserName TEXT PRIMARY KEY, Password TEXT, GroupName TEXT, "
        "HasAdminPower INTEGER)");
    Sqlite->Exec("CREATE TABLE Items (id INTEGER PRIMARY KEY, grp INTEGER, val INTEGER)");
    Sqlite->Exec("CREATE TABLE Groups (grp INTEGER PRIMARY KEY, name TEXT)");
    Sqlite->Exec(kSqliteMessages);
    Engine->Run("START TRANSACTION");
    Sqlite->Exec("BEGIN");
    for (std::int64_t i = 0; i < n; ++i) {
      Engine->Run(UserInsert(i));
      Engine->Run(ItemInsert(i));
      SqliteRun(*Sqlite, UserInsert(i));
      SqliteRun(*Sqlite, ItemInsert(i));
      if (i % 1000 == 999) {  // batches keep both sides' pending changes bounded
        Engine->Run("COMMIT");
        Engine->Run("START TRANSACTION");
        Sqlite->Exec("COMMIT");
        Sqlite->Exec("BEGIN");
      }
    }
    for (std::int64_t g = 0; g < 100; ++g) {
      Engine->Run(GroupInsert(g));
      SqliteRun(*Sqlite, GroupInsert(g));
    }
    Engine->Run("COMMIT");
    Sqlite->Exec("COMMIT");
  }
};

TWorld& World() {
  static TWorld world;
  return world;
}

template <class Run>
void Measure(benchmark::State& state, Run run) {
  std::int64_t statements = 0;
  std::int64_t rows = 0;
  for (auto _ : state) {
    rows += run(statements);
    ++statements;
  }
  state.SetItemsProcessed(statements);
  state.counters["rows/statement"] =
      statements ? static_cast<double>(rows) / static_cast<double>(statements) : 0;
}

// ---- point lookups, range scans, GROUP BY, join ----------------------------------------

std::string PointLookup(std::int64_t i) {
  return "Select * from Users where UserName='" + UserName((i * 7919) % Rows()) + "'";
}
std::string RangeScan(std::int64_t i) {
  const std::int64_t low = (i * 7919) % std::max<std::int64_t>(1, Rows() - 1000);
  return "Select id, val from Items where id >= " + std::to_string(low) + " and id < " +
         std::to_string(low + 1000);
}
const char* const kGroupBy = "Select grp, count(*), sum(val) from Items group by grp";
std::string Join(std::int64_t i) {
  const std::int64_t low = (i * 7919) % std::max<std::int64_t>(1, Rows() - 1000);
  return "Select Items.id, Groups.name from Items inner join Groups on Items.grp = Groups.grp "
         "where Items.id >= " +
         std::to_string(low) + " and Items.id < " + std::to_string(low + 1000);
}

void BM_EnginePointLookup(benchmark::State& state) {
  TWorld& w = World();
  Measure(state, [&](std::int64_t i) { return w.Engine->Run(PointLookup(i)); });
}
void BM_SqlitePointLookup(benchmark::State& state) {
  TWorld& w = World();
  Measure(state, [&](std::int64_t i) { return SqliteRun(*w.Sqlite, PointLookup(i)); });
}
void BM_EngineRangeScan(benchmark::State& state) {
  TWorld& w = World();
  Measure(state, [&](std::int64_t i) { return w.Engine->Run(RangeScan(i)); });
}
void BM_SqliteRangeScan(benchmark::State& state) {
  TWorld& w = World();
  Measure(state, [&](std::int64_t i) { return SqliteRun(*w.Sqlite, RangeScan(i)); });
}
void BM_EngineGroupBy(benchmark::State& state) {
  TWorld& w = World();
  Measure(state, [&](std::int64_t) { return w.Engine->Run(kGroupBy); });
}
void BM_SqliteGroupBy(benchmark::State& state) {
  TWorld& w = World();
  Measure(state, [&](std::int64_t) { return SqliteRun(*w.Sqlite, kGroupBy); });
}
void BM_EngineJoin(benchmark::State& state) {
  TWorld& w = World();
  Measure(state, [&](std::int64_t i) { return w.Engine->Run(Join(i)); });
}
void BM_SqliteJoin(benchmark::State& state) {
  TWorld& w = World();
  Measure(state, [&](std::int64_t i) { return SqliteRun(*w.Sqlite, Join(i)); });
}

// ---- inserts ---------------------------------------------------------------------------

// Keys above the loaded ones, distinct per benchmark run.
std::int64_t gNextItem = 0;
std::int64_t NextItem() {
  if (gNextItem == 0) gNextItem = Rows() + 1;
  return gNextItem++;
}

void BM_EngineInsertOutsideTransaction(benchmark::State& state) {
  TWorld& w = World();
  Measure(state, [&](std::int64_t) { return w.Engine->Run(ItemInsert(NextItem())); });
}
void BM_SqliteInsertOutsideTransaction(benchmark::State& state) {
  TWorld& w = World();
  Measure(state, [&](std::int64_t) { return SqliteRun(*w.Sqlite, ItemInsert(NextItem())); });
}
// Batches of 100 inserts, each batch one transaction; one iteration is one insert.
void BM_EngineInsertInTransaction(benchmark::State& state) {
  TWorld& w = World();
  w.Engine->Run("START TRANSACTION");
  Measure(state, [&](std::int64_t i) {
    std::int64_t rows = w.Engine->Run(ItemInsert(NextItem()));
    if (i % 100 == 99) {
      w.Engine->Run("COMMIT");
      w.Engine->Run("START TRANSACTION");
    }
    return rows;
  });
  w.Engine->Run("COMMIT");
}
void BM_SqliteInsertInTransaction(benchmark::State& state) {
  TWorld& w = World();
  w.Sqlite->Exec("BEGIN");
  Measure(state, [&](std::int64_t i) {
    std::int64_t rows = SqliteRun(*w.Sqlite, ItemInsert(NextItem()));
    if (i % 100 == 99) {
      w.Sqlite->Exec("COMMIT");
      w.Sqlite->Exec("BEGIN");
    }
    return rows;
  });
  w.Sqlite->Exec("COMMIT");
}

// ---- the mailbox cycle -----------------------------------------------------------------

// One iteration: insert a message with a 2 KB body, list the ids above the tenth newest,
// fetch the newest, delete the oldest.
void BM_EngineMailboxCycle(benchmark::State& state) {
  TWorld& w = World();
  const std::string body(2000, 'm');
  std::int64_t last = 0, first = 1;
  Measure(state, [&](std::int64_t) {
    w.Engine->Run(MessageInsert(body));
    ++last;
    std::int64_t rows =
        w.Engine->Run("Select MessageID from Messages where MessageID > " +
                      std::to_string(std::max<std::int64_t>(0, last - 10)) + " order by MessageID");
    rows += w.Engine->Run("Select * from Messages where MessageID=" + std::to_string(last));
    if (last - first >= 100)
      w.Engine->Run("Delete from Messages where MessageID=" + std::to_string(first++));
    return rows;
  });
}
void BM_SqliteMailboxCycle(benchmark::State& state) {
  TWorld& w = World();
  const std::string body(2000, 'm');
  std::int64_t last = 0, first = 1;
  Measure(state, [&](std::int64_t) {
    SqliteRun(*w.Sqlite, SqliteMessageInsert(body));
    ++last;
    std::int64_t rows =
        SqliteRun(*w.Sqlite, "Select MessageID from Messages where MessageID > " +
                                 std::to_string(std::max<std::int64_t>(0, last - 10)) +
                                 " order by MessageID");
    rows += SqliteRun(*w.Sqlite, "Select * from Messages where MessageID=" + std::to_string(last));
    if (last - first >= 100)
      SqliteRun(*w.Sqlite, "Delete from Messages where MessageID=" + std::to_string(first++));
    return rows;
  });
}

BENCHMARK(BM_EnginePointLookup)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqlitePointLookup)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineRangeScan)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqliteRangeScan)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineGroupBy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteGroupBy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineJoin)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqliteJoin)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineInsertOutsideTransaction)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqliteInsertOutsideTransaction)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineInsertInTransaction)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqliteInsertInTransaction)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineMailboxCycle)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqliteMailboxCycle)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zorvic::bench

BENCHMARK_MAIN();

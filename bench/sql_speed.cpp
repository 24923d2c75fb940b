// The engine's pace against SQLite through the same SQL text, on five workloads: a bulk
// INSERT of Users rows in one transaction, point SELECTs by primary key, a COUNT(*) with a
// condition on an unindexed column, a GROUP BY over the whole table, and the server's mailbox
// cycle of single statements (insert a message with a 2 KB body, list the ids above n, fetch
// one, delete one), each committing on its own.
//
// Two rounds: without disk flushes (SQLite synchronous=OFF with its default rollback journal;
// the engine's plain COMMIT and single statements), and with them (synchronous=FULL against
// COMMIT FLUSH and, for single statements, the session's forced buffer flush).
//
// Each line prints both times and the ratio SQLite time / engine time (above 1: the engine is
// faster). Times are process CPU time, except in the flushing round, where the disk wait is
// the cost and wall time is shown. Sizes: ZORVIC_BENCH_SPEED_ROWS rows (default 50,000; set
// 1000000 for the large mode), ZORVIC_BENCH_SPEED_LOOKUPS lookups (20,000),
// ZORVIC_BENCH_SPEED_CYCLES mailbox cycles (2,000). The load prints the time of its first and
// second half, so a step that grows faster than its input shows as a second half much slower
// than the first. ZORVIC_BENCH_SPEED_ONLY names one workload to run after the load (lookup,
// count, groupby, mailbox, groupindex, writerwait or flush), for profiling.
//
// groupindex: the bulk insert again into a table that also carries the server's NOCASE
// "UserGroupNames" index over a column of 50 distinct values.
//
// ZORVIC_BENCH_SPEED_WARMUP=1 runs one untimed bulk load on each side (in a round of its own,
// thrown away) before the timed rounds, so that both start from a process whose memory has
// been in use, as a running server's has: a fresh process pays for the first touch of every
// page its heap grows by, and the engine, which keeps a transaction's records and pages in
// memory until its COMMIT, grows by far more than SQLite with its bounded page cache. On some
// virtual machines that first touch is dear; the default run keeps it in.
//
// Both sides prepare every text anew. The engine takes a text that differs from one it
// parsed before only in its literals from its statement templates, as it does in the server;
// ZORVIC_BENCH_SPEED_NO_TEMPLATES=1 turns them off, to see what they save.
//
// writerwait (engine only): while a second session scans the table over and over in another
// thread, single INSERTs of this session are timed; the longest and the median wait show how
// long a writer stands behind a reader's batch of record reads.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "StorageBenchSupport.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/StatementTemplates.h"
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

struct TClock {
  double Cpu = 0;
  double Wall = 0;
  static TClock Now() {
    timespec cpu{}, wall{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    clock_gettime(CLOCK_MONOTONIC, &wall);
    return {cpu.tv_sec + cpu.tv_nsec / 1e9, wall.tv_sec + wall.tv_nsec / 1e9};
  }
  TClock operator-(const TClock& o) const { return {Cpu - o.Cpu, Wall - o.Wall}; }
  TClock operator+(const TClock& o) const { return {Cpu + o.Cpu, Wall + o.Wall}; }
};

TClock Time(const std::function<void()>& work) {
  const TClock start = TClock::Now();
  work();
  return TClock::Now() - start;
}

// Runs SQL texts on one engine database the way the server's query component does: one
// parsed statement per text, results read to the end.
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

std::string UserName(std::int64_t i) {
  char text[32];
  std::snprintf(text, sizeof text, "u%07lld", static_cast<long long>(i));
  return text;
}
std::string UserInsert(std::int64_t key) {
  return "INSERT INTO Users (UserName, Password, GroupName, HasAdminPower) VALUES ('" +
         UserName(key) + "', 'secret', 'g" + std::to_string(key % 50) + "', FALSE)";
}
const char* const kCreateUsers =
    "CREATE TABLE Users (UserName VARCHAR(32), Password VARCHAR(32), GroupName VARCHAR(32), "
    "HasAdminPower BOOLEAN, PRIMARY KEY (UserName))";
const char* const kSqliteUsers =
    "CREATE TABLE Users (UserName TEXT PRIMARY KEY, Password TEXT, GroupName TEXT, "
    "HasAdminPower INTEGER)";
const char* const kCreateMessages =
    "CREATE TABLE Messages (MessageID AUTOINC, MessageDate TIMESTAMP, Size INTEGER, Priority "
    "INTEGER, From VARCHAR(100), To VARCHAR(250), Body MEMO, PRIMARY KEY (MessageID))";
const char* const kSqliteMessages =
    "CREATE TABLE Messages (MessageID INTEGER PRIMARY KEY AUTOINCREMENT, MessageDate TEXT, "
    "Size INTEGER, Priority INTEGER, \"From\" TEXT, \"To\" TEXT, Body TEXT)";
std::string MessageInsert(const std::string& body, bool sqlite) {
  const char* columns = sqlite ? "\"From\", \"To\"" : "From, To";
  return std::string("INSERT INTO Messages (MessageDate, Size, Priority, ") + columns +
         ", Body) VALUES ('2026-12-09 10:00:00', 2000, 1, 'alice', 'bob', '" + body + "')";
}
const char* const kCount = "Select count(*) from Users where GroupName = 'g7'";
const char* const kGroupBy = "Select GroupName, count(*) from Users group by GroupName";

// One side of the comparison: runs a text and reports the rows it returned.
using TRunner = std::function<std::int64_t(const std::string&)>;

struct TSide {
  TRunner Run;
  std::string CommitText;  // "COMMIT", "COMMIT FLUSH" or SQLite's "COMMIT"
  std::string BeginText;
  bool Sqlite = false;
};

struct TLoadTimes {
  TClock FirstHalf, SecondHalf;
  TClock Commit;  // the part of SecondHalf that the COMMIT took
};

TLoadTimes Load(TSide& side, const std::vector<std::int32_t>& keys) {
  TLoadTimes t;
  const std::size_t half = keys.size() / 2;
  t.FirstHalf = Time([&] {
    side.Run(side.BeginText);
    for (std::size_t i = 0; i < half; ++i)
      side.Run(UserInsert(keys[i]));
  });
  t.SecondHalf = Time([&] {
    for (std::size_t i = half; i < keys.size(); ++i)
      side.Run(UserInsert(keys[i]));
    t.Commit = Time([&] { side.Run(side.CommitText); });
  });
  return t;
}

TClock MailboxCycles(TSide& side, std::int64_t cycles) {
  const std::string body(2000, 'm');
  std::int64_t last = 0, first = 1;
  return Time([&] {
    for (std::int64_t c = 0; c < cycles; ++c) {
      side.Run(MessageInsert(body, side.Sqlite));
      ++last;
      side.Run("Select MessageID from Messages where MessageID > " +
               std::to_string(std::max<std::int64_t>(0, last - 10)) + " order by MessageID");
      side.Run("Select * from Messages where MessageID=" + std::to_string(last));
      if (last - first >= 100)
        side.Run("Delete from Messages where MessageID=" + std::to_string(first++));
    }
  });
}

void Report(const char* what, const TClock& engine, const TClock& sqlite, bool wall) {
  const double e = wall ? engine.Wall : engine.Cpu;
  const double s = wall ? sqlite.Wall : sqlite.Cpu;
  std::printf("%-44s engine %9.3f s  sqlite %9.3f s  ratio %6.3f (%s)\n", what, e, s,
              e > 0 ? s / e : 0.0, wall ? "wall" : "cpu");
  std::fflush(stdout);
}

struct TRound {
  TBenchDir EngineDir, SqliteDir;
  std::unique_ptr<TEngineSql> Engine;
  std::unique_ptr<TSqlite> Sqlite;
  TSide EngineSide, SqliteSide;

  explicit TRound(bool flushing) {
    Engine = std::make_unique<TEngineSql>(EngineDir.Path);
    Sqlite = std::make_unique<TSqlite>(SqliteDir.File("bench.db"));
    Sqlite->Exec(flushing ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF");
    EngineSide.Run = [this](const std::string& sql) { return Engine->Run(sql); };
    EngineSide.BeginText = "START TRANSACTION";
    EngineSide.CommitText = flushing ? "COMMIT FLUSH" : "COMMIT";
    SqliteSide.Run = [this](const std::string& sql) { return SqliteRun(*Sqlite, sql); };
    SqliteSide.BeginText = "BEGIN";
    SqliteSide.CommitText = "COMMIT";
    SqliteSide.Sqlite = true;
    Engine->Run(kCreateUsers);
    Engine->Run(kCreateMessages);
    Sqlite->Exec(kSqliteUsers);
    Sqlite->Exec(kSqliteMessages);
  }
};

void SetForcedFlush(bool on) {
  engine::TSessionSettings s = TDataSession::Default().Settings();
  s.ForceBufferFlush = on;
  TDataSession::Default().SetSettings(s);
}

bool Wanted(const char* name) {
  const char* only = getenv("ZORVIC_BENCH_SPEED_ONLY");
  return !only || !*only || std::string(only) == name;
}

void Main() {
  if (const char* off = getenv("ZORVIC_BENCH_SPEED_NO_TEMPLATES");
      off != nullptr && *off != 0 && std::string(off) != "0") {
    engine::SetStatementTemplates(false);
  }
  const std::int64_t rows = EnvCount("ZORVIC_BENCH_SPEED_ROWS", 50000);
  const std::int64_t lookups = EnvCount("ZORVIC_BENCH_SPEED_LOOKUPS", 20000);
  const std::int64_t cycles = EnvCount("ZORVIC_BENCH_SPEED_CYCLES", 2000);
  const std::vector<std::int32_t> keys = ShuffledKeys(rows);
  const bool warmUp = EnvCount("ZORVIC_BENCH_SPEED_WARMUP", 0) != 0;
  std::printf(
      "rows %lld, lookups %lld, mailbox cycles %lld, statement templates %s, warm-up "
      "load %s\n",
      static_cast<long long>(rows), static_cast<long long>(lookups), static_cast<long long>(cycles),
      engine::StatementTemplatesOn() ? "on" : "off", warmUp ? "first" : "none");
  if (warmUp) {
    TRound warm(false);
    Load(warm.EngineSide, keys);
    Load(warm.SqliteSide, keys);
  }

  {
    std::printf("-- no disk flushes (SQLite synchronous=OFF, engine COMMIT)\n");
    TRound round(false);
    const TLoadTimes e = Load(round.EngineSide, keys);
    const TLoadTimes s = Load(round.SqliteSide, keys);
    Report("bulk insert in one transaction", e.FirstHalf + e.SecondHalf, s.FirstHalf + s.SecondHalf,
           false);
    std::printf("  engine load halves %.3f s / %.3f s, sqlite %.3f s / %.3f s (cpu)\n",
                e.FirstHalf.Cpu, e.SecondHalf.Cpu, s.FirstHalf.Cpu, s.SecondHalf.Cpu);
    std::printf("  of the second half the COMMIT: engine %.3f s, sqlite %.3f s (cpu)\n",
                e.Commit.Cpu, s.Commit.Cpu);

    const std::vector<std::int32_t> picks = LookupKeys(rows, lookups);
    auto lookup = [&](TSide& side) {
      return Time([&] {
        for (std::int32_t k : picks)
          if (side.Run("Select * from Users where UserName='" + UserName(k) + "'") != 1)
            throw std::runtime_error("point lookup missed " + UserName(k));
      });
    };
    if (Wanted("lookup"))
      Report("point SELECTs by primary key", lookup(round.EngineSide), lookup(round.SqliteSide),
             false);

    const std::int64_t scans = EnvCount("ZORVIC_BENCH_SPEED_SCANS", 10);
    auto repeat = [&](TSide& side, const char* sql) {
      return Time([&] {
        for (std::int64_t i = 0; i < scans; ++i)
          side.Run(sql);
      });
    };
    if (Wanted("count"))
      Report(("COUNT(*) on an unindexed column (x" + std::to_string(scans) + ")").c_str(),
             repeat(round.EngineSide, kCount), repeat(round.SqliteSide, kCount), false);
    if (Wanted("groupby"))
      Report(("GROUP BY over the whole table (x" + std::to_string(scans) + ")").c_str(),
             repeat(round.EngineSide, kGroupBy), repeat(round.SqliteSide, kGroupBy), false);
    if (Wanted("mailbox"))
      Report("mailbox cycle", MailboxCycles(round.EngineSide, cycles),
             MailboxCycles(round.SqliteSide, cycles), false);
  }
  if (Wanted("groupindex")) {
    // The same load into a table that carries the server's NOCASE index on GroupName (50
    // values, so nearly every key is a duplicate of many others), against SQLite's NOCASE index.
    TRound round(false);
    round.Engine->Run("Create NOCASE Index \"UserGroupNames\" on Users(GroupName) COMPRESS FULL");
    round.Sqlite->Exec("CREATE INDEX UserGroupNames ON Users(GroupName COLLATE NOCASE)");
    const TLoadTimes e = Load(round.EngineSide, keys);
    const TLoadTimes s = Load(round.SqliteSide, keys);
    Report("bulk insert with the NOCASE GroupName index", e.FirstHalf + e.SecondHalf,
           s.FirstHalf + s.SecondHalf, false);
    std::printf("  engine load halves %.3f s / %.3f s, sqlite %.3f s / %.3f s (cpu)\n",
                e.FirstHalf.Cpu, e.SecondHalf.Cpu, s.FirstHalf.Cpu, s.SecondHalf.Cpu);
  }
  if (Wanted("writerwait")) {
    TRound round(false);
    Load(round.EngineSide, keys);
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> scans{0};
    std::thread reader([&] {
      TDataSession session;
      TDataDirectory& db = session.OpenDatabase(round.EngineDir.Path);
      {
        TSqlExecution execution(db);
        while (!stop.load()) {
          TQueryStatement statement(db.Path());
          statement.Prepare(kCount);
          execution.Prepare(statement);
          execution.Execute(statement);
          execution.Release();
          ++scans;
        }
      }
      session.CloseDatabase(db);
    });
    std::vector<double> waits;
    // At least 300 inserts, and on until the reader has finished a few scans: inserts land
    // during builds, not only during the first one.
    for (std::int64_t i = 0; i < 300 || (scans.load() < 4 && i < 100000); ++i) {
      const TClock t = Time([&] { round.Engine->Run(UserInsert(rows + 1 + i)); });
      waits.push_back(t.Wall * 1000);
    }
    stop = true;
    reader.join();
    std::sort(waits.begin(), waits.end());
    std::printf(
        "writer beside a scanning reader: %zu inserts, median %.3f ms, 99th percentile %.3f ms, "
        "longest %.3f ms (%lld scans)\n",
        waits.size(), waits[waits.size() / 2], waits[waits.size() * 99 / 100], waits.back(),
        static_cast<long long>(scans.load()));
  }
  if (Wanted("flush")) {
    std::printf("-- disk flushes (SQLite synchronous=FULL, engine COMMIT FLUSH / forced flush)\n");
    TRound round(true);
    const TLoadTimes e = Load(round.EngineSide, keys);
    const TLoadTimes s = Load(round.SqliteSide, keys);
    Report("bulk insert in one transaction", e.FirstHalf + e.SecondHalf, s.FirstHalf + s.SecondHalf,
           true);
    const std::int64_t flushedCycles = std::max<std::int64_t>(1, cycles / 10);
    SetForcedFlush(true);
    const TClock engineCycles = MailboxCycles(round.EngineSide, flushedCycles);
    SetForcedFlush(false);
    Report("mailbox cycle (a tenth of the cycles)", engineCycles,
           MailboxCycles(round.SqliteSide, flushedCycles), true);
  }
}

}  // namespace
}  // namespace zorvic::bench

int main() {
  try {
    zorvic::bench::Main();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_sql_speed: %s\n", e.what());
    return 1;
  }
  return 0;
}

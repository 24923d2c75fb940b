// What the crash-safety journal costs: the engine with its journal, the same engine with the
// journal switched off (the tables' files written in place, as before the journal existed),
// and SQLite with its default rollback journal, side by side on the same rows and the same
// SQL text.
//
// Workloads, each committing through SQL:
//   - small transactions: START TRANSACTION, a few INSERTs, COMMIT;
//   - single INSERTs outside transactions, each its own commit, on a shared table;
//   - a load of 10,000 rows in one transaction.
// Two rounds: without disk flushes (plain COMMIT and single statements; SQLite
// synchronous=OFF) and with them (COMMIT FLUSH and, for single statements, the session's forced
// buffer flush; SQLite synchronous=FULL). Rows carry a memo, so a commit touches the data,
// index and BLOB files.
//
// Each line prints the three times and the ratios: journal on / off (what the journal costs;
// above 1 it is slower), SQLite / engine with the journal and SQLite / engine without it (above
// 1 the engine is faster). Times are process CPU time in the round without flushes and wall time
// in the flushing round, where the disk wait is the cost.
//
// Sizes: ZORVIC_BENCH_JOURNAL_TXNS small transactions (default 1,000; the flushing round a
// tenth), ZORVIC_BENCH_JOURNAL_ROWS rows per small transaction (4), ZORVIC_BENCH_JOURNAL_SINGLES
// single INSERTs (2,000; the flushing round a tenth), ZORVIC_BENCH_JOURNAL_LOAD rows of the load
// (10,000).
//
// For counting system calls: ZORVIC_BENCH_JOURNAL_ONLY names one workload (txn, single or
// load), ZORVIC_BENCH_JOURNAL_SIDE one side (on, off or sqlite) and ZORVIC_BENCH_JOURNAL_FLUSH
// picks the round (1: only the flushing one, 0: only the other); then run the binary under
// `strace -c -f` and divide by the commits it prints.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "StorageBenchSupport.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/exec/SqlExecution.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/locks/TableJournal.h"
#include "engine/storage/sessions/DataSession.h"

namespace zorvic::bench {
namespace {

using engine::TDataDirectory;
using engine::TDataSession;
using engine::TQueryStatement;
using engine::TSqlExecution;

double Seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

struct TTimes {
  double Cpu = 0;
  double Wall = 0;
};

TTimes Time(const std::function<void()>& work) {
  const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID), wall = Seconds(CLOCK_MONOTONIC);
  work();
  return {Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu, Seconds(CLOCK_MONOTONIC) - wall};
}

// Runs SQL texts on one engine database the way the query component does: one parsed statement
// per text.
class TEngineSide {
 public:
  explicit TEngineSide(const std::string& folder)
      : Database_(TDataSession::Default().OpenDatabase(folder)),
        Execution_(std::make_unique<TSqlExecution>(Database_)) {}
  ~TEngineSide() {
    Execution_.reset();
    TDataSession::Default().CloseDatabase(Database_);
  }
  TEngineSide(const TEngineSide&) = delete;
  TEngineSide& operator=(const TEngineSide&) = delete;

  void Run(const std::string& sql) {
    TQueryStatement statement(Database_.Path());
    statement.Prepare(sql);
    for (;;) {
      Execution_->Prepare(statement);
      Execution_->Execute(statement);
      if (statement.AtEnd()) break;
      statement.ParseNext();
    }
    Execution_->Release();
  }

 private:
  TDataDirectory& Database_;
  std::unique_ptr<TSqlExecution> Execution_;
};

const char* const kCreateEngine =
    "CREATE TABLE Notes (NoteID INTEGER, GroupName VARCHAR(32), Body MEMO, PRIMARY KEY "
    "(NoteID))";
const char* const kCreateSqlite =
    "CREATE TABLE Notes (NoteID INTEGER PRIMARY KEY, GroupName TEXT, Body TEXT)";

std::string Insert(std::int64_t id) {
  static const std::string body(200, 'n');
  return "INSERT INTO Notes (NoteID, GroupName, Body) VALUES (" + std::to_string(id) + ", 'g" +
         std::to_string(id % 50) + "', '" + body + "')";
}

// One of the three sides: runs a text; its transaction texts.
struct TSide {
  std::function<void(const std::string&)> Run;
  std::string Begin, Commit;
};

enum class TWho { JournalOn, JournalOff, Sqlite };

void SetForcedFlush(bool on) {
  engine::TSessionSettings s = TDataSession::Default().Settings();
  s.ForceBufferFlush = on;
  TDataSession::Default().SetSettings(s);
}

// Makes a fresh side in its own folder and runs the workload on it; returns its time.
TTimes RunOn(TWho who, bool flushing, const std::function<void(TSide&)>& workload) {
  TBenchDir dir;
  TSide side;
  TTimes times;
  if (who == TWho::Sqlite) {
    TSqlite db(dir.File("bench.db"));
    db.Exec(flushing ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF");
    db.Exec(kCreateSqlite);
    side.Run = [&db](const std::string& sql) { db.Exec(sql); };
    side.Begin = "BEGIN";
    side.Commit = "COMMIT";
    times = Time([&] { workload(side); });
    return times;
  }
  engine::SwitchJournalOffForMeasurement(who == TWho::JournalOff);
  {
    TEngineSide engineSide(dir.Path);
    engineSide.Run(kCreateEngine);
    side.Run = [&engineSide](const std::string& sql) { engineSide.Run(sql); };
    side.Begin = "START TRANSACTION";
    side.Commit = flushing ? "COMMIT FLUSH" : "COMMIT";
    times = Time([&] { workload(side); });
  }
  engine::SwitchJournalOffForMeasurement(false);
  return times;
}

const char* Env(const char* name) {
  const char* value = getenv(name);
  return value && *value ? value : nullptr;
}

bool Wanted(const char* workload) {
  const char* only = Env("ZORVIC_BENCH_JOURNAL_ONLY");
  return !only || std::string(only) == workload;
}

// count: what the rate counts (commits, or rows for the load).
void Report(const char* what, std::int64_t count, const char* unit,
            const std::function<void(TSide&)>& workload, bool flushing, bool forcedFlush) {
  const char* sideName = Env("ZORVIC_BENCH_JOURNAL_SIDE");
  auto run = [&](TWho who) {
    if (forcedFlush && who != TWho::Sqlite) SetForcedFlush(true);
    const TTimes t = RunOn(who, flushing, workload);
    SetForcedFlush(false);
    return flushing ? t.Wall : t.Cpu;
  };
  if (sideName) {
    const std::string name = sideName;
    const TWho who = name == "off"      ? TWho::JournalOff
                     : name == "sqlite" ? TWho::Sqlite
                                        : TWho::JournalOn;
    const double t = run(who);
    std::printf("%-40s %s: %lld %s in %.3f s\n", what, name.c_str(), static_cast<long long>(count),
                unit, t);
    std::fflush(stdout);
    return;
  }
  // The process's first run pays for warming up (allocator, page cache): a discarded one.
  static bool warmed = false;
  if (!warmed) {
    run(TWho::JournalOn);
    run(TWho::JournalOff);
    warmed = true;
  }
  const double on = run(TWho::JournalOn);
  const double off = run(TWho::JournalOff);
  const double lite = run(TWho::Sqlite);
  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  auto rate = [&](double t) { return t > 0 ? static_cast<double>(count) / t : 0.0; };
  std::printf(
      "%-40s journal %8.3f s (%8.0f %s/s)  no journal %8.3f s (%8.0f/s)  sqlite %8.3f s "
      "(%8.0f/s)\n"
      "%-40s on/off %6.2f  sqlite/on %6.2f  sqlite/off %6.2f (%s)\n",
      what, on, rate(on), unit, off, rate(off), lite, rate(lite), "", ratio(on, off),
      ratio(lite, on), ratio(lite, off), flushing ? "wall" : "cpu");
  std::fflush(stdout);
}

void Round(bool flushing) {
  const std::int64_t divisor = flushing ? 10 : 1;
  const std::int64_t txns =
      std::max<std::int64_t>(1, EnvCount("ZORVIC_BENCH_JOURNAL_TXNS", 1000) / divisor);
  const std::int64_t perTxn = EnvCount("ZORVIC_BENCH_JOURNAL_ROWS", 4);
  const std::int64_t singles =
      std::max<std::int64_t>(1, EnvCount("ZORVIC_BENCH_JOURNAL_SINGLES", 2000) / divisor);
  const std::int64_t load = EnvCount("ZORVIC_BENCH_JOURNAL_LOAD", 10000);
  std::printf(flushing ? "-- disk flushes (COMMIT FLUSH, forced flush; SQLite synchronous=FULL)\n"
                       : "-- no disk flushes (COMMIT; SQLite synchronous=OFF)\n");
  if (Wanted("txn")) {
    const std::string what =
        std::to_string(txns) + " transactions of " + std::to_string(perTxn) + " rows";
    Report(
        what.c_str(), txns, "commits",
        [&](TSide& side) {
          std::int64_t id = 1;
          for (std::int64_t t = 0; t < txns; ++t) {
            side.Run(side.Begin);
            for (std::int64_t r = 0; r < perTxn; ++r)
              side.Run(Insert(id++));
            side.Run(side.Commit);
          }
        },
        flushing, false);
  }
  if (Wanted("single")) {
    const std::string what = std::to_string(singles) + " single INSERTs";
    Report(
        what.c_str(), singles, "commits",
        [&](TSide& side) {
          for (std::int64_t i = 1; i <= singles; ++i)
            side.Run(Insert(i));
        },
        flushing, flushing);
  }
  if (Wanted("load")) {
    const std::string what = std::to_string(load) + " rows in one transaction";
    Report(
        what.c_str(), load, "rows",
        [&](TSide& side) {
          side.Run(side.Begin);
          for (std::int64_t i = 1; i <= load; ++i)
            side.Run(Insert(i));
          side.Run(side.Commit);
        },
        flushing, false);
  }
}

void Main() {
  const char* flush = Env("ZORVIC_BENCH_JOURNAL_FLUSH");
  if (!flush || std::string(flush) != "1") Round(false);
  if (!flush || std::string(flush) == "1") Round(true);
}

}  // namespace
}  // namespace zorvic::bench

int main() {
  try {
    zorvic::bench::Main();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_journal_speed: %s\n", e.what());
    return 1;
  }
  return 0;
}

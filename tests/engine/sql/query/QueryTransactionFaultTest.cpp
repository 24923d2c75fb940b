// Explicit transactions through SQL while the file layer refuses reads and writes: a statement
// that fails half-way never leaves half of itself in the transaction, a change that failed
// half-way never lets the commit write the transaction without it, a commit whose writing
// fails can be repeated or rolled back, and a DELETE without WHERE is undone by ROLLBACK.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>

#include "engine/sql/query/QueryTestSupport.h"
#include "engine/storage/files/FaultFileSystem.h"

namespace zorvic::engine::testing {
namespace {

constexpr const char* kNotes =
    "CREATE TABLE Notes (ID INTEGER, Value INTEGER, Body MEMO, PRIMARY KEY (ID))";

TTableCacheSizes Tiny() {
  TTableCacheSizes s;
  s.RecordCacheBytes = 0;
  s.RecordCacheCount = 1;
  s.IndexCacheBytes = 0;
  s.BlobCacheBytes = 0;
  s.BlobCacheCount = 1;
  return s;
}

std::string Body(int id, int round) {
  return "note " + std::to_string(id) + "/" + std::to_string(round) + " " +
         std::string(static_cast<std::size_t>(100 + id * 7 % 150),
                     static_cast<char>('a' + id % 26));
}

class TQueryTransactionFaultTest : public TQueryTest {
 protected:
  TQueryTransactionFaultTest() { InstallFileSystem(&Faults); }
  ~TQueryTransactionFaultTest() override {
    Faults.ClearFaults();
    InstallFileSystem(nullptr);
    TVELDORSessionList::Instance().DefaultSession().SetCacheSizes(TTableCacheSizes{});
  }

  // Creates Notes with rows 1..rows and keeps it open with tiny caches, so that statements miss
  // the caches and read the files at every step.
  void Populate(int rows = 24) {
    Run(kNotes);
    Run("CREATE INDEX ByValue ON Notes (Value)");
    for (int id = 1; id <= rows; ++id)
      Insert(id, id, 0);
    TVELDORSessionList::Instance().DefaultSession().SetCacheSizes(Tiny());
    Table.SetCacheSizes(Tiny());
    Table.SetDatabaseName(Dir.Path());
    Table.SetTableName("Notes");
    Table.Open();
  }
  void Insert(int id, int value, int round) {
    Run("INSERT INTO Notes (ID, Value, Body) VALUES (" + std::to_string(id) + ", " +
        std::to_string(value) + ", '" + Body(id, round) + "')");
  }
  // The table as text, read through SQL.
  std::string Image() {
    TVELDORQuery q;
    Use(q, "SELECT ID, Value, Body FROM Notes ORDER BY ID");
    q.Open();
    std::string out;
    for (q.First(); !q.Eof(); q.Next())
      out +=
          q.Field(0).AsString() + "=" + q.Field(1).AsString() + ":" + q.Field(2).AsString() + "\n";
    return out;
  }
  // Runs a text; the error it raised (code VELDOR_NONE when none) and the table it named.
  struct TOutcome {
    TErrorCode Code = VELDOR_NONE;
    std::string Table;
  };
  TOutcome Try(const std::string& text) {
    try {
      Run(text);
    } catch (const EVELDOREngineError& e) {
      return {e.ErrorCode, e.ErrorTable};
    }
    return {};
  }
  bool InTransaction() { return Table.Cursor().Database().InTransaction(); }

  TFaultFileSystem Faults;
  TVELDORTable Table;
};

// A transaction inserts rows, then a statement that changes many rows fails at its n-th read:
// either the statement is undone whole (its savepoint) and the commit writes the rest, or the
// commit refuses with the write error naming the table and nothing of the transaction is kept.
TEST_F(TQueryTransactionFaultTest, AStatementFailingHalfWayNeverCommitsHalfOfTheTransaction) {
  Populate();
  std::map<std::string, int> outcomes;
  int nextId = 100;
  for (std::int64_t n = 1; n < 400; n += (n < 8 ? 1 : n / 3)) {
    const std::string before = Image();
    const int round = static_cast<int>(n);
    const std::string context = "read " + std::to_string(n) + " refused";
    Run("START TRANSACTION");
    std::string inserted = before;
    for (int k = 0; k < 3; ++k) {
      inserted += std::to_string(nextId) + "=" + std::to_string(1000 + k) + ":" +
                  Body(nextId, round) + "\n";
      Insert(nextId++, 1000 + k, round);
    }
    const std::int64_t reads0 = Faults.Reads();
    Faults.FailRead(n);
    const TOutcome update = Try("UPDATE Notes SET Value = Value + 1, Body = 'changed " +
                                std::to_string(round) + "' WHERE ID > 0");
    Faults.ClearFaults();
    const bool faultReached = Faults.Reads() - reads0 >= n;
    const bool updated = update.Code == VELDOR_NONE;
    if (!updated) {
      EXPECT_NE(update.Table.find("Notes"), std::string::npos) << context;
    }
    // Whatever the statement left is its whole self or nothing of it.
    const std::string during = InTransaction() ? Image() : before;
    if (!updated && InTransaction()) {
      EXPECT_EQ(during, inserted) << context;
    }
    // (A savepoint that could not be returned to gives the whole transaction up: nothing of it
    // may survive then either.)
    const TOutcome commit = InTransaction() ? Try("COMMIT") : TOutcome{VELDOR_WRITEERR, "Notes"};
    const std::string after = Image();
    if (commit.Code == VELDOR_NONE) {
      ++outcomes[updated ? "updated" : "statement undone"];
      if (updated) {
        // Every row changed, the three new ones too.
        std::size_t lines = 0;
        for (std::size_t at = 0; at < after.size(); at = after.find('\n', at) + 1, ++lines)
          EXPECT_EQ(after.compare(after.find(':', at), 10 + std::to_string(round).size(),
                                  ":changed " + std::to_string(round) + "\n"),
                    0)
              << context << " " << after.substr(at, 40);
        EXPECT_EQ(lines,
                  static_cast<std::size_t>(std::count(inserted.begin(), inserted.end(), '\n')))
            << context;
      } else {
        EXPECT_EQ(after, inserted) << context;
      }
    } else {
      ++outcomes["refused"];
      EXPECT_EQ(commit.Code, VELDOR_WRITEERR) << context;
      EXPECT_EQ(commit.Table, "Notes") << context;
      EXPECT_EQ(after, before) << context;
      EXPECT_FALSE(InTransaction()) << context;
    }
    if (!faultReached) break;  // every read of the statement was refused once
  }
  EXPECT_GT(outcomes["updated"], 0);
  EXPECT_GT(outcomes["statement undone"] + outcomes["refused"], 5);
}

// A single INSERT has no savepoint of its own: when it fails half-way (its record written to
// the caches, its key or memo not), the commit rolls the whole transaction back and raises the
// write error naming the table.
TEST_F(TQueryTransactionFaultTest, AnInsertFailingHalfWayMakesTheCommitRollEverythingBack) {
  Populate(150);
  // Free records and BLOB blocks that the inserts reuse: reading them misses the caches.
  Run("DELETE FROM Notes WHERE ID > 40");
  int refused = 0, committed = 0;
  int nextId = 1000;
  for (std::int64_t n = 1; n < 200; ++n) {
    const std::string before = Image();
    const std::string context = "read " + std::to_string(n) + " refused";
    Run("START TRANSACTION");
    std::string changed = before;
    for (int k = 0; k < 2; ++k) {
      changed += std::to_string(nextId) + "=" + std::to_string(2000 + k) + ":" +
                 Body(nextId, static_cast<int>(n)) + "\n";
      Insert(nextId++, 2000 + k, static_cast<int>(n));
    }
    const int id = nextId++;
    const std::int64_t reads0 = Faults.Reads();
    Faults.FailRead(n);
    const TOutcome insert = [&] {
      try {
        Insert(id, static_cast<int>(n % 150), static_cast<int>(n));
      } catch (const EVELDOREngineError& e) {
        return TOutcome{e.ErrorCode, e.ErrorTable};
      }
      return TOutcome{};
    }();
    Faults.ClearFaults();
    const bool faultReached = Faults.Reads() - reads0 >= n;
    const TOutcome commit = Try("COMMIT");
    const std::string after = Image();
    if (commit.Code == VELDOR_NONE) {
      ++committed;
      // Committed: every earlier change is there, and the insert whole or not at all.
      const std::string row = std::to_string(id) + "=" + std::to_string(n % 150) + ":" +
                              Body(id, static_cast<int>(n)) + "\n";
      const bool rowThere = after.find(row) != std::string::npos;
      EXPECT_EQ(rowThere, insert.Code == VELDOR_NONE) << context;
      std::string rest = after;
      if (rowThere) rest.erase(rest.find(row), row.size());
      EXPECT_EQ(rest, changed) << context;
    } else {
      ++refused;
      EXPECT_NE(insert.Code, VELDOR_NONE) << context;
      EXPECT_EQ(commit.Code, VELDOR_WRITEERR) << context;
      EXPECT_EQ(commit.Table, "Notes") << context;
      EXPECT_EQ(after, before) << context;
      EXPECT_FALSE(InTransaction()) << context;
    }
    if (!faultReached) break;
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(committed, 0);
}

// COMMIT whose n-th write fails: the files are as before (another reader sees the old table),
// the transaction goes on with all its changes, and COMMIT again writes them.
TEST_F(TQueryTransactionFaultTest, ACommitWhoseWritingFailsCanBeRepeated) {
  Populate();
  int failed = 0;
  int nextId = 100;
  for (std::int64_t n = 1; n < 200; ++n) {
    const std::string before = Image();
    const std::string context = "write " + std::to_string(n) + " refused";
    Run("START TRANSACTION");
    Run("DELETE FROM Notes WHERE ID = " + std::to_string(n));
    for (int k = 0; k < 2; ++k)
      Insert(nextId++, 4000 + k, static_cast<int>(n));
    const std::string changed = Image();
    Faults.FailWrite(n);
    const TOutcome commit = Try("COMMIT");
    Faults.ClearFaults();
    if (commit.Code == VELDOR_NONE) {
      EXPECT_EQ(Image(), changed) << context;
      break;
    }
    ++failed;
    EXPECT_NE(commit.Table.find("Notes"), std::string::npos) << context;
    ASSERT_TRUE(InTransaction()) << context;
    EXPECT_EQ(Image(), changed) << context;  // our own view keeps the transaction
    if (n % 2 == 0) {
      EXPECT_EQ(Try("COMMIT").Code, VELDOR_NONE) << context;
      EXPECT_EQ(Image(), changed) << context;
    } else {
      Run("ROLLBACK");
      EXPECT_EQ(Image(), before) << context;
    }
  }
  EXPECT_GT(failed, 2);
}

// A transaction of many new rows, whose commit writes its records and pages past the files'
// old ends in large runs: when a write of the commit fails, the files are as before it (the
// new bytes cut off again), ROLLBACK leaves the old rows, and the rows of a commit that
// succeeds are all there.
TEST_F(TQueryTransactionFaultTest, ALargeCommitWhoseWritingFailsLeavesTheFilesAsTheyWere) {
  Populate();
  const auto files = [&] {
    std::string out;
    for (const char* name : {"Notes.DAT", "Notes.IDX", "Notes.BLB"}) {
      std::ifstream in(Dir.File(name), std::ios::binary);
      out += std::string(std::istreambuf_iterator<char>(in), {}) + "|";
    }
    return out;
  };
  const auto load = [&](int round) {
    Run("START TRANSACTION");
    for (int id = 1000; id < 1800; ++id)
      Run("INSERT INTO Notes (ID, Value, Body) VALUES (" + std::to_string(id) + ", " +
          std::to_string(round) + ", " + (id % 8 == 0 ? "'" + Body(id, round) + "'" : "NULL") +
          ")");
  };
  const std::string before = Image();
  const std::string onDisk = files();
  int failed = 0;
  int committed = 0;
  for (int n : {1, 2, 3, 5, 8}) {
    const std::string context = "write " + std::to_string(n) + " refused";
    load(n);
    Faults.FailWrite(n);
    const TOutcome commit = Try("COMMIT");
    Faults.ClearFaults();
    if (commit.Code == VELDOR_NONE) {
      committed = n;
      break;
    }
    ++failed;
    EXPECT_TRUE(files() == onDisk) << context;
    Run("ROLLBACK");
    EXPECT_EQ(Image(), before) << context;
  }
  EXPECT_GT(failed, 2);
  if (committed == 0) {
    load(99);
    Run("COMMIT");
    committed = 99;
  }
  TVELDORQuery q;
  Use(q, "SELECT COUNT(*), SUM(Value) FROM Notes WHERE ID >= 1000");
  q.Open();
  EXPECT_EQ(q.Field(0).AsString(), "800");
  EXPECT_EQ(q.Field(1).AsString(), std::to_string(800 * committed));
}

// DELETE without WHERE empties the table row by row inside the transaction: ROLLBACK brings
// every row back, COMMIT keeps it empty.
TEST_F(TQueryTransactionFaultTest, DeleteWithoutWhereIsUndoneByRollback) {
  Populate();
  const std::string before = Image();
  Run("START TRANSACTION");
  EXPECT_EQ(Run("DELETE FROM Notes"), 24);
  EXPECT_EQ(Image(), "");
  Run("ROLLBACK");
  EXPECT_EQ(Image(), before);
  Run("START TRANSACTION");
  EXPECT_EQ(Run("DELETE FROM Notes"), 24);
  Run("COMMIT");
  EXPECT_EQ(Image(), "");
  EXPECT_EQ(Column("SELECT COUNT(*) FROM Notes WHERE Value > 0"), std::vector<std::string>{"0"});
}

// Emptying writes the files at once, so an exclusive table in a transaction started by SQL is
// not emptied: the error names the table, and ROLLBACK finds every row.
TEST_F(TQueryTransactionFaultTest, AnExclusiveTableIsNotEmptiedInsideATransaction) {
  Run(kNotes);
  for (int id = 1; id <= 5; ++id)
    Insert(id, id, 0);
  TVELDORTable exclusive;
  exclusive.SetDatabaseName(Dir.Path());
  exclusive.SetTableName("Notes");
  exclusive.SetExclusive(true);
  exclusive.Open();
  Run("START TRANSACTION");
  try {
    exclusive.EmptyTable();
    ADD_FAILURE() << "emptied inside a transaction";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode, VELDOR_TABLEOPEN);
    EXPECT_EQ(e.ErrorTable, "Notes");
    EXPECT_NE(std::string(e.what()).find("The table 'Notes' is already in use"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(exclusive.RecordCount(), 5);
  Run("ROLLBACK");
  EXPECT_EQ(exclusive.RecordCount(), 5);
  exclusive.EmptyTable();  // outside a transaction it empties
  EXPECT_EQ(exclusive.RecordCount(), 0);
  exclusive.Close();
  EXPECT_EQ(Image(), "");
}

}  // namespace
}  // namespace zorvic::engine::testing

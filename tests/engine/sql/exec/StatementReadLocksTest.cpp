// The reads of one statement share their read locks: another session's INSERT never waits
// long behind SELECTs that keep scanning a table larger than their caches (nor behind one
// whose condition tests every slot of a table large enough to take longer than a batch may
// hold its lock), and every SELECT still sees what was committed before it began.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "engine/sql/exec/ExecTestSupport.h"

namespace zorvic::engine::test {
namespace {

class StatementReadLocksTest : public TExecTest {
 protected:
  // rows rows, then 20 inserts by this session while another one keeps counting by a condition
  // on an unindexed column.
  void InsertBesideCountingSelects(int rows);
};

void StatementReadLocksTest::InsertBesideCountingSelects(int rows) {
  Run("Create Table T(N Integer, Label VarChar(40), Primary Key (N))");
  Run("Start Transaction");
  for (int i = 1; i <= rows; ++i)
    Run("Insert into T values (" + std::to_string(i) + ", 'a label long enough to fill pages')");
  Run("Commit");
  Execution->Release();
  std::atomic<bool> stop{false};
  std::atomic<int> scans{0};
  std::string failure;
  std::thread reader([&] {
    try {
      TDataSession session;
      TDataDirectory& database = session.OpenDatabase(Dir.Path());
      {
        TSqlExecution execution(database);
        TQueryStatement statement(Dir.Path() + "/");
        int last = 0;
        while (!stop) {
          statement.Prepare("Select count(*) from T where Label <> 'x'");
          execution.Prepare(statement);
          TDataCursor* cursor = execution.Execute(statement);
          const TResultText result = ReadCursor(*cursor);
          const int n = std::stoi(result.Joined());
          // Rows only come: a later SELECT never sees fewer.
          EXPECT_GE(n, last);
          last = n;
          execution.Release();
          ++scans;
        }
      }
      session.CloseDatabase(database);
    } catch (const std::exception& e) {
      failure = e.what();
    }
  });
  while (scans == 0 && failure.empty())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  double longest = 0;
  for (int i = 0; i < 20; ++i) {
    const auto start = std::chrono::steady_clock::now();
    Run("Insert into T values (" + std::to_string(rows + 1 + i) + ", 'new')");
    Execution->Release();
    longest = std::max(
        longest, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  stop = true;
  reader.join();
  EXPECT_EQ(failure, "");
  // Tens of milliseconds; slack for a loaded machine under the sanitizers, but not the
  // seconds of a writer starved for whole scans.
  EXPECT_LT(longest, 250.0);
  EXPECT_EQ(Rows("Select count(*) from T"), std::to_string(rows + 20));
}

TEST_F(StatementReadLocksTest, InsertsNeverWaitLongBehindScanningSelectsAndEachSelectSeesThem) {
  InsertBesideCountingSelects(1500);
}

// Each count tests every slot in one operation: on this many rows (under the sanitizers) it
// outlasts the batch's hold, the inserts get in between its runs of slots, and the counts
// still only grow and end with every row.
TEST_F(StatementReadLocksTest, InsertsGetInDuringACountOverManyRowsThatStillSeesThem) {
  InsertBesideCountingSelects(100000);
}

}  // namespace
}  // namespace zorvic::engine::test

// Canned results of several threads at once: each gets a temporary table of its own.
#include <atomic>
#include <thread>

#include "engine/sql/exec/ExecTestSupport.h"

namespace zorvic::engine::test {
namespace {

class SelectThreadsTest : public TExecTest {};

TEST_F(SelectThreadsTest, ConcurrentSelectsKeepTheirOwnResults) {
  Run("Create Table Numbers(N Integer);"
      "Insert into Numbers values (1);Insert into Numbers values (2);"
      "Insert into Numbers values (3)");
  constexpr int kThreads = 4;
  constexpr int kRounds = 15;
  std::atomic<int> wrong{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        // One session per thread: a database and its cursors belong to one thread.
        TDataSession session;
        TDataDirectory& database = session.OpenDatabase(Dir.Path());
        TSqlExecution execution(database);
        TQueryStatement statement(Dir.Path() + "/");
        for (int round = 0; round < kRounds; ++round) {
          const int limit = (t + round) % 3 + 1;
          statement.Prepare("Select N from Numbers where N <= " + std::to_string(limit) +
                            " order by N desc");
          execution.Prepare(statement);
          TResultText result = ReadCursor(*execution.Execute(statement));
          if (static_cast<int>(result.Rows.size()) != limit ||
              result.Rows.front().front() != std::to_string(limit)) {
            ++wrong;
          }
        }
      } catch (...) {
        ++failed;
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace zorvic::engine::test

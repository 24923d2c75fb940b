#include "app/ConsoleLoop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>

#include "app/ThreadList.h"

using namespace zorvic;

namespace {

// A console fed through a pipe, plus a stop pipe standing in for the signal descriptor.
class ConsoleLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::pipe(input), 0);
    ASSERT_EQ(::pipe(stop), 0);
  }
  void TearDown() override {
    for (int fd : {input[0], input[1], stop[0], stop[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  void Type(const std::string& text) {
    ASSERT_EQ(::write(input[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void CloseInput() {
    ::close(input[1]);
    input[1] = -1;
  }
  std::future<TConsoleStop> Start() {
    return std::async(std::launch::async, [this] { return RunConsoleLoop(input[0], stop[0]); });
  }
  static bool StillRunning(std::future<TConsoleStop>& loop) {
    return loop.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout;
  }
  void RequestStop() { ASSERT_EQ(::write(stop[1], "x", 1), 1); }

  int input[2] = {-1, -1};
  int stop[2] = {-1, -1};
};

TEST_F(ConsoleLoopTest, OnlyTheExactLineQuitEnds) {
  auto loop = Start();
  Type("Quit\n quit\nquit \nQUIT\nquitquit\n\n");
  EXPECT_TRUE(StillRunning(loop));
  Type("qu");
  EXPECT_TRUE(StillRunning(loop));
  Type("it\r\n");  // split across reads, CR LF ended
  EXPECT_EQ(loop.get(), TConsoleStop::Quit);
}

TEST_F(ConsoleLoopTest, OverlongLinesAreSkippedWhole) {
  auto loop = Start();
  Type(std::string(10000, 'x') + "quit\n");
  EXPECT_TRUE(StillRunning(loop));
  Type("quit\n");
  EXPECT_EQ(loop.get(), TConsoleStop::Quit);
}

TEST_F(ConsoleLoopTest, EndOfInputKeepsRunningUntilStop) {
  auto loop = Start();
  Type("hello\n");
  CloseInput();
  EXPECT_TRUE(StillRunning(loop));
  RequestStop();
  EXPECT_EQ(loop.get(), TConsoleStop::StopRequested);
}

TEST_F(ConsoleLoopTest, LastLineWithoutLineEndCounts) {
  auto loop = Start();
  Type("quit");
  EXPECT_TRUE(StillRunning(loop));
  CloseInput();
  EXPECT_EQ(loop.get(), TConsoleStop::Quit);
}

TEST_F(ConsoleLoopTest, NoInputAtAllStillStops) {
  auto loop = std::async(std::launch::async, [this] { return RunConsoleLoop(-1, stop[0]); });
  EXPECT_TRUE(StillRunning(loop));
  RequestStop();
  EXPECT_EQ(loop.get(), TConsoleStop::StopRequested);
}

TEST(ThreadList, DuplicatesAndRemoveFirstOccurrence) {
  TThreadList<int> list;
  list.Add(1);
  list.Add(2);
  list.Add(1);
  EXPECT_EQ(list.Count(), 3u);
  EXPECT_TRUE(list.Remove(1));
  EXPECT_EQ(list.Snapshot(), (std::vector<int>{2, 1}));
  EXPECT_FALSE(list.Remove(7));
  {
    TThreadListLock<int> held(list);
    list.Add(3);  // re-entrant for the holder
    EXPECT_EQ(held.Items().size(), 3u);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i)
        list.Add(i);
      for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(list.Remove(i));
    });
  }
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(list.Count(), 3u);
}

}  // namespace

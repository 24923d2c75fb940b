// The work pool: work runs on a pool thread while the caller waits, errors come back to the
// caller, many callers at once all finish, and nested or late work never deadlocks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "net/ZQWorkPool.h"

using namespace zorvic;

namespace {

constexpr std::size_t kStack = std::size_t{1} << 20;

TEST(WorkPool, WorkRunsOnAPoolThreadAndIsFinishedWhenRunReturns) {
  TZQWorkPool pool(2, kStack);
  EXPECT_EQ(pool.ThreadCount(), 0) << "threads start on first use";
  const std::thread::id caller = std::this_thread::get_id();
  std::thread::id ran;
  bool onPool = false;
  int value = 0;
  pool.Run([&] {
    ran = std::this_thread::get_id();
    onPool = pool.OnPoolThread();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    value = 42;  // written to the caller's stack: still there when Run returns
  });
  EXPECT_EQ(value, 42);
  EXPECT_NE(ran, caller);
  EXPECT_TRUE(onPool);
  EXPECT_FALSE(pool.OnPoolThread());
  EXPECT_EQ(pool.ThreadCount(), 2);
  EXPECT_EQ(pool.CompletedCount(), 1u);
}

TEST(WorkPool, AnErrorOfTheWorkIsRaisedInTheCaller) {
  TZQWorkPool pool(1, kStack);
  EXPECT_THROW(pool.Run([] { throw std::runtime_error("disk full"); }), std::runtime_error);
  try {
    pool.Run([] { throw std::out_of_range("row 7"); });
    FAIL() << "no error raised";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "row 7");
  }
  // The pool thread survived both.
  int ran = 0;
  pool.Run([&] { ++ran; });
  EXPECT_EQ(ran, 1);
}

TEST(WorkPool, ManyCallersAtOnceAllFinishInOrderOfTheirOwnWork) {
  TZQWorkPool pool(3, kStack);
  constexpr int kCallers = 48;
  constexpr int kEach = 40;
  std::atomic<int> total{0};
  std::atomic<int> badOrder{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&] {
      int last = -1;
      for (int i = 0; i < kEach; ++i) {
        int seen = -1;
        pool.Run([&] {
          seen = i;
          total.fetch_add(1);
        });
        if (seen != i || seen <= last) badOrder.fetch_add(1);
        last = seen;
      }
    });
  }
  for (auto& t : callers)
    t.join();
  EXPECT_EQ(total.load(), kCallers * kEach);
  EXPECT_EQ(badOrder.load(), 0);
  EXPECT_EQ(pool.CompletedCount(), static_cast<std::uint64_t>(kCallers * kEach));
}

TEST(WorkPool, OneSlowPieceOfWorkDoesNotHoldUpTheOthers) {
  TZQWorkPool pool(2, kStack);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::thread slow([&] { pool.Run([&] { released.wait(); }); });
  // The second thread of the pool serves this while the first is busy.
  bool done = false;
  pool.Run([&] { done = true; });
  EXPECT_TRUE(done);
  release.set_value();
  slow.join();
}

TEST(WorkPool, NestedWorkAndWorkAfterStopRunOnTheCaller) {
  TZQWorkPool pool(1, kStack);
  int depth = 0;
  pool.Run([&] {
    // The only pool thread is busy with this very work: the inner work runs inline.
    pool.Run([&] { depth = 2; });
  });
  EXPECT_EQ(depth, 2);
  pool.Stop();
  EXPECT_EQ(pool.ThreadCount(), 0);
  std::thread::id ran;
  pool.Run([&] { ran = std::this_thread::get_id(); });
  EXPECT_EQ(ran, std::this_thread::get_id());
  pool.Stop();  // twice: harmless
}

TEST(WorkPool, StopLetsQueuedWorkFinishFirst) {
  auto pool = std::make_unique<TZQWorkPool>(1, kStack);
  std::promise<void> started;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> finished{0};
  std::thread first([&] {
    pool->Run([&] {
      started.set_value();
      released.wait();
      finished.fetch_add(1);
    });
  });
  started.get_future().wait();
  std::thread second([&] { pool->Run([&] { finished.fetch_add(1); }); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the second is queued
  std::thread stopper([&] { pool->Stop(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  release.set_value();
  first.join();
  second.join();
  stopper.join();
  EXPECT_EQ(finished.load(), 2);
  pool.reset();
}

TEST(WorkPool, TheSharedPoolIsOneObject) {
  EXPECT_EQ(&TZQWorkPool::Shared(), &TZQWorkPool::Shared());
  int ran = 0;
  TZQWorkPool::Shared().Run([&] { ran = 1; });
  EXPECT_EQ(ran, 1);
}

}  // namespace

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "net/ThreadStack.h"

using namespace zorvic;

namespace {

// Resident pages of the calling thread's stack.
std::size_t ResidentStackPages() {
  pthread_attr_t attributes;
  EXPECT_EQ(::pthread_getattr_np(::pthread_self(), &attributes), 0);
  void* low = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(::pthread_attr_getstack(&attributes, &low, &size), 0);
  ::pthread_attr_destroy(&attributes);
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  auto start = (reinterpret_cast<std::uintptr_t>(low) + page - 1) & ~(page - 1);
  auto end = (reinterpret_cast<std::uintptr_t>(low) + size) & ~(page - 1);
  std::vector<unsigned char> resident((end - start) / page);
  EXPECT_EQ(::mincore(reinterpret_cast<void*>(start), end - start, resident.data()), 0);
  std::size_t count = 0;
  for (unsigned char r : resident)
    count += r & 1;
  return count;
}

// Touches about `depth` * 4 KiB of stack below the caller and returns a checksum of it.
__attribute__((noinline)) unsigned DeepCall(int depth, unsigned seed) {
  volatile unsigned char frame[4096];
  for (std::size_t i = 0; i < sizeof frame; i += 64)
    frame[i] = static_cast<unsigned char>(seed + i);
  unsigned sum = depth > 0 ? DeepCall(depth - 1, seed + 1) : 0;
  for (std::size_t i = 0; i < sizeof frame; i += 64)
    sum += frame[i];
  return sum;
}

TEST(ThreadStack, PagesBelowTheFrameAreGivenBackAndUsableAgain) {
  std::thread worker([] {
    unsigned first = DeepCall(64, 7);  // about 256 KiB deep
    std::size_t deep = ResidentStackPages();
    ReleaseUnusedStack();
    std::size_t released = ResidentStackPages();
    EXPECT_LT(released + 32, deep) << "deep " << deep << ", after release " << released;
    // The same calls again find zero-filled pages and compute the same result.
    EXPECT_EQ(DeepCall(64, 7), first);
    ReleaseUnusedStack();
    ReleaseUnusedStack();  // nothing left to give back: harmless
    EXPECT_EQ(DeepCall(8, 3), DeepCall(8, 3));
  });
  worker.join();
}

TEST(ThreadStack, TheCallersOwnFrameKeepsItsValues) {
  std::thread worker([] {
    char local[512];
    std::memset(local, 'z', sizeof local);
    DeepCall(16, 1);
    ReleaseUnusedStack();
    for (char c : local)
      ASSERT_EQ(c, 'z');
  });
  worker.join();
}

}  // namespace

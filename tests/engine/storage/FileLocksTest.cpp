// Byte-range locks and open modes, within one process and between processes (fork).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <latch>
#include <thread>

#include "FileTestSupport.h"
#include "engine/storage/files/FileLayer.h"

using namespace zorvic::engine;
using namespace zorvic::engine::testing;

namespace {

constexpr std::int64_t Top = 0xFFFFFFFFLL;

// Runs body in a child process (which gets its own file list, like any other process) and
// returns its exit status; 98 when it threw, -1 when it did not exit normally.
int RunInChild(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int rc = 98;
    try {
      rc = body();
    } catch (...) {
    }
    ::_exit(rc);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class FileLocks : public ::testing::Test {
 protected:
  void SetUp() override {
    Name = Dir.File("LOCKS.DAT");
    TFileHandler h(Name, false, List);
    h.CreateFile();
    h.WriteAt(0, "data", 4);
  }
  TTempDir Dir;
  TFileList List;
  std::string Name;
};

}  // namespace

TEST_F(FileLocks, OverlapsFailWithinTheProcessWhoeverHoldsThem) {
  TFileHandler a(Name, false, List);
  TFileHandler b(Name, false, List);
  a.Open(false);
  b.Open(false);
  ASSERT_TRUE(a.LockRange(Top - 10, 4));   // bytes Top-10 .. Top-7
  EXPECT_FALSE(a.LockRange(Top - 10, 4));  // not re-entrant, not even for the holder
  EXPECT_FALSE(a.LockRange(Top - 7, 1));   // last byte
  EXPECT_FALSE(b.LockRange(Top - 12, 3));  // first byte, through another handle
  EXPECT_FALSE(b.LockRange(Top - 20, 100));
  EXPECT_TRUE(b.LockRange(Top - 6, 1));  // adjacent
  EXPECT_TRUE(b.LockRange(Top - 11, 1));

  EXPECT_FALSE(a.UnlockRange(Top - 10, 3));  // another length
  EXPECT_FALSE(a.UnlockRange(Top - 9, 3));   // another offset
  EXPECT_FALSE(a.UnlockRange(Top - 3, 1));   // never locked
  EXPECT_TRUE(b.UnlockRange(Top - 10, 4));   // any user of the file may release a range
  EXPECT_FALSE(a.UnlockRange(Top - 10, 4));  // already released
  EXPECT_TRUE(a.LockRange(Top - 10, 4));

  EXPECT_FALSE(a.LockRange(5, 0));   // nothing to lock
  EXPECT_FALSE(a.LockRange(-1, 2));  // before the file
  EXPECT_FALSE(a.LockRange(std::numeric_limits<std::int64_t>::max(), 2));

  // Ranges beyond 4 GiB.
  EXPECT_TRUE(a.LockRange(Top + 100, 65536));
  EXPECT_FALSE(b.LockRange(Top + 65535 + 100, 1));
  EXPECT_TRUE(b.LockRange(Top + 65536 + 100, 1));

  // Closing a handle releases the ranges it still holds, and only those.
  a.Close();
  EXPECT_TRUE(b.LockRange(Top - 10, 4));
  EXPECT_FALSE(b.LockRange(Top - 6, 1));
}

TEST_F(FileLocks, EachDescriptorOfTheProcessConflictsWithTheOthers) {
  // Two lists of one process act as two processes: the locks of one descriptor hold against the
  // other, and closing an unrelated descriptor of the same file leaves them held.
  TFileList other;
  TFileList third;
  TFileHandler a(Name, false, List);
  TFileHandler b(Name, false, other);
  TFileHandler c(Name, false, third);
  a.Open(false);
  b.Open(false);
  c.Open(false);
  ASSERT_TRUE(a.LockRange(Top, 1));
  EXPECT_FALSE(b.LockRange(Top, 1));
  b.Close();
  EXPECT_FALSE(c.LockRange(Top, 1));
  EXPECT_TRUE(a.UnlockRange(Top, 1));
  EXPECT_TRUE(c.LockRange(Top, 1));
}

TEST_F(FileLocks, ConcurrentThreadsNeverShareARange) {
  TFileHandler a(Name, false, List);
  a.Open(false);
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> winners{0};
    std::latch start(4);
    std::latch tried(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        TFileHandler h(Name, false, List);
        h.Open(false);
        start.arrive_and_wait();
        if (h.LockRange(Top - 100 + round, 10)) ++winners;
        tried.arrive_and_wait();  // everybody tried before any handle closes
      });
    }
    for (auto& t : threads)
      t.join();
    EXPECT_EQ(winners.load(), 1);  // every winner's handle closed, so its lock went with it
    EXPECT_TRUE(a.LockRange(Top - 100 + round, 10));
    EXPECT_TRUE(a.UnlockRange(Top - 100 + round, 10));
  }
}

TEST_F(FileLocks, InMemoryFilesKeepTheSameRules) {
  TFileHandler a("Memory/L.DAT", true, List);
  a.CreateFile();
  a.Close();
  a.Open(false);
  TFileHandler b("Memory/L.DAT", true, List);
  b.Open(false);
  EXPECT_TRUE(a.LockRange(Top - 1, 2));
  EXPECT_FALSE(b.LockRange(Top, 1));
  EXPECT_FALSE(b.UnlockRange(Top - 1, 1));
  EXPECT_TRUE(b.UnlockRange(Top - 1, 2));
  EXPECT_TRUE(b.LockRange(Top, 1));
}

TEST_F(FileLocks, AnotherProcessCannotTakeAHeldRange) {
  TFileHandler parent(Name, false, List);
  parent.Open(false);
  ASSERT_TRUE(parent.LockRange(Top - 15, 4));
  ASSERT_TRUE(parent.LockRange((1LL << 32) + 16, 1));

  int rc = RunInChild([&] {
    TFileList own;
    TFileHandler child(Name, false, own);
    child.Open(false);
    if (child.LockRange(Top - 13, 1)) return 1;           // inside the parent's range
    if (child.LockRange((1LL << 32) + 10, 10)) return 2;  // beyond 4 GiB
    if (!child.LockRange(Top - 20, 5)) return 3;          // free next to it
    if (child.LockRange(Top - 20, 5)) return 4;           // not twice in one process
    if (child.UnlockRange(Top - 20, 4)) return 5;         // another length
    if (!child.UnlockRange(Top - 20, 5)) return 6;
    return 0;
  });
  EXPECT_EQ(rc, 0);
  // The parent's ranges are untouched by the child's exit.
  EXPECT_FALSE(parent.LockRange(Top - 14, 1));
  EXPECT_TRUE(parent.LockRange(Top - 20, 5));
}

TEST_F(FileLocks, AKilledHoldersLocksAreGone) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    TFileList own;
    TFileHandler child(Name, false, own);
    child.Open(false);
    char ok = child.LockRange(Top, 1) ? 'y' : 'n';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(2);
    for (;;)
      ::pause();
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  EXPECT_EQ(ok, 'y');
  TFileHandler parent(Name, false, List);
  parent.Open(false);
  EXPECT_FALSE(parent.LockRange(Top, 1));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_TRUE(parent.LockRange(Top, 1));
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST_F(FileLocks, ExclusiveOpensHoldAgainstOtherProcesses) {
  TFileHandler exclusive(Name, false, List);
  exclusive.Open(true);
  int rc = RunInChild([&] {
    TFileList own;
    TFileHandler child(Name, false, own);
    try {
      child.Open(false);
      return 1;
    } catch (const EVELDOREngineError& e) {
      if (e.ErrorCode != VELDOR_OSEACCES) return 2;
    }
    try {
      child.CreateFile();  // must not empty a file another process holds
      return 3;
    } catch (const EVELDOREngineError& e) {
      if (e.ErrorCode != VELDOR_OSEACCES) return 4;
    }
    return 0;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(exclusive.FileSize(), 4);
  // Nor may another process delete or rename it while it is open.
  rc = RunInChild([&] {
    TFileList own;
    if (own.Delete(Name, false) != -VELDOR_OSEACCES) return 1;
    if (own.Rename(Name, false, Name + ".OLD") != -VELDOR_OSEACCES) return 2;
    return 0;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(exclusive.Exists());
  exclusive.Close();

  TFileHandler shared(Name, false, List);
  shared.Open(false);
  rc = RunInChild([&] {
    TFileList own;
    TFileHandler child(Name, false, own);
    child.Open(false);  // shared with shared is fine
    child.Close();
    try {
      child.Open(true);
      return 1;
    } catch (const EVELDOREngineError& e) {
      return e.ErrorCode == VELDOR_OSEACCES ? 0 : 2;
    }
  });
  EXPECT_EQ(rc, 0);
}

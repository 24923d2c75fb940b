// The mailbox registry: opening on the first reference, sharing, pins, release of what the
// caller holds only, unsafe names, and concurrent holders.
#include "messaging/MailboxRegistry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/Folders.h"
#include "app/Server.h"
#include "app/SharedDatabase.h"
#include "app/SharedSql.h"
#include "app/ThreadINIFile.h"
#include "engine/components/Table.h"
#include "support/TempDir.h"

using namespace zorvic;
using zorvic::testing::TTempDir;
using zorvic::testing::WriteFileBytes;

namespace {

std::vector<std::string> Descriptors() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    names.push_back(std::filesystem::read_symlink(entry.path(), ignored).string());
  }
  return names;
}

// Descriptors open on files under the users' folder.
int MailboxFiles() {
  int count = 0;
  for (const std::string& name : Descriptors())
    if (name.rfind(std::filesystem::path(UsersFolder).lexically_normal().string(), 0) == 0) ++count;
  return count;
}

class MailboxRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetAppFolder(home.Path());
    CreateServerFolders();
    WriteFileBytes(home.File("ServerOptions.ini"), "[ServerOptions]\nEnableLogging=1\n");
    server = std::make_unique<cServer>(0, options, [this](const std::string& entry) {
      std::lock_guard<std::mutex> guard(logMutex);
      log.push_back(entry);
    });
  }
  void TearDown() override { server.reset(); }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> guard(logMutex);
    return log;
  }
  int Messages(cUserQueryStruct* box) {
    cUserQueryStruct* held = server->LockUserQuery(box);
    EXPECT_EQ(held, box);
    cSqlRows rows = RunSelect(*held->Query, "Select count(*) from Messages");
    server->UnlockUserQuery(held);
    return std::stoi(*rows.Rows.at(0).at(0));
  }

  TTempDir home;
  TThreadINIFile options{home.File("ServerOptions.ini")};
  std::mutex logMutex;
  std::vector<std::string> log;
  std::unique_ptr<cServer> server;
};

TEST_F(MailboxRegistryTest, FirstReferenceCreatesFolderAndTableAndLaterOnesShareIt) {
  EXPECT_FALSE(std::filesystem::exists(UsersFolder + "bob"));
  cUserQueryStruct* first = server->ReferenceUserQuery("bob");
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(std::filesystem::exists(UsersFolder + "bob/Messages.DAT"));
  EXPECT_TRUE(first->Table->Active());
  EXPECT_EQ(Messages(first), 0);
  cUserQueryStruct* second = server->ReferenceUserQuery("bob");
  EXPECT_EQ(second, first);
  EXPECT_EQ(first->RefCount, 2);
  EXPECT_EQ(server->FindUserQuery("bob"), 0);
  EXPECT_EQ(server->FindUserQuery("Bob"), -1);  // names compare exactly

  server->ReleaseUserQuery(second);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(server->FindUserQuery("bob"), 0);
  cUserQueryStruct* copy = first;
  server->ReleaseUserQuery(first);
  EXPECT_EQ(server->FindUserQuery("bob"), -1);
  EXPECT_EQ(server->UserQueries.Count(), 0u);
  // A stale pointer and null are ignored (copy is no longer registered).
  server->ReleaseUserQuery(copy);
  server->ReleaseUserQuery(first);
  // Reopening finds what was stored.
  cUserQueryStruct* again = server->ReferenceUserQuery("bob");
  ASSERT_NE(again, nullptr);
  {
    cUserQueryStruct* held = server->LockUserQuery("bob");
    RunExec(*held->Query, "Insert into Messages (From, To, Body) values (?, ?, ?)",
            {"amy", "bob", cSqlMemo{"hello"}});
    server->UnlockUserQuery(held);
  }
  server->ReleaseUserQuery(again);
  again = server->ReferenceUserQuery("bob");
  EXPECT_EQ(Messages(again), 1);
  server->ReleaseUserQuery(again);
  EXPECT_EQ(Log().size(), 1u) << Log().back();  // "Start of log file" alone
}

TEST_F(MailboxRegistryTest, ReleasingTheLastReferenceClosesTheFiles) {
  cUserQueryStruct* box = server->ReferenceUserQuery("carol");
  ASSERT_NE(box, nullptr);
  int open = MailboxFiles();
  EXPECT_GT(open, 0);
  EXPECT_LE(open, 3);  // what the open-file limit budgets per mailbox
  cUserQueryStruct* again = server->ReferenceUserQuery("carol");
  EXPECT_EQ(MailboxFiles(), open);  // shared, not opened twice
  server->ReleaseUserQuery(again);
  EXPECT_EQ(MailboxFiles(), open);
  server->ReleaseUserQuery(box);
  EXPECT_EQ(MailboxFiles(), 0) << ::testing::PrintToString(Descriptors());
}

TEST_F(MailboxRegistryTest, LockingAMailboxThatIsNotOpenTakesNoLock) {
  EXPECT_EQ(server->LockUserQuery("nobody"), nullptr);
  EXPECT_EQ(server->LockUserQuery(static_cast<cUserQueryStruct*>(nullptr)), nullptr);
  server->UnlockUserQuery(nullptr);
  std::thread other([&] { std::lock_guard<std::recursive_mutex> g(server->DatabaseLock); });
  other.join();
  EXPECT_FALSE(std::filesystem::exists(UsersFolder + "nobody"));
}

TEST_F(MailboxRegistryTest, ALockPinsTheMailboxUntilUnlocked) {
  cUserQueryStruct* box = server->ReferenceUserQuery("dave");
  cUserQueryStruct* held = server->LockUserQuery("dave");
  ASSERT_EQ(held, box);
  server->ReleaseUserQuery(box);  // the only real holder goes while the lock is held
  EXPECT_EQ(server->FindUserQuery("dave"), 0);
  EXPECT_TRUE(held->Table->Active());
  server->UnlockUserQuery(held);
  EXPECT_EQ(server->FindUserQuery("dave"), -1);
}

TEST_F(MailboxRegistryTest, UnsafeNamesNeverReachTheFileSystem) {
  const std::vector<std::string> names = {"",       ".",
                                          "..",     "a/b",
                                          "../x",   "a\\b",
                                          "a\nb",   std::string("a\0b", 3),
                                          "tab\t",  std::string(256, 'n'),
                                          "del\x7f"};
  for (const std::string& name : names) {
    EXPECT_EQ(server->ReferenceUserQuery(name), nullptr) << name;
  }
  EXPECT_EQ(server->UserQueries.Count(), 0u);
  // Nothing was created beside or above the users' folder.
  EXPECT_TRUE(std::filesystem::is_empty(UsersFolder));
  EXPECT_FALSE(std::filesystem::exists(AppFolder + "x"));
  std::vector<std::string> entries = Log();
  ASSERT_EQ(entries.size(), names.size() + 1);  // after "Start of log file"
  EXPECT_EQ(entries[1].rfind("In cServer.ReferenceUserQuery (): ", 0), 0u) << entries[1];
  EXPECT_NE(entries[7].find("a\\x0Ab"), std::string::npos) << entries[7];

  // The longest account name (the width of Users.UserName), with blanks and other punctuation
  // that folder names may hold, is fine.
  cUserQueryStruct* longest = server->ReferenceUserQuery("John O'Neil-Smith & Co. (30 ch)");
  ASSERT_NE(longest, nullptr) << Log().back();
  server->ReleaseUserQuery(longest);
}

TEST_F(MailboxRegistryTest, AMailboxThatCannotOpenIsLoggedAndNotRegistered) {
  // A file where the user's folder should be.
  WriteFileBytes(UsersFolder + "eve", "not a folder");
  EXPECT_EQ(server->ReferenceUserQuery("eve"), nullptr);
  EXPECT_EQ(server->FindUserQuery("eve"), -1);
  std::vector<std::string> entries = Log();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].rfind("In cServer.ReferenceUserQuery (): Unable to create the mailbox", 0),
            0u)
      << entries[1];
  // Once the obstacle is gone the mailbox opens.
  std::filesystem::remove(UsersFolder + "eve");
  cUserQueryStruct* box = server->ReferenceUserQuery("eve");
  ASSERT_NE(box, nullptr);
  server->ReleaseUserQuery(box);
}

TEST_F(MailboxRegistryTest, ConcurrentHoldersShareOneEntryAndLeaveNothingBehind) {
  const int kThreads = 8;
  const int kRounds = 40;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const std::string name = "user" + std::to_string((t + round) % 3);
        cUserQueryStruct* box = server->ReferenceUserQuery(name);
        if (!box) {
          ++failures;
          continue;
        }
        cUserQueryStruct* held = server->LockUserQuery(box);
        if (held) {
          RunExec(*held->Query, "Insert into Messages (From, Body) values (?, ?)",
                  {name, cSqlMemo{"x"}});
        } else {
          ++failures;
        }
        server->UnlockUserQuery(held);
        // Log while holding a mailbox reference but no lock, as deliveries do.
        server->WriteLog("round");
        server->ReleaseUserQuery(box);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(server->UserQueries.Count(), 0u);
  int total = 0;
  for (int u = 0; u < 3; ++u) {
    cUserQueryStruct* box = server->ReferenceUserQuery("user" + std::to_string(u));
    ASSERT_NE(box, nullptr);
    total += Messages(box);
    server->ReleaseUserQuery(box);
  }
  EXPECT_EQ(total, kThreads * kRounds);
}

TEST_F(MailboxRegistryTest, MailboxesStillOpenAtDestructionAreClosed) {
  ASSERT_NE(server->ReferenceUserQuery("frank"), nullptr);
  ASSERT_NE(server->ReferenceUserQuery("gina"), nullptr);
  EXPECT_GT(MailboxFiles(), 0);
  server.reset();
  EXPECT_EQ(MailboxFiles(), 0);
}

}  // namespace

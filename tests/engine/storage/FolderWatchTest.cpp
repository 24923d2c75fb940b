// The folder watch: its number stays while the folder's names and attributes stay (however
// much the files are read and written), and moves on at every creation, removal, rename or
// attribute change in the folder, at a rename or removal of the folder itself, and in a
// forked child as well as in its parent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FileTestSupport.h"
#include "engine/storage/files/FolderWatch.h"

using namespace zorvic::engine;

namespace {

void Touch(const std::string& path) {
  std::ofstream(path) << "x";
}

// A new folder of that name in dir.
std::string NewFolder(const zorvic::engine::testing::TTempDir& dir, const std::string& name) {
  const std::string folder = dir.File(name);
  std::filesystem::create_directory(folder);
  return folder;
}

std::uint64_t Names(const std::string& folder) {
  return FolderGenerations(folder).Names;
}

TEST(FolderWatchTest, NamesMoveWithNamesAndAttributesContentAlsoWithWrites) {
  zorvic::engine::testing::TTempDir dir;
  const std::string folder = NewFolder(dir, "watched");
  const std::string file = folder + "/T.DAT";
  Touch(file);

  TFolderGenerations g = FolderGenerations(folder);
  ASSERT_NE(g.Names, 0u);
  ASSERT_NE(g.Content, 0u);
  EXPECT_EQ(FolderGenerations(folder).Names, g.Names);
  EXPECT_EQ(FolderGenerations(folder).Content, g.Content);

  // Reads change nothing; a write, a cut, change the content only.
  const int fd = ::open(file.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  char back[4];
  ASSERT_EQ(::pread(fd, back, 1, 0), 1);
  EXPECT_EQ(FolderGenerations(folder).Content, g.Content);
  ASSERT_EQ(::pwrite(fd, "abcd", 4, 100), 4);
  TFolderGenerations now = FolderGenerations(folder);
  EXPECT_EQ(now.Names, g.Names);
  EXPECT_NE(now.Content, g.Content);
  g = now;
  ASSERT_EQ(::ftruncate(fd, 50), 0);
  now = FolderGenerations(folder);
  EXPECT_EQ(now.Names, g.Names);
  EXPECT_NE(now.Content, g.Content);
  g = now;
  ::close(fd);

  // Another folder's changes are its own.
  const std::string other = NewFolder(dir, "other");
  Touch(other + "/U.DAT");
  now = FolderGenerations(folder);
  EXPECT_EQ(now.Names, g.Names);
  EXPECT_EQ(now.Content, g.Content);

  auto moved = [&](const char* what) {
    const TFolderGenerations after = FolderGenerations(folder);
    EXPECT_NE(after.Names, 0u) << what;
    EXPECT_NE(after.Names, g.Names) << what;
    EXPECT_NE(after.Content, g.Content) << what;
    EXPECT_EQ(Names(folder), after.Names) << what;
    g = after;
  };
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  moved("read-only attribute set");
  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  moved("read-only attribute cleared");
  Touch(folder + "/T.JNL");
  moved("file created");
  std::filesystem::rename(folder + "/T.JNL", folder + "/T.IDX");
  moved("file renamed over another name");
  std::filesystem::rename(other + "/U.DAT", file);
  moved("file moved in over a table's file");
  std::filesystem::remove(folder + "/T.IDX");
  moved("file removed");
}

TEST(FolderWatchTest, ManyWritesBetweenTwoLooksAreOneChange) {
  // The queue of a folder written thousands of times between two looks is read in one piece
  // (the kernel joins repeated events), or overflows: either way the content has changed.
  zorvic::engine::testing::TTempDir dir;
  const std::string folder = NewFolder(dir, "busy");
  const TFolderGenerations before = FolderGenerations(folder);
  for (int f = 0; f < 50; ++f) {
    const std::string name = folder + "/F" + std::to_string(f);
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 200; ++i)
      ASSERT_EQ(::pwrite(fd, "x", 1, i), 1);
    ::close(fd);
  }
  const TFolderGenerations after = FolderGenerations(folder);
  EXPECT_NE(after.Names, before.Names);
  EXPECT_NE(after.Content, before.Content);
  EXPECT_EQ(FolderGenerations(folder).Content, after.Content);
}

TEST(FolderWatchTest, AFolderWrittenAtEveryLookStopsTellingItsContentForAWhile) {
  zorvic::engine::testing::TTempDir dir;
  const std::string folder = NewFolder(dir, "written");
  const std::string file = folder + "/T.DAT";
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  const std::uint64_t names = Names(folder);
  std::vector<std::uint64_t> seen;
  int looks = 0;
  // Several writes before every look: the events cost more than the quiet looks save.
  for (; looks < 200; ++looks) {
    for (int i = 0; i < 5; ++i)
      ASSERT_EQ(::pwrite(fd, "x", 1, i * 7), 1);
    const TFolderGenerations g = FolderGenerations(folder);
    EXPECT_EQ(g.Names, names);
    if (g.Content == 0) break;
    seen.push_back(g.Content);
  }
  EXPECT_LT(looks, 200) << "writes are still watched";
  // Not told meanwhile, whatever is written; the names still are.
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(::pwrite(fd, "y", 1, 3), 1);
    EXPECT_EQ(FolderGenerations(folder).Content, 0u);
  }
  Touch(folder + "/New.DAT");
  const std::uint64_t renamed = Names(folder);
  EXPECT_NE(renamed, names);
  // Watched again after the pause: a number never handed out before, steady while quiet.
  std::uint64_t back = 0;
  for (int i = 0; i < 2000 && back == 0; ++i)
    back = FolderGenerations(folder).Content;
  ASSERT_NE(back, 0u) << "writes never watched again";
  for (std::uint64_t old : seen)
    EXPECT_NE(back, old);
  EXPECT_EQ(FolderGenerations(folder).Content, back);
  ASSERT_EQ(::pwrite(fd, "z", 1, 3), 1);
  EXPECT_NE(FolderGenerations(folder).Content, back);
  ::close(fd);
}

TEST(FolderWatchTest, AFolderWatchedUnderOneSpellingIsNotWatchedUnderAnother) {
  zorvic::engine::testing::TTempDir dir;
  const std::string folder = NewFolder(dir, "db");
  const TFolderGenerations g = FolderGenerations(folder);
  ASSERT_NE(g.Names, 0u);
  // The other spelling is looked at by its callers themselves; the first keeps its watch.
  EXPECT_EQ(Names(dir.File("./db")), 0u);
  EXPECT_EQ(FolderGenerations(folder).Content, g.Content);
  Touch(folder + "/A.DAT");
  EXPECT_NE(Names(folder), g.Names);
}

TEST(FolderWatchTest, AFolderMovedAwayOrRemovedIsWatchedAnew) {
  zorvic::engine::testing::TTempDir dir;
  const std::string folder = NewFolder(dir, "db");
  const std::uint64_t first = Names(folder);
  ASSERT_NE(first, 0u);

  // Another folder put in its place: a number never handed out before.
  std::filesystem::rename(folder, dir.File("db.old"));
  std::filesystem::create_directory(folder);
  const std::uint64_t second = Names(folder);
  EXPECT_NE(second, 0u);
  EXPECT_NE(second, first);
  EXPECT_EQ(Names(folder), second);
  // Changes in the folder moved away are not this folder's.
  Touch(dir.File("db.old/X.DAT"));
  EXPECT_EQ(Names(folder), second);

  std::filesystem::remove(folder);
  EXPECT_EQ(Names(folder), 0u);  // nothing to watch
  std::filesystem::create_directory(folder);
  const std::uint64_t third = Names(folder);
  EXPECT_NE(third, 0u);
  EXPECT_NE(third, second);
}

TEST(FolderWatchTest, RelativeOrMissingFoldersAreNotWatched) {
  EXPECT_EQ(Names(""), 0u);
  EXPECT_EQ(Names("relative/folder"), 0u);
  zorvic::engine::testing::TTempDir dir;
  EXPECT_EQ(Names(dir.File("missing")), 0u);
  Touch(dir.File("plain"));
  EXPECT_EQ(Names(dir.File("plain")), 0u);  // a file is no folder
}

TEST(FolderWatchTest, AForkedChildWatchesWithItsOwnQueue) {
  zorvic::engine::testing::TTempDir dir;
  const std::string folder = NewFolder(dir, "shared");
  const std::uint64_t before = Names(folder);
  ASSERT_NE(before, 0u);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child sees its own changes; what it reads is not taken from its parent's queue.
    const std::uint64_t mine = Names(folder);
    Touch(folder + "/C.DAT");
    const std::uint64_t after = Names(folder);
    ::_exit(mine != 0 && after != 0 && after != mine ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // The parent sees the child's change too.
  EXPECT_NE(Names(folder), before);
}

}  // namespace

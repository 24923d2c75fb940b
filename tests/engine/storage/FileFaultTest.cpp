// The fault-injecting file system: failed reads and writes, a full disk and lost unsynced writes
// reach the file layer's callers as the engine's read and write errors.
#include <cerrno>

#include "FileTestSupport.h"
#include "engine/storage/files/FaultFileSystem.h"
#include "engine/storage/files/FileLayer.h"

using namespace zorvic::engine;
using namespace zorvic::engine::testing;

namespace {

class FileFaults : public ::testing::Test {
 protected:
  TTempDir Dir;
  TFaultFileSystem Faults;
  TFileList List{&Faults};
};

}  // namespace

TEST_F(FileFaults, TheNthWriteOrReadFails) {
  TFileHandler h(Dir.File("F.DAT"), false, List);
  h.CreateFile();
  Faults.FailWrite(2);
  h.WriteAt(0, "one", 3);
  auto e = CatchEngineError([&] { h.WriteAt(3, "two", 3); });
  EXPECT_EQ(e.ErrorCode, VELDOR_WRITEERR);
  EXPECT_EQ(e.ErrorTable, Dir.File("F.DAT"));
  EXPECT_EQ(e.OSErrorCode, EIO);
  h.WriteAt(3, "two", 3);  // a single fault
  Faults.FailRead(1, EIO, true);
  char buffer[6];
  EXPECT_ENGINE_ERROR(h.ReadAt(0, buffer, 6), VELDOR_READERR);
  EXPECT_ENGINE_ERROR(h.ReadAt(0, buffer, 6), VELDOR_READERR);  // sticky
  Faults.ClearFaults();
  h.ReadAt(0, buffer, 6);
  EXPECT_EQ(std::string(buffer, 6), "onetwo");
  Faults.FailSync(1);
  EXPECT_ENGINE_ERROR(h.FlushBuffers(), VELDOR_WRITEERR);
  h.FlushBuffers();
}

TEST_F(FileFaults, AFullDiskGivesAShortWrite) {
  TFileHandler h(Dir.File("FULL.DAT"), false, List);
  h.CreateFile();
  h.WriteAt(0, std::string(100, 'a').data(), 100);
  Faults.SetFreeSpace(50);
  h.WriteAt(0, std::string(100, 'b').data(), 100);  // rewriting in place needs no space
  EXPECT_ENGINE_ERROR(h.WriteAt(100, std::string(80, 'c').data(), 80), VELDOR_WRITEERR);
  EXPECT_EQ(h.FileSize(), 150);
  EXPECT_ENGINE_ERROR(h.WriteAt(150, "d", 1), VELDOR_WRITEERR);
  EXPECT_EQ(h.FileSize(), 150);
}

TEST_F(FileFaults, ACrashLosesWhatWasNeverSynced) {
  std::string name = Dir.File("CRASH.DAT");
  TFileHandler h(name, false, List);
  h.CreateFile();
  h.WriteAt(0, "synced--", 8);
  h.FlushBuffers();
  EXPECT_EQ(Faults.SyncsOf(name), 1);
  h.WriteAt(2, "XX", 2);
  h.WriteAt(8, "appended", 8);
  h.Truncate(12);
  h.WriteAt(20, "later", 5);
  EXPECT_GT(Faults.UnsyncedBytes(), 0);
  Faults.SimulateCrash();
  h.Close();
  EXPECT_EQ(ReadWholeFile(name), "synced--");

  // A truncation that was never synced comes undone as well.
  TFileHandler again(name, false, List);
  again.Open(false);
  again.Truncate(3);
  again.WriteAt(1, "Q", 1);
  Faults.SimulateCrash();
  again.Close();
  EXPECT_EQ(ReadWholeFile(name), "synced--");
  EXPECT_EQ(Faults.UnsyncedBytes(), 0);
}

// Rebuilding index files from the data file: the rebuilt file passes every structural check and
// holds the same keys, a lost index file comes back, and a rebuild that cannot finish leaves
// the old file in place.
#include "engine/storage/maintenance/IndexRebuild.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "engine/storage/CursorTestSupport.h"
#include "engine/storage/files/FaultFileSystem.h"
#include "engine/storage/formats/IndexFormat.h"

namespace zorvic::engine::testing {
namespace {

class IndexRebuildTest : public TDatabaseFixture {
 protected:
  // Users with n records (names in scrambled order so inserts split everywhere), every fifth
  // one deleted again.
  void Fill(const std::string& table, int n) {
    TDataCursor& c = Create(table, UsersTable());
    for (int i = 0; i < n; ++i) {
      const int k = (i * 7919) % n;
      TRec r(c);
      r.Init()
          .Str("UserName", "user" + std::to_string(k))
          .Str("FullName", Name(k))
          .Int("Rights", k);
      c.InsertRecord(r.Bytes());
    }
    c.SetIndex(TDataCursor::kNoIndex);
    for (std::int32_t slot = 1; slot <= n; slot += 5) {
      ASSERT_EQ(c.GoToRecordSlot(slot), VELDOR_NONE);
      c.DeleteRecord();
    }
    CloseAll();
  }
  static std::string Name(int k) { return (k % 3 ? "Smith " : "jones ") + std::to_string(k % 97); }
  void CloseAll() { Cursors.clear(); }
  // Keys of one index in order: "record number:UserName".
  std::vector<std::string> Order(const std::string& table, const std::string& index) {
    TDataCursor& c = NewCursor();
    c.Open(table);
    c.SetIndexByName(index);
    c.First();
    TRec r(c);
    std::vector<std::string> out;
    while (c.GetNext(r.Bytes()) == VELDOR_NONE)
      out.push_back(std::to_string(c.CurrentRecordNo()) + ":" + r.GetStr("UserName"));
    return out;
  }
  std::vector<std::string> Problems(const std::string& table) {
    TDataCursor& c = NewCursor();
    c.Open(table);
    std::vector<std::string> p = CheckTable(c.Table());
    CloseAll();
    return p;
  }
};

TEST_F(IndexRebuildTest, RebuiltFilePassesEveryCheckAndHoldsTheSameKeys) {
  Fill("Users", 700);
  const auto primary = Order("Users", "Primary");
  const auto byName = Order("Users", "ByFullName");
  CloseAll();
  ASSERT_EQ(primary.size(), 560u);
  const std::string idx = File("Users.IDX");
  TIndexHeader before;
  {
    const std::string bytes = ReadWholeFile(idx);
    std::memcpy(before.Bytes.data(), bytes.data(), 4096);
  }
  // Wreck a page in the middle of the file: the rebuild never reads the old pages.
  std::string bytes = ReadWholeFile(idx);
  for (int i = 0; i < 4096; ++i)
    bytes[4096 * 3 + i] = static_cast<char>(i * 13);
  WriteWholeFile(idx, bytes);

  const TIndexRebuildResult r = RebuildIndexFile(Dir.Path(), "Users");
  EXPECT_EQ(r.Indexes, 2);
  EXPECT_EQ(r.Records, 560);
  EXPECT_EQ(r.Slots, 700);
  EXPECT_FALSE(r.IndexFileWasMissing);
  FILE* temp = std::fopen(RebuildTemporaryName(Dir.Path(), "Users").c_str(), "rb");
  EXPECT_EQ(temp, nullptr) << "the temporary file stays behind";
  if (temp) std::fclose(temp);

  EXPECT_EQ(Problems("Users"), std::vector<std::string>{});
  EXPECT_EQ(Order("Users", "Primary"), primary);
  EXPECT_EQ(Order("Users", "ByFullName"), byName);
  CloseAll();
  TIndexHeader after;
  bytes = ReadWholeFile(idx);
  std::memcpy(after.Bytes.data(), bytes.data(), 4096);
  // The definitions are kept; other users see a new ChangeCount.
  for (int slot : {0, 1}) {
    const TIndexDescriptor a = before.Descriptor(slot), b = after.Descriptor(slot);
    EXPECT_EQ(a.IndexName, b.IndexName);
    EXPECT_EQ(a.KeySize, b.KeySize);
    EXPECT_EQ(a.NoCase, b.NoCase);
    EXPECT_EQ(a.Unique, b.Unique);
    EXPECT_EQ(a.Compression, b.Compression);
    EXPECT_EQ(a.KeyFields, b.KeyFields);
  }
  EXPECT_EQ(after.SecondaryCount(), 1);
  EXPECT_EQ(after.RecordCount(), 560);
  EXPECT_GT(after.ChangeCount(), before.ChangeCount());

  // The rebuilt table takes changes and keeps its uniqueness.
  TDataCursor& c = NewCursor();
  c.Open("Users");
  TRec dup(c);
  dup.Init().Str("UserName", "user3").Str("FullName", "x");
  EXPECT_EQ(CatchEngineError([&] { c.InsertRecord(dup.Bytes()); }).ErrorCode, VELDOR_KEYVIOL);
  TRec fresh(c);
  fresh.Init().Str("UserName", "newcomer").Str("FullName", "New");
  c.InsertRecord(fresh.Bytes());
  CloseAll();
  EXPECT_EQ(Problems("Users"), std::vector<std::string>{});
}

TEST_F(IndexRebuildTest, MissingIndexFileIsRebuiltWithoutIndexDefinitions) {
  Fill("Users", 50);
  ASSERT_EQ(std::remove(File("Users.IDX").c_str()), 0);
  {
    TDataCursor& c = NewCursor();
    EXPECT_EQ(CatchEngineError([&] { c.Open("Users"); }).ErrorCode, VELDOR_INDEXCORRUPT);
    CloseAll();
  }
  const TIndexRebuildResult r = RebuildIndexFile(Dir.Path(), "Users");
  EXPECT_TRUE(r.IndexFileWasMissing);
  EXPECT_EQ(r.Indexes, 0);
  EXPECT_EQ(r.Records, 40);
  EXPECT_EQ(Problems("Users"), std::vector<std::string>{});
  TDataCursor& c = NewCursor();
  c.Open("Users");
  EXPECT_EQ(c.RecordCount(), 40);
  EXPECT_EQ(CatchEngineError([&] { c.SetIndexByName("ByFullName"); }).ErrorCode,
            VELDOR_INVALIDINDEXNAME);
  // Deleted slots are still known, so the records keep their numbers and slots get reused.
  TRec r2(c);
  r2.Init().Str("UserName", "again").Str("FullName", "A");
  c.InsertRecord(r2.Bytes());
  EXPECT_EQ(c.RecordCount(), 41);
  CloseAll();
  EXPECT_EQ(Problems("Users"), std::vector<std::string>{});
}

TEST_F(IndexRebuildTest, FailedRebuildLeavesTheOldFile) {
  // The same fields without and with a unique index: the data of the first has duplicates the
  // second's index cannot take.
  TTableCreation loose = UsersTable();
  loose.Primary = TIndexDefinition{};
  TTableCreation strict = UsersTable();
  TDataCursor& a = Create("Loose", loose);
  for (int i = 0; i < 3; ++i) {
    TRec r(a);
    r.Init().Str("UserName", "same").Str("FullName", "F");
    a.InsertRecord(r.Bytes());
  }
  Create("Strict", strict);
  CloseAll();
  WriteWholeFile(File("Strict.DAT"), ReadWholeFile(File("Loose.DAT")));
  WriteWholeFile(File("Strict.IDX.rebuild"), "left over from an interrupted repair");
  const std::string old = ReadWholeFile(File("Strict.IDX"));
  EXPECT_EQ(CatchEngineError([&] { RebuildIndexFile(Dir.Path(), "Strict"); }).ErrorCode,
            VELDOR_KEYVIOL);
  EXPECT_EQ(ReadWholeFile(File("Strict.IDX")), old);
  FILE* temp = std::fopen(File("Strict.IDX.rebuild").c_str(), "rb");
  EXPECT_EQ(temp, nullptr);
  if (temp) std::fclose(temp);
  // A table in use cannot be rebuilt under its users.
  TDataCursor& c = NewCursor();
  c.Open("Loose");
  EXPECT_EQ(CatchEngineError([&] { RebuildIndexFile(Dir.Path(), "Loose"); }).ErrorCode,
            VELDOR_OSEACCES);
  CloseAll();
  const TIndexRebuildResult r = RebuildIndexFile(Dir.Path(), "Loose");
  EXPECT_EQ(r.Records, 3);
  EXPECT_EQ(Problems("Loose"), std::vector<std::string>{});
}

// Installs a fault file system for the scope of a test (no file may be open around it).
class TFaultScope {
 public:
  TFaultScope() { FPrevious = InstallFileSystem(&Faults); }
  ~TFaultScope() { InstallFileSystem(FPrevious); }
  TFaultFileSystem Faults;

 private:
  TFileSystem* FPrevious = nullptr;
};

TEST_F(IndexRebuildTest, WriteFailureLeavesTheOldFileAndACrashAfterwardsKeepsTheNewOne) {
  Fill("Users", 300);
  const std::string old = ReadWholeFile(File("Users.IDX"));
  {
    TFaultScope scope;
    scope.Faults.FailWrite(3, 28 /* ENOSPC */, true);
    EXPECT_NE(CatchEngineError([&] { RebuildIndexFile(Dir.Path(), "Users"); }).ErrorCode,
              VELDOR_NONE);
    scope.Faults.ClearFaults();
    EXPECT_EQ(ReadWholeFile(File("Users.IDX")), old);
    FILE* temp = std::fopen(RebuildTemporaryName(Dir.Path(), "Users").c_str(), "rb");
    EXPECT_EQ(temp, nullptr);
    if (temp) std::fclose(temp);

    // A finished rebuild was on the disk before it took the old file's place: a crash right
    // after it loses nothing of it.
    RebuildIndexFile(Dir.Path(), "Users");
    scope.Faults.SimulateCrash();
  }
  EXPECT_EQ(Problems("Users"), std::vector<std::string>{});
}

}  // namespace
}  // namespace zorvic::engine::testing

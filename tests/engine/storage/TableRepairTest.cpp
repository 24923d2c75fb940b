// Repairing tables damaged on purpose: flipped record bytes, damaged BLOB blocks, chains that
// share blocks, truncated files and a cut free list are mended to a table whose checks are
// clean, with every readable value kept (compared value by value) and the old files backed up.
#include "engine/storage/maintenance/TableRepair.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <stdexcept>

#include "FileTestSupport.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/files/DataDirectory.h"
#include "engine/storage/formats/BlobFileInternal.h"
#include "engine/storage/formats/FieldTypes.h"
#include "engine/storage/sessions/DataSession.h"
#include "engine/storage/sessions/TableAccess.h"

namespace zorvic::engine::testing {
namespace {

using blobfile_internal::GetI32;

constexpr std::int64_t kBlock = 64;
constexpr std::int64_t kCap = kBlock - 18;
constexpr std::int64_t kHeader = 127 + 768 * 4;

std::string Bytes(std::int64_t n, int seed) {
  std::string s(static_cast<std::size_t>(n), '\0');
  for (std::int64_t i = 0; i < n; ++i)
    s[static_cast<std::size_t>(i)] = static_cast<char>('a' + (seed * 7 + i) % 26);
  return s;
}

class TableRepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TTableDefinition def;
    def.BlobBlockSize = kBlock;
    const auto field = [&def](const char* name, std::uint8_t type, std::uint8_t subType,
                              std::uint32_t size) {
      TFieldDefinition f;
      f.Name = name;
      f.DataType = type;
      f.SubType = subType;
      f.Size = size;
      def.Fields.push_back(f);
    };
    field("ID", ftInteger, fstAutoInc, 0);
    field("Name", ftString, 0, 20);
    field("Body", ftBlob, fstMemo, 0);
    field("Pic", ftBlob, 0, 0);
    TTableAccess table(Dir.Path(), "T");
    table.Create(def);
    const std::int64_t lengths[] = {0, 1, kCap, kCap + 1, 3 * kCap + 5, 7 * kCap};
    for (int k = 1; k <= 20; ++k) {
      TRecordValues v(4);
      v[1] = TFieldValue::Of("name " + std::to_string(k));
      if (const std::int64_t n = lengths[k % 6]) v[2] = TFieldValue::Of(Bytes(n, k));
      if (const std::int64_t n = lengths[(k / 2) % 6]) v[3] = TFieldValue::Of(Bytes(n, k + 50));
      Expected[table.Insert(v)] = v;
    }
    table.Close();
    RecordSize = static_cast<std::int64_t>(GetU16(ReadWholeFile(File(".DAT")), 21));
  }

  static std::uint16_t GetU16(const std::string& s, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) |
                                      static_cast<std::uint8_t>(s[at + 1]) << 8);
  }
  std::string File(const std::string& ext) const { return Dir.File("T" + ext); }
  void Patch(const std::string& ext, std::int64_t offset, const void* bytes, std::size_t n) {
    std::string s = ReadWholeFile(File(ext));
    ASSERT_LE(static_cast<std::size_t>(offset) + n, s.size());
    std::memcpy(s.data() + offset, bytes, n);
    WriteWholeFile(File(ext), s);
  }
  void PatchI32(const std::string& ext, std::int64_t offset, std::int32_t value) {
    std::uint8_t b[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                         static_cast<std::uint8_t>(value >> 16),
                         static_cast<std::uint8_t>(value >> 24)};
    Patch(ext, offset, b, 4);
  }
  std::int64_t RecordOffset(std::int32_t n) const { return kHeader + (n - 1) * RecordSize; }
  // Offsets of the fields in the record (flag byte): Name 9, Body 9 + 22, Pic 9 + 22 + 9.
  static constexpr std::int64_t kName = 9, kBody = 31, kPic = 40;
  std::int32_t Ref(std::int32_t n, std::int64_t field) const {
    const std::string dat = ReadWholeFile(File(".DAT"));
    return GetI32(reinterpret_cast<const std::uint8_t*>(dat.data()) + RecordOffset(n) + field + 1);
  }
  static std::int64_t BlockOffset(std::int32_t b) { return 512 + (b - 1) * kBlock; }
  std::int32_t BlockNext(std::int32_t b) const {
    const std::string blb = ReadWholeFile(File(".BLB"));
    return GetI32(reinterpret_cast<const std::uint8_t*>(blb.data()) + BlockOffset(b) + 4);
  }

  TTableRepairResult Repair(bool drop = false) {
    TTableRepairOptions options;
    options.DropBadRecords = drop;
    return RepairTableFiles(Dir.Path(), "T", options);
  }
  std::vector<std::string> Problems() {
    TTableAccess table(Dir.Path(), "T");
    table.Open(false);
    return table.Check();
  }
  // Every record is as expected, except the values named in cut (record, field), which keep a
  // start of their old value (of the given length when it is not -1).
  void ExpectValues(const std::map<std::pair<std::int32_t, int>, std::int64_t>& cut = {}) {
    TTableAccess table(Dir.Path(), "T");
    table.Open(false);
    std::int32_t active = 0;
    for (std::int32_t n = 1; n <= table.Data().PhysicalRecordCount(); ++n) {
      TRecordValues got;
      if (!table.ReadRecord(n, got)) continue;
      ++active;
      ASSERT_TRUE(Expected.count(n)) << "record " << n;
      const TRecordValues& want = Expected[n];
      for (int f = 1; f <= 3; ++f) {
        const auto c = cut.find({n, f});
        if (c == cut.end()) {
          EXPECT_EQ(got[f].IsNull, want[f].IsNull) << n << "/" << f;
          EXPECT_EQ(got[f].Bytes, want[f].Bytes) << n << "/" << f;
          continue;
        }
        EXPECT_EQ(want[f].Bytes.rfind(got[f].Bytes, 0), 0u) << n << "/" << f;
        if (c->second >= 0) {
          EXPECT_EQ(static_cast<std::int64_t>(got[f].Bytes.size()), c->second);
        }
      }
    }
    EXPECT_EQ(active, static_cast<std::int32_t>(Expected.size()));
  }
  static bool Mentions(const TTableRepairResult& r, const std::string& text) {
    for (const std::string& c : r.Changes)
      if (c.find(text) != std::string::npos) return true;
    return false;
  }

  TTempDir Dir;
  std::map<std::int32_t, TRecordValues> Expected;
  std::int64_t RecordSize = 0;
};

TEST_F(TableRepairTest, SoundTableChangesNothingAndKeepsBackups) {
  const std::string dat = ReadWholeFile(File(".DAT"));
  const TTableRepairResult r = Repair();
  EXPECT_TRUE(r.Changes.empty()) << r.Changes.front();
  EXPECT_TRUE(r.Index.IndexFileWasMissing);
  EXPECT_EQ(r.Index.Records, 20);
  EXPECT_EQ(ReadWholeFile(File(".DBK")), dat);
  EXPECT_TRUE(std::filesystem::exists(File(".BBK")));
  EXPECT_FALSE(std::filesystem::exists(File(".DAT.repair")));
  EXPECT_TRUE(Problems().empty());
  ExpectValues();
}

TEST_F(TableRepairTest, FlippedRecordBytesAreMendedOrReportedAndDroppedOnlyWhenAsked) {
  PatchI32(".DAT", RecordOffset(2) + 1, 99);  // record 2's link
  const std::uint8_t seven = 7;
  Patch(".DAT", RecordOffset(4) + kName, &seven, 1);  // record 4's Name flag
  ASSERT_FALSE(Problems().empty());
  TTableRepairResult r = Repair();
  EXPECT_TRUE(Mentions(r, "record 2: link 99 set to its own number"));
  ASSERT_EQ(r.BadRecordsKept, 1);
  EXPECT_NE(r.BadRecords[0].find("record 4: field Name"), std::string::npos);
  // The kept record keeps its chains.
  EXPECT_FALSE(Mentions(r, "returned to the free list"));
  r = Repair(true);
  EXPECT_TRUE(Mentions(r, "record 4 removed: field Name"));
  EXPECT_TRUE(Mentions(r, "returned to the free list"));
  EXPECT_TRUE(Problems().empty());
  Expected.erase(4);
  ExpectValues();
}

TEST_F(TableRepairTest, DamagedBlocksCutTheValueAtTheFirstBadBlockOnly) {
  // Record 4's Body (3 blocks and 5 bytes): its second block's owner flipped (its back link
  // still holds it to the chain), its third block's next pointer outside the file.
  const std::int32_t first = Ref(4, kBody);
  const std::int32_t second = BlockNext(first);
  const std::int32_t third = BlockNext(second);
  PatchI32(".BLB", BlockOffset(second) + 10, 12345);
  PatchI32(".BLB", BlockOffset(third) + 4, 1 << 30);
  // Record 5's Pic begins in the middle of record 10's Body: the sound chain wins.
  const std::int32_t body10 = Ref(10, kBody);
  PatchI32(".DAT", RecordOffset(5) + kPic + 1, BlockNext(body10));
  ASSERT_FALSE(Problems().empty());
  const TTableRepairResult r = Repair();
  EXPECT_TRUE(Mentions(r, "record 4 field 3: value cut from " + std::to_string(3 * kCap + 5) +
                              " to " + std::to_string(3 * kCap)));
  EXPECT_TRUE(Mentions(r, "record 5 field 4: its value begins at block"));
  EXPECT_TRUE(Problems().empty());
  Expected[5][3] = TFieldValue::Null();
  ExpectValues({{{4, 2}, 3 * kCap}});
}

TEST_F(TableRepairTest, TruncatedFilesKeepWhatTheyStillHold) {
  const std::int64_t blb = static_cast<std::int64_t>(ReadWholeFile(File(".BLB")).size());
  std::filesystem::resize_file(File(".BLB"), static_cast<std::uintmax_t>(blb - 6 * kBlock - 20));
  // The last record loses its Pic reference bytes: Name and Body stay.
  const std::int64_t dat = static_cast<std::int64_t>(ReadWholeFile(File(".DAT")).size());
  std::filesystem::resize_file(File(".DAT"), static_cast<std::uintmax_t>(dat - 3));
  const TTableRepairResult r = Repair();
  EXPECT_TRUE(Mentions(r, "partial block at the end cut off"));
  EXPECT_TRUE(Mentions(r, "NextBlockNo"));
  EXPECT_TRUE(Problems().empty());
  // Values whose blocks were cut off keep their start; which ones depends on the allocation.
  TTableAccess table(Dir.Path(), "T");
  table.Open(false);
  int shortened = 0;
  for (const auto& [n, want] : Expected) {
    TRecordValues got;
    ASSERT_TRUE(table.ReadRecord(n, got));
    EXPECT_EQ(got[1].Bytes, want[1].Bytes);
    for (int f = 2; f <= 3; ++f) {
      if (n == 20 && f == 3) {
        EXPECT_TRUE(got[f].IsNull);
        continue;
      }
      EXPECT_EQ(want[f].Bytes.rfind(got[f].Bytes, 0), 0u) << n << "/" << f;
      if (got[f].Bytes != want[f].Bytes) ++shortened;
    }
  }
  EXPECT_GE(shortened, 1);
}

TEST_F(TableRepairTest, CutFreeListIsRebuiltAndReused) {
  {
    TTableAccess table(Dir.Path(), "T");
    table.Open(false);
    for (const std::int32_t n : {4, 10, 16}) {
      table.Delete(n);
      Expected.erase(n);
    }
  }
  PatchI32(".BLB", 9, 0);  // FirstFreeBlock
  ASSERT_FALSE(Problems().empty());
  const TTableRepairResult r = Repair();
  EXPECT_TRUE(Mentions(r, "in no chain returned to the free list"));
  EXPECT_TRUE(Problems().empty());
  ExpectValues();
  const auto size = std::filesystem::file_size(File(".BLB"));
  TTableAccess table(Dir.Path(), "T");
  table.Open(false);
  TRecordValues v(4);
  v[2] = TFieldValue::Of(Bytes(5 * kCap, 3));
  table.Insert(v);
  EXPECT_EQ(std::filesystem::file_size(File(".BLB")), size);
  EXPECT_TRUE(table.Check().empty());
}

TEST_F(TableRepairTest, ADamagedChainReadThroughACursorIsTheBlobFilesCorruption) {
  Repair();                                                // gives the table its index file
  PatchI32(".BLB", BlockOffset(Ref(4, kBody)) + 10, 777);  // owner of the first block
  TDataSession session;
  TDataDirectory& db = session.OpenDatabase(Dir.Path());
  {
    TDataCursor cursor(db);
    cursor.Open("T");
    std::vector<std::uint8_t> buffer(cursor.RecordSize());
    ASSERT_EQ(cursor.GoToRecordSlot(4), VELDOR_NONE);
    ASSERT_EQ(cursor.GetCurrent(buffer.data()), VELDOR_NONE);
    try {
      cursor.OpenBlob(buffer.data(), 3, TBlobOpenMode::bmRead);
      FAIL() << "no error";
    } catch (const EVELDOREngineError& e) {
      EXPECT_EQ(e.ErrorCode, VELDOR_MEMOCORRUPT);
      EXPECT_NE(std::string(e.what()).find("in the table 'T'"), std::string::npos) << e.what();
    }
    cursor.Close();
  }
  session.CloseDatabase(db);
}

TEST(TableRepairEncrypted, ScrambledRecordsAndBlocksAreMendedInPlace) {
  TTempDir dir;
  TTableDefinition def;
  def.BlobBlockSize = kBlock;
  def.Encrypted = true;
  def.Password = "secret";
  TFieldDefinition id;
  id.Name = "ID";
  id.DataType = ftInteger;
  id.SubType = fstAutoInc;
  TFieldDefinition body;
  body.Name = "Body";
  body.DataType = ftBlob;
  body.SubType = fstMemo;
  def.Fields = {id, body};
  std::map<std::int32_t, std::string> values;
  {
    TTableAccess table(dir.Path(), "E");
    table.Create(def);
    for (int k = 1; k <= 6; ++k) {
      TRecordValues v(2);
      v[1] = TFieldValue::Of(Bytes(k * kCap + 3, k));
      values[table.Insert(v)] = v[1].Bytes;
    }
  }
  // Every block's header made to claim another owner (its back links still hold the chains),
  // through the scrambling.
  std::string blb = ReadWholeFile(dir.File("E.BLB"));
  const std::int64_t blocks = (static_cast<std::int64_t>(blb.size()) - 512) / kBlock;
  for (std::int64_t b = 1; b <= blocks; ++b)
    blb[static_cast<std::size_t>(512 + (b - 1) * kBlock + 10)] ^= 0x40;
  WriteWholeFile(dir.File("E.BLB"), blb);
  const TTableRepairResult r = RepairTableFiles(dir.Path(), "E");
  EXPECT_FALSE(r.Changes.empty());
  TTableAccess table(dir.Path(), "E");
  table.Open(false);
  EXPECT_TRUE(table.Check().empty());
  for (const auto& [n, want] : values) {
    TRecordValues got;
    ASSERT_TRUE(table.ReadRecord(n, got));
    EXPECT_EQ(got[1].Bytes, want) << n;
  }
}

TEST_F(TableRepairTest, AJournalLeftBesideTheTableIsRefused) {
  WriteWholeFile(Dir.File("T.JNL"), std::string(100, 'x'));
  EXPECT_THROW(Repair(), std::runtime_error);
}

}  // namespace
}  // namespace zorvic::engine::testing

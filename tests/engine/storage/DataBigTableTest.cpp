// A table with every field type: 100,000 records with NULLs and BLOB values around the block
// boundaries, read back by another process, then deletes and inserts that must reuse the freed
// record slots (last deleted first) and BLOB blocks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "DataTestSupport.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/sessions/TableAccess.h"

using namespace zorvic::engine;
using namespace zorvic::engine::testing;

namespace {

constexpr std::int32_t kRecords = 100000;
constexpr std::uint32_t kBlock = 128;
constexpr std::int64_t kData = kBlock - 18;
const std::int64_t kBlobLengths[] = {0, 1, kData, kData + 1, 3 * kData + 5};

TTableDefinition AllTypes() {
  TTableDefinition def = TableDef({
      FieldDef("ID", ftInteger, 0, fstAutoInc),
      FieldDef("Name", ftString, 30),
      FieldDef("Born", ftDate),
      FieldDef("Ok", ftBoolean),
      FieldDef("Small", ftSmallInt),
      FieldDef("Count", ftInteger),
      FieldDef("Ratio", ftFloat),
      FieldDef("Amount", ftBCD),
      FieldDef("Raw", ftBytes, 4),
      FieldDef("At", ftTime),
      FieldDef("Stamp", ftTimeStamp),
      FieldDef("W", ftWord),
      FieldDef("Big", ftLargeInt),
      FieldDef("Body", ftBlob, 0, fstMemo),
      FieldDef("Pic", ftBlob, 0, fstBinary),
  });
  def.Fields[7].Scale = 2;
  def.BlobBlockSize = kBlock;
  return def;
}

template <class T>
TFieldValue Fixed(T v, void (*put)(std::uint8_t*, T), std::size_t size) {
  std::string bytes(size, '\0');
  put(reinterpret_cast<std::uint8_t*>(bytes.data()), v);
  return TFieldValue::Of(bytes);
}

std::string Pattern(std::int64_t length, std::int32_t seed, bool text) {
  std::string s(static_cast<std::size_t>(length), '\0');
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] =
        text ? static_cast<char>('a' + (seed + i) % 26) : static_cast<char>((seed * 31 + i) & 0xFF);
  return s;
}

// The values of the k-th record inserted (k from 1), with the RowId the engine gives it.
TRecordValues ValuesFor(std::int32_t k, std::int32_t rowId) {
  TRecordValues v(15);
  v[0] = Fixed<std::int32_t>(rowId, PutI32, 4);
  if (k % 7 != 0) v[1] = TFieldValue::Of("Name " + std::to_string(k));
  if (k % 11 != 0) v[2] = Fixed<std::int32_t>(700000 + k, PutI32, 4);
  if (k % 3 != 2) v[3] = Fixed<std::uint16_t>(k % 3 == 0 ? 1 : 0, PutU16, 2);
  v[4] = Fixed<std::int16_t>(static_cast<std::int16_t>(k * 37 % 65536 - 32768), PutI16, 2);
  v[5] = Fixed<std::int32_t>(static_cast<std::int32_t>(k * 2654435761u), PutI32, 4);
  if (k % 13 != 0) v[6] = Fixed<double>(k * 0.1, PutDouble, 8);
  std::string bcd(kBcdSize, '\0');
  StoreBcd(BcdFromScaledInt((k - 50000) * 123400LL, 2),
           reinterpret_cast<std::uint8_t*>(bcd.data()));
  v[7] = TFieldValue::Of(bcd);
  v[8] = Fixed<std::int32_t>(k, PutI32, 4);
  if (k % 17 != 0) v[9] = Fixed<std::int32_t>(k * 1009 % 86400000, PutI32, 4);
  v[10] = Fixed<double>(EncodeTimeStamp(730000 + k % 1000, k * 7 % 86400000), PutDouble, 8);
  v[11] = Fixed<std::uint16_t>(static_cast<std::uint16_t>(k), PutU16, 2);
  v[12] = Fixed<std::int64_t>(k * 1000000000000LL, PutI64, 8);
  const std::int64_t memo = kBlobLengths[k % 5];
  const std::int64_t pic = kBlobLengths[(k / 5) % 5];
  if (memo > 0) v[13] = TFieldValue::Of(Pattern(memo, k, true));
  if (pic > 0) v[14] = TFieldValue::Of(Pattern(pic, k, false));
  return v;
}

// Reads every record and compares it with what was inserted; "" when all agree.
std::string CheckAll(const std::string& dir, const std::vector<std::int32_t>& keyOfRecord) {
  TTableAccess table(dir, "All");
  table.Open(false);
  if (table.Data().PhysicalRecordCount() != static_cast<std::int32_t>(keyOfRecord.size()) - 1)
    return "record count differs";
  TRecordValues got;
  for (std::int32_t n = 1; n <= table.Data().PhysicalRecordCount(); ++n) {
    const std::int32_t k = keyOfRecord[static_cast<std::size_t>(n)];
    if (!table.ReadRecord(n, got)) {
      if (k != 0) return "record " + std::to_string(n) + " is deleted";
      continue;
    }
    if (GetI32(reinterpret_cast<const std::uint8_t*>(got[0].Bytes.data())) != k)
      return "RowId of record " + std::to_string(n);
    const TRecordValues want = ValuesFor(k, k);
    for (std::size_t f = 0; f < want.size(); ++f) {
      if (got[f].IsNull != want[f].IsNull || got[f].Bytes != want[f].Bytes)
        return "record " + std::to_string(n) + " field " + std::to_string(f + 1) + " differs";
    }
  }
  const std::vector<std::string> problems = table.Check();
  return problems.empty() ? "" : problems.front();
}

}  // namespace

TEST(DataBigTable, EveryTypeSurvivesAnotherProcessAndSlotsAndBlocksAreReused) {
  TTempDir dir;
  std::vector<std::int32_t> keyOfRecord(1, 0);  // record number -> k (0 = deleted)
  {
    TTableAccess table(dir.Path(), "All");
    table.Create(AllTypes());
    for (std::int32_t k = 1; k <= kRecords;) {
      TTableAccess::TWriteBatch batch(table);
      for (int i = 0; i < 5000 && k <= kRecords; ++i, ++k) {
        TRecordValues v = ValuesFor(k, 0);
        v[0] = TFieldValue::Null();  // the engine assigns the RowId
        ASSERT_EQ(table.Insert(v, true), k);
        keyOfRecord.push_back(k);
      }
      batch.Commit();
    }
    EXPECT_EQ(table.Data().LastAutoInc(), kRecords);
  }

  // Another process reads everything back from the files.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string result;
    try {
      result = CheckAll(dir.Path(), keyOfRecord);
    } catch (const std::exception& e) {
      result = e.what();
    }
    if (!result.empty()) std::fprintf(stderr, "child: %s\n", result.c_str());
    _exit(result.empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // Delete one record in every hundred, then insert as many records with the same BLOB lengths.
  TTableAccess table(dir.Path(), "All");
  table.Open(true);
  const std::int32_t blocksBefore = table.Blob()->HighestBlockNo();
  std::vector<std::int32_t> deleted;
  for (std::int32_t j = 1; j <= 1000; ++j) {
    const std::int32_t n = 100 * j - 1 - j % 10;  // BLOB lengths of every kind
    table.Delete(n, true);
    deleted.push_back(n);
    keyOfRecord[static_cast<std::size_t>(n)] = 0;
  }
  EXPECT_EQ(table.Data().Header().FirstDeleted, deleted.back());
  EXPECT_EQ(table.Blob()->HighestBlockNo(), blocksBefore);
  EXPECT_NE(table.Blob()->Header().FirstFreeBlock, 0);
  {
    TTableAccess::TWriteBatch batch(table);
    for (std::size_t i = 0; i < deleted.size(); ++i) {
      const std::int32_t k = kRecords + 1 + static_cast<std::int32_t>(i);
      TRecordValues v = ValuesFor(deleted[i], 0);  // same lengths as a deleted record
      const TRecordValues again = ValuesFor(k, 0);
      for (std::size_t f = 1; f < 13; ++f)
        v[f] = again[f];
      v[0] = TFieldValue::Null();
      const std::int32_t n = table.Insert(v, true);
      // Last deleted, first reused.
      ASSERT_EQ(n, deleted[deleted.size() - 1 - i]);
    }
    batch.Commit();
  }
  EXPECT_EQ(table.Data().PhysicalRecordCount(), kRecords);
  EXPECT_EQ(table.Data().Header().FirstDeleted, 0);
  EXPECT_EQ(table.Blob()->HighestBlockNo(), blocksBefore);  // every block came off the free list
  EXPECT_EQ(table.Blob()->Header().FirstFreeBlock, 0);
  EXPECT_EQ(table.Data().LastAutoInc(), kRecords + 1000);
  EXPECT_TRUE(table.Check().empty());
}

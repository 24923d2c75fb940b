// Scans in index order over records scattered through the data file read the rest of a leaf's
// records under one read lock. These tests check that such a scan still returns exactly the
// records of its range and filters, in key order, and that a change another session committed
// before the scan began is seen; and that the process-wide table of held byte ranges still
// refuses every overlap when it holds many ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/LockTestSupport.h"
#include "engine/storage/files/FileLayer.h"

namespace zorvic::engine::testing {
namespace {

constexpr int kRows = 1500;  // many leaves, and far more records than the record cache holds

std::string KeyOf(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "k%06d", i);
  return text;
}

// Inserts rows 0..n-1 in a shuffled order, so key order and record order differ.
std::map<std::string, int> LoadShuffled(TDataCursor& c, int n, unsigned seed) {
  std::vector<int> order(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i)
    order[static_cast<std::size_t>(i)] = i;
  std::mt19937 rng(seed);
  std::shuffle(order.begin(), order.end(), rng);
  std::map<std::string, int> rows;
  TRec r(c);
  for (int i : order) {
    r.Init().Str("Key", KeyOf(i)).Int("Value", i % 97).Str("Label", "row");
    c.InsertRecord(r.Bytes());
    rows[KeyOf(i)] = i % 97;
  }
  return rows;
}

// Every record of the cursor, as key -> value, checking the primary key order when asked.
std::vector<std::pair<std::string, int>> ScanAll(TDataCursor& c, bool keyOrder = true) {
  std::vector<std::pair<std::string, int>> out;
  TRec r(c);
  c.First();
  while (c.GetNext(r.Bytes()) == VELDOR_NONE)
    out.emplace_back(r.GetStr("Key"), r.GetInt("Value"));
  for (std::size_t i = 1; keyOrder && i < out.size(); ++i)
    EXPECT_LT(out[i - 1].first, out[i].first) << "out of key order at " << i;
  return out;
}

class ScanBatchTest : public TDatabaseFixture {};

TEST_F(ScanBatchTest, ScansOfScatteredRecordsReturnTheirRangeAndFiltersInKeyOrder) {
  TDataCursor& c = Create("T", KeyedTable());
  const std::map<std::string, int> rows = LoadShuffled(c, kRows, 11);

  // The whole index, forward, then backward.
  std::vector<std::pair<std::string, int>> all = ScanAll(c);
  ASSERT_EQ(all.size(), rows.size());
  EXPECT_TRUE(std::equal(all.begin(), all.end(), rows.begin(), [](const auto& a, const auto& b) {
    return a.first == b.first && a.second == b.second;
  }));
  TRec r(c);
  c.Last();
  int backward = 0;
  std::string previous = "~";
  while (c.GetPrior(r.Bytes()) == VELDOR_NONE) {
    EXPECT_LT(r.GetStr("Key"), previous);
    previous = r.GetStr("Key");
    ++backward;
  }
  EXPECT_EQ(backward, kRows);

  // A range ending in the middle of a leaf: nothing past its high key.
  TRec low(c), high(c);
  low.Init().Str("Key", KeyOf(500));
  high.Init().Str("Key", KeyOf(999));
  c.SetRange(low.Bytes(), 1, high.Bytes(), 1);
  std::vector<std::pair<std::string, int>> ranged = ScanAll(c);
  ASSERT_EQ(ranged.size(), 500u);
  EXPECT_EQ(ranged.front().first, KeyOf(500));
  EXPECT_EQ(ranged.back().first, KeyOf(999));
  c.CancelRange();

  // A filter that only a few records pass.
  c.AddFilter([&](const std::uint8_t* record) {
    TRec probe(c);
    std::memcpy(probe.Bytes(), record, c.RecordSize());
    return probe.GetInt("Value") == 5;
  });
  std::vector<std::pair<std::string, int>> filtered = ScanAll(c);
  const auto expected = static_cast<std::size_t>(
      std::count_if(rows.begin(), rows.end(), [](const auto& row) { return row.second == 5; }));
  EXPECT_EQ(filtered.size(), expected);
  for (const auto& [key, value] : filtered)
    EXPECT_EQ(value, 5) << key;

  // Stepping by the secondary index (value order) meets every record once as well.
  c.DropAllFilters();
  c.SetIndexByName("ByValue");
  std::vector<std::pair<std::string, int>> byValue = ScanAll(c, false);
  ASSERT_EQ(byValue.size(), rows.size());
  for (std::size_t i = 1; i < byValue.size(); ++i)
    ASSERT_LE(byValue[i - 1].second, byValue[i].second) << i;
  std::sort(byValue.begin(), byValue.end());
  EXPECT_TRUE(std::equal(
      byValue.begin(), byValue.end(), rows.begin(),
      [](const auto& a, const auto& b) { return a.first == b.first && a.second == b.second; }));
}

TEST_F(ScanBatchTest, AScanSeesWhatAnotherSessionCommittedBeforeItBegan) {
  {
    TDataCursor& c = Create("T", KeyedTable());
    LoadShuffled(c, kRows, 5);
  }
  TDataSession other;
  TDataDirectory& otherDb = other.OpenDatabase(Dir.Path());
  {
    TDataCursor reader(*Database);
    reader.Open("T");
    ASSERT_EQ(ScanAll(reader).size(), static_cast<std::size_t>(kRows));  // caches filled

    TDataCursor writer(otherDb);
    writer.Open("T");
    TRec r(writer);
    // New keys between the old ones, spread over the whole index, and one changed value.
    for (int i = 0; i < 50; ++i) {
      r.Init().Str("Key", KeyOf(i * 30) + "x").Int("Value", 1000 + i);
      writer.InsertRecord(r.Bytes());
    }
    r.Init().Str("Key", KeyOf(kRows - 1));
    ASSERT_TRUE(writer.FindKey(r.Bytes(), 1));
    writer.GetCurrent(r.Bytes());
    r.Int("Value", -7);
    writer.ModifyRecord(r.Bytes());

    const std::vector<std::pair<std::string, int>> seen = ScanAll(reader);
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(kRows + 50));
    int inserted = 0;
    for (const auto& [key, value] : seen) {
      if (key.back() == 'x') {
        ++inserted;
        EXPECT_GE(value, 1000) << key;
      }
    }
    EXPECT_EQ(inserted, 50);
    EXPECT_EQ(seen.back().first, KeyOf(kRows - 1));
    EXPECT_EQ(seen.back().second, -7);
  }
  other.CloseDatabase(otherDb);
}

// The in-process table of held ranges: reader slots, record bytes and the writer range that
// covers all the slots, many held at once.
TEST(RangeLockTable, RefusesEveryOverlapAmongManyHeldRanges) {
  TTempDir dir;
  TFileList list;
  const std::string name = dir.File("LOCKS.DAT");
  TFileHandler a(name, false, list);
  a.CreateFile();
  a.WriteAt(0, "data", 4);
  TFileHandler b(name, false, list);
  a.Close();
  a.Open(false);
  b.Open(false);
  // Every other byte of a block of 2000, inside the writer range.
  const std::int64_t base = WriterRegionOffset + 100;
  for (int i = 0; i < 2000; i += 2)
    ASSERT_TRUE(a.LockRange(base + i, 1)) << i;
  // The free bytes between them can be had; a held one, or a span over one, cannot.
  EXPECT_TRUE(b.LockRange(base + 1, 1));
  EXPECT_FALSE(b.LockRange(base + 2, 1));
  EXPECT_FALSE(b.LockRange(base + 3, 2));       // its last byte is held
  EXPECT_FALSE(b.LockRange(base - 5, 6));       // its last byte is the first held one
  EXPECT_TRUE(b.LockRange(base - 5, 5));        // ends just before it
  EXPECT_FALSE(b.LockRange(base + 1998, 10));   // starts on the last held byte
  EXPECT_TRUE(b.LockRange(base + 1999, 10));    // starts just after it
  EXPECT_FALSE(b.LockRange(base + 500, 1000));  // spans many held ones
  // The writer range covers them all, so it is refused while any one is held.
  EXPECT_FALSE(b.LockRange(WriterRegionOffset, WriterRegionLength));
  // An unlock must name the range exactly.
  EXPECT_FALSE(b.UnlockRange(base, 2));
  EXPECT_FALSE(b.UnlockRange(base + 1, 2));
  EXPECT_TRUE(b.UnlockRange(base + 1, 1));
  EXPECT_TRUE(b.UnlockRange(base - 5, 5));
  EXPECT_TRUE(b.UnlockRange(base + 1999, 10));
  for (int i = 0; i < 2000; i += 4)
    ASSERT_TRUE(a.UnlockRange(base + i, 1)) << i;
  EXPECT_FALSE(b.LockRange(WriterRegionOffset, WriterRegionLength));  // half are still held
  // Closing a handle gives up what it still holds, and only that.
  a.Close();
  EXPECT_TRUE(b.LockRange(WriterRegionOffset, WriterRegionLength));
  EXPECT_FALSE(b.LockRange(base + 2, 1));
  EXPECT_TRUE(b.UnlockRange(WriterRegionOffset, WriterRegionLength));
}

}  // namespace
}  // namespace zorvic::engine::testing

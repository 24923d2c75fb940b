// Scans in file order read runs of records straight from the file instead of through the record
// cache. These tests check that such a scan still sees every change the session makes while it
// runs (written at once, or held in a transaction's caches and rolled back), that it leaves
// the record cache as small as it found it, and that records a key lookup reads still go to
// the cache.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "engine/storage/LockTestSupport.h"

namespace zorvic::engine::testing {
namespace {

constexpr int kRows = 3000;  // several runs of the window

std::string KeyOf(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "k%06d", i);
  return text;
}

class ScanWindowTest : public TDatabaseFixture {
 protected:
  // Rows 0..kRows-1 in key order, so record i + 1 holds key i.
  TDataCursor& Load() {
    TDataCursor& c = Create("T", KeyedTable());
    TRec r(c);
    for (int i = 0; i < kRows; ++i) {
      r.Init().Str("Key", KeyOf(i)).Int("Value", i).Str("Label", "row");
      c.InsertRecord(r.Bytes());
    }
    return c;
  }
  // Every record from the current position on, in file order: key -> value.
  static std::map<std::string, int> Rest(TDataCursor& c) {
    std::map<std::string, int> out;
    TRec r(c);
    while (c.GetNext(r.Bytes()) == VELDOR_NONE)
      out[r.GetStr("Key")] = r.GetInt("Value");
    return out;
  }
  static void SetValue(TDataCursor& c, int key, int value) {
    TRec r(c);
    r.Init().Str("Key", KeyOf(key));
    ASSERT_TRUE(c.FindKey(r.Bytes(), 1));
    c.GetCurrent(r.Bytes());
    r.Int("Value", value);
    c.ModifyRecord(r.Bytes());
  }
  static void Remove(TDataCursor& c, int key) {
    TRec r(c);
    r.Init().Str("Key", KeyOf(key));
    ASSERT_TRUE(c.FindKey(r.Bytes(), 1));
    c.DeleteRecord();
  }
  // Starts a scan in file order and reads `count` records of it.
  static void StartScan(TDataCursor& scan, int count) {
    scan.SetIndex(TDataCursor::kNoIndex);
    scan.First();
    TRec r(scan);
    for (int i = 0; i < count; ++i)
      ASSERT_EQ(scan.GetNext(r.Bytes()), VELDOR_NONE);
  }
};

TEST_F(ScanWindowTest, AScanSeesWhatAnotherCursorChangesWhileItRuns) {
  TDataCursor& writer = Load();
  TDataCursor& scan = NewCursor();
  scan.Open("T");
  StartScan(scan, 200);
  // Ahead of the scan, within the run it has read and beyond it.
  SetValue(writer, 250, -250);
  Remove(writer, 300);
  SetValue(writer, 2900, -2900);
  TRec r(writer);
  r.Init().Str("Key", "zz").Int("Value", 7).Str("Label", "new");
  writer.InsertRecord(r.Bytes());

  const std::map<std::string, int> rest = Rest(scan);
  EXPECT_EQ(rest.size(), static_cast<std::size_t>(kRows - 200 - 1 + 1));
  EXPECT_EQ(rest.at(KeyOf(250)), -250);
  EXPECT_EQ(rest.count(KeyOf(300)), 0u);
  EXPECT_EQ(rest.at(KeyOf(2900)), -2900);
  EXPECT_EQ(rest.at("zz"), 7);
  EXPECT_EQ(rest.at(KeyOf(251)), 251);
}

TEST_F(ScanWindowTest, AScanInsideATransactionSeesItsChangesAndNotTheRolledBackOnes) {
  TDataCursor& writer = Load();
  TDataCursor& scan = NewCursor();
  scan.Open("T");
  Database->StartTransaction();
  StartScan(scan, 100);
  SetValue(writer, 150, -150);  // held in the caches until the commit
  Remove(writer, 160);
  std::map<std::string, int> rest = Rest(scan);
  EXPECT_EQ(rest.at(KeyOf(150)), -150);
  EXPECT_EQ(rest.count(KeyOf(160)), 0u);
  EXPECT_EQ(rest.size(), static_cast<std::size_t>(kRows - 100 - 1));

  // Read again after the rollback (the scan's run was read while the changes were cached).
  StartScan(scan, 100);
  Database->Rollback();
  rest = Rest(scan);
  EXPECT_EQ(rest.at(KeyOf(150)), 150);
  EXPECT_EQ(rest.at(KeyOf(160)), 160);
  EXPECT_EQ(rest.size(), static_cast<std::size_t>(kRows - 100));
}

TEST_F(ScanWindowTest, AScanLeavesTheRecordCacheAsSmallAsItFoundIt) {
  Load();
  // A session of its own: its record cache starts empty.
  TDataSession other;
  TDataDirectory& db = other.OpenDatabase(Dir.Path());
  {
    TDataCursor scan(db);
    scan.Open("T");
    StartScan(scan, 0);
    EXPECT_EQ(Rest(scan).size(), static_cast<std::size_t>(kRows));
    // Only the first records of the run went through the cache.
    EXPECT_LE(scan.Table().Data().Cache().Count(), 128);
    // Records a key lookup reads, one after the other in file order, still go to the cache.
    TRec r(scan);
    scan.SetIndex(0);
    for (int key = 1000; key < 1010; ++key) {
      r.Init().Str("Key", KeyOf(key));
      ASSERT_TRUE(scan.FindKey(r.Bytes(), 1));
    }
    for (int key = 1000; key < 1010; ++key)
      EXPECT_TRUE(scan.Table().Data().IsCached(key + 1)) << key;
  }
  other.CloseDatabase(db);
}

}  // namespace
}  // namespace zorvic::engine::testing

// Cache budgets of the session and table components: validation, what reaches the table
// files, and that a small cache changes nothing a reader sees.
#include <optional>
#include <string>

#include "engine/components/ComponentTestSupport.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/sessions/DataTable.h"

namespace zorvic::engine::testing {
namespace {

TTableCacheSizes Small() {
  TTableCacheSizes s;
  s.RecordCacheBytes = 0;
  s.RecordCacheCount = 1;
  s.IndexCacheBytes = 0;
  s.BlobCacheBytes = 0;
  s.BlobCacheCount = 1;
  return s;
}

TTableCacheSizes Large() {
  TTableCacheSizes s;
  s.IndexCacheBytes = 1 << 20;
  return s;
}

// Keys that share no prefix, so the ByText index spans many pages.
std::string KeyText(int i) {
  std::string text;
  unsigned x = static_cast<unsigned>(i) * 2654435761u + 12345u;
  for (int c = 0; c < 90; ++c) {
    x = x * 1103515245u + 12345u;
    text.push_back(static_cast<char>('a' + (x >> 16) % 26));
  }
  return text;
}

// Reads every row through the ByText index; returns how many there were.
int ScanByText(TVELDORTable& t) {
  t.SetIndexName("ByText");
  int count = 0;
  std::string last;
  for (t.First(); !t.Eof(); t.Next()) {
    const std::string text = t.FieldByName("Text").AsString();
    EXPECT_LE(last, text);
    last = text;
    ++count;
  }
  return count;
}

int IndexPages(TVELDORTable& t) {
  return static_cast<int>(t.Cursor().Table().Index().CachedPages(t.Cursor().IndexSlot()));
}

class TCacheSizesTest : public TComponentTest {
 protected:
  void TearDown() override {
    TVELDORSessionList::Instance().DefaultSession().SetCacheSizes(TTableCacheSizes{});
    TComponentTest::TearDown();
  }
  static constexpr int kRows = 150;
  // The log table `name` with kRows rows, written through a component that is closed again.
  void MakeFilledLog(const std::string& name) {
    CreateLogTable(name);
    TVELDORTable t;
    OpenOn(t, name);
    for (int i = 0; i < kRows; ++i) {
      t.Insert();
      t.FieldByName("Kind").SetAsInteger(i % 7);
      t.FieldByName("Text").SetAsString(KeyText(i));
      t.Post();
    }
  }
  // The index pages a fresh open of `name` holds after one scan, with `sizes` (or the
  // session's budgets).
  int PagesAfterScan(const std::string& name, const std::optional<TTableCacheSizes>& sizes) {
    TVELDORTable t;
    if (sizes) t.SetCacheSizes(*sizes);
    OpenOn(t, name);
    EXPECT_EQ(ScanByText(t), kRows);
    return IndexPages(t);
  }
};

TEST_F(TCacheSizesTest, OutOfRangeBudgetsAreRefusedAndChangeNothing) {
  TVELDORSession& session = TVELDORSessionList::Instance().DefaultSession();
  const TTableCacheSizes before = session.CacheSizes();
  EXPECT_EQ(before, TTableCacheSizes{});

  struct TBad {
    std::int64_t TTableCacheSizes::*Member;
    std::int64_t Value;
    const char* Message;
  };
  const TBad bad[] = {
      {&TTableCacheSizes::RecordCacheBytes, -1, "Cache size RecordCacheBytes -1 is not valid."},
      {&TTableCacheSizes::RecordCacheCount, 0, "Cache size RecordCacheCount 0 is not valid."},
      {&TTableCacheSizes::IndexCacheBytes, kMaxCacheBytes + 1,
       "Cache size IndexCacheBytes 1073741825 is not valid."},
      {&TTableCacheSizes::BlobCacheBytes, -4096, "Cache size BlobCacheBytes -4096 is not valid."},
      {&TTableCacheSizes::BlobCacheCount, kMaxCacheCount + 1,
       "Cache size BlobCacheCount 1048577 is not valid."},
  };
  CreateLogTable("Log");
  TVELDORTable t;
  OpenOn(t, "Log");
  for (const TBad& b : bad) {
    TTableCacheSizes sizes;
    sizes.*b.Member = b.Value;
    EXPECT_EQ(DatabaseErrorOf([&] { session.SetCacheSizes(sizes); }), b.Message);
    EXPECT_EQ(DatabaseErrorOf([&] { t.SetCacheSizes(sizes); }), b.Message);
  }
  EXPECT_EQ(session.CacheSizes(), before);
  EXPECT_FALSE(t.CacheSizes().has_value());
  EXPECT_EQ(t.Cursor().Table().Data().Settings().CacheBytes, before.RecordCacheBytes);

  // The edges of the ranges are accepted.
  TTableCacheSizes edges = Small();
  EXPECT_EQ(DatabaseErrorOf([&] { session.SetCacheSizes(edges); }), "");
  edges.RecordCacheBytes = edges.IndexCacheBytes = edges.BlobCacheBytes = kMaxCacheBytes;
  edges.RecordCacheCount = edges.BlobCacheCount = kMaxCacheCount;
  EXPECT_EQ(DatabaseErrorOf([&] { t.SetCacheSizes(edges); }), "");
  session.SetCacheSizes(TTableCacheSizes{});
}

TEST_F(TCacheSizesTest, SessionBudgetsReachTheTablesItOpens) {
  TVELDORSession& session = TVELDORSessionList::Instance().DefaultSession();
  MakeFilledLog("Log");
  session.SetCacheSizes(Large());
  const int large = PagesAfterScan("Log", std::nullopt);
  session.SetCacheSizes(Small());
  const int small = PagesAfterScan("Log", std::nullopt);
  EXPECT_GT(large, 3) << "the index spans several pages";
  EXPECT_LE(small, 2);

  // Changed while a table is open: its files take the new budgets at once.
  TVELDORTable t;
  OpenOn(t, "Log");
  EXPECT_EQ(t.Cursor().Table().Data().Settings().CacheCount, 1);
  session.SetCacheSizes(TTableCacheSizes{});
  EXPECT_EQ(ScanByText(t), kRows);
  EXPECT_EQ(t.Cursor().Table().Data().Settings().CacheCount, TTableCacheSizes{}.RecordCacheCount);
  EXPECT_EQ(t.Cursor().Table().Data().Settings().CacheBytes, TTableCacheSizes{}.RecordCacheBytes);
}

TEST_F(TCacheSizesTest, TableBudgetsOverrideTheSessionsForThatTableOnly) {
  TVELDORSession& session = TVELDORSessionList::Instance().DefaultSession();
  session.SetCacheSizes(Large());
  MakeFilledLog("Log");
  CreateLogTable("Other");
  EXPECT_LE(PagesAfterScan("Log", Small()), 2);
  EXPECT_GT(PagesAfterScan("Log", std::nullopt), 3);

  TVELDORTable small;
  small.SetCacheSizes(Small());
  OpenOn(small, "Log");
  TVELDORTable other;
  OpenOn(other, "Other");
  EXPECT_EQ(small.Cursor().Table().Data().Settings().CacheCount, 1);
  EXPECT_EQ(other.Cursor().Table().Data().Settings().CacheCount,
            TTableCacheSizes{}.RecordCacheCount);

  // A second component on the same table shares its files, and so its small caches, also
  // after opening (each open takes the settings afresh) and after a change of the session's.
  TVELDORTable second;
  OpenOn(second, "Log");
  session.SetCacheSizes(Large());
  EXPECT_EQ(ScanByText(second), kRows);
  EXPECT_LE(IndexPages(second), 2);
  EXPECT_EQ(second.Cursor().Table().Data().Settings().CacheCount, 1);

  // Set on an open table: at once. Cleared on an open table: the session's at once.
  TTableCacheSizes mid = Small();
  mid.RecordCacheBytes = 4096;
  other.SetCacheSizes(mid);
  EXPECT_EQ(other.Cursor().Table().Data().Settings().CacheBytes, 4096);
  small.ClearCacheSizes();
  EXPECT_EQ(small.Cursor().Table().Data().Settings().CacheCount,
            TTableCacheSizes{}.RecordCacheCount);
  EXPECT_EQ(ScanByText(second), kRows);
  EXPECT_GT(IndexPages(second), 3);
  session.SetCacheSizes(TTableCacheSizes{});
}

}  // namespace
}  // namespace zorvic::engine::testing

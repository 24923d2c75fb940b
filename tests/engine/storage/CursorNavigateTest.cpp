// Cursor navigation: index order and record-number mode, cracks, counts and record numbers,
// ranges, key searches and bookmarks.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engine/storage/CursorTestSupport.h"

namespace zorvic::engine::testing {
namespace {

class TCursorNavigateTest : public TDatabaseFixture {
 protected:
  // Users with the given names inserted in the given order; FullName is the name reversed in
  // case ("ann" -> "ANN").
  TDataCursor& Users(const std::vector<std::string>& names) {
    TDataCursor& c = Create("Users", UsersTable());
    TRec r(c);
    for (const std::string& n : names) {
      std::string full = n;
      for (char& ch : full)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      r.Init().Str("UserName", n).Str("FullName", full);
      c.InsertRecord(r.Bytes());
    }
    return c;
  }
  // The UserName of every record from the cursor's position onwards.
  static std::vector<std::string> Walk(TDataCursor& c, bool forward = true) {
    std::vector<std::string> out;
    TRec r(c);
    while ((forward ? c.GetNext(r.Bytes()) : c.GetPrior(r.Bytes())) == VELDOR_NONE)
      out.push_back(r.GetStr("UserName"));
    return out;
  }
  // A CounterTable with Value = 10, 20, ..., n * 10.
  TDataCursor& Counters(int n) {
    TDataCursor& c = Create("Counters", CounterTable());
    TRec r(c);
    for (int i = 1; i <= n; ++i) {
      r.Init().Int("Value", i * 10).Str("Label", "v" + std::to_string(i));
      c.InsertRecord(r.Bytes());
    }
    return c;
  }
};

TEST_F(TCursorNavigateTest, IndexOrderAndCracks) {
  TDataCursor& c = Users({"dora", "ann", "carl", "bob", "eve"});
  c.First();
  EXPECT_TRUE(c.AtBOF());
  TRec r(c);
  EXPECT_EQ(c.GetCurrent(r.Bytes()), VELDOR_BOF);
  EXPECT_EQ(Walk(c), (std::vector<std::string>{"ann", "bob", "carl", "dora", "eve"}));
  EXPECT_EQ(c.GetNext(r.Bytes()), VELDOR_EOF);  // a further next stays on EOF
  EXPECT_TRUE(c.AtEOF());
  EXPECT_EQ(Walk(c, false), (std::vector<std::string>{"eve", "dora", "carl", "bob", "ann"}));
  EXPECT_EQ(c.GetPrior(r.Bytes()), VELDOR_BOF);
  EXPECT_EQ(c.RecordCount(), 5);

  // The case-insensitive secondary index and record-number mode.
  c.SetIndexByName("byfullname");
  c.First();
  EXPECT_EQ(Walk(c), (std::vector<std::string>{"ann", "bob", "carl", "dora", "eve"}));
  c.SetIndexByName("");
  EXPECT_FALSE(c.IndexMode());
  c.First();
  EXPECT_EQ(Walk(c), (std::vector<std::string>{"dora", "ann", "carl", "bob", "eve"}));
  EXPECT_ENGINE_ERROR(c.SetIndexByName("NoSuchIndex"), VELDOR_INVALIDINDEXNAME);

  // An empty range: no current record at all.
  TDataCursor& e = Create("Empty", UsersTable());
  EXPECT_EQ(e.GetCurrent(r.Bytes()), VELDOR_NOCURRREC);
  EXPECT_EQ(e.GetNext(r.Bytes()), VELDOR_EOF);
  EXPECT_EQ(e.RecordCount(), 0);
  EXPECT_EQ(e.BeginEdit(), VELDOR_NOCURRREC);
}

TEST_F(TCursorNavigateTest, SetIndexKeepsTheRecord) {
  TDataCursor& c = Users({"dora", "ann", "carl"});
  TRec r(c);
  c.First();
  c.GetNext(r.Bytes());
  c.GetNext(r.Bytes());  // bob is missing: "carl"
  ASSERT_EQ(r.GetStr("UserName"), "carl");
  c.SetIndex(TDataCursor::kNoIndex);
  EXPECT_EQ(c.GetCurrent(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(r.GetStr("UserName"), "carl");
  EXPECT_EQ(c.RecordNumber(), 3);  // third slot
  c.SetIndexByName("Primary");
  EXPECT_EQ(c.RecordNumber(), 2);
  EXPECT_EQ(Walk(c), std::vector<std::string>{"dora"});
}

TEST_F(TCursorNavigateTest, RecordNumbersAndCounts) {
  TDataCursor& c = Counters(100);
  TRec r(c);
  ASSERT_EQ(c.GoToRecordNumber(37), VELDOR_NONE);
  ASSERT_EQ(c.GetCurrent(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(r.GetInt("Value"), 370);
  EXPECT_EQ(c.RecordNumber(), 37);
  EXPECT_EQ(c.GoToRecordNumber(1000), VELDOR_NONE);  // clamped to the last
  EXPECT_EQ(c.RecordNumber(), 100);
  c.SetIndexByName("ByValue");
  c.GoToRecordNumber(5);
  c.GetCurrent(r.Bytes());
  EXPECT_EQ(r.GetInt("Value"), 50);

  // Record-number mode: numbers are ranks among the active records.
  c.SetIndex(TDataCursor::kNoIndex);
  c.GoToRecordNumber(10);
  c.DeleteRecord();  // slot 10 goes; the cursor is on slot 11
  c.GetCurrent(r.Bytes());
  EXPECT_EQ(r.GetInt("Value"), 110);
  EXPECT_EQ(c.RecordNumber(), 10);
  EXPECT_EQ(c.RecordCount(), 99);
  EXPECT_EQ(c.GoToRecordSlot(10), VELDOR_NONE);  // gone: the nearest active slot
  EXPECT_EQ(c.CurrentRecordNo(), 11);
  EXPECT_EQ(c.GoToRecordSlot(100000), VELDOR_NONE);
  EXPECT_EQ(c.CurrentRecordNo(), 100);
}

TEST_F(TCursorNavigateTest, Ranges) {
  TDataCursor& c = Counters(50);
  c.SetIndexByName("ByValue");
  TRec low(c), high(c), r(c);
  low.Init().Int("Value", 95);
  high.Init().Int("Value", 200);
  c.SetRange(low.Bytes(), 1, high.Bytes(), 1);
  EXPECT_EQ(c.RecordCount(), 11);  // 100 .. 200
  c.First();
  ASSERT_EQ(c.GetNext(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(r.GetInt("Value"), 100);
  EXPECT_EQ(c.RecordNumber(), 1);
  c.Last();
  ASSERT_EQ(c.GetPrior(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(r.GetInt("Value"), 200);
  EXPECT_EQ(c.RecordNumber(), 11);
  EXPECT_EQ(c.GetNext(r.Bytes()), VELDOR_EOF);
  c.GoToRecordNumber(3);
  c.GetCurrent(r.Bytes());
  EXPECT_EQ(r.GetInt("Value"), 120);

  // Only a low side; then a range whose low key is above its high key.
  c.SetRange(low.Bytes(), 1, nullptr, 0);
  EXPECT_EQ(c.RecordCount(), 41);
  c.SetRange(high.Bytes(), 1, low.Bytes(), 1);
  EXPECT_EQ(c.RecordCount(), 0);
  c.First();
  EXPECT_EQ(c.GetNext(r.Bytes()), VELDOR_EOF);
  c.CancelRange();
  EXPECT_EQ(c.RecordCount(), 50);
}

TEST_F(TCursorNavigateTest, FindKeyExactPartialAndNearest) {
  TDataCursor& c = Users({"anton", "annabel", "bert", "ann", "bertha", "carla"});
  TRec key(c), r(c);
  key.Init().Str("UserName", "bert");
  EXPECT_TRUE(c.FindKey(key.Bytes(), 1));
  c.GetCurrent(r.Bytes());
  EXPECT_EQ(r.GetStr("UserName"), "bert");

  // A prefix of a String key finds the first record that starts with it.
  key.Init().Str("UserName", "annxyz");
  EXPECT_TRUE(c.FindKey(key.Bytes(), 1, 3));
  c.GetCurrent(r.Bytes());
  EXPECT_EQ(r.GetStr("UserName"), "ann");
  EXPECT_EQ(Walk(c), (std::vector<std::string>{"annabel", "anton", "bert", "bertha", "carla"}));
  key.Init().Str("UserName", "bz");
  EXPECT_FALSE(c.FindKey(key.Bytes(), 1, 2));

  // A miss leaves the cursor in the gap; nearest puts it on the record after.
  key.Init().Str("UserName", "b");
  EXPECT_FALSE(c.FindKey(key.Bytes(), 1));
  EXPECT_EQ(c.GetCurrent(r.Bytes()), VELDOR_NOCURRREC);
  ASSERT_EQ(c.GetNext(r.Bytes()), VELDOR_NONE);
  EXPECT_EQ(r.GetStr("UserName"), "bert");
  EXPECT_FALSE(c.FindKey(key.Bytes(), 1, 0, true));
  c.GetCurrent(r.Bytes());
  EXPECT_EQ(r.GetStr("UserName"), "bert");
  key.Init().Str("UserName", "zzz");
  EXPECT_FALSE(c.FindKey(key.Bytes(), 1, 0, true));
  EXPECT_TRUE(c.AtEOF());

  // Case-insensitive prefix on the secondary index.
  c.SetIndexByName("ByFullName");
  key.Init().Str("FullName", "BERT");
  EXPECT_TRUE(c.FindKey(key.Bytes(), 1, 4));
  c.GetCurrent(r.Bytes());
  EXPECT_EQ(r.GetStr("UserName"), "bert");
  // Record-number mode finds nothing.
  c.SetIndex(TDataCursor::kNoIndex);
  EXPECT_FALSE(c.FindKey(key.Bytes(), 1));
}

TEST_F(TCursorNavigateTest, DescendingAndNullKeys) {
  TTableCreation def;
  def.Table.Fields = {Fld("ID", ftInteger, 0, fstAutoInc), Fld("N", ftInteger)};
  def.Primary = Idx("", {1}, true);
  TIndexDefinition down = Idx("Down", {2});
  down.Descending = true;
  TIndexDefinition up = Idx("Up", {2});
  def.Secondary = {down, up};
  TDataCursor& c = Create("D", def);
  TRec r(c);
  for (int v : {2, 3, 1}) {
    r.Init().Int("N", v);
    c.InsertRecord(r.Bytes());
  }
  r.Init();
  c.InsertRecord(r.Bytes());  // N is NULL
  auto values = [&] {
    std::vector<std::string> out;
    c.First();
    while (c.GetNext(r.Bytes()) == VELDOR_NONE)
      out.push_back(c.IsFieldNull(r.Bytes(), 2) ? "NULL" : std::to_string(r.GetInt("N")));
    return out;
  };
  c.SetIndexByName("Down");
  EXPECT_EQ(values(), (std::vector<std::string>{"3", "2", "1", "NULL"}));
  c.SetIndexByName("Up");
  EXPECT_EQ(values(), (std::vector<std::string>{"NULL", "1", "2", "3"}));
  // A range on the descending index runs from its high values to its low ones.
  c.SetIndexByName("Down");
  TRec lo(c), hi(c);
  lo.Init().Int("N", 3);
  hi.Init().Int("N", 2);
  c.SetRange(lo.Bytes(), 1, hi.Bytes(), 1);
  EXPECT_EQ(c.RecordCount(), 2);
}

TEST_F(TCursorNavigateTest, Bookmarks) {
  TDataCursor& c = Users({"ann", "bob", "carl", "dora"});
  TRec r(c);
  c.First();
  c.GetNext(r.Bytes());
  c.GetNext(r.Bytes());
  const std::vector<std::uint8_t> bob = c.Bookmark();
  c.GetNext(r.Bytes());
  const std::vector<std::uint8_t> carl = c.Bookmark();
  EXPECT_LT(c.CompareBookmarks(bob, carl), 0);
  EXPECT_EQ(c.CompareBookmarks(carl, carl), 0);
  ASSERT_EQ(c.GoToBookmark(bob), VELDOR_NONE);
  c.GetCurrent(r.Bytes());
  EXPECT_EQ(r.GetStr("UserName"), "bob");
  c.DeleteRecord();
  ASSERT_EQ(c.GoToBookmark(bob), VELDOR_NONE);  // gone: the nearest record
  c.GetCurrent(r.Bytes());
  EXPECT_EQ(r.GetStr("UserName"), "carl");

  c.SetIndex(TDataCursor::kNoIndex);
  c.GoToRecordNumber(1);
  const std::vector<std::uint8_t> first = c.Bookmark();
  ASSERT_EQ(first.size(), 4u);
  c.Last();
  ASSERT_EQ(c.GoToBookmark(first), VELDOR_NONE);
  c.GetCurrent(r.Bytes());
  EXPECT_EQ(r.GetStr("UserName"), "ann");
}

TEST_F(TCursorNavigateTest, OtherCursorsChangesAreFollowed) {
  TDataCursor& a = Users({"ann", "bob", "carl", "dora"});
  TDataCursor& b = NewCursor();
  b.Open("Users");
  TRec r(a), s(b);
  b.First();
  b.GetNext(s.Bytes());
  b.GetNext(s.Bytes());  // b on bob
  // a deletes bob: b is left in the gap and goes on with carl; prior gives ann.
  a.First();
  a.GetNext(r.Bytes());
  a.GetNext(r.Bytes());
  a.DeleteRecord();
  EXPECT_EQ(b.GetCurrent(s.Bytes()), VELDOR_NOCURRREC);
  ASSERT_EQ(b.GetNext(s.Bytes()), VELDOR_NONE);
  EXPECT_EQ(s.GetStr("UserName"), "carl");
  // a inserts before b's record: b stays on its record with its new number.
  r.Init().Str("UserName", "aaron");
  a.InsertRecord(r.Bytes());
  EXPECT_EQ(b.RecordNumber(), 3);
  b.Refresh();
  EXPECT_EQ(b.GetCurrent(s.Bytes()), VELDOR_NONE);
  EXPECT_EQ(s.GetStr("UserName"), "carl");
}

}  // namespace
}  // namespace zorvic::engine::testing

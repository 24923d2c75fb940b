// The tree algorithms on an in-memory page store: splits, merges, ranks, free lists, limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "IndexTestSupport.h"

using namespace zorvic::engine;
using namespace zorvic::engine::testing;

namespace {

struct IntTree {
  explicit IntTree(std::uint8_t compression = icNone, bool unique = true, std::size_t cache = 32)
      : store(cache), layout(IntegerLayout(1, unique)), compare(layout) {
    store.DefineIndex(1, layout.KeySize, compression, unique, false, "ById");
  }
  TBTree Tree() { return TBTree(store, 1, compare); }
  void Insert(std::int32_t v, std::int32_t rec = 0) {
    Tree().Insert(IntegerKey(layout, v, rec ? rec : v).data(), rec ? rec : v);
  }
  void Delete(std::int32_t v, std::int32_t rec = 0) {
    Tree().Delete(IntegerKey(layout, v, rec ? rec : v).data());
  }
  TTreeCheck Check() { return CheckIndexTree(store, 1, compare); }
  // Record numbers of the whole index in order, walked through the leaf links.
  std::vector<std::int32_t> Scan() {
    std::vector<std::int32_t> out;
    TBTree tree = Tree();
    TTreePosition pos;
    if (!tree.SeekFirst(&pos)) return out;
    TTreeStep step = pos.Path.Leaf();
    std::vector<std::uint8_t> key(layout.KeySize);
    do {
      std::int32_t rec = 0;
      tree.ReadEntry(step, key.data(), &rec);
      out.push_back(rec);
    } while (tree.StepNext(step));
    return out;
  }
  TMemoryPageStore store;
  TKeyLayout layout;
  TKeyCompare compare;
};

TEST(BTree, EmptiedRootLeafGoesToTheFreeListAndIsReused) {
  IntTree t;
  t.Insert(7);
  std::int32_t root = t.store.Header().RootPage(1);
  ASSERT_EQ(root, 1);
  t.Delete(7);
  EXPECT_EQ(t.store.Header().RootPage(1), 0);
  EXPECT_EQ(t.store.Header().FreePage(1), root);
  EXPECT_EQ(t.Check().FreePages, 1);
  t.Insert(8);
  EXPECT_EQ(t.store.Header().RootPage(1), root);
  EXPECT_EQ(t.store.Header().FreePage(1), 0);
  EXPECT_EQ(t.store.Header().NextPageNo(), 2);
  EXPECT_TRUE(t.store.PinsReleased());
}

TEST(BTree, AscendingInsertsSplitWithTheLargerHalfOnTheLeft) {
  IntTree t;
  int max = TPageShape{5, icNone, true, false, false}.MaxLeafEntries();  // 4083 / 9 = 453
  ASSERT_EQ(max, 453);
  for (int v = 1; v <= max; ++v)
    t.Insert(v);
  EXPECT_EQ(t.store.Header().NextPageNo(), 2) << "a full page is not split yet";
  t.Insert(max + 1);  // 454 entries: split 227 + 227
  TBTree tree = t.Tree();
  TTreePosition pos;
  ASSERT_TRUE(tree.SeekFirst(&pos));
  ASSERT_EQ(pos.Path.Depth, 2);
  t.Insert(max + 2);
  // Insert into a fresh tree an odd number of entries: left keeps ceil(n/2).
  IntTree odd;
  for (int v = 1; v <= max + 1; ++v)
    odd.Insert(v * 2);
  odd.Insert(1);  // 455th entry goes to the left page, which now has 228 vs 227
  auto check = odd.Check();
  EXPECT_TRUE(check.Ok()) << ProblemsText(check);
  IntTree split;
  for (int v = 1; v <= max; ++v)
    split.Insert(v);
  split.Insert(max + 1);
  TTreePosition first;
  TBTree st = split.Tree();
  ASSERT_TRUE(st.SeekFirst(&first));
  TPinnedPages pins(split.store);
  TPage& left = pins.Fetch(1, first.Path.Leaf().PageNo);
  EXPECT_EQ(left.Count(), (max + 2) / 2);
  TPage& right = pins.Fetch(1, left.Next);
  EXPECT_EQ(left.Count() + right.Count(), max + 1);
  EXPECT_EQ(right.Prev, left.PageNo);
}

TEST(BTree, DuplicateKeyIsRefusedAndChangesNothing) {
  IntTree t;
  for (int v = 1; v <= 1000; ++v)
    t.Insert(v);
  t.store.FlushAll();
  std::int32_t next = t.store.Header().NextPageNo();
  EXPECT_EQ(CodeOf([&] { t.Insert(500, 9999); }), VELDOR_KEYVIOL);
  EXPECT_EQ(t.Tree().KeyCount(), 1000);
  EXPECT_EQ(t.store.Header().NextPageNo(), next);
  auto check = t.Check();
  EXPECT_TRUE(check.Ok()) << ProblemsText(check);
  EXPECT_TRUE(t.store.PinsReleased());
}

TEST(BTree, EqualValuesInANonUniqueIndexOrderByRowId) {
  IntTree t(icFull, /*unique=*/false);
  t.Insert(5, 30);
  t.Insert(5, 10);
  t.Insert(5, 20);
  t.Insert(4, 40);
  EXPECT_EQ(t.Scan(), (std::vector<std::int32_t>{40, 10, 20, 30}));
}

TEST(BTree, DeletingAMissingKeyIsCorruption) {
  IntTree t;
  EXPECT_EQ(CodeOf([&] { t.Delete(1); }), VELDOR_INDEXCORRUPT);
  t.Insert(1);
  EXPECT_EQ(CodeOf([&] { t.Delete(2); }), VELDOR_INDEXCORRUPT);
  EXPECT_EQ(t.Tree().KeyCount(), 1);
  EXPECT_TRUE(t.store.PinsReleased());
}

TEST(BTree, RanksSearchesAndSteps) {
  IntTree t(icDuplicateBytes);
  std::vector<int> values(60000);
  std::iota(values.begin(), values.end(), 1);
  std::mt19937 rng(7);
  std::shuffle(values.begin(), values.end(), rng);
  for (int v : values)
    t.Insert(v * 3);
  TBTree tree = t.Tree();
  TTreePosition pos;
  ASSERT_TRUE(tree.SeekRank(50000, &pos));
  std::vector<std::uint8_t> key(t.layout.KeySize);
  std::int32_t rec = 0;
  tree.ReadEntry(pos.Path.Leaf(), key.data(), &rec);
  EXPECT_EQ(rec, 150000);
  EXPECT_FALSE(tree.SeekRank(60001, &pos));
  EXPECT_FALSE(tree.SeekRank(0, &pos));
  // A missing key reports the rank it would take; an "after" search skips an equal key.
  TTreePosition miss = tree.Search(IntegerKey(t.layout, 3001).data());
  EXPECT_FALSE(miss.Found);
  EXPECT_EQ(miss.Rank, 1001);
  TTreePosition hit = tree.Search(IntegerKey(t.layout, 3000).data());
  EXPECT_TRUE(hit.Found);
  EXPECT_EQ(hit.Rank, 1000);
  TTreePosition after = tree.Search(IntegerKey(t.layout, 3000).data(), true);
  EXPECT_FALSE(after.Found);
  EXPECT_EQ(after.Rank, 1001);
  ASSERT_TRUE(tree.SeekLast(&pos));
  EXPECT_EQ(pos.Rank, 60000);
  TTreeStep step = pos.Path.Leaf();
  EXPECT_FALSE(tree.StepNext(step));
  int back = 0;
  while (tree.StepPrior(step))
    ++back;
  EXPECT_EQ(back, 59999);
  EXPECT_EQ(tree.KeyCount(), 60000);
}

TEST(BTree, PageLimitRaisesTableFullBeforeAnyChange) {
  IntTree t;
  int max = t.Tree().Shape().MaxLeafEntries();
  for (int v = 1; v <= max; ++v)
    t.Insert(v);
  t.store.FlushAll();
  // The last page number the file may hold: (n + 1) * 4096 <= 4,000,000,000.
  t.store.Header().SetNextPageNo(976562);
  EXPECT_EQ(CodeOf([&] { t.Insert(max + 1); }), VELDOR_TABLEFULL);
  EXPECT_EQ(t.Tree().KeyCount(), max);
  EXPECT_EQ(t.store.Header().NextPageNo(), 976562);
  auto check = t.Check();
  EXPECT_TRUE(check.Ok()) << ProblemsText(check);
  // One page short of the limit a root split needs two pages: still refused.
  t.store.Header().SetNextPageNo(976561);
  EXPECT_EQ(CodeOf([&] { t.Insert(max + 1); }), VELDOR_TABLEFULL);
  t.store.Header().SetNextPageNo(976560);
  t.Insert(max + 1);
  EXPECT_EQ(t.store.Header().NextPageNo(), 976562);
}

TEST(BTree, FreeAllPagesPutsEveryPageOnTheFreeList) {
  IntTree t(icTrailingBytes);
  for (int v = 1; v <= 5000; ++v)
    t.Insert(v);
  std::int32_t pages = t.store.Header().NextPageNo() - 1;
  t.Tree().FreeAllPages();
  EXPECT_EQ(t.store.Header().RootPage(1), 0);
  EXPECT_EQ(t.Check().FreePages, pages);
  for (int v = 1; v <= 5000; ++v)
    t.Insert(v);
  EXPECT_EQ(t.store.Header().NextPageNo() - 1, pages) << "freed pages are reused first";
}

}  // namespace

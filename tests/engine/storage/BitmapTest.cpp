// TRecordsBitmap against a std::set model: random operations over sparse and dense stretches,
// checked after every step for counts, rank, select and neighbour searches.
#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <set>

#include "engine/storage/formats/RecordsBitmap.h"

namespace zorvic::engine {
namespace {

std::int64_t ModelNext(const std::set<std::int64_t>& s, std::int64_t n) {
  auto it = s.upper_bound(n);
  return it == s.end() ? TRecordsBitmap::kNone : *it;
}
std::int64_t ModelPrior(const std::set<std::int64_t>& s, std::int64_t n) {
  auto it = s.lower_bound(n);
  if (it == s.begin()) return TRecordsBitmap::kNone;
  return *std::prev(it);
}

TEST(BitmapTest, EdgesOfWordsAndBlocks) {
  TRecordsBitmap b(0);
  EXPECT_EQ(b.First(), TRecordsBitmap::kNone);
  EXPECT_EQ(b.Last(), TRecordsBitmap::kNone);
  EXPECT_EQ(b.Select(1), TRecordsBitmap::kNone);
  EXPECT_FALSE(b.Test(1000000));
  b.Clear(5000000);  // clearing beyond the size does nothing
  EXPECT_EQ(b.Size(), 0);
  for (std::int64_t n : {0, 63, 64, 4095, 4096, 8191, 200000})
    b.Set(n);
  EXPECT_EQ(b.Count(), 7);
  EXPECT_EQ(b.Next(0), 63);
  EXPECT_EQ(b.Next(8191), 200000);
  EXPECT_EQ(b.Prior(200000), 8191);
  EXPECT_EQ(b.Prior(0), TRecordsBitmap::kNone);
  EXPECT_EQ(b.Prior(1LL << 40), 200000);
  EXPECT_EQ(b.Rank(4096), 4);
  EXPECT_EQ(b.Rank(4097), 5);
  EXPECT_EQ(b.Select(7), 200000);
  EXPECT_EQ(b.Select(8), TRecordsBitmap::kNone);
  EXPECT_TRUE(b.Assign(64, false));
  EXPECT_FALSE(b.Assign(64, false));
  EXPECT_EQ(b.Count(), 6);
  EXPECT_TRUE(b.CheckCounts());
  b.Set(-3);  // ignored
  EXPECT_EQ(b.Count(), 6);
}

// Searches that start inside an empty block, or inside a block whose bits all lie behind the
// start, reach the next (previous) bit of a later (earlier) block and nothing beyond it.
TEST(BitmapTest, SearchesStartingInsideEmptyBlocks) {
  TRecordsBitmap b(0);
  b.Set(4096 * 3 + 700);  // a block in the middle
  EXPECT_EQ(b.First(), 4096 * 3 + 700);
  EXPECT_EQ(b.Next(100), 4096 * 3 + 700);  // from inside the empty first block
  EXPECT_EQ(b.Next(4096 * 2 + 5), 4096 * 3 + 700);
  EXPECT_EQ(b.Next(4096 * 3 + 700), TRecordsBitmap::kNone);
  b.Set(4096 * 6 + 10);
  b.Set(5);
  EXPECT_EQ(b.Next(4096 * 3 + 700), 4096 * 6 + 10);  // the rest of a block with bits behind
  EXPECT_EQ(b.Next(6), 4096 * 3 + 700);
  EXPECT_EQ(b.Prior(4096 * 6 + 5), 4096 * 3 + 700);  // from inside a block with bits ahead
  EXPECT_EQ(b.Prior(4096 * 5 + 3000), 4096 * 3 + 700);
  EXPECT_EQ(b.Prior(4096 * 3 + 700), 5);
  EXPECT_EQ(b.Prior(4096 * 3 - 1), 5);
  EXPECT_EQ(b.Prior(5), TRecordsBitmap::kNone);
  EXPECT_EQ(b.Last(), 4096 * 6 + 10);
}

// Clearing touches only the blocks that hold bits; nothing of any block may survive it, the
// last (partial) block included, and the set is as good as new afterwards.
TEST(BitmapTest, ClearAllLeavesNothingInAnyBlock) {
  TRecordsBitmap b(100000);
  const std::int64_t bits[] = {0, 63, 64, 4095, 4096, 50000, 99999, b.Size() - 1};
  for (int round = 0; round < 2; ++round) {
    for (std::int64_t n : bits)
      b.Set(n);
    b.SetRange(70000, 70100);
    ASSERT_EQ(b.Count(), static_cast<std::int64_t>(std::size(bits)) + 101);
    b.ClearAll();
    EXPECT_EQ(b.Count(), 0);
    EXPECT_EQ(b.First(), TRecordsBitmap::kNone);
    EXPECT_EQ(b.Last(), TRecordsBitmap::kNone);
    EXPECT_TRUE(b.CheckCounts());
    for (std::int64_t n : bits)
      EXPECT_FALSE(b.Test(n)) << n;
    EXPECT_EQ(b, TRecordsBitmap(b.Size()));
  }
}

TEST(BitmapTest, RangesCombinationsAndPool) {
  TRecordsBitmap a, b;
  a.SetRange(10, 5000);
  b.SetRange(4000, 9000);
  TRecordsBitmap both = a;
  both.And(b);
  EXPECT_EQ(both.Count(), 1001);
  EXPECT_EQ(both.First(), 4000);
  TRecordsBitmap either = a;
  either.Or(b);
  EXPECT_EQ(either.Count(), 8991);
  TRecordsBitmap onlyA = a;
  onlyA.AndNot(b);
  EXPECT_EQ(onlyA.Last(), 3999);
  TRecordsBitmap inv = a;
  inv.Invert(1, 6000);  // 1..9 and 5001..6000
  EXPECT_EQ(inv.Count(), 9 + 1000);
  EXPECT_TRUE(inv.CheckCounts() && both.CheckCounts() && either.CheckCounts());
  TRecordsBitmap small(64);
  small.Set(3);
  small.And(b);  // a larger operand grows the result, which stays empty there
  EXPECT_TRUE(small.Empty());
  EXPECT_GE(small.Size(), b.Size());

  TRecordsBitmapStack pool;
  auto x = pool.Take(100);
  x->Set(50);
  pool.Give(std::move(x));
  auto y = pool.Take(100000);
  EXPECT_TRUE(y->Empty());
  EXPECT_GE(y->Size(), 100000);
}

TEST(BitmapTest, RandomOperationsMatchModel) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  TRecordsBitmap b(0);
  std::set<std::int64_t> model;
  for (int step = 0; step < 20000; ++step) {
    // Mostly a dense stretch, sometimes far out, so that empty blocks get skipped.
    std::int64_t n = rng() % 8 == 0 ? static_cast<std::int64_t>(rng() % 2000000)
                                    : static_cast<std::int64_t>(rng() % 20000);
    switch (rng() % 4) {
      case 0:
      case 1:
        b.Set(n);
        model.insert(n);
        break;
      case 2:
        b.Clear(n);
        model.erase(n);
        break;
      case 3: {
        std::int64_t last = n + static_cast<std::int64_t>(rng() % 300);
        b.SetRange(n, last);
        for (std::int64_t i = n; i <= last; ++i)
          model.insert(i);
        break;
      }
    }
    ASSERT_EQ(b.Count(), static_cast<std::int64_t>(model.size()));
    std::int64_t probe = static_cast<std::int64_t>(rng() % 2100000);
    ASSERT_EQ(b.Next(probe), ModelNext(model, probe)) << probe;
    ASSERT_EQ(b.Prior(probe), ModelPrior(model, probe)) << probe;
    ASSERT_EQ(b.Test(probe), model.count(probe) == 1);
    if (step % 97 == 0) {
      std::int64_t rank = std::distance(model.begin(), model.lower_bound(probe));
      ASSERT_EQ(b.Rank(probe), rank);
      if (!model.empty()) {
        std::int64_t k = 1 + static_cast<std::int64_t>(rng() % model.size());
        ASSERT_EQ(b.Select(k), *std::next(model.begin(), k - 1));
        ASSERT_EQ(b.Rank(b.Select(k)), k - 1);
      }
      ASSERT_TRUE(b.CheckCounts());
    }
  }
}

}  // namespace
}  // namespace zorvic::engine

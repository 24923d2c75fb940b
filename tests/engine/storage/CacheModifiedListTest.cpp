// The unit cache's list of modified units: what it holds after marks, cleans, take-overs,
// removals, drops, copies put back over cached units and flags set without MarkModified; and
// that a write-back touches only the modified units, through the index file's pages as well.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "engine/storage/formats/UnitCache.h"

using namespace zorvic::engine;

namespace {

struct TListUnit : TCacheUnit {
  int Payload = 0;
};
using TListCache = TUnitCache<TListUnit>;

class TListOwner : public TListCache::TOwner {
 public:
  std::unique_ptr<TListUnit> NewCacheUnit(TListCache&) override {
    return std::make_unique<TListUnit>();
  }
  bool CacheMayWrite(TListCache&) override { return MayWrite; }
  void WriteModifiedUnits(TListCache& cache) override {
    for (TListUnit* u : cache.ModifiedUnits()) {
      Written.push_back(u->UnitNo);
      cache.MarkClean(u);
    }
  }
  bool MayWrite = true;
  std::vector<std::int64_t> Written;
};

std::vector<std::int64_t> Numbers(const std::vector<TListUnit*>& units) {
  std::vector<std::int64_t> out;
  for (const TListUnit* u : units)
    out.push_back(u->UnitNo);
  return out;
}

}  // namespace

TEST(CacheModifiedList, FollowsMarksCleansRemovalsAndTakeOvers) {
  TListOwner owner;
  TListCache cache(owner, TUnitCacheConfig{8, 4, 2, 4});
  for (std::int64_t n : {5, 3, 9, 1, 7})
    cache.Add(n, false);
  EXPECT_FALSE(cache.HasModified());
  cache.MarkModified(cache.Peek(9));
  cache.MarkModified(cache.Peek(1));
  cache.MarkModified(cache.Peek(5));
  cache.MarkModified(cache.Peek(5));  // twice: listed once
  EXPECT_EQ(cache.ModifiedCount(), 3);
  EXPECT_EQ(Numbers(cache.ModifiedUnits()), (std::vector<std::int64_t>{1, 5, 9}));
  cache.MarkClean(cache.Peek(1));
  cache.MarkClean(cache.Peek(3));  // never modified: nothing changes
  EXPECT_EQ(Numbers(cache.ModifiedUnits()), (std::vector<std::int64_t>{5, 9}));
  cache.Remove(cache.Peek(9));  // removed without writing: off the list too
  EXPECT_EQ(Numbers(cache.ModifiedUnits()), (std::vector<std::int64_t>{5}));
  EXPECT_EQ(cache.CheckInvariants(), "");
  // Pinned modified units are left to the caller unless asked for.
  TListUnit* five = cache.Find(5);
  EXPECT_TRUE(cache.ModifiedUnits().empty());
  EXPECT_EQ(Numbers(cache.ModifiedUnits(true)), (std::vector<std::int64_t>{5}));
  EXPECT_TRUE(cache.HasModified());
  cache.Unpin(five);
  cache.Drop();
  EXPECT_EQ(cache.ModifiedCount(), 0);
  EXPECT_FALSE(cache.HasModified());
  EXPECT_EQ(cache.CheckInvariants(), "");
  // Spare objects come back off every list.
  TListUnit* again = cache.Add(5, false);
  EXPECT_FALSE(again->Modified);
  EXPECT_EQ(cache.ModifiedCount(), 0);
}

TEST(CacheModifiedList, AFlagSetDirectlyIsNeverEvictedAndJoinsTheList) {
  TListOwner owner;
  owner.MayWrite = false;
  TListCache cache(owner, TUnitCacheConfig{2, 2, 2, 2});
  cache.Add(1, false);
  cache.Add(2, false);
  cache.Peek(1)->Modified = true;  // as code that predates the list does
  cache.Add(3, false);             // the victim search passes 1 and takes 2
  EXPECT_NE(cache.Peek(1), nullptr);
  EXPECT_EQ(cache.Peek(2), nullptr);
  EXPECT_EQ(Numbers(cache.ModifiedUnits()), (std::vector<std::int64_t>{1}));
  EXPECT_EQ(cache.CheckInvariants(), "");
}

// Copying a cached unit over another (a savepoint puts its copies back this way) carries the
// content and the flag but never the other unit's links.
TEST(CacheModifiedList, CopiesCarryNoLinks) {
  TListOwner owner;
  owner.MayWrite = false;
  TListCache cache(owner, TUnitCacheConfig{8, 4, 2, 4});
  cache.Add(1, false);
  cache.Add(2, false);
  cache.MarkModified(cache.Peek(1));
  cache.MarkModified(cache.Peek(2));
  TListUnit copy(*cache.Peek(1));
  EXPECT_FALSE(copy.OnModifiedList);
  EXPECT_EQ(copy.MruNext, nullptr);
  EXPECT_TRUE(copy.Modified);
  cache.Drop();
  TListUnit* fresh = cache.Add(1, false);
  TCacheUnit* prev = fresh->MruPrev;
  *fresh = copy;
  EXPECT_EQ(fresh->MruPrev, prev);
  cache.MarkModified(fresh);
  EXPECT_EQ(Numbers(cache.ModifiedUnits()), (std::vector<std::int64_t>{1}));
  EXPECT_EQ(cache.CheckInvariants(), "");
}

// A random mix against a model of the modified set: the list always holds exactly the units
// marked and not yet cleaned, removed or dropped, and write-backs return them in order.
TEST(CacheModifiedList, RandomizedMarksMatchAModel) {
  for (unsigned seed = 1; seed <= 10; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    TListOwner owner;
    const auto capacity = static_cast<std::int64_t>(1 + rng() % 16);
    const auto growth = static_cast<std::int64_t>(1 + rng() % 4);
    const auto spares = static_cast<std::int64_t>(rng() % 4);
    TListCache cache(owner, TUnitCacheConfig{capacity, growth, 2, spares});
    std::set<std::int64_t> modified;
    for (int step = 0; step < 4000; ++step) {
      const std::int64_t n = 1 + rng() % 64;
      owner.MayWrite = rng() % 3 != 0;
      owner.Written.clear();
      TListUnit* u = cache.Peek(n);
      switch (rng() % 6) {
        case 0:
        case 1:
          if (!u) cache.Add(n, false);
          break;
        case 2:
          if (u) {
            cache.MarkModified(u);
            modified.insert(n);
          }
          break;
        case 3:
          if (u) {
            cache.MarkClean(u);
            modified.erase(n);
          }
          break;
        case 4:
          if (u) {
            cache.Remove(u);
            modified.erase(n);
          }
          break;
        default:
          if (rng() % 50 == 0) {
            cache.Drop();
            modified.clear();
          } else if (rng() % 10 == 0) {
            cache.Trim();
          }
          break;
      }
      for (std::int64_t w : owner.Written)
        modified.erase(w);
      ASSERT_EQ(cache.CheckInvariants(), "");
      const std::vector<std::int64_t> listed = Numbers(cache.ModifiedUnits());
      ASSERT_EQ(listed, std::vector<std::int64_t>(modified.begin(), modified.end()));
      ASSERT_EQ(cache.ModifiedCount(), static_cast<std::int64_t>(modified.size()));
    }
  }
}

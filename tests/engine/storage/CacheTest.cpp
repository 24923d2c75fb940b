// The generic unit cache: MRU order, which entries may be taken over, writing before eviction,
// growth when nothing may be written, trimming, dropping, and a randomized run against a model.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <stdexcept>

#include "engine/EngineLimits.h"
#include "engine/storage/formats/UnitCache.h"

using namespace zorvic::engine;

namespace {

struct TTestUnit : TCacheUnit {
  void ClearUnit() override { Payload = -1; }
  int Payload = -1;
};

using TTestCache = TUnitCache<TTestUnit>;

class TTestOwner : public TTestCache::TOwner {
 public:
  std::unique_ptr<TTestUnit> NewCacheUnit(TTestCache&) override {
    ++Made;
    return std::make_unique<TTestUnit>();
  }
  bool CacheMayWrite(TTestCache&) override { return !InTransaction; }
  void WriteModifiedUnits(TTestCache& cache) override {
    ++WriteCalls;
    if (FailWrite) throw std::runtime_error("write failed");
    for (TTestUnit* u : cache.ModifiedUnits()) {
      Written.push_back(u->UnitNo);
      cache.MarkClean(u);
    }
  }
  bool InTransaction = false;
  bool FailWrite = false;
  int Made = 0;
  int WriteCalls = 0;
  std::vector<std::int64_t> Written;
};

TUnitCacheConfig Config(std::int64_t capacity, std::int64_t growth = 4, int probe = 4,
                        std::int64_t spares = 4) {
  return TUnitCacheConfig{capacity, growth, probe, spares};
}

// Adds units unpinned.
void AddAll(TTestCache& cache, std::initializer_list<std::int64_t> numbers) {
  for (std::int64_t n : numbers)
    cache.Add(n, false);
}

}  // namespace

TEST(UnitCache, HitsMoveToTheHeadAndPin) {
  TTestOwner owner;
  TTestCache cache(owner, Config(8, 4, 2));
  AddAll(cache, {5, 1, 9, 3});
  EXPECT_EQ(cache.MruOrder(), (std::vector<std::int64_t>{3, 9, 1, 5}));
  TTestUnit* u = cache.Find(5);  // beyond the quick probe: found by the search
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->PinCount, 1);
  EXPECT_EQ(cache.MruOrder(), (std::vector<std::int64_t>{5, 3, 9, 1}));
  EXPECT_EQ(cache.Find(3)->PinCount, 1);
  EXPECT_EQ(cache.Find(5)->PinCount, 2);
  EXPECT_EQ(cache.Find(7), nullptr);
  cache.Unpin(u);
  cache.Unpin(u);
  cache.Unpin(u);  // never below zero
  EXPECT_EQ(u->PinCount, 0);
  std::vector<std::int64_t> sorted;
  cache.ForEach([&](const TTestUnit& unit) { sorted.push_back(unit.UnitNo); });
  EXPECT_EQ(sorted, (std::vector<std::int64_t>{1, 3, 5, 9}));
  EXPECT_EQ(cache.CheckInvariants(), "");
}

TEST(UnitCache, InALargeCacheOnlyHitsBeyondTheRecentQuarterMoveToTheHead) {
  TTestOwner owner;
  const std::int64_t units = 4 * TTestCache::ExactOrderUnits;
  TTestCache cache(owner, Config(units, 4, 0));
  for (std::int64_t n = 0; n < units; ++n)
    cache.Add(n, false);
  // Unit units-1 is the most recent, unit 0 the least.
  auto position = [&cache](std::int64_t unitNo) {
    const std::vector<std::int64_t> order = cache.MruOrder();
    return std::find(order.begin(), order.end(), unitNo) - order.begin();
  };
  const std::int64_t recent = units - 10;  // tenth from the head
  cache.Unpin(cache.Find(recent));
  EXPECT_EQ(position(recent), 9) << "a unit of the recent quarter stays where it is";
  const std::int64_t old = units / 2;  // half-way down the chain
  cache.Unpin(cache.Find(old));
  EXPECT_EQ(position(old), 0) << "a unit further back moves to the head";
  EXPECT_EQ(cache.CheckInvariants(), "");
  // New units take over from the tail: the units hit stay, the oldest go.
  for (std::int64_t n = units; n < units + units / 2; ++n)
    cache.Add(n, false);
  EXPECT_NE(cache.Peek(recent), nullptr);
  EXPECT_NE(cache.Peek(old), nullptr);
  EXPECT_EQ(cache.Peek(0), nullptr);
  EXPECT_EQ(cache.Count(), units);
  EXPECT_EQ(cache.CheckInvariants(), "");
}

TEST(UnitCache, OnlyCleanUnpinnedEntriesAreTakenOver) {
  TTestOwner owner;
  owner.InTransaction = true;  // nothing may be written
  TTestCache cache(owner, Config(3));
  AddAll(cache, {1, 2, 3});
  TTestUnit* one = cache.Find(1);  // pinned, most recent
  cache.MarkModified(cache.Peek(2));
  TTestUnit* four = cache.Add(4);  // takes over 3, the least recent clean unpinned entry
  four->Payload = 4;
  EXPECT_EQ(cache.Peek(3), nullptr);
  EXPECT_NE(cache.Peek(1), nullptr);
  EXPECT_NE(cache.Peek(2), nullptr);
  EXPECT_EQ(cache.Count(), 3);
  EXPECT_EQ(owner.Made, 3);  // the taken-over object was reused
  EXPECT_EQ(one->PinCount, 1);
  EXPECT_EQ(cache.CheckInvariants(), "");
}

TEST(UnitCache, ModifiedEntriesAreWrittenBeforeEvictionOutsideTransactions) {
  TTestOwner owner;
  TTestCache cache(owner, Config(3));
  AddAll(cache, {1, 2, 3});
  for (std::int64_t n : {1, 2, 3})
    cache.MarkModified(cache.Peek(n));
  cache.Add(4, false);
  EXPECT_EQ(owner.WriteCalls, 1);
  EXPECT_EQ(owner.Written, (std::vector<std::int64_t>{1, 2, 3}));  // ascending
  EXPECT_EQ(cache.Peek(1), nullptr);                               // then the LRU went
  EXPECT_EQ(cache.Capacity(), 3);
}

TEST(UnitCache, GrowsInsideATransactionInsteadOfWriting) {
  TTestOwner owner;
  owner.InTransaction = true;
  TTestCache cache(owner, Config(2, 32));
  AddAll(cache, {1, 2});
  cache.MarkModified(cache.Peek(1));
  cache.MarkModified(cache.Peek(2));
  cache.Add(3, false);
  EXPECT_EQ(owner.WriteCalls, 0);
  EXPECT_EQ(cache.Capacity(), 34);
  EXPECT_EQ(cache.Count(), 3);
  // After the commit wrote everything, trimming brings it back to its configured size.
  owner.InTransaction = false;
  owner.WriteModifiedUnits(cache);
  cache.Trim();
  EXPECT_EQ(cache.Count(), 2);
  EXPECT_EQ(cache.Capacity(), 2);
  EXPECT_EQ(cache.Peek(1), nullptr);  // the least recent went first
}

TEST(UnitCache, PinnedEntriesForceGrowthEvenWhenWritingIsAllowed) {
  TTestOwner owner;
  TTestCache cache(owner, Config(2, 4));
  cache.Add(1);
  cache.Add(2);
  cache.Add(3);
  EXPECT_EQ(owner.WriteCalls, 1);
  EXPECT_EQ(cache.Capacity(), 6);
  // Trimming keeps pinned and modified entries: the capacity stays at what they need.
  cache.MarkModified(cache.Peek(3));
  cache.Unpin(cache.Peek(3));
  cache.Trim();
  EXPECT_EQ(cache.Count(), 3);
  EXPECT_EQ(cache.Capacity(), 3);
}

TEST(UnitCache, AFailedWriteLeavesTheCacheAsItWas) {
  TTestOwner owner;
  TTestCache cache(owner, Config(2));
  AddAll(cache, {1, 2});
  cache.MarkModified(cache.Peek(1));
  cache.MarkModified(cache.Peek(2));
  owner.FailWrite = true;
  EXPECT_THROW(cache.Add(3), std::runtime_error);
  EXPECT_EQ(cache.Count(), 2);
  EXPECT_EQ(cache.Peek(3), nullptr);
  EXPECT_TRUE(cache.Peek(1)->Modified);
  EXPECT_EQ(cache.CheckInvariants(), "");
}

TEST(UnitCache, ReadAheadEntriesNeverGrowOrWrite) {
  TTestOwner owner;
  TTestCache cache(owner, Config(2));
  cache.Add(1);  // pinned
  EXPECT_NE(cache.TryAdd(2), nullptr);
  cache.MarkModified(cache.Peek(2));
  EXPECT_EQ(cache.TryAdd(3), nullptr);  // full of pinned and modified entries
  EXPECT_EQ(owner.WriteCalls, 0);
  EXPECT_EQ(cache.Capacity(), 2);
  cache.MarkClean(cache.Peek(2));
  TTestUnit* three = cache.TryAdd(3);  // takes over the clean one
  ASSERT_NE(three, nullptr);
  EXPECT_EQ(three->PinCount, 0);
  EXPECT_EQ(cache.Peek(2), nullptr);
  EXPECT_EQ(cache.CheckInvariants(), "");
}

TEST(UnitCache, HoldsAtLeastOneUnit) {
  EXPECT_EQ(CacheCapacityFor(BlobCacheBytes, 70000, CacheMaxUnits), 1);
  EXPECT_EQ(CacheCapacityFor(RecordCacheBytes, 100, CacheMaxUnits), 163);
  EXPECT_EQ(CacheCapacityFor(RecordCacheBytes, 1, CacheMaxUnits), 8192);
  EXPECT_EQ(CacheCapacityFor(IndexCacheBytes, 0, 2), 2);
  TTestOwner owner;
  TTestCache cache(owner, Config(0, 0));
  EXPECT_EQ(cache.Capacity(), 1);
  cache.Add(1, false);
  cache.Add(2, false);
  EXPECT_EQ(cache.Count(), 1);
  EXPECT_NE(cache.Peek(2), nullptr);
}

TEST(UnitCache, DroppingKeepsPinnedUnitsAliveUntilReleased) {
  TTestOwner owner;
  TTestCache cache(owner, Config(8, 4, 4, 2));
  AddAll(cache, {1, 2, 3});
  TTestUnit* pinned = cache.Find(2);
  pinned->Payload = 42;
  cache.MarkModified(cache.Peek(3));
  cache.Drop();
  EXPECT_EQ(owner.WriteCalls, 0);
  EXPECT_EQ(cache.Count(), 0);
  EXPECT_EQ(cache.Peek(2), nullptr);
  EXPECT_EQ(cache.DetachedCount(), 1);
  EXPECT_EQ(pinned->Payload, 42);    // still the caller's
  EXPECT_EQ(cache.SpareCount(), 2);  // the pool keeps at most its limit
  cache.Unpin(pinned);
  EXPECT_EQ(cache.DetachedCount(), 0);
  TTestUnit* reused = cache.Add(7);
  EXPECT_EQ(reused->Payload, -1);  // spares come back cleared
  EXPECT_FALSE(reused->Modified);
  EXPECT_EQ(cache.CheckInvariants(), "");
}

// A random mix of operations against a model of which units must stay: every pinned or modified
// unit, whatever the capacity. The seed is in every failure message.
TEST(UnitCache, RandomizedOperationsKeepTheInvariants) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    TTestOwner owner;
    TTestCache cache(owner, Config(1 + rng() % 8, 1 + rng() % 5, 1 + rng() % 4, rng() % 5));
    std::map<std::int64_t, int> pins;  // model: pin counts of units we hold
    std::set<std::int64_t> modified;
    for (int step = 0; step < 3000; ++step) {
      std::int64_t n = 1 + rng() % 40;
      owner.InTransaction = rng() % 4 == 0;
      switch (rng() % 8) {
        case 0:
        case 1: {
          TTestUnit* u = cache.Find(n);
          if (!u) u = cache.Add(n);
          u->Payload = static_cast<int>(n);
          ++pins[n];
          break;
        }
        case 2:
          if (pins[n] > 0) {
            cache.Unpin(cache.Peek(n));
            --pins[n];
          }
          break;
        case 3:
          if (TTestUnit* u = cache.Peek(n)) {
            cache.MarkModified(u);
            modified.insert(n);
          }
          break;
        case 4:
          if (rng() % 10 == 0) owner.WriteModifiedUnits(cache);
          break;
        case 5:
          if (rng() % 10 == 0) cache.Trim();
          break;
        default:
          if (TTestUnit* u = cache.Peek(n)) {
            ASSERT_EQ(u->Payload, n);
          }
          break;
      }
      for (std::int64_t written : owner.Written) {
        ASSERT_EQ(pins[written], 0) << "pinned unit " << written << " written at step " << step;
        modified.erase(written);
      }
      owner.Written.clear();
      ASSERT_EQ(cache.CheckInvariants(), "") << "step " << step;
      for (const auto& [unit, count] : pins) {
        if (count > 0) {
          TTestUnit* u = cache.Peek(unit);
          ASSERT_NE(u, nullptr) << "pinned unit " << unit << " evicted at step " << step;
          ASSERT_EQ(u->PinCount, count);
        }
      }
      for (std::int64_t unit : modified) {
        ASSERT_NE(cache.Peek(unit), nullptr)
            << "modified unit " << unit << " lost at step " << step;
      }
      ASSERT_LE(cache.Count(), cache.Capacity());
    }
  }
}

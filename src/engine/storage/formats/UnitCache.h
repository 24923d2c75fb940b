// The generic unit cache behind the record cache (data file), the page caches (index file, one
// per index slot) and the block cache (BLOB file).
//
// A cache holds units (records, pages, blocks) by unit number: a hash table by unit number
// (UnitTable.h, so that lookups, take-overs and inserts cost the same however large the cache), a
// doubly linked most-recently-used chain (head = most recent) probed for its first few entries
// before the search (in a large cache a hit moves its unit to the head only when it is not among
// the most recent quarter already), per unit a modified flag and a pin count, a capacity with a
// growth step, and a pool of spare unit objects. Modified units are also kept on a list of their
// own as they are marked (MarkModified), so that a write-back, a flush or a commit touches only
// them, however many clean units the cache holds. When a new unit needs an entry and the cache is
// full, the least-recently-used entry that is neither pinned nor modified is taken over (looked for
// among the least recent VictimScan entries only); when there is none and the owner allows writing,
// the owner writes its modified units first and the search is repeated; otherwise (inside a
// transaction, or while a change is under way) the capacity grows by the growth step. A cache
// always holds at least one unit, whatever its byte budget.
//
// Dropping returns every unit to the pool without writing. A unit that is still pinned when the
// cache is dropped is detached instead: the caller's pointer stays valid (with its old content)
// until its last Unpin, which then returns it to the pool. Every other unit pointer is valid only
// until the next Add, Remove, Drop or Trim.
//
// Thread safety: none. A cache belongs to one session's table file and is used under that table's
// locks by one thread at a time.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/storage/formats/UnitTable.h"

namespace zorvic::engine {

// The bookkeeping every cached unit carries; TRecord, TPage and TBlock derive from it.
struct TCacheUnit {
  TCacheUnit() = default;
  // A copy carries the unit's number, flag and pins but none of the cache's links: a copy is not
  // in any chain or list, and assigning over a cached unit leaves it where it is in its cache.
  TCacheUnit(const TCacheUnit& other)
      : UnitNo(other.UnitNo), PinCount(other.PinCount), Modified(other.Modified) {}
  TCacheUnit& operator=(const TCacheUnit& other) {
    UnitNo = other.UnitNo;
    Modified = other.Modified;
    PinCount = other.PinCount;
    return *this;
  }
  virtual ~TCacheUnit() = default;
  // Resets the derived content when the object is reused for another unit number. The cache
  // has already reset the fields below.
  virtual void ClearUnit() {}

  // (The small fields share one word: a large cache holds many units.)
  std::int64_t UnitNo = 0;
  std::int32_t PinCount = 0;
  bool Modified = false;
  bool Detached = false;  // dropped while pinned
  // The list of modified units (unordered). A unit whose Modified flag was set without
  // MarkModified joins it when the victim search meets it.
  bool OnModifiedList = false;
  TCacheUnit* MruPrev = nullptr;  // towards the head (more recent)
  TCacheUnit* MruNext = nullptr;  // towards the tail (less recent)
  std::uint64_t MruStamp = 0;     // the cache's count of links at the head when it was linked
  TCacheUnit* ModPrev = nullptr;
  TCacheUnit* ModNext = nullptr;
};

struct TUnitCacheConfig {
  std::int64_t Capacity = 1;    // configured capacity; at least 1 is used
  std::int64_t GrowthStep = 1;  // entries added when nothing can be taken over
  int QuickProbe = 4;           // most-recently-used entries probed before the binary search
  std::int64_t SpareLimit = 0;  // spare objects kept in the pool
};

// Capacity from a byte budget: min(budget / unitSize, maxUnits), but never below 1.
inline std::int64_t CacheCapacityFor(std::int64_t budgetBytes, std::int64_t unitSize,
                                     std::int64_t maxUnits) {
  std::int64_t n = unitSize > 0 ? budgetBytes / unitSize : maxUnits;
  n = std::min(n, maxUnits);
  return std::max<std::int64_t>(n, 1);
}

template <class TUnit>
class TUnitCache {
  static_assert(std::is_base_of_v<TCacheUnit, TUnit>, "cache units derive from TCacheUnit");

 public:
  // Entries looked at from the tail of the chain for one to take over.
  static constexpr int VictimScan = 32;
  // Below this many units, every hit moves its unit to the head of the chain.
  static constexpr std::int64_t ExactOrderUnits = 256;

  // What the cache needs from the file that owns it.
  class TOwner {
   public:
    virtual ~TOwner() = default;
    // A new, empty unit object (with its byte buffers sized).
    virtual std::unique_ptr<TUnit> NewCacheUnit(TUnitCache& cache) = 0;
    // Whether a spare object still fits the file's units (their size may have changed since it
    // was one); one that does not is thrown away.
    virtual bool SpareFits(TUnitCache&, const TUnit&) { return true; }
    // Whether modified units may be written now to make room: false inside a transaction and
    // while a change that must reach the file as a whole is under way.
    virtual bool CacheMayWrite(TUnitCache& cache) = 0;
    // Writes the modified, unpinned units of cache (calling MarkClean for each one written).
    virtual void WriteModifiedUnits(TUnitCache& cache) = 0;
  };

  TUnitCache(TOwner& owner, const TUnitCacheConfig& config) : FOwner(owner) { Configure(config); }
  ~TUnitCache() { FDetached.clear(); }
  TUnitCache(const TUnitCache&) = delete;
  TUnitCache& operator=(const TUnitCache&) = delete;

  // Changes the settings; the capacity becomes max(current count, configured capacity).
  void Configure(const TUnitCacheConfig& config) {
    FConfig = config;
    FConfig.Capacity = std::max<std::int64_t>(config.Capacity, 1);
    FConfig.GrowthStep = std::max<std::int64_t>(config.GrowthStep, 1);
    FConfig.QuickProbe = std::max(config.QuickProbe, 0);
    FConfig.SpareLimit = std::max<std::int64_t>(config.SpareLimit, 0);
    FCapacity = std::max<std::int64_t>(Count(), FConfig.Capacity);
    while (static_cast<std::int64_t>(FSpares.size()) > FConfig.SpareLimit)
      FSpares.pop_back();
  }
  const TUnitCacheConfig& Config() const { return FConfig; }

  // Looks a unit up: on a hit it moves to the head of the chain, is pinned and returned.
  TUnit* Find(std::int64_t unitNo) {
    TCacheUnit* u = FHead;
    for (int i = 0; u && i < FConfig.QuickProbe; ++i, u = u->MruNext) {
      if (u->UnitNo == unitNo) return Hit(static_cast<TUnit*>(u));
    }
    TUnit* found = Peek(unitNo);
    return found ? Hit(found) : nullptr;
  }

  // The cached unit or nullptr, without pinning it or touching the chain.
  TUnit* Peek(std::int64_t unitNo) const { return FUnits.Find(unitNo); }

  // An entry for a unit that is not cached: cleared (ClearUnit), at the head of the chain, pinned
  // when asked. Takes a spare, takes over the least-recently-used clean unpinned entry, has the
  // owner write its modified units, or grows, in that order of preference (see the top). When the
  // owner's write throws, the cache is as before.
  TUnit* Add(std::int64_t unitNo, bool pin = true) {
    assert(!Peek(unitNo));
    std::unique_ptr<TUnit> unit = Obtain();
    unit->UnitNo = unitNo;
    unit->Modified = false;
    unit->PinCount = pin ? 1 : 0;
    unit->Detached = false;
    TUnit* raw = unit.get();
    File(unitNo, std::move(unit));
    LinkHead(raw);
    return raw;
  }

  // An unpinned entry for a unit that is not cached, but only when one is free without growing
  // or writing (a spare below the capacity, or a clean unpinned entry to take over); else
  // nullptr. For units read ahead, which are welcome but never worth a write or more memory.
  TUnit* TryAdd(std::int64_t unitNo) {
    assert(!Peek(unitNo));
    std::unique_ptr<TUnit> unit;
    if (Count() < FCapacity) {
      unit = Fresh();
    } else if (TUnit* victim = Victim()) {
      unit = TakeOver(victim);
    } else {
      return nullptr;
    }
    ResetUnit(*unit);
    unit->UnitNo = unitNo;
    TUnit* raw = unit.get();
    File(unitNo, std::move(unit));
    LinkHead(raw);
    return raw;
  }

  void Pin(TUnit* unit) { ++unit->PinCount; }
  // Decrements the pin count (never below 0); a detached unit returns to the pool at 0.
  void Unpin(TUnit* unit) {
    if (unit->PinCount > 0) --unit->PinCount;
    if (unit->Detached && unit->PinCount == 0) {
      auto it = std::find_if(FDetached.begin(), FDetached.end(),
                             [unit](const std::unique_ptr<TUnit>& p) { return p.get() == unit; });
      if (it != FDetached.end()) {
        std::unique_ptr<TUnit> owned = std::move(*it);
        FDetached.erase(it);
        Recycle(std::move(owned));
      }
    }
  }
  void MarkModified(TUnit* unit) {
    ++FMutations;
    unit->Modified = true;
    if (!unit->OnModifiedList && !unit->Detached) LinkModified(unit);
  }
  void MarkClean(TUnit* unit) {
    unit->Modified = false;
    if (unit->OnModifiedList) UnlinkModified(unit);
  }

  // Removes one unit without writing it (it goes back to the pool, or is detached when pinned).
  void Remove(TUnit* unit) {
    ++FMutations;
    if (FUnits.Find(unit->UnitNo) != unit) return;
    std::unique_ptr<TUnit> owned = FUnits.Extract(unit->UnitNo);
    Unlink(owned.get());
    if (owned->OnModifiedList) UnlinkModified(owned.get());
    Release(std::move(owned));
  }

  // Returns every unit to the pool without writing (pinned ones are detached, see the top).
  void Drop() {
    ++FMutations;
    // A cache that once held a long transaction's units gives the table of their numbers back.
    FUnits.Clear([this](std::unique_ptr<TUnit> owned) {
      owned->MruPrev = owned->MruNext = nullptr;
      owned->OnModifiedList = false;
      owned->ModPrev = owned->ModNext = nullptr;
      Release(std::move(owned));
    });
    FHead = FTail = nullptr;
    FModHead = nullptr;
    FModCount = 0;
  }

  // Evicts clean unpinned units from the tail until at most the configured capacity remain, then
  // sets the capacity to max(count, configured capacity).
  void Trim() {
    TCacheUnit* u = FTail;
    while (u && Count() > FConfig.Capacity) {
      TCacheUnit* prev = u->MruPrev;
      if (!u->Modified && u->PinCount == 0) Remove(static_cast<TUnit*>(u));
      u = prev;
    }
    FCapacity = std::max<std::int64_t>(Count(), FConfig.Capacity);
  }

  // The modified units in ascending unit order (pinned ones only when asked), from the list of
  // modified units: the cost follows their number, not the cache's size.
  std::vector<TUnit*> ModifiedUnits(bool includePinned = false) const {
    std::vector<TUnit*> out;
    out.reserve(static_cast<std::size_t>(FModCount));
    for (TCacheUnit* u = FModHead; u; u = u->ModNext) {
      if (u->Modified && (includePinned || u->PinCount == 0)) out.push_back(static_cast<TUnit*>(u));
    }
    // The list holds the last modified first, and units are mostly modified in ascending order
    // (a load, a run of inserts): often a reversal does instead of a sort.
    const auto byNumber = [](const TUnit* a, const TUnit* b) { return a->UnitNo < b->UnitNo; };
    if (std::is_sorted(out.rbegin(), out.rend(), byNumber))
      std::reverse(out.begin(), out.end());
    else if (!std::is_sorted(out.begin(), out.end(), byNumber))
      std::sort(out.begin(), out.end(), byNumber);
    return out;
  }
  // Calls f(TUnit*) for every modified unit (pinned ones too), in no particular order.
  template <class F>
  void ForEachModified(F&& f) const {
    for (TCacheUnit* u = FModHead; u; u = u->ModNext) {
      if (u->Modified) f(static_cast<TUnit*>(u));
    }
  }
  bool HasModified() const {
    for (TCacheUnit* u = FModHead; u; u = u->ModNext) {
      if (u->Modified) return true;
    }
    return false;
  }
  // Units on the list of modified units (tests and diagnostics).
  std::int64_t ModifiedCount() const { return FModCount; }

  // Calls f(TUnit&) for every unit in ascending unit order.
  template <class F>
  void ForEach(F&& f) const {
    std::vector<TUnit*> units;
    units.reserve(FUnits.Size());
    FUnits.ForEach([&](std::int64_t, TUnit* u) { units.push_back(u); });
    std::sort(units.begin(), units.end(),
              [](const TUnit* a, const TUnit* b) { return a->UnitNo < b->UnitNo; });
    for (TUnit* u : units)
      f(*u);
  }

  std::int64_t Count() const { return static_cast<std::int64_t>(FUnits.Size()); }
  // Goes up whenever a unit's content may have changed from what its file holds or held: a
  // unit marked modified, removed without writing, or the whole cache dropped. Copies of units
  // taken while it stays the same are still what the cache would answer.
  std::uint64_t Mutations() const { return FMutations; }
  std::int64_t Capacity() const { return FCapacity; }
  std::int64_t SpareCount() const { return static_cast<std::int64_t>(FSpares.size()); }
  std::int64_t DetachedCount() const { return static_cast<std::int64_t>(FDetached.size()); }
  TUnit* MostRecent() const { return static_cast<TUnit*>(FHead); }
  TUnit* LeastRecent() const { return static_cast<TUnit*>(FTail); }
  // Unit numbers from the most to the least recent.
  std::vector<std::int64_t> MruOrder() const {
    std::vector<std::int64_t> out;
    for (TCacheUnit* u = FHead; u; u = u->MruNext)
      out.push_back(u->UnitNo);
    return out;
  }

  // Checks the structure; returns an empty text when sound, else what is wrong.
  std::string CheckInvariants() const {
    bool misfiled = false;
    FUnits.ForEach(
        [&](std::int64_t unitNo, TUnit* u) { misfiled = misfiled || u->UnitNo != unitNo; });
    if (misfiled) return "unit filed under another number";
    std::size_t n = 0;
    const TCacheUnit* prev = nullptr;
    for (const TCacheUnit* u = FHead; u; u = u->MruNext) {
      if (u->MruPrev != prev) return "chain back link broken";
      if (++n > FUnits.Size()) return "chain longer than the list";
      if (Peek(u->UnitNo) != u) return "chain holds a unit missing from the list";
      if (u->Detached) return "detached unit in the chain";
      prev = u;
    }
    if (prev != FTail) return "chain tail wrong";
    if (n != FUnits.Size()) return "chain shorter than the list";
    std::int64_t onList = 0;
    for (const TCacheUnit* u = FModHead; u; u = u->ModNext) {
      if (!u->OnModifiedList) return "unit on the modified list without its mark";
      if (u->ModNext && u->ModNext->ModPrev != u) return "modified list back link broken";
      if (Peek(u->UnitNo) != u) return "modified list holds a unit missing from the list";
      if (++onList > FModCount) return "modified list longer than its count";
    }
    if (onList != FModCount) return "modified list shorter than its count";
    if (FCapacity < 1) return "capacity below 1";
    if (static_cast<std::int64_t>(FSpares.size()) > FConfig.SpareLimit) return "pool over limit";
    return {};
  }

 private:
  using TUnitVector = std::vector<std::unique_ptr<TUnit>>;

  TUnit* Hit(TUnit* unit) {
    if (FHead != unit && !NearHead(*unit)) {
      Unlink(unit);
      LinkHead(unit);
    }
    ++unit->PinCount;
    return unit;
  }

  // Whether a unit of a large cache is among its most recent quarter: no more links at the
  // head happened since its own than a quarter of the units. Moving it up would gain it nothing
  // (the tail, where units are taken over, is three quarters of the chain away) and would touch
  // its neighbours, which in a large cache are cold memory. Small caches keep the exact order.
  bool NearHead(const TCacheUnit& u) const {
    const std::int64_t count = Count();
    return count >= ExactOrderUnits && FLinks - u.MruStamp < static_cast<std::uint64_t>(count / 4);
  }

  void LinkHead(TCacheUnit* u) {
    u->MruStamp = ++FLinks;
    u->MruPrev = nullptr;
    u->MruNext = FHead;
    if (FHead) FHead->MruPrev = u;
    FHead = u;
    if (!FTail) FTail = u;
  }
  void Unlink(TCacheUnit* u) {
    if (u->MruPrev)
      u->MruPrev->MruNext = u->MruNext;
    else
      FHead = u->MruNext;
    if (u->MruNext)
      u->MruNext->MruPrev = u->MruPrev;
    else
      FTail = u->MruPrev;
    u->MruPrev = u->MruNext = nullptr;
  }

  // The least-recently-used clean, unpinned unit among the last VictimScan entries of the
  // chain, or nullptr. The search is bounded so that a cache full of modified units (a long
  // transaction, a load into an exclusive table) costs the same per new unit however large it
  // has grown: past the bound the owner writes its modified units, or the cache grows.
  TUnit* Victim() {
    int looked = 0;
    for (TCacheUnit* u = FTail; u && looked < VictimScan; u = u->MruPrev, ++looked) {
      if (u->Modified) {
        if (!u->OnModifiedList) LinkModified(u);
        continue;
      }
      if (u->PinCount == 0) return static_cast<TUnit*>(u);
    }
    return nullptr;
  }

  void LinkModified(TCacheUnit* u) {
    u->OnModifiedList = true;
    u->ModPrev = nullptr;
    u->ModNext = FModHead;
    if (FModHead) FModHead->ModPrev = u;
    FModHead = u;
    ++FModCount;
  }
  void UnlinkModified(TCacheUnit* u) {
    if (u->ModPrev)
      u->ModPrev->ModNext = u->ModNext;
    else
      FModHead = u->ModNext;
    if (u->ModNext) u->ModNext->ModPrev = u->ModPrev;
    u->ModPrev = u->ModNext = nullptr;
    u->OnModifiedList = false;
    --FModCount;
  }

  // Takes the victim out of the table and the chain and hands it over.
  std::unique_ptr<TUnit> TakeOver(TUnit* victim) {
    std::unique_ptr<TUnit> owned = FUnits.Extract(victim->UnitNo);
    Unlink(victim);
    if (victim->OnModifiedList) UnlinkModified(victim);
    return owned;
  }

  void File(std::int64_t unitNo, std::unique_ptr<TUnit> unit) {
    FUnits.Insert(unitNo, std::move(unit));
  }

  std::unique_ptr<TUnit> Fresh() {
    while (!FSpares.empty()) {
      std::unique_ptr<TUnit> unit = std::move(FSpares.back());
      FSpares.pop_back();
      if (FOwner.SpareFits(*this, *unit)) return unit;
    }
    return FOwner.NewCacheUnit(*this);
  }

  std::unique_ptr<TUnit> Obtain() {
    std::unique_ptr<TUnit> unit;
    if (Count() < FCapacity) {
      unit = Fresh();
    } else if (TUnit* victim = Victim()) {
      unit = TakeOver(victim);
    } else {
      if (FOwner.CacheMayWrite(*this)) {
        FOwner.WriteModifiedUnits(*this);
        if (TUnit* again = Victim()) unit = TakeOver(again);
      }
      if (!unit) {
        unit = Fresh();
        FCapacity += FConfig.GrowthStep;
      }
    }
    ResetUnit(*unit);
    return unit;
  }

  static void ResetUnit(TUnit& unit) {
    unit.Modified = false;
    unit.PinCount = 0;
    unit.MruPrev = unit.MruNext = nullptr;
    unit.Detached = false;
    unit.OnModifiedList = false;
    unit.ModPrev = unit.ModNext = nullptr;
    unit.ClearUnit();
  }

  void Release(std::unique_ptr<TUnit> owned) {
    if (owned->PinCount > 0) {
      owned->Detached = true;
      FDetached.push_back(std::move(owned));
    } else {
      Recycle(std::move(owned));
    }
  }
  void Recycle(std::unique_ptr<TUnit> owned) {
    if (static_cast<std::int64_t>(FSpares.size()) < FConfig.SpareLimit) {
      ResetUnit(*owned);
      FSpares.push_back(std::move(owned));
    }
  }

  TOwner& FOwner;
  TUnitCacheConfig FConfig;
  std::int64_t FCapacity = 1;
  TUnitTable<TUnit> FUnits;  // by UnitNo
  TUnitVector FSpares;       // cleared spare objects
  TUnitVector FDetached;     // dropped while pinned
  TCacheUnit* FHead = nullptr;
  TCacheUnit* FTail = nullptr;
  TCacheUnit* FModHead = nullptr;  // modified units, most recently marked first
  std::int64_t FModCount = 0;
  std::uint64_t FMutations = 0;
  std::uint64_t FLinks = 0;  // links at the head so far
};

}  // namespace zorvic::engine

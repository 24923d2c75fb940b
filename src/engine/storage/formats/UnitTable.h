// The table of a unit cache's units by unit number: open addressing with linear probing over one
// array of (number, unit) slots, so that a lookup reads one slot in the common case instead of
// a bucket, a node and the owning pointer one after the other (a point lookup makes a dozen of
// them, a load of random keys several per record).
//
// The table owns the units filed in it: Insert takes them over, Extract and Clear hand them back.
// At most half of the slots are used; removal shifts the entries that follow back into the gap,
// so there are no tombstones and a probe ends at the first empty slot.
//
// Thread safety: none; it belongs to its cache.
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>
#include <memory>
#include <vector>

namespace zorvic::engine {

template <class TUnit>
class TUnitTable {
 public:
  // No slots until the first unit is filed: a cache that stays empty (most of an index file's
  // 33) costs nothing to make, look up, clear or drop.
  TUnitTable() = default;
  ~TUnitTable() {
    for (TSlot& s : FSlots)
      delete s.Unit;
  }
  TUnitTable(const TUnitTable&) = delete;
  TUnitTable& operator=(const TUnitTable&) = delete;

  std::size_t Size() const { return FSize; }

  TUnit* Find(std::int64_t unitNo) const {
    if (FSize == 0) return nullptr;
    for (std::size_t i = Home(unitNo);; i = (i + 1) & FMask) {
      const TSlot& s = FSlots[i];
      if (s.Unit == nullptr) return nullptr;
      if (s.UnitNo == unitNo) return s.Unit;
    }
  }

  // Files a unit that is not in the table under unitNo.
  void Insert(std::int64_t unitNo, std::unique_ptr<TUnit> unit) {
    assert(Find(unitNo) == nullptr);
    if (FSlots.empty())
      Reset(kMinSlots);
    else if ((FSize + 1) * 2 > FSlots.size())
      Grow();
    Place(unitNo, unit.release());
    ++FSize;
  }

  // Takes the unit filed under unitNo out of the table (null when there is none).
  std::unique_ptr<TUnit> Extract(std::int64_t unitNo) {
    if (FSize == 0) return nullptr;
    std::size_t i = Home(unitNo);
    for (;; i = (i + 1) & FMask) {
      if (FSlots[i].Unit == nullptr) return nullptr;
      if (FSlots[i].UnitNo == unitNo) break;
    }
    std::unique_ptr<TUnit> out(FSlots[i].Unit);
    FSlots[i] = TSlot{};
    --FSize;
    // Entries after the gap that probed past it move back, so every probe still finds them.
    for (std::size_t j = (i + 1) & FMask; FSlots[j].Unit != nullptr; j = (j + 1) & FMask) {
      const std::size_t home = Home(FSlots[j].UnitNo);
      // The entry stays when its home lies cyclically within (i, j].
      const bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
      if (stays) continue;
      FSlots[i] = FSlots[j];
      FSlots[j] = TSlot{};
      i = j;
    }
    return out;
  }

  // Calls f(std::int64_t unitNo, TUnit*) for every unit, in no particular order.
  template <class F>
  void ForEach(F&& f) const {
    if (FSize == 0) return;
    for (const TSlot& s : FSlots)
      if (s.Unit) f(s.UnitNo, s.Unit);
  }

  // Hands every unit to take(std::unique_ptr<TUnit>) and empties the table; a table grown large
  // (a long transaction's units) gives its slots back.
  template <class F>
  void Clear(F&& take) {
    if (FSize == 0) return;
    for (TSlot& s : FSlots) {
      if (!s.Unit) continue;
      TUnit* unit = s.Unit;
      s = TSlot{};
      take(std::unique_ptr<TUnit>(unit));
    }
    FSize = 0;
    if (FSlots.size() > kKeptSlots) Reset(kMinSlots);
  }

 private:
  struct TSlot {
    std::int64_t UnitNo = 0;
    TUnit* Unit = nullptr;
  };
  static constexpr std::size_t kMinSlots = 8;
  static constexpr std::size_t kKeptSlots = 8192;
  static constexpr std::uint64_t kRun = 8;

  std::size_t Home(std::int64_t unitNo) const {
    // Fibonacci hashing of runs of kRun consecutive numbers, which sit side by side: a load
    // appending records or pages files them into one or two cache lines of slots instead of a
    // new line each, while numbers far apart (spaced by a block size, say) still spread.
    const std::uint64_t n = static_cast<std::uint64_t>(unitNo);
    const std::size_t run =
        static_cast<std::size_t>(((n / kRun) * 0x9E3779B97F4A7C15ULL) >> FShift);
    return (run + static_cast<std::size_t>(n % kRun)) & FMask;
  }
  void Place(std::int64_t unitNo, TUnit* unit) {
    std::size_t i = Home(unitNo);
    while (FSlots[i].Unit != nullptr)
      i = (i + 1) & FMask;
    FSlots[i] = TSlot{unitNo, unit};
  }
  void Reset(std::size_t slots) {
    FSlots = std::vector<TSlot>(slots);
    FMask = slots - 1;
    FShift = 64 - std::countr_zero(slots);
  }
  void Grow() {
    std::vector<TSlot> old = std::move(FSlots);
    Reset(old.size() * 2);
    for (const TSlot& s : old)
      if (s.Unit) Place(s.UnitNo, s.Unit);
  }

  std::vector<TSlot> FSlots;
  std::size_t FMask = 0;
  int FShift = 64;
  std::size_t FSize = 0;
};

}  // namespace zorvic::engine

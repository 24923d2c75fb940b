// The table of a cache's units by number: every unit filed is found until it is taken out,
// also when its probe runs past entries that were taken out before it (the removal moves them
// back), across growth, wrap-around at the end of the slots, and clearing.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "engine/storage/formats/UnitTable.h"

using namespace zorvic::engine;

namespace {

struct TUnit {
  explicit TUnit(std::int64_t n) : No(n) {}
  std::int64_t No;
};

void ExpectSameAs(const TUnitTable<TUnit>& table, const std::map<std::int64_t, TUnit*>& model) {
  ASSERT_EQ(table.Size(), model.size());
  for (const auto& [no, unit] : model)
    ASSERT_EQ(table.Find(no), unit) << no;
  std::size_t seen = 0;
  table.ForEach([&](std::int64_t no, TUnit* unit) {
    ++seen;
    ASSERT_EQ(unit->No, no);
    ASSERT_EQ(model.count(no), 1u) << no;
  });
  EXPECT_EQ(seen, model.size());
}

TEST(UnitTableTest, RandomFilingAndRemovalMatchAModel) {
  std::mt19937_64 rng(7);
  TUnitTable<TUnit> table;
  std::map<std::int64_t, TUnit*> model;
  // Few distinct numbers in a small table: long probe runs that wrap around the end, and
  // removals in the middle of them.
  for (int step = 0; step < 60000; ++step) {
    const std::int64_t no = static_cast<std::int64_t>(rng() % (step < 30000 ? 40 : 5000));
    if (model.count(no)) {
      if (rng() % 3 == 0) {
        std::unique_ptr<TUnit> out = table.Extract(no);
        ASSERT_EQ(out.get(), model[no]);
        model.erase(no);
      } else {
        ASSERT_EQ(table.Find(no), model[no]);
      }
    } else {
      ASSERT_EQ(table.Find(no), nullptr);
      ASSERT_EQ(table.Extract(no), nullptr);
      auto unit = std::make_unique<TUnit>(no);
      model[no] = unit.get();
      table.Insert(no, std::move(unit));
    }
    if (step % 997 == 0) ExpectSameAs(table, model);
  }
  ExpectSameAs(table, model);

  std::size_t handed = 0;
  table.Clear([&](std::unique_ptr<TUnit> unit) {
    ++handed;
    EXPECT_EQ(model.count(unit->No), 1u);
  });
  EXPECT_EQ(handed, model.size());
  EXPECT_EQ(table.Size(), 0u);
  EXPECT_EQ(table.Find(model.begin()->first), nullptr);
  // A cleared table files anew.
  table.Insert(-5, std::make_unique<TUnit>(-5));
  EXPECT_EQ(table.Find(-5)->No, -5);
}

TEST(UnitTableTest, NumbersSpacedByTheTableSizeAllStayFindable) {
  // Numbers that agree in their low bits, as page numbers of one index often do.
  TUnitTable<TUnit> table;
  std::map<std::int64_t, TUnit*> model;
  for (std::int64_t i = 0; i < 3000; ++i) {
    const std::int64_t no = i * 4096;
    auto unit = std::make_unique<TUnit>(no);
    model[no] = unit.get();
    table.Insert(no, std::move(unit));
  }
  ExpectSameAs(table, model);
  for (std::int64_t i = 0; i < 3000; i += 2) {
    ASSERT_NE(table.Extract(i * 4096), nullptr);
    model.erase(i * 4096);
  }
  ExpectSameAs(table, model);
}

TEST(UnitTableTest, RunsOfConsecutiveNumbersSideBySideStayFindable) {
  // Consecutive numbers sit next to each other in the slots (records appended one after the
  // other): runs of them that meet or overlap in the slots, numbers taken out of the middle of
  // a run, and negative numbers, all against a model.
  std::mt19937_64 rng(11);
  TUnitTable<TUnit> table;
  std::map<std::int64_t, TUnit*> model;
  for (int step = 0; step < 40000; ++step) {
    const std::int64_t run = static_cast<std::int64_t>(rng() % 24) - 4;
    const std::int64_t no = run * 1000 + static_cast<std::int64_t>(rng() % 40);
    if (model.count(no)) {
      if (rng() % 2 == 0) {
        ASSERT_EQ(table.Extract(no).get(), model[no]);
        model.erase(no);
      }
    } else {
      ASSERT_EQ(table.Find(no), nullptr) << no;
      auto unit = std::make_unique<TUnit>(no);
      model[no] = unit.get();
      table.Insert(no, std::move(unit));
    }
    if (step % 499 == 0) ExpectSameAs(table, model);
  }
  ExpectSameAs(table, model);
  for (auto it = model.begin(); it != model.end();) {
    ASSERT_EQ(table.Extract(it->first).get(), it->second);
    it = model.erase(it);
    if (model.size() % 97 == 0) ExpectSameAs(table, model);
  }
  EXPECT_EQ(table.Size(), 0u);
}

}  // namespace

// Aggregates and groups of a SELECT block.
//
// Every aggregate in the select list gets an accumulator per group. A group starts from its
// first row; each row then adds its non-NULL values, so a NULL never poisons a result: COUNT(*)
// counts rows, COUNT(x) non-NULL values, SUM adds, MIN and MAX keep the extreme, AVG adds and
// counts non-NULL values and divides at the end (rounded for dates and times, 0 over no value).
// A block without GROUP BY whose items are all aggregates or column-free expressions is one
// group over all rows; when no row qualifies its row holds NULL for SUM, MIN, MAX and COUNT(x),
// 0 for COUNT(*) and AVG. With GROUP BY the groups come out in the order of the GROUP BY
// columns, running sums (RUNSUM) accumulate over the groups in that order, and HAVING is
// tested on each group's row (its aggregates are the select list's).
//
// Thread safety: an aggregator belongs to one block's execution and one thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/sql/DataQuery.h"
#include "engine/sql/eval/Evaluator.h"
#include "engine/sql/exec/ResultTable.h"

namespace zorvic::engine {

class TAggregator {
 public:
  TAggregator(TDataQuery& block, const TEvalContext& context);
  ~TAggregator();
  TAggregator(const TAggregator&) = delete;
  TAggregator& operator=(const TAggregator&) = delete;

  // Adds the current combined row (the context's fetcher supplies its columns).
  void AddRow();
  // The rows of the groups in group order, HAVING applied.
  std::vector<TRow> Finish();
  // Whether the rows may come in any order with the same result: every item is a group key or
  // one aggregate, texts compare by their bytes (equal keys and tied MIN and MAX values are
  // then the same bytes), and no Float is summed (its rounding depends on the order).
  bool OrderFree() const;

 private:
  struct TSlot;
  struct TGroup;
  struct TField;
  class TKeyLess;

  void Accumulate(TSlot& slot, TGroup& group, std::size_t index);
  void FinalValue(const TSlot& slot, const TGroup& group, std::size_t index, bool anyRow,
                  TExpToken& out);
  TRow GroupRow(TGroup& group, bool anyRow);
  bool PassesHaving(const TRow& row);

  TDataQuery& Block_;
  TEvalContext Context_;
  std::vector<TField> Fields_;
  std::vector<std::unique_ptr<TSlot>> Slots_;
  std::vector<int> KeyColumns_;  // result columns that form the group key
  std::unique_ptr<TKeyLess> KeyLess_;
  std::vector<std::unique_ptr<TGroup>> Groups_;
  std::map<TRow, std::size_t, std::function<bool(const TRow&, const TRow&)>> Index_;
  // Under a binary collation two texts are one key exactly when their bytes are equal, so
  // groups whose keys are all texts (or NULL) are also found by hashing their bytes: one hash
  // look-up a row instead of a walk down the ordered index, which still gives the group order.
  bool HashKeys_ = false;
  std::unordered_map<std::string, std::size_t> Hashed_;
  std::string HashKey_;
  TExpTokenPtr Having_;
  TExpTokenPtr Value_;
};

}  // namespace zorvic::engine

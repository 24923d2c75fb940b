#include "engine/sql/exec/Join.h"

#include <algorithm>
#include <map>
#include <set>

#include "engine/sql/eval/RecordValues.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/cursors/DataCursor.h"

namespace zorvic::engine {

TProgressReport::TProgressReport(const std::function<void(int, bool&)>* callback, int step)
    : Callback_(callback != nullptr && *callback ? callback : nullptr), Step_(std::max(step, 1)) {}

bool TProgressReport::Report(std::int64_t done, std::int64_t total) {
  if (Aborted_) return false;
  if (Callback_ == nullptr || total <= 0) return true;
  const int percent = static_cast<int>(std::min<std::int64_t>(done * 100 / total, 100));
  if (percent - Last_ < Step_) return true;
  Last_ = percent;
  bool abort = false;
  (*Callback_)(percent, abort);
  if (abort) Aborted_ = true;
  return !Aborted_;
}

void TProgressReport::Finish() {
  if (Callback_ == nullptr || Aborted_) return;
  bool abort = false;
  (*Callback_)(100, abort);
}

std::vector<const void*> TablesOf(const TExpToken& tree) {
  std::vector<const void*> tables;
  std::vector<const TExpToken*> work{&tree};
  while (!work.empty()) {
    const TExpToken* node = work.back();
    work.pop_back();
    if (node->NodeClass == ncColumn && node->SourceTable != nullptr &&
        std::find(tables.begin(), tables.end(), node->SourceTable) == tables.end()) {
      tables.push_back(node->SourceTable);
    }
    if (node->Left) work.push_back(node->Left.get());
    if (node->Right) work.push_back(node->Right.get());
    for (const auto& argument : node->Arguments)
      work.push_back(argument.get());
  }
  return tables;
}

namespace {

struct TPart {
  const TExpToken* Tree = nullptr;
  std::vector<TTableRun*> Tables;
  int Join = -1;  // index of the JOIN whose ON clause held it, -1 for WHERE
};

bool IsComparison(const TExpToken& node) {
  if (node.NodeClass != ncBinary) return false;
  switch (node.OperatorCode) {
    case opEqual:
    case opNotEqual:
    case opLess:
    case opGreater:
    case opLessEqual:
    case opGreaterEqual:
      return true;
    default:
      return false;
  }
}

// Cuts a condition at its top AND level; an AND whose sides name one table (or one side no
// table) stays whole, so that table's cursor gets it as one filter.
void SplitParts(const TExpToken* node, std::vector<const TExpToken*>& out) {
  if (node->NodeClass == ncBinary && node->OperatorCode == opAnd && node->Left && node->Right) {
    const auto left = TablesOf(*node->Left);
    const auto right = TablesOf(*node->Right);
    const bool whole = left.size() <= 1 && right.size() <= 1 &&
                       (left.empty() || right.empty() || left.front() == right.front());
    if (!whole) {
      SplitParts(node->Left.get(), out);
      SplitParts(node->Right.get(), out);
      return;
    }
  }
  out.push_back(node);
}

bool Contains(const std::vector<TTableRun*>& runs, const TTableRun* run) {
  return std::find(runs.begin(), runs.end(), run) != runs.end();
}

}  // namespace

void TJoinPlan::Build(TDataQuery& block, std::vector<std::unique_ptr<TTableRun>>& runs,
                      const TEvalContext& context, TTableRun* fixedDriver) {
  Context_ = context;
  Levels_.clear();
  auto runOf = [&](const void* table) -> TTableRun* {
    for (auto& run : runs) {
      if (run->Source == table) return run.get();
    }
    return nullptr;
  };
  for (auto& run : runs) {
    run->Cursor->DropAllFilters();
    run->NullRow = false;
  }
  if (runs.empty()) return;

  // The inner (NULL-supplying) side of each outer join.
  struct TOuter {
    int Join = -1;
    TTableRun* Preserved = nullptr;
  };
  std::map<TTableRun*, TOuter> innerOf;
  for (std::size_t i = 0; i < block.Joins.size(); ++i) {
    const TTableJoin& join = block.Joins[i];
    if (join.Kind == TJoinKind::Inner) continue;
    const bool left = join.Kind == TJoinKind::LeftOuter;
    TTableRun* inner = runOf(left ? join.Right : join.Left);
    TTableRun* preserved = runOf(left ? join.Left : join.Right);
    if (inner == nullptr || preserved == nullptr) RaiseSQLError("Internal join error");
    if (innerOf.count(inner) != 0) {
      RaiseSQLError("Internal join error - table correlation name \"" +
                    inner->Source->CorrelationName +
                    "\" is target of multiple join conditions in WHERE or JOIN clause");
    }
    innerOf[inner] = {static_cast<int>(i), preserved};
  }

  // The parts of the condition and the tables they name.
  std::vector<TPart> parts;
  auto addParts = [&](const TExpToken* tree, int joinIndex) {
    if (tree == nullptr) return;
    std::vector<const TExpToken*> trees;
    SplitParts(tree, trees);
    for (const TExpToken* node : trees) {
      TPart part;
      part.Tree = node;
      part.Join = joinIndex;
      for (const void* table : TablesOf(*node)) {
        TTableRun* run = runOf(table);
        if (run == nullptr) RaiseSQLError("Internal table filter error");
        part.Tables.push_back(run);
      }
      if (part.Tables.size() > 1 && IsComparison(*node) &&
          (TablesOf(*node->Left).size() > 1 || TablesOf(*node->Right).size() > 1)) {
        RaiseSQLError(
            "The join condition cannot contain multiple table correlation names in either the "
            "left or right operand in WHERE or JOIN clause");
      }
      parts.push_back(std::move(part));
    }
  };
  for (std::size_t i = 0; i < block.Joins.size(); ++i)
    addParts(block.Joins[i].Condition, static_cast<int>(i));
  addParts(block.WhereCondition, -1);

  auto outerJoinOf = [&](const TPart& part) -> TTableRun* {
    if (part.Join < 0) return nullptr;
    for (const auto& [inner, outer] : innerOf) {
      if (outer.Join == part.Join) return inner;
    }
    return nullptr;
  };

  // Single-table parts go to their cursors now; the others wait for the table order.
  std::vector<const TPart*> waiting;
  for (const TPart& part : parts) {
    TTableRun* inner = outerJoinOf(part);
    if (runs.size() == 1) {
      InstallTableCondition(*runs.front(), *part.Tree, Context_);
    } else if (inner != nullptr) {
      if (part.Tables.size() == 1 && part.Tables.front() == inner) {
        InstallTableCondition(*inner, *part.Tree, Context_);
      } else {
        waiting.push_back(&part);
      }
    } else if (part.Tables.size() == 1 && innerOf.count(part.Tables.front()) == 0) {
      InstallTableCondition(*part.Tables.front(), *part.Tree, Context_);
    } else {
      waiting.push_back(&part);
    }
  }

  // The table order.
  std::vector<TTableRun*> order;
  auto placed = [&](const TTableRun* run) { return Contains(order, run); };
  auto eligible = [&](TTableRun* run) {
    auto outer = innerOf.find(run);
    if (outer == innerOf.end()) return true;
    if (!placed(outer->second.Preserved)) return false;
    for (const TPart& part : parts) {
      if (part.Join != outer->second.Join) continue;
      for (TTableRun* table : part.Tables) {
        if (table != run && !placed(table)) return false;
      }
    }
    return true;
  };
  TTableRun* driver = fixedDriver;
  if (driver == nullptr) {
    if (innerOf.empty() && !block.NoJoinOptimize && runs.size() > 1) {
      std::int64_t fewest = -1;
      for (auto& run : runs) {
        const std::int64_t count = run->Cursor->RecordCount();
        if (fewest < 0 || count < fewest) {
          fewest = count;
          driver = run.get();
        }
      }
    } else {
      for (auto& run : runs) {
        if (eligible(run.get())) {
          driver = run.get();
          break;
        }
      }
    }
  }
  if (driver == nullptr) RaiseSQLError("Internal join optimization error");
  order.push_back(driver);
  while (order.size() < runs.size()) {
    TTableRun* next = nullptr;
    // A table linked to the placed ones comes first, so no level runs as a cross product.
    for (auto& run : runs) {
      if (placed(run.get()) || !eligible(run.get())) continue;
      const bool linked = std::any_of(waiting.begin(), waiting.end(), [&](const TPart* part) {
        if (!Contains(part->Tables, run.get())) return false;
        return std::all_of(part->Tables.begin(), part->Tables.end(),
                           [&](TTableRun* table) { return table == run.get() || placed(table); });
      });
      if (linked) {
        next = run.get();
        break;
      }
    }
    if (next == nullptr) {
      for (auto& run : runs) {
        if (!placed(run.get()) && eligible(run.get())) {
          next = run.get();
          break;
        }
      }
    }
    if (next == nullptr) RaiseSQLError("Internal join optimization error");
    order.push_back(next);
  }

  Levels_.resize(order.size());
  auto levelOf = [&](const TTableRun* run) {
    return static_cast<std::size_t>(std::find(order.begin(), order.end(), run) - order.begin());
  };
  for (std::size_t i = 0; i < order.size(); ++i) {
    Levels_[i].Run = order[i];
    Levels_[i].Outer = i > 0 && innerOf.count(order[i]) != 0;
  }
  for (const TPart* part : waiting) {
    std::size_t last = 0;
    for (TTableRun* table : part->Tables)
      last = std::max(last, levelOf(table));
    TTableRun* inner = outerJoinOf(*part);
    if (inner != nullptr && Levels_[levelOf(inner)].Outer) {
      const std::size_t innerLevel = levelOf(inner);
      if (Contains(part->Tables, inner) && last == innerLevel) {
        Levels_[innerLevel].Match.push_back(part->Tree);
        continue;
      }
      if (!Contains(part->Tables, inner) && last < innerLevel) {
        Levels_[innerLevel].PreMatch.push_back(part->Tree);
        continue;
      }
    }
    Levels_[last].Where.push_back(part->Tree);
  }
  for (std::size_t i = 1; i < Levels_.size(); ++i)
    ChooseSeek(Levels_[i], i);
}

void TJoinPlan::ChooseSeek(TJoinLevel& step, std::size_t level) {
  const auto& tested = step.Outer ? step.Match : step.Where;
  for (const TExpToken* part : tested) {
    if (part->NodeClass != ncBinary || part->OperatorCode != opEqual) continue;
    for (int side = 0; side < 2; ++side) {
      const TExpToken* column = side == 0 ? part->Left.get() : part->Right.get();
      const TExpToken* value = side == 0 ? part->Right.get() : part->Left.get();
      if (column->NodeClass != ncColumn || column->SourceTable != step.Run->Source ||
          column->FieldNumber < 1 || column->DataType == dtBlob) {
        continue;
      }
      bool earlier = true;
      for (const void* table : TablesOf(*value)) {
        bool found = false;
        for (std::size_t i = 0; i < level && !found; ++i)
          found = Levels_[i].Run->Source == table;
        earlier = earlier && found;
      }
      if (!earlier) continue;
      step.SeekColumn = column;
      step.SeekValue = value;
      return;
    }
  }
}

void TJoinPlan::BuildSeek(TJoinLevel& step) {
  TTableRun& run = *step.Run;
  TDataCursor& cursor = *run.Cursor;
  // Record-number mode, so the records can be visited by number.
  cursor.SetIndex(TDataCursor::kNoIndex);
  std::vector<TRow> keys;
  std::vector<std::int32_t> records;
  TExpTokenPtr value = NewExpToken();
  cursor.First();
  while (cursor.GetNext(run.Record.data()) == VELDOR_NONE) {
    FetchFieldValue(cursor, run.Record.data(),
                    static_cast<std::uint32_t>(step.SeekColumn->FieldNumber), *value);
    keys.emplace_back(1);
    CellFromValue(*value, keys.back().front());
    records.push_back(cursor.CurrentRecordNo());
  }
  std::vector<std::size_t> order(keys.size());
  for (std::size_t i = 0; i < order.size(); ++i)
    order[i] = i;
  TRowComparer comparer({{0, false}}, Context_, false);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return comparer.Less(keys[a], keys[b]); });
  step.SeekKeys.clear();
  step.SeekRecords.clear();
  for (std::size_t i : order) {
    step.SeekKeys.push_back(std::move(keys[i]));
    step.SeekRecords.push_back(records[i]);
  }
  step.SeekBuilt = true;
}

bool TJoinPlan::AllTrue(const std::vector<const TExpToken*>& parts) const {
  for (const TExpToken* part : parts) {
    if (!EvaluateCondition(*part, Context_)) return false;
  }
  return true;
}

bool TJoinPlan::Run(const std::function<TRowAction()>& onRow, TProgressReport& progress) {
  if (Levels_.empty()) return true;
  OnRow_ = &onRow;
  Progress_ = &progress;
  for (TJoinLevel& step : Levels_)
    step.SeekBuilt = false;
  DriverTotal_ = Levels_.front().Run->Cursor->RecordCount();
  DriverDone_ = 0;
  const TRowAction action = RunLevel(0);
  return action != TRowAction::Stop && !progress.Aborted();
}

TRowAction TJoinPlan::RunLevel(std::size_t level) {
  TJoinLevel& step = Levels_[level];
  TTableRun& run = *step.Run;
  TDataCursor& cursor = *run.Cursor;
  const bool last = level + 1 == Levels_.size();
  auto descend = [&]() { return last ? (*OnRow_)() : RunLevel(level + 1); };
  bool matched = false;
  run.NullRow = false;
  // The body of the loop over the level's records; false when the level must return.
  TRowAction result = TRowAction::Continue;
  auto visit = [&]() {
    if (level == 0 && !Progress_->Report(++DriverDone_, DriverTotal_)) {
      result = TRowAction::Stop;
      return false;
    }
    if (!AllTrue(step.Match)) return true;
    matched = true;
    if (!AllTrue(step.Where)) return true;
    const TRowAction action = descend();
    if (action == TRowAction::Stop || (action == TRowAction::NextDriverRow && level > 0)) {
      result = action;
      return false;
    }
    return true;
  };
  if (!step.Outer || AllTrue(step.PreMatch)) {
    if (step.SeekColumn != nullptr) {
      if (!step.SeekBuilt) BuildSeek(step);
      TExpTokenPtr probe = Evaluate(*step.SeekValue, Context_);
      bool usable = true;
      if (!probe->IsNull && probe->DataType != dtNull &&
          probe->DataType != step.SeekColumn->DataType) {
        usable = ConvertValue(*probe, step.SeekColumn->DataType, step.SeekColumn->SubType, 0,
                              step.SeekColumn->Scale);
      }
      if (usable) {
        TRow key(1);
        CellFromValue(*probe, key.front());
        TRowComparer comparer({{0, false}}, Context_, false);
        auto low =
            std::lower_bound(step.SeekKeys.begin(), step.SeekKeys.end(), key,
                             [&](const TRow& a, const TRow& b) { return comparer.Less(a, b); });
        for (auto it = low; it != step.SeekKeys.end() && comparer.Compare(*it, key) == 0; ++it) {
          const std::int32_t recordNo =
              step.SeekRecords[static_cast<std::size_t>(it - step.SeekKeys.begin())];
          if (cursor.GoToRecordSlot(recordNo) != VELDOR_NONE ||
              cursor.CurrentRecordNo() != recordNo ||
              cursor.GetCurrent(run.Record.data()) != VELDOR_NONE) {
            continue;
          }
          if (!visit()) return result;
        }
      }
    } else {
      cursor.First();
      while (cursor.GetNext(run.Record.data()) == VELDOR_NONE) {
        if (!visit()) return result;
      }
    }
  }
  if (step.Outer && !matched) {
    // No record matches: one row of NULLs for this table.
    run.NullRow = true;
    TRowAction action = TRowAction::Continue;
    if (AllTrue(step.Where)) action = descend();
    run.NullRow = false;
    if (action == TRowAction::Stop) return action;
    if (action == TRowAction::NextDriverRow && level > 0) return action;
  }
  return TRowAction::Continue;
}

}  // namespace zorvic::engine

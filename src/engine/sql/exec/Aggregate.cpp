#include "engine/sql/exec/Aggregate.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "engine/storage/EngineError.h"

namespace zorvic::engine {
namespace {

bool IsAggregate(const TExpToken& node) {
  return node.NodeClass == ncFunction && node.OperatorCode >= opSum && node.OperatorCode <= opAvg;
}

bool IsCountAll(const TExpToken& argument) {
  return argument.NodeClass == ncColumn && argument.ColumnName == "*";
}

// The type an aggregate's value has in a result.
void AggregateType(TOperatorCode code, const TExpToken& argument, TDataType& type,
                   TSubType& subType, std::int32_t& size, std::int32_t& scale) {
  type = argument.DataType;
  subType = argument.SubType == stAutoInc ? stNone : argument.SubType;
  size = argument.Size;
  scale = argument.Scale;
  const bool integral =
      type == dtSmallInt || type == dtWord || type == dtInteger || type == dtLargeInt;
  switch (code) {
    case opSum:
    case opRunSum:
      if (type == dtSmallInt || type == dtWord)
        type = dtInteger;
      else if (type == dtInteger)
        type = dtLargeInt;
      break;
    case opAvg:
      if (integral) type = dtFloat;
      break;
    case opCount:
      type = dtInteger;
      subType = stNone;
      break;
    default:
      break;
  }
  if (type != argument.DataType) {
    subType = code == opCount ? stNone : (subType == stMoney && type == dtFloat ? stMoney : stNone);
    size = FixedTypeSize(type);
    if (type != dtBCD) scale = 0;
  }
}

// A number of any numeric, date or time type as a double (for AVG).
double NumberOf(const TExpToken& value) {
  switch (value.DataType) {
    case dtSmallInt:
      return value.Scalar<std::int16_t>();
    case dtWord:
      return value.Scalar<std::uint16_t>();
    case dtInteger:
    case dtDate:
    case dtTime:
      return value.Scalar<std::int32_t>();
    case dtLargeInt:
      return static_cast<double>(value.Scalar<std::int64_t>());
    case dtFloat:
    case dtTimeStamp:
      return value.Scalar<double>();
    default: {
      TExpTokenPtr copy = NewExpToken();
      AssignValue(*copy, value);
      ConvertValue(*copy, dtFloat, stNone, 8, 0);
      return copy->Scalar<double>();
    }
  }
}

bool SameTree(const TExpToken& a, const TExpToken& b) {
  if (a.NodeClass != b.NodeClass || a.OperatorCode != b.OperatorCode) return false;
  if (a.NodeClass == ncColumn) {
    if (a.ColumnName == "*" || b.ColumnName == "*") return a.ColumnName == b.ColumnName;
    return a.SourceTable == b.SourceTable && a.FieldNumber == b.FieldNumber;
  }
  if (a.NodeClass == ncConstant) return a.DataType == b.DataType && a.Text == b.Text;
  if (a.NodeClass == ncSubSelect) return a.SubSelect == b.SubSelect;
  if (!a.Left != !b.Left || !a.Right != !b.Right) return false;
  if (a.Arguments.size() != b.Arguments.size()) return false;
  if (a.Left && !SameTree(*a.Left, *b.Left)) return false;
  if (a.Right && !SameTree(*a.Right, *b.Right)) return false;
  for (std::size_t i = 0; i < a.Arguments.size(); ++i) {
    if (!SameTree(*a.Arguments[i], *b.Arguments[i])) return false;
  }
  return true;
}

// Visits the aggregate nodes of a tree, outside-in; aggregates are never nested.
void ForEachAggregate(TExpToken& node, const std::function<void(TExpToken&)>& visit) {
  if (IsAggregate(node)) {
    visit(node);
    return;
  }
  if (node.Left) ForEachAggregate(*node.Left, visit);
  if (node.Right) ForEachAggregate(*node.Right, visit);
  for (auto& argument : node.Arguments)
    ForEachAggregate(*argument, visit);
}

// Reads a group's values for HAVING: result columns by their TResultField handle.
class THavingValues : public TValueFetcher {
 public:
  THavingValues(const TDataQuery& block, TValueFetcher* outer) : Block_(block), Outer_(outer) {}
  void SetRow(const TRow* row) { Row_ = row; }
  void FetchColumn(const TExpToken& column, TExpToken& out) override {
    for (std::size_t i = 0; i < Block_.ResultFields.size(); ++i) {
      if (Block_.ResultFields[i].get() == column.SourceTable) {
        ValueFromCell((*Row_)[i], out);
        return;
      }
    }
    RaiseSQLError("Internal error: Column '" + column.ColumnName + "' specified illegally");
  }
  bool SubSelectContains(TDataQuery* subSelect, const TExpToken& value) override {
    return Outer_ != nullptr ? Outer_->SubSelectContains(subSelect, value)
                             : TValueFetcher::SubSelectContains(subSelect, value);
  }

 private:
  const TDataQuery& Block_;
  TValueFetcher* Outer_;
  const TRow* Row_ = nullptr;
};

}  // namespace

// One aggregate of the select list.
struct TAggregator::TSlot {
  TOperatorCode Code = opNone;
  TExpTokenPtr Argument;          // evaluated per row (null for COUNT(*))
  TExpToken* Constant = nullptr;  // the node of the field's copy that receives the value
  TDataType Type = dtNull;
  TSubType SubType = stNone;
  std::int32_t Size = 0;
  std::int32_t Scale = 0;
  TExpTokenPtr Add;  // acc + value, for SUM and RUNSUM
};

struct TAggregator::TField {
  TExpTokenPtr Tree;  // the item with its aggregates replaced by constants
  bool HasAggregate = false;
  bool BareAggregate = false;  // the item is one aggregate
  std::size_t FirstSlot = 0;
};

struct TAggregator::TGroup {
  TRow First;  // the non-aggregate values of the group's first row
  struct TAccumulator {
    bool Has = false;
    TCell Value;
    double Sum = 0;
    std::int64_t Count = 0;
  };
  std::vector<TAccumulator> Accumulators;
  std::int64_t Rows = 0;
};

class TAggregator::TKeyLess {
 public:
  TKeyLess(std::size_t columns, const TEvalContext& context)
      : Comparer_(TRowComparer::AllColumns(columns), context, false) {}
  bool operator()(const TRow& a, const TRow& b) const { return Comparer_.Less(a, b); }

 private:
  TRowComparer Comparer_;
};

TAggregator::TAggregator(TDataQuery& block, const TEvalContext& context)
    : Block_(block), Context_(context), Value_(NewExpToken()) {
  for (const auto& result : block.ResultFields) {
    TField field;
    field.Tree = CopyExpTree(*result->Expression);
    field.FirstSlot = Slots_.size();
    field.BareAggregate = IsAggregate(*field.Tree);
    ForEachAggregate(*field.Tree, [&](TExpToken& node) {
      auto slot = std::make_unique<TSlot>();
      slot->Code = node.OperatorCode;
      TExpTokenPtr argument;
      if (!node.Arguments.empty()) argument = std::move(node.Arguments.front());
      node.Arguments.clear();
      if (argument && !IsCountAll(*argument)) {
        AggregateType(node.OperatorCode, *argument, slot->Type, slot->SubType, slot->Size,
                      slot->Scale);
        slot->Argument = std::move(argument);
      } else {
        slot->Type = dtInteger;
        slot->Size = FixedTypeSize(dtInteger);
      }
      if (slot->Code == opSum || slot->Code == opRunSum) {
        slot->Add = NewExpToken();
        slot->Add->NodeClass = ncBinary;
        slot->Add->OperatorCode = opAdd;
        slot->Add->Text = "+";
        slot->Add->DataType = slot->Type;
        slot->Add->SubType = slot->SubType;
        slot->Add->Size = slot->Size;
        slot->Add->Scale = slot->Scale;
        slot->Add->Left = NewExpToken();
        slot->Add->Left->NodeClass = ncConstant;
        slot->Add->Right = NewExpToken();
        slot->Add->Right->NodeClass = ncConstant;
        slot->Add->Left->Parent = slot->Add.get();
        slot->Add->Right->Parent = slot->Add.get();
      }
      // The aggregate becomes a constant that holds the group's value when the item is
      // evaluated.
      node.NodeClass = ncConstant;
      node.OperatorCode = opNone;
      node.DataType = slot->Type;
      node.SubType = slot->SubType;
      node.Size = slot->Size;
      node.Scale = slot->Scale;
      slot->Constant = &node;
      Slots_.push_back(std::move(slot));
    });
    field.HasAggregate = Slots_.size() > field.FirstSlot;
    Fields_.push_back(std::move(field));
  }
  for (const TGroupByField& item : block.GroupByFields) {
    if (item.ResultIndex >= 0 && !Fields_[static_cast<std::size_t>(item.ResultIndex)].HasAggregate)
      KeyColumns_.push_back(item.ResultIndex);
  }
  KeyLess_ = std::make_unique<TKeyLess>(KeyColumns_.size(), Context_);
  TKeyLess* less = KeyLess_.get();
  Index_ = decltype(Index_)([less](const TRow& a, const TRow& b) { return (*less)(a, b); });
  HashKeys_ = !KeyColumns_.empty() && IsBinaryCollation(Context_);

  if (block.Having) {
    // HAVING names result columns; its aggregates are those of the select list.
    Having_ = CopyExpTree(*block.Having);
    ForEachAggregate(*Having_, [&](TExpToken& node) {
      for (const auto& result : block.ResultFields) {
        if (result->Aggregate == TAggregateKind::None || !SameTree(node, *result->Expression))
          continue;
        node.Arguments.clear();
        node.NodeClass = ncColumn;
        node.OperatorCode = opNone;
        node.SourceTable = result.get();
        node.FieldNumber = result->Position;
        node.ColumnName = result->ResultName;
        node.DataType = result->DataType;
        node.SubType = result->SubType;
        node.Size = result->Size;
        node.Scale = result->Scale;
        return;
      }
      RaiseSQLError("Expression in HAVING clause not found in source columns");
    });
  }
}

TAggregator::~TAggregator() = default;

bool TAggregator::OrderFree() const {
  if (!IsBinaryCollation(Context_)) return false;
  for (std::size_t i = 0; i < Fields_.size(); ++i) {
    const bool key =
        std::find(KeyColumns_.begin(), KeyColumns_.end(), static_cast<int>(i)) != KeyColumns_.end();
    if (!key && !Fields_[i].BareAggregate) return false;
  }
  for (const auto& slot : Slots_) {
    const bool sums = slot->Code == opSum || slot->Code == opRunSum || slot->Code == opAvg;
    const bool floats =
        slot->Type == dtFloat || (slot->Argument && slot->Argument->DataType == dtFloat);
    if (sums && floats) return false;
  }
  return true;
}

void TAggregator::AddRow() {
  TRow key(KeyColumns_.size());
  for (std::size_t i = 0; i < KeyColumns_.size(); ++i) {
    TExpTokenPtr value =
        Evaluate(*Fields_[static_cast<std::size_t>(KeyColumns_[i])].Tree, Context_);
    CellFromValue(*value, key[i]);
  }
  // The key's bytes when every cell is a text or NULL: a length-prefixed text, or a NULL mark.
  bool hashable = HashKeys_;
  if (hashable) {
    HashKey_.clear();
    for (const TCell& cell : key) {
      if (cell.Null) {
        HashKey_.push_back('\0');
        continue;
      }
      if (!IsStringOrMemo(cell.Type, cell.SubType)) {
        hashable = false;
        break;
      }
      const std::size_t length = std::min(cell.Bytes.size(), cell.Bytes.find('\0'));
      HashKey_.push_back('\1');
      HashKey_.append(reinterpret_cast<const char*>(&length), sizeof length);
      HashKey_.append(cell.Bytes, 0, length);
    }
  }
  std::size_t groupIndex = Groups_.size();
  if (hashable) {
    if (const auto hit = Hashed_.find(HashKey_); hit != Hashed_.end()) groupIndex = hit->second;
  }
  if (groupIndex == Groups_.size()) {
    // Not hashed yet: a group of a key that could not be hashed may still hold the row.
    if (const auto found = Index_.find(key); found != Index_.end()) groupIndex = found->second;
    if (hashable && groupIndex != Groups_.size()) Hashed_.emplace(HashKey_, groupIndex);
  }
  TGroup* group;
  if (groupIndex == Groups_.size()) {
    auto created = std::make_unique<TGroup>();
    created->First.resize(Fields_.size());
    created->Accumulators.resize(Slots_.size());
    for (std::size_t i = 0; i < Fields_.size(); ++i) {
      if (Fields_[i].HasAggregate) continue;
      TExpTokenPtr value = Evaluate(*Fields_[i].Tree, Context_);
      CellFromValue(*value, created->First[i]);
    }
    group = created.get();
    if (hashable) Hashed_.emplace(HashKey_, Groups_.size());
    Index_.emplace(std::move(key), Groups_.size());
    Groups_.push_back(std::move(created));
  } else {
    group = Groups_[groupIndex].get();
  }
  ++group->Rows;
  for (std::size_t i = 0; i < Slots_.size(); ++i)
    Accumulate(*Slots_[i], *group, i);
}

void TAggregator::Accumulate(TSlot& slot, TGroup& group, std::size_t index) {
  TGroup::TAccumulator& acc = group.Accumulators[index];
  if (!slot.Argument) {
    ++acc.Count;  // COUNT(*)
    return;
  }
  TExpTokenPtr value = Evaluate(*slot.Argument, Context_);
  if (value->IsNull || value->DataType == dtNull) return;
  ++acc.Count;
  switch (slot.Code) {
    case opCount:
      return;
    case opAvg:
      acc.Sum += NumberOf(*value);
      return;
    case opMin:
    case opMax: {
      if (acc.Has) {
        ValueFromCell(acc.Value, *Value_);
        const int order = CompareValues(*value, *Value_, Context_);
        if (slot.Code == opMin ? order >= 0 : order <= 0) return;
      }
      CellFromValue(*value, acc.Value);
      acc.Has = true;
      return;
    }
    default: {  // SUM, RUNSUM
      if (!acc.Has) {
        if (value->DataType != slot.Type) {
          ConvertValue(*value, slot.Type, slot.SubType, slot.Size, slot.Scale);
        }
        CellFromValue(*value, acc.Value);
        acc.Value.Type = slot.Type;
        acc.Value.SubType = slot.SubType;
        acc.Has = true;
        return;
      }
      ValueFromCell(acc.Value, *slot.Add->Left);
      AssignValue(*slot.Add->Right, *value);
      TExpTokenPtr sum = Evaluate(*slot.Add, Context_);
      if (sum->DataType != slot.Type && !sum->IsNull) {
        ConvertValue(*sum, slot.Type, slot.SubType, slot.Size, slot.Scale);
      }
      CellFromValue(*sum, acc.Value);
      return;
    }
  }
}

void TAggregator::FinalValue(const TSlot& slot, const TGroup& group, std::size_t index, bool anyRow,
                             TExpToken& out) {
  const TGroup::TAccumulator& acc = group.Accumulators[index];
  out.DataType = slot.Type;
  out.SubType = slot.SubType;
  out.Size = slot.Size;
  out.Scale = slot.Scale;
  switch (slot.Code) {
    case opCount:
      if (!slot.Argument || anyRow) {
        out.SetScalar<std::int32_t>(static_cast<std::int32_t>(acc.Count));
      } else {
        out.ReserveValue(0);
        out.IsNull = true;
      }
      return;
    case opAvg: {
      const double average = acc.Count == 0 ? 0.0 : acc.Sum / static_cast<double>(acc.Count);
      switch (slot.Type) {
        case dtDate:
        case dtTime:
          out.SetScalar<std::int32_t>(static_cast<std::int32_t>(std::llround(average)));
          return;
        case dtFloat:
        case dtTimeStamp:
          out.SetScalar<double>(average);
          return;
        default:
          out.DataType = dtFloat;
          out.Size = FixedTypeSize(dtFloat);
          out.SetScalar<double>(average);
          ConvertValue(out, slot.Type, slot.SubType, slot.Size, slot.Scale);
          return;
      }
    }
    default:
      if (acc.Has) {
        ValueFromCell(acc.Value, out);
      } else {
        out.ReserveValue(0);
        out.IsNull = true;
      }
      return;
  }
}

TRow TAggregator::GroupRow(TGroup& group, bool anyRow) {
  TRow row(Fields_.size());
  for (std::size_t i = 0; i < Fields_.size(); ++i) {
    TField& field = Fields_[i];
    if (!field.HasAggregate) {
      if (anyRow) {
        row[i] = group.First[i];
      } else {
        TExpTokenPtr value = Evaluate(*field.Tree, Context_);
        CellFromValue(*value, row[i]);
      }
      continue;
    }
    std::size_t end = i + 1 < Fields_.size() ? Fields_[i + 1].FirstSlot : Slots_.size();
    for (std::size_t s = field.FirstSlot; s < end; ++s)
      FinalValue(*Slots_[s], group, s, anyRow, *Slots_[s]->Constant);
    if (field.BareAggregate) {
      CellFromValue(*Slots_[field.FirstSlot]->Constant, row[i]);
    } else {
      TExpTokenPtr value = Evaluate(*field.Tree, Context_);
      CellFromValue(*value, row[i]);
    }
  }
  return row;
}

bool TAggregator::PassesHaving(const TRow& row) {
  if (!Having_) return true;
  THavingValues values(Block_, Context_.Fetcher);
  values.SetRow(&row);
  TEvalContext context = Context_;
  context.Fetcher = &values;
  return EvaluateCondition(*Having_, context);
}

std::vector<TRow> TAggregator::Finish() {
  std::vector<TRow> rows;
  if (Groups_.empty()) {
    if (Block_.HasGroupBy) return rows;
    // One group over no rows.
    TGroup empty;
    empty.First.resize(Fields_.size());
    empty.Accumulators.resize(Slots_.size());
    TRow row = GroupRow(empty, false);
    if (PassesHaving(row)) rows.push_back(std::move(row));
    return rows;
  }
  // Running sums add up the groups in group order.
  std::vector<TGroup::TAccumulator> running(Slots_.size());
  for (const auto& [key, index] : Index_) {
    TGroup& group = *Groups_[index];
    for (std::size_t s = 0; s < Slots_.size(); ++s) {
      TSlot& slot = *Slots_[s];
      if (slot.Code != opRunSum) continue;
      TGroup::TAccumulator& acc = group.Accumulators[s];
      TGroup::TAccumulator& total = running[s];
      if (acc.Has) {
        if (!total.Has) {
          total = acc;
        } else {
          ValueFromCell(total.Value, *slot.Add->Left);
          ValueFromCell(acc.Value, *slot.Add->Right);
          TExpTokenPtr sum = Evaluate(*slot.Add, Context_);
          if (sum->DataType != slot.Type && !sum->IsNull) {
            ConvertValue(*sum, slot.Type, slot.SubType, slot.Size, slot.Scale);
          }
          CellFromValue(*sum, total.Value);
        }
      }
      acc = total;
    }
    TRow row = GroupRow(group, true);
    if (PassesHaving(row)) rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace zorvic::engine

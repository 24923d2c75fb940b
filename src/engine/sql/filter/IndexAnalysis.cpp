// Index analysis of prepared conditions and the answering of their graded parts.
#include "engine/sql/filter/IndexAnalysis.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/EngineLimits.h"
#include "engine/sql/eval/RecordValues.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/FieldDefs.h"
#include "engine/storage/formats/FieldTypes.h"
#include "engine/storage/sessions/DataTable.h"

namespace zorvic::engine::filter {
namespace {

// The column a leaf predicate tests: the column itself or UPPER(column).
struct TSubject {
  const TFieldDesc* Field = nullptr;
  bool Upper = false;
};

bool SubjectOf(TDataCursor& cursor, const TExpToken* node, TSubject& subject) {
  if (!node) return false;
  if (node->NodeClass == ncFunction && node->OperatorCode == opUpper) {
    if (node->Arguments.size() != 1) return false;
    subject.Upper = true;
    node = node->Arguments[0].get();
  }
  if (!node || node->NodeClass != ncColumn || node->FieldNumber < 1) return false;
  subject.Field = cursor.Field(static_cast<std::uint32_t>(node->FieldNumber));
  if (!subject.Field || subject.Field->IsBlob()) return false;
  return !subject.Upper || subject.Field->DataType == ftString;
}

bool IsValue(const TExpToken* node) {
  return node && node->NodeClass == ncConstant && !node->IsParameter;
}

enum class TLeafKind { Equal, NotEqual, AtLeast, AtMost, In, NotIn, Between, NotBetween };

// Writes a constant into the subject field of a zeroed record as the key builder reads it.
// Strings go in as they are (no trimming, no forced case: a bound must keep the constant's
// order). A Float zero is written as -0 for a low bound and +0 for a high one, since both
// compare equal but their keys differ. False: the field's type cannot hold the constant.
bool StoreBound(TDataCursor& cursor, const TFieldDesc& field, const TExpToken& value, bool high,
                std::vector<std::uint8_t>& record) {
  record.assign(cursor.RecordSize(), 0);
  if (field.DataType == ftString) {
    if (value.DataType != dtString) return false;
    std::string_view text = value.StringValue();
    const std::size_t limit = field.PhysSize > 0 ? field.PhysSize - 1u : 0u;
    if (text.size() > limit) text = text.substr(0, limit);
    record[field.FieldOffset] = 1;
    std::memcpy(record.data() + field.FieldOffset + 1, text.data(), text.size());
    return true;
  }
  if (value.DataType != static_cast<TDataType>(field.DataType)) return false;
  if (field.DataType == ftFloat) {
    const double d = value.Scalar<double>();
    if (std::isnan(d)) return false;
    if (d == 0) {
      TExpTokenPtr zero = CopyExpTree(value);
      zero->SetScalar<double>(high ? 0.0 : -0.0);
      return StoreFieldValue(cursor, record.data(), field.FieldNo, *zero);
    }
  }
  return StoreFieldValue(cursor, record.data(), field.FieldNo, value);
}

}  // namespace

TIndexAnalyser::TIndexAnalyser(TDataCursor& cursor, TAnalyserOptions options)
    : FCursor(cursor), FOptions(options) {}

const TNodeGrade* TIndexAnalyser::GradeOf(const TExpToken& node) const {
  auto it = FGrades.find(&node);
  return it == FGrades.end() ? nullptr : &it->second;
}

std::int64_t TIndexAnalyser::TableRecords() {
  if (!FTableRecords) FTableRecords = FCursor.Table().Index().RecordCount();
  return *FTableRecords;
}

std::int64_t TIndexAnalyser::IndexKeys(int slot) {
  // The primary and secondary indexes hold one key per active record: the table's count is
  // theirs, without walking the tree.
  if (slot >= 0 && slot <= MaxSecondaryIndexes) return TableRecords();
  auto it = FIndexKeys.find(slot);
  if (it != FIndexKeys.end()) return it->second;
  const std::int64_t n = FCursor.CountKeyRange(slot, {}, {});
  FIndexKeys[slot] = n;
  return n;
}

TIndexAnalysis TIndexAnalyser::Analyse(const TExpToken& root) {
  const TNodeGrade& g = Analyse(root, 0);
  TIndexAnalysis result;
  result.Grade = g.Grade;
  result.Estimate = g.Estimate;
  result.Answerable = g.Grade > 0 || g.Marked;
  return result;
}

TNodeGrade& TIndexAnalyser::Analyse(const TExpToken& node, int depth) {
  TNodeGrade grade;
  if (depth <= MaxExpressionDepth) {
    if (node.NodeClass == ncBinary && (node.OperatorCode == opAnd || node.OperatorCode == opOr) &&
        node.Left && node.Right) {
      Analyse(*node.Left, depth + 1);
      Analyse(*node.Right, depth + 1);
      Combine(node, grade);
    } else if (node.NodeClass == ncUnary && node.Left &&
               (node.OperatorCode == opNot || node.OperatorCode == opPlusSign)) {
      const TNodeGrade& operand = Analyse(*node.Left, depth + 1);
      if (node.OperatorCode == opPlusSign) {
        grade.Grade = operand.Grade;
        grade.Estimate = operand.Estimate;
        grade.Marked = operand.Marked;
      } else if (operand.Grade == 2) {
        // The complement of a part answered only partly would lose records: only a wholly
        // answered operand is answered.
        grade.Grade = 2;
        grade.Estimate = std::max<std::int64_t>(0, TableRecords() - operand.Estimate);
      } else {
        grade.Estimate = TableRecords();
      }
    } else {
      grade = AnalyseLeaf(node);
    }
  } else {
    grade.Estimate = TableRecords();
  }
  TNodeGrade& stored = FGrades[&node];
  stored = std::move(grade);
  return stored;
}

void TIndexAnalyser::Combine(const TExpToken& node, TNodeGrade& grade) {
  TNodeGrade& left = FGrades[node.Left.get()];
  TNodeGrade& right = FGrades[node.Right.get()];
  // A side that only the selectivity rule turned down is answered after all when the other
  // side is answered wholly: its key range then costs no more than the other's.
  if (FOptions.SelectivityRule) {
    if (left.Marked && left.Grade == 0 && right.Grade == 2) left.Grade = 2;
    if (right.Marked && right.Grade == 0 && left.Grade == 2) right.Grade = 2;
  }
  if (node.OperatorCode == opAnd) {
    grade.Estimate = std::min(left.Estimate, right.Estimate);
    if (left.Grade == 2 && right.Grade == 2)
      grade.Grade = 2;
    else if (left.Grade > 0 || right.Grade > 0)
      grade.Grade = 1;
  } else {
    grade.Estimate = std::max(left.Estimate, right.Estimate);
    if (left.Grade == 2 && right.Grade == 2) grade.Grade = 2;
  }
}

TNodeGrade TIndexAnalyser::AnalyseLeaf(const TExpToken& node) {
  TNodeGrade grade;
  TLeafPlan plan;
  if (!PlanLeaf(node, plan)) {
    grade.Estimate = TableRecords();
    return grade;
  }
  grade.Estimate = EstimateLeaf(plan);
  grade.Grade = 2;
  if (FOptions.SelectivityRule) {
    const std::int64_t limit =
        static_cast<std::int64_t>(0.9 * static_cast<double>(IndexKeys(plan.Slot)));
    if (grade.Estimate > limit) {
      grade.Grade = 0;
      grade.Marked = true;
    }
  }
  grade.Leaf = std::move(plan);
  return grade;
}

bool TIndexAnalyser::PlanLeaf(const TExpToken& node, TLeafPlan& plan) {
  TLeafKind kind;
  const TExpToken* subjectNode = nullptr;
  std::vector<const TExpToken*> values;
  int partial = 0;
  bool prefix = false;
  bool insensitive = false;
  if (node.NodeClass == ncBinary || node.NodeClass == ncPrefixCompare) {
    switch (node.OperatorCode) {
      case opEqual:
        kind = TLeafKind::Equal;
        break;
      case opNotEqual:
        kind = TLeafKind::NotEqual;
        break;
      case opGreater:
      case opGreaterEqual:
        kind = TLeafKind::AtLeast;
        break;
      case opLess:
      case opLessEqual:
        kind = TLeafKind::AtMost;
        break;
      default:
        return false;
    }
    subjectNode = node.Left.get();
    values.push_back(node.Right.get());
    if (node.NodeClass == ncPrefixCompare) {
      if (kind != TLeafKind::Equal && kind != TLeafKind::NotEqual) return false;
      prefix = true;
      partial = std::max(0, node.PrefixLength);
      // Made from LIKE: LIKE's character comparison, which ignores case under language 0.
      const bool fromLike = node.Text == "LIKE" || node.Text == "NOT LIKE";
      insensitive = node.CaseInsensitive || (fromLike && FCursor.Collation().IsBinary());
    }
  } else if (node.NodeClass == ncExtendedPredicate) {
    switch (node.OperatorCode) {
      case opInList:
        kind = TLeafKind::In;
        break;
      case opNotInList:
        kind = TLeafKind::NotIn;
        break;
      case opBetween:
        kind = TLeafKind::Between;
        break;
      case opNotBetween:
        kind = TLeafKind::NotBetween;
        break;
      default:
        return false;
    }
    if (node.Arguments.size() < 2) return false;
    if ((kind == TLeafKind::Between || kind == TLeafKind::NotBetween) && node.Arguments.size() != 3)
      return false;
    subjectNode = node.Arguments[0].get();
    for (std::size_t i = 1; i < node.Arguments.size(); ++i)
      values.push_back(node.Arguments[i].get());
  } else {
    return false;
  }

  TSubject subject;
  if (!SubjectOf(FCursor, subjectNode, subject)) return false;
  const TFieldDesc& field = *subject.Field;
  const bool isString = field.DataType == ftString;
  if (isString && !FOptions.StringsAnswerable) return false;
  if (prefix && !isString) return false;
  bool anyNull = false;
  for (const TExpToken* v : values) {
    if (!IsValue(v)) return false;
    anyNull = anyNull || v->IsNull;
  }
  // NULL constants only in IS [NOT] NULL and in IN lists; UPPER(column) never meets them.
  const bool equality = kind == TLeafKind::Equal || kind == TLeafKind::NotEqual ||
                        kind == TLeafKind::In || kind == TLeafKind::NotIn;
  if (anyNull && (subject.Upper || prefix || !equality)) return false;
  const bool nullTest = (kind == TLeafKind::Equal || kind == TLeafKind::NotEqual) && anyNull;
  // UPPER(column) is served by NOCASE keys; an ordered compare only when the constant is its
  // own upper case (NOCASE keys fold the bound too, which would move it).
  if (subject.Upper && !equality && !prefix) {
    for (const TExpToken* v : values) {
      if (v->DataType != dtString) return false;
      const std::string_view text = v->StringValue();
      if (FCursor.Collation().Upper(text) != text) return false;
    }
  }
  int noCase = -1;  // required NOCASE setting of the index: -1 any
  if (subject.Upper)
    noCase = 1;
  else if (isString && !nullTest)
    noCase = prefix ? (insensitive ? 1 : 0) : 0;

  TIndexFile& index = FCursor.Table().Index();
  plan.Slot = -1;
  for (int slot = PrimaryIndexSlot; slot <= MaxSecondaryIndexes && plan.Slot < 0; ++slot) {
    if (!index.Header().SlotInUse(slot)) continue;
    const TKeyLayout& layout = index.KeyLayout(slot);
    if (layout.Fields.empty() || layout.Fields[0].Field.FieldNo != field.FieldNo) continue;
    if (noCase >= 0 && layout.NoCase != (noCase == 1)) continue;
    plan.Slot = slot;
  }
  if (plan.Slot < 0) return false;
  // "<" and ">" leave the constant's keys out only where a key holds the value exactly: not
  // for BCD (keys keep four decimals) nor for a String cut to the field's size.
  bool strict = node.NodeClass == ncBinary &&
                (node.OperatorCode == opGreater || node.OperatorCode == opLess) &&
                field.DataType != ftBCD;
  if (strict && isString)
    strict = values[0]->StringValue().size() + 1 <= static_cast<std::size_t>(field.PhysSize);

  auto bound = [&](const TExpToken* v, bool high, TKeyBound::TKind& kindOut,
                   std::vector<std::uint8_t>& record) {
    if (v->IsNull) {
      kindOut = TKeyBound::kNull;
      return true;
    }
    kindOut = TKeyBound::kValue;
    return StoreBound(FCursor, field, *v, high, record);
  };
  auto point = [&](const TExpToken* v) {
    TLeafRange r;
    r.Partial = partial;
    if (!bound(v, false, r.LowKind, r.LowRecord) || !bound(v, true, r.HighKind, r.HighRecord))
      return false;
    plan.Ranges.push_back(std::move(r));
    return true;
  };
  switch (kind) {
    case TLeafKind::Equal:
    case TLeafKind::NotEqual:
    case TLeafKind::In:
    case TLeafKind::NotIn:
      for (const TExpToken* v : values)
        if (!point(v)) return false;
      plan.Negative = kind == TLeafKind::NotEqual || kind == TLeafKind::NotIn;
      return true;
    case TLeafKind::AtLeast: {
      TLeafRange r;
      r.LowExclusive = strict;
      if (!bound(values[0], strict, r.LowKind, r.LowRecord)) return false;
      plan.Ranges.push_back(std::move(r));
      return true;
    }
    case TLeafKind::AtMost: {
      TLeafRange r;
      r.HighExclusive = strict;
      if (!bound(values[0], !strict, r.HighKind, r.HighRecord)) return false;
      plan.Ranges.push_back(std::move(r));
      return true;
    }
    case TLeafKind::Between:
    case TLeafKind::NotBetween: {
      TLeafRange r;
      if (!bound(values[0], false, r.LowKind, r.LowRecord) ||
          !bound(values[1], true, r.HighKind, r.HighRecord))
        return false;
      plan.Ranges.push_back(std::move(r));
      plan.Negative = kind == TLeafKind::NotBetween;
      plan.BetweenEstimate = true;
      return true;
    }
  }
  return false;
}

bool TIndexAnalyser::AtMostOneKey(const TLeafPlan& plan) {
  if (plan.Negative || plan.BetweenEstimate || plan.Ranges.size() != 1) return false;
  const TLeafRange& r = plan.Ranges.front();
  if (r.LowKind != TKeyBound::kValue || r.HighKind != TKeyBound::kValue || r.Partial != 0 ||
      r.LowExclusive || r.HighExclusive || r.LowRecord != r.HighRecord)
    return false;
  const TKeyLayout& layout = FCursor.Table().Index().KeyLayout(plan.Slot);
  return layout.Unique && layout.Fields.size() == 1;
}

std::int64_t TIndexAnalyser::EstimateLeaf(const TLeafPlan& plan) {
  // One value of the only field of a unique index has at most one key. With two records or
  // more the selectivity rule's limit is at least 1, so the estimate 1 grades the leaf as its
  // exact count (0 or 1) would, and the two descents of counting are saved.
  if (AtMostOneKey(plan) && TableRecords() >= 2) return 1;
  std::int64_t matched = 0;
  if (plan.Negative) {
    for (const TLeafRange& r : plan.Ranges)
      matched += FCursor.CountKeyRange(plan.Slot, r.Low(), r.High());
    return std::max<std::int64_t>(0, IndexKeys(plan.Slot) - matched);
  }
  if (plan.BetweenEstimate) {
    const TLeafRange& r = plan.Ranges[0];
    return std::min(FCursor.CountKeyRange(plan.Slot, r.Low(), {}),
                    FCursor.CountKeyRange(plan.Slot, {}, r.High()));
  }
  bool first = true;
  for (const TLeafRange& r : plan.Ranges) {
    const std::int64_t n = FCursor.CountKeyRange(plan.Slot, r.Low(), r.High());
    matched = first ? n : std::min(matched, n);
    first = false;
  }
  return matched;
}

// ---- answering --------------------------------------------------------------------------

std::unique_ptr<TRecordsBitmap> TIndexAnalyser::NewBitmap() {
  return std::make_unique<TRecordsBitmap>(FCursor.Table().Data().PhysicalRecordCount() + 1);
}

void TIndexAnalyser::Answer(const TExpToken& root, TRecordsBitmap& out, const TNodeTest& test) {
  out.ClearAll();
  AnswerNode(root, out, test);
}

void TIndexAnalyser::Complement(const TExpToken& node, const TRecordsBitmap& failing,
                                TRecordsBitmap& out, const TNodeTest& test) {
  const TRecordsBitmap active = FCursor.Table().ActiveRecords();
  out.Or(active);
  std::vector<std::uint8_t> record(FCursor.RecordSize());
  for (std::int64_t n = failing.First(); n != TRecordsBitmap::kNone; n = failing.Next(n)) {
    if (!active.Test(n)) continue;
    FCursor.ReadFilterRecord(static_cast<std::int32_t>(n), record.data());
    if (!test(node, record.data())) out.Clear(n);
  }
}

void TIndexAnalyser::AnswerNode(const TExpToken& node, TRecordsBitmap& out, const TNodeTest& test) {
  const TNodeGrade& grade = FGrades.at(&node);
  if (grade.Leaf) {
    const TLeafPlan& plan = *grade.Leaf;
    if (!plan.Negative) {
      for (const TLeafRange& r : plan.Ranges)
        FCursor.CollectKeyRange(plan.Slot, r.Low(), r.High(), out);
      return;
    }
    std::unique_ptr<TRecordsBitmap> failing = NewBitmap();
    for (const TLeafRange& r : plan.Ranges)
      FCursor.CollectKeyRange(plan.Slot, r.Low(), r.High(), *failing);
    Complement(node, *failing, out, test);
    return;
  }
  if (node.NodeClass == ncUnary) {
    if (node.OperatorCode == opPlusSign) {
      AnswerNode(*node.Left, out, test);
      return;
    }
    std::unique_ptr<TRecordsBitmap> failing = NewBitmap();
    AnswerNode(*node.Left, *failing, test);
    Complement(node, *failing, out, test);
    return;
  }
  const int left = FGrades.at(node.Left.get()).Grade;
  const int right = FGrades.at(node.Right.get()).Grade;
  if (node.OperatorCode == opAnd && (left == 0 || right == 0)) {
    AnswerNode(left > 0 ? *node.Left : *node.Right, out, test);
    return;
  }
  AnswerNode(*node.Left, out, test);
  std::unique_ptr<TRecordsBitmap> other = NewBitmap();
  AnswerNode(*node.Right, *other, test);
  if (node.OperatorCode == opAnd)
    out.And(*other);
  else
    out.Or(*other);
}

}  // namespace zorvic::engine::filter

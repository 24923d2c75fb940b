// Condition preparation: a copy of a condition with its constant operands folded and
// converted, and the prefix compares that a cursor can answer from an index.
//
// Folding never changes a result: a right operand (or list value, bound or pattern) is folded
// only when it holds no column, sub-select, aggregate, auto-increment or text-index
// function, and a folded value is converted to the left operand's type only when the
// conversion is exact (Integer column = 2.5 keeps the Float 2.5, SmallInt column = 100000
// keeps the Integer). Texts compared with dates, times and time stamps are read as those
// types (a date-time text keeps the part its column holds). Parameters are folded with the
// values they hold at preparation, so a statement prepares its conditions after its
// parameters are given.
#include <string>

#include "engine/sql/eval/EvalInternal.h"

namespace zorvic::engine {

namespace eval {

namespace {

bool IsComparison(TOperatorCode op) {
  return op >= opEqual && op <= opLessEqual;
}

// Whether a subtree can be computed once before the records are seen.
bool Foldable(const TExpToken& node) {
  switch (node.NodeClass) {
    case ncColumn:
    case ncSubSelect:
      return false;
    case ncConstant:
      // Parameters too: the copy holds the values they have now.
      return true;
    case ncFunction:
      if (node.OperatorCode >= opSum && node.OperatorCode <= opAvg) return false;
      if (node.OperatorCode == opLastAutoInc || node.OperatorCode == opIdentCurrent ||
          node.OperatorCode == opTextSearch || node.OperatorCode == opTextOccurs) {
        return false;
      }
      break;
    case ncExtendedPredicate:
      if (node.OperatorCode == opInSubSelect || node.OperatorCode == opNotInSubSelect) {
        return false;
      }
      break;
    default:
      break;
  }
  if (node.Left && !Foldable(*node.Left)) return false;
  if (node.Right && !Foldable(*node.Right)) return false;
  for (const TExpTokenPtr& argument : node.Arguments) {
    if (!Foldable(*argument)) return false;
  }
  return true;
}

class TPreparer {
 public:
  TPreparer(bool noPartialCompare, bool caseInsensitive, const TEvalContext& context)
      : NoPartialCompare_(noPartialCompare),
        CaseInsensitive_(caseInsensitive),
        Context_(context),
        Collation_(CollationOf(context)) {}

  void Prepare(TExpToken& node) {
    switch (node.NodeClass) {
      case ncBinary:
        Prepare(*node.Left);
        if (Foldable(*node.Right)) {
          Fold(node.Right, &node);
          if (IsComparison(node.OperatorCode)) ConvertToSubject(*node.Right, *node.Left);
        } else {
          Prepare(*node.Right);
        }
        if (node.OperatorCode == opEqual || node.OperatorCode == opNotEqual) MakeEqualPrefix(node);
        return;
      case ncExtendedPredicate:
        PreparePredicate(node);
        return;
      default:
        if (node.Left) Prepare(*node.Left);
        if (node.Right) Prepare(*node.Right);
        for (TExpTokenPtr& argument : node.Arguments)
          Prepare(*argument);
        return;
    }
  }

 private:
  void PreparePredicate(TExpToken& node) {
    std::vector<TExpTokenPtr>& args = node.Arguments;
    if (args.empty()) return;
    Prepare(*args[0]);
    if (node.OperatorCode == opInSubSelect || node.OperatorCode == opNotInSubSelect) return;
    const bool like = node.OperatorCode == opLike || node.OperatorCode == opNotLike;
    for (std::size_t i = 1; i < args.size(); ++i) {
      if (Foldable(*args[i])) {
        Fold(args[i], &node);
        if (!like) ConvertToSubject(*args[i], *args[0]);
      } else {
        Prepare(*args[i]);
      }
    }
    if (like) MakeLikePrefix(node);
  }

  // Replaces the subtree by a constant holding its value.
  void Fold(TExpTokenPtr& slot, TExpToken* parent) {
    TExpTokenPtr value = EvalNode(*slot, Context_);
    TExpTokenPtr constant = NewExpToken();
    constant->NodeClass = ncConstant;
    constant->Text = slot->Text;
    CopyValue(*value, *constant);
    if (constant->IsNull && constant->DataType == dtNull) constant->SetNullValue();
    constant->Parent = parent;
    slot = std::move(constant);
  }

  // Converts a folded constant to the type of the operand it is compared with, when that
  // loses nothing.
  void ConvertToSubject(TExpToken& constant, const TExpToken& subject) {
    if (constant.IsNull || constant.NodeClass != ncConstant) return;
    const TDataType target = subject.DataType;
    if (target == dtNull || subject.IsParameter) return;
    if (target == constant.DataType && (target != dtBCD || constant.Scale == subject.Scale)) {
      return;
    }
    if (IsStringOrMemo(target, subject.SubType) || target == dtBlob || target == dtBytes) return;
    const bool text = IsTextValue(constant);
    // Texts are read only as dates, times and time stamps.
    if (text && !IsDateTimeType(target)) return;
    TExpTokenPtr converted = NewExpToken();
    CopyValue(constant, *converted);
    if (!ConvertInto(*converted, target, subject.SubType, subject.Size, subject.Scale, nullptr)) {
      return;
    }
    if (converted->IsNull) return;
    if (!text && CompareNonNull(*converted, constant, Collation_, false) != 0) return;
    CopyValue(*converted, constant);
  }

  static bool IsStringConstant(const TExpToken& node) {
    return node.NodeClass == ncConstant && !node.IsNull && node.DataType == dtString;
  }

  // "=" / "<>" against a text: a prefix compare for a text ending in "*" (when partial
  // compares are allowed), a case-insensitive compare when asked.
  void MakeEqualPrefix(TExpToken& node) {
    if (!IsStringConstant(*node.Right)) return;
    if (!IsStringOrMemo(node.Left->DataType, node.Left->SubType)) return;
    const std::string text(node.Right->StringValue());
    if (!NoPartialCompare_ && text.size() > 1 && text.back() == '*') {
      node.Right->SetStringConstant(std::string_view(text).substr(0, text.size() - 1));
      node.NodeClass = ncPrefixCompare;
      node.PrefixLength = static_cast<std::int32_t>(text.size() - 1);
      node.CaseInsensitive = CaseInsensitive_;
    } else if (CaseInsensitive_) {
      node.NodeClass = ncPrefixCompare;
      node.PrefixLength = 0;
      node.CaseInsensitive = true;
    }
  }

  // LIKE 'text%' (no "_", one "%" at the end, longer than "%"): a prefix compare that keeps
  // LIKE's character comparison, so it ignores case under language 0 like every LIKE.
  void MakeLikePrefix(TExpToken& node) {
    if (node.Arguments.size() != 2 || !IsStringConstant(*node.Arguments[1])) return;
    const std::string pattern(node.Arguments[1]->StringValue());
    if (pattern.size() < 2 || pattern.back() != '%') return;
    if (pattern.find('_') != std::string::npos) return;
    if (pattern.find('%') != pattern.size() - 1) return;
    const bool negated = node.OperatorCode == opNotLike;
    TExpTokenPtr subject = std::move(node.Arguments[0]);
    TExpTokenPtr prefix = std::move(node.Arguments[1]);
    node.Arguments.clear();
    prefix->SetStringConstant(std::string_view(pattern).substr(0, pattern.size() - 1));
    node.NodeClass = ncPrefixCompare;
    node.OperatorCode = negated ? opNotEqual : opEqual;
    node.Text = negated ? "NOT LIKE" : "LIKE";
    node.PrefixLength = static_cast<std::int32_t>(pattern.size() - 1);
    node.CaseInsensitive = Collation_.IsBinary();
    node.Left = std::move(subject);
    node.Right = std::move(prefix);
    UpdateHeight(node);
  }

  bool NoPartialCompare_;
  bool CaseInsensitive_;
  const TEvalContext& Context_;
  const TCollation& Collation_;
};

}  // namespace

}  // namespace eval

TExpTokenPtr PrepareCondition(const TExpToken& tree, bool noPartialCompare, bool caseInsensitive,
                              const TEvalContext& context) {
  TExpTokenPtr copy = CopyExpTree(tree);
  eval::TPreparer preparer(noPartialCompare, caseInsensitive, context);
  preparer.Prepare(*copy);
  return copy;
}

}  // namespace zorvic::engine

// Evaluation of bound trees: leaves, logical operators, comparisons and the extended
// predicates (LIKE, IN, BETWEEN). Arithmetic and functions live in their own files.
#include <string>

#include "engine/sql/eval/EvalInternal.h"
#include "engine/storage/EngineError.h"

namespace zorvic::engine {

bool TValueFetcher::SubSelectContains(TDataQuery*, const TExpToken&) {
  RaiseSQLError("Internal error: IN sub-select specified without a result");
}

std::int64_t TValueFetcher::LastAutoInc(void*) {
  return 0;
}

namespace eval {

bool Truth(const TExpToken& v) {
  if (v.IsNull) return false;
  if (v.DataType == dtBoolean) return v.Scalar<std::int16_t>() != 0;
  const auto n = NumberOf(v);
  return n && n->AsDouble() != 0;
}

bool EvalTruth(const TExpToken& node, const TEvalContext& context) {
  TExpTokenPtr value = EvalNode(node, context);
  return Truth(*value);
}

namespace {

void EvalColumn(const TExpToken& node, const TEvalContext& context, TExpToken& out) {
  if (context.Fetcher != nullptr) {
    context.Fetcher->FetchColumn(node, out);
    if (out.DataType == dtBoolean && !out.IsNull && out.Scalar<std::int16_t>() != 0) {
      out.SetScalar<std::int16_t>(1);
    }
    return;
  }
  if (node.WasString) {
    // A string that binding offered as a column: without records it is the string again.
    SetTextValue(out, node.Text);
    return;
  }
  const std::string& name = node.ColumnName.empty() ? node.Text : node.ColumnName;
  RaiseSQLError("Internal error: Column '" + name + "' specified illegally");
}

void EvalConstant(const TExpToken& node, const TEvalContext& context, TExpToken& out) {
  if (context.Clock != nullptr && ClockValue(node, *context.Clock, out)) return;
  if (node.DataType == dtNull) {
    out.SetNullValue();  // the NULL constant, or a parameter without a value
    return;
  }
  CopyValue(node, out);
  if (node.DataType == dtBoolean && !node.IsNull && node.Scalar<std::int16_t>() != 0) {
    out.SetScalar<std::int16_t>(1);
  }
}

// The text a LIKE subject is matched as.
std::string LikeSubject(const TExpToken& v) {
  return IsTextValue(v) ? std::string(TextOf(v)) : ValueToText(v);
}

bool EvalLike(const TExpToken& node, const TEvalContext& context) {
  TExpTokenPtr subject = EvalNode(*node.Arguments[0], context);
  TExpTokenPtr pattern = EvalNode(*node.Arguments[1], context);
  if (subject->IsNull || pattern->IsNull) return false;
  const std::string_view p = TextOf(*pattern);
  if (p == "%") return true;
  return LikeMatches(CollationOf(context), LikeSubject(*subject), p);
}

bool EvalInList(const TExpToken& node, const TEvalContext& context) {
  TExpTokenPtr subject = EvalNode(*node.Arguments[0], context);
  const TCollation& collation = CollationOf(context);
  for (std::size_t i = 1; i < node.Arguments.size(); ++i) {
    TExpTokenPtr value = EvalNode(*node.Arguments[i], context);
    if (ValuesEqual(*subject, *value, collation)) return true;
  }
  return false;
}

bool EvalInSubSelect(const TExpToken& node, const TEvalContext& context) {
  TExpTokenPtr subject = EvalNode(*node.Arguments[0], context);
  TDataQuery* query = node.Arguments.size() > 1 ? node.Arguments[1]->SubSelect : nullptr;
  if (context.Fetcher == nullptr) {
    RaiseSQLError("Internal error: IN sub-select specified without a result");
  }
  return context.Fetcher->SubSelectContains(query, *subject);
}

bool EvalBetween(const TExpToken& node, const TEvalContext& context) {
  TExpTokenPtr subject = EvalNode(*node.Arguments[0], context);
  const TCollation& collation = CollationOf(context);
  TExpTokenPtr low = EvalNode(*node.Arguments[1], context);
  if (!CompareForOperator(opGreaterEqual, *subject, *low, collation)) return false;
  TExpTokenPtr high = EvalNode(*node.Arguments[2], context);
  return CompareForOperator(opLessEqual, *subject, *high, collation);
}

void EvalExtendedPredicate(const TExpToken& node, const TEvalContext& context, TExpToken& out) {
  bool result = false;
  switch (node.OperatorCode) {
    case opLike:
    case opNotLike:
      result = EvalLike(node, context) == (node.OperatorCode == opLike);
      break;
    case opInList:
    case opNotInList:
      result = EvalInList(node, context) == (node.OperatorCode == opInList);
      break;
    case opInSubSelect:
    case opNotInSubSelect:
      result = EvalInSubSelect(node, context) == (node.OperatorCode == opInSubSelect);
      break;
    case opBetween:
    case opNotBetween:
      result = EvalBetween(node, context) == (node.OperatorCode == opBetween);
      break;
    default:
      break;
  }
  SetBooleanValue(out, result);
}

void EvalBinary(const TExpToken& node, const TEvalContext& context, TExpToken& out) {
  switch (node.OperatorCode) {
    case opAnd:
      // The right operand first: a false one decides without the left.
      SetBooleanValue(out, EvalTruth(*node.Right, context) && EvalTruth(*node.Left, context));
      return;
    case opOr:
      SetBooleanValue(out, EvalTruth(*node.Right, context) || EvalTruth(*node.Left, context));
      return;
    default:
      break;
  }
  TExpTokenPtr left = EvalNode(*node.Left, context);
  TExpTokenPtr right = EvalNode(*node.Right, context);
  if (IsComparisonOperator(node.OperatorCode)) {
    SetBooleanValue(out,
                    CompareForOperator(node.OperatorCode, *left, *right, CollationOf(context)));
    return;
  }
  EvalArithmetic(node, *left, *right, out);
}

void EvalUnary(const TExpToken& node, const TEvalContext& context, TExpToken& out) {
  TExpTokenPtr operand = EvalNode(*node.Left, context);
  if (node.OperatorCode == opNot) {
    // NOT NULL is true.
    SetBooleanValue(out, !Truth(*operand));
    return;
  }
  EvalSign(node, *operand, out);
}

void EvalAggregate(const TExpToken& node, const TEvalContext& context, TExpToken& out) {
  // Aggregates are accumulated by the SELECT executor; on their own they give the value of
  // their argument for the current row (COUNT: 1 for a non-NULL argument or "*", else 0).
  const TExpToken& argument = *node.Arguments[0];
  if (node.OperatorCode == opCount) {
    if (argument.NodeClass == ncColumn && argument.ColumnName == "*") {
      SetIntegerValue(out, 1);
      return;
    }
    TExpTokenPtr value = EvalNode(argument, context);
    SetIntegerValue(out, value->IsNull ? 0 : 1);
    return;
  }
  EvalInto(argument, context, out);
}

}  // namespace

TExpTokenPtr EvalNode(const TExpToken& node, const TEvalContext& context) {
  TExpTokenPtr out = NewExpToken();
  EvalInto(node, context, *out);
  return out;
}

void EvalInto(const TExpToken& node, const TEvalContext& context, TExpToken& out) {
  switch (node.NodeClass) {
    case ncColumn:
      EvalColumn(node, context, out);
      return;
    case ncConstant:
      EvalConstant(node, context, out);
      return;
    case ncUnary:
      EvalUnary(node, context, out);
      return;
    case ncBinary:
      EvalBinary(node, context, out);
      return;
    case ncPrefixCompare: {
      TExpTokenPtr subject = EvalNode(*node.Left, context);
      TExpTokenPtr prefix = EvalNode(*node.Right, context);
      SetBooleanValue(out, PrefixCompare(node, *subject, *prefix, CollationOf(context)));
      return;
    }
    case ncExtendedPredicate:
      EvalExtendedPredicate(node, context, out);
      return;
    case ncFunction:
      if (node.OperatorCode >= opSum && node.OperatorCode <= opAvg) {
        EvalAggregate(node, context, out);
      } else {
        EvalFunction(node, context, out);
      }
      return;
    default:
      out.SetNullValue();
      return;
  }
}

}  // namespace eval

TExpTokenPtr Evaluate(const TExpToken& tree, const TEvalContext& context) {
  return eval::EvalNode(tree, context);
}

bool EvaluateCondition(const TExpToken& tree, const TEvalContext& context) {
  TExpTokenPtr value = eval::EvalNode(tree, context);
  return value->DataType == dtBoolean && !value->IsNull && value->Scalar<std::int16_t>() != 0;
}

}  // namespace zorvic::engine

// Conditions compiled for testing records: see RecordCondition.h.
#include "engine/sql/eval/RecordCondition.h"

#include <cstring>

#include "engine/EngineLimits.h"
#include "engine/sql/eval/EvalInternal.h"
#include "engine/sql/eval/RecordValues.h"
#include "engine/storage/cursors/DataCursor.h"

namespace zorvic::engine {
namespace {

// "c < k" is "k > c": the operator seen from the other operand.
TOperatorCode Mirrored(TOperatorCode op) {
  switch (op) {
    case opLess:
      return opGreater;
    case opLessEqual:
      return opGreaterEqual;
    case opGreater:
      return opLess;
    case opGreaterEqual:
      return opLessEqual;
    default:
      return op;
  }
}

}  // namespace

TRecordCondition::TRecordCondition(TDataCursor& cursor, const TEvalContext& context)
    : FCursor(cursor), FContext(context), FCollation(&eval::CollationOf(context)) {}

std::unique_ptr<TRecordCondition> TRecordCondition::Compile(const TExpToken& tree,
                                                            TDataCursor& cursor,
                                                            const TEvalContext& context) {
  std::unique_ptr<TRecordCondition> compiled(new TRecordCondition(cursor, context));
  compiled->FRoot = compiled->Add(tree, 0);
  bool any = false;
  for (const TStep& step : compiled->FSteps)
    any = any || step.Kind == TKind::Text || step.Kind == TKind::Value;
  // A root evaluated as a whole would only add a step; its truth is not EvaluateCondition's.
  if (!any || compiled->FSteps[static_cast<std::size_t>(compiled->FRoot)].Kind == TKind::Tree)
    return nullptr;
  return compiled;
}

int TRecordCondition::Add(const TExpToken& node, int depth) {
  TStep step;
  step.Node = &node;
  if (depth < MaxExpressionDepth) {
    if (node.NodeClass == ncBinary && (node.OperatorCode == opAnd || node.OperatorCode == opOr) &&
        node.Left && node.Right) {
      step.Kind = node.OperatorCode == opAnd ? TKind::And : TKind::Or;
      step.Left = Add(*node.Left, depth + 1);
      step.Right = Add(*node.Right, depth + 1);
    } else if (node.NodeClass == ncUnary && node.OperatorCode == opNot && node.Left) {
      step.Kind = TKind::Not;
      step.Left = Add(*node.Left, depth + 1);
    } else if (node.NodeClass == ncBinary && eval::IsComparisonOperator(node.OperatorCode)) {
      const int compared = AddComparison(node);
      if (compared >= 0) return compared;
    }
  }
  FSteps.push_back(std::move(step));
  return static_cast<int>(FSteps.size()) - 1;
}

// A comparison of a column of the table (not a BLOB or memo) with a constant; -1 otherwise.
int TRecordCondition::AddComparison(const TExpToken& node) {
  if (!node.Left || !node.Right) return -1;
  const bool columnLeft = node.Left->NodeClass == ncColumn && node.Right->NodeClass == ncConstant;
  const bool columnRight = node.Right->NodeClass == ncColumn && node.Left->NodeClass == ncConstant;
  if (!columnLeft && !columnRight) return -1;
  const TExpToken& column = columnLeft ? *node.Left : *node.Right;
  const TExpToken& constant = columnLeft ? *node.Right : *node.Left;
  if (column.FieldNumber <= 0) return -1;
  const auto fieldNo = static_cast<std::uint32_t>(column.FieldNumber);
  const TFieldDesc* field = FCursor.Field(fieldNo);
  if (field == nullptr || field->IsBlob()) return -1;

  TStep step;
  step.Node = &node;
  step.FieldNo = fieldNo;
  step.Constant = NewExpToken();
  eval::EvalInto(constant, FContext, *step.Constant);
  TExpTokenPtr probe = NewExpToken();
  SetFieldValueType(*field, *probe);
  if (field->DataType == ftString && !field->IsAutoInc() && eval::IsTextValue(*probe) &&
      eval::IsTextValue(*step.Constant) && !step.Constant->IsNull) {
    // Text against text: the collation's order of the two texts, a NULL field ordering as
    // the empty text and equal to nothing.
    step.Kind = TKind::Text;
    step.Op = columnLeft ? node.OperatorCode : Mirrored(node.OperatorCode);
    step.Offset = field->FieldOffset;
    step.TextLimit = field->PhysSize;
  } else {
    // Anything else: the evaluator's comparison of the two values, in the tree's order.
    step.Kind = TKind::Value;
    step.Op = node.OperatorCode;
    step.Left = columnLeft ? 0 : 1;  // which operand the column is
    step.Column = std::move(probe);
  }
  FSteps.push_back(std::move(step));
  return static_cast<int>(FSteps.size()) - 1;
}

bool TRecordCondition::Matches(const std::uint8_t* record) {
  return Test(FRoot, record);
}

bool TRecordCondition::Test(int index, const std::uint8_t* record) {
  TStep& step = FSteps[static_cast<std::size_t>(index)];
  switch (step.Kind) {
    case TKind::And:
      // The evaluator's order: the right operand first, the left only when it is true.
      return Test(step.Right, record) && Test(step.Left, record);
    case TKind::Or:
      return Test(step.Right, record) || Test(step.Left, record);
    case TKind::Not:
      return !Test(step.Left, record);
    case TKind::Text: {
      const std::uint8_t* flag = record + step.Offset;
      if (*flag == 0) {
        if (step.Op == opEqual) return false;
        if (step.Op == opNotEqual) return true;
        return eval::OrderHolds(step.Op, eval::CompareText(*FCollation, std::string_view(),
                                                           eval::TextOf(*step.Constant), false));
      }
      const auto* text = reinterpret_cast<const char*>(flag + 1);
      const std::string_view value(text, strnlen(text, step.TextLimit));
      return eval::OrderHolds(
          step.Op, eval::CompareText(*FCollation, value, eval::TextOf(*step.Constant), false));
    }
    case TKind::Value: {
      TExpToken& column = *step.Column;
      FetchFieldValue(FCursor, const_cast<std::uint8_t*>(record), step.FieldNo, column);
      if (column.DataType == dtBoolean && !column.IsNull && column.Scalar<std::int16_t>() != 0)
        column.SetScalar<std::int16_t>(1);
      const TExpToken& constant = *step.Constant;
      return step.Left == 0 ? eval::CompareForOperator(step.Op, column, constant, *FCollation)
                            : eval::CompareForOperator(step.Op, constant, column, *FCollation);
    }
    case TKind::Tree:
      break;
  }
  return eval::EvalTruth(*step.Node, FContext);
}

}  // namespace zorvic::engine

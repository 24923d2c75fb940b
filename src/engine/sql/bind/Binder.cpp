#include "engine/sql/bind/Binder.h"

#include <algorithm>
#include <limits>

#include "engine/EngineLimits.h"
#include "engine/sql/bind/BinderInternal.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine {

TSubSelectShape ColumnResolver::DescribeSubSelect(TDataQuery* /*query*/) {
  return {};
}

void* ColumnResolver::AddAutoIncTable(std::string_view /*tableName*/) {
  return nullptr;
}

namespace detail {

namespace {

bool IsComparison(TOperatorCode code) {
  return code >= opEqual && code <= opLessEqual;
}

bool IsMemo(const TExpToken& node) {
  return IsMemoType(node.DataType, node.SubType);
}
bool IsStringOrMemo(const TExpToken& node) {
  return engine::IsStringOrMemo(node.DataType, node.SubType);
}
bool IsNonMemoBlob(const TExpToken& node) {
  return node.DataType == dtBlob && !IsMemo(node);
}

// Operand compatibility of the binary operators. A type-0 left side (the NULL constant) is
// accepted with anything; so are untyped parameters on either side.
bool BinaryCompatible(TOperatorCode op, const TExpToken& left, const TExpToken& right) {
  if (IsUntyped(left) || IsUntyped(right)) return true;
  const TDataType l = left.DataType;
  const TDataType r = right.DataType;
  if (l == dtNull) return true;
  if (r == dtNull) return true;  // every row of the table accepts the NULL constant
  const bool rInteger = IsIntegerType(r);
  const bool rNumeric = IsNumericType(r);
  switch (op) {
    case opEqual:
    case opNotEqual:
      if (l == dtDate || l == dtTimeStamp) return r == dtDate || r == dtTimeStamp;
      if (IsStringOrMemo(left)) return IsStringOrMemo(right);
      if (IsNonMemoBlob(left)) return false;  // only with NULL
      if (l == dtBoolean) return r == dtBoolean;
      if (IsNumericType(l)) return rNumeric;
      if (l == dtBytes || l == dtTime) return r == l;
      return false;
    case opLess:
    case opLessEqual:
    case opGreater:
    case opGreaterEqual:
      if (l == dtDate || l == dtTimeStamp) return r == dtDate || r == dtTimeStamp;
      if (IsStringOrMemo(left)) return IsStringOrMemo(right);
      if (IsNumericType(l)) return rNumeric;
      if (l == dtTime) return r == dtTime;
      return false;
    case opAnd:
    case opOr:
      return l == dtBoolean && r == dtBoolean;
    case opAdd:
      if (IsDateTimeType(l)) return rInteger;
      if (IsStringOrMemo(left)) return IsStringOrMemo(right);
      if (IsIntegerType(l)) return r == dtDate || rNumeric || r == dtTime || r == dtTimeStamp;
      if (l == dtFloat || l == dtBCD) return rNumeric;
      return false;
    case opSubtract:
      if (l == dtDate) return r == dtDate || rInteger;
      if (IsNumericType(l)) return rNumeric;
      if (l == dtTime) return rInteger || r == dtTime;
      if (l == dtTimeStamp) return r == dtDate || rInteger || r == dtTime || r == dtTimeStamp;
      return false;
    case opMultiply:
    case opDivide:
      return IsNumericType(l) && rNumeric;
    default:
      return false;
  }
}

// The numeric result of two numeric operands of +, -, *.
void SetNumericResult(TExpToken& node, const TExpToken& left, const TExpToken& right) {
  const TDataType l = left.DataType;
  const TDataType r = right.DataType;
  if (l == dtFloat || r == dtFloat) {
    SetResultType(node, dtFloat);
  } else if (l == dtBCD || r == dtBCD) {
    SetResultType(node, dtBCD, stNone, BCDSize, std::max(left.Scale, right.Scale));
  } else if (l == dtLargeInt || r == dtLargeInt) {
    SetResultType(node, dtLargeInt);
  } else {
    SetResultType(node, dtInteger);
  }
}

// The result type of an arithmetic operator whose operands passed the compatibility check.
void SetArithmeticResult(TExpToken& node, const TExpToken& left, const TExpToken& right) {
  // An operand of unknown type (NULL constant, parameter) takes the other side's type.
  if (left.DataType == dtNull || IsUntyped(left) || right.DataType == dtNull || IsUntyped(right)) {
    const TExpToken& known = (left.DataType == dtNull || IsUntyped(left)) ? right : left;
    CopyType(node, known);
    if (node.OperatorCode == opDivide && IsIntegerType(node.DataType)) SetResultType(node, dtFloat);
    return;
  }
  const TDataType l = left.DataType;
  const TDataType r = right.DataType;
  switch (node.OperatorCode) {
    case opAdd:
      if (IsStringOrMemo(left)) {
        if (IsMemo(left) || IsMemo(right)) {
          SetResultType(node, dtBlob, stMemo, 0);
        } else {
          SetResultType(node, dtString, stNone, left.Size + right.Size - 1);
        }
        return;
      }
      if (IsDateTimeType(l)) return SetResultType(node, l);
      if (IsDateTimeType(r)) return SetResultType(node, r);
      SetNumericResult(node, left, right);
      break;
    case opSubtract:
      if (l == dtDate) return SetResultType(node, r == dtDate ? dtInteger : dtDate);
      if (l == dtTime) return SetResultType(node, r == dtTime ? dtInteger : dtTime);
      if (l == dtTimeStamp) {
        if (r == dtDate || r == dtTime) return SetResultType(node, dtInteger);
        return SetResultType(node, r == dtTimeStamp ? dtFloat : dtTimeStamp);
      }
      SetNumericResult(node, left, right);
      break;
    case opMultiply:
      SetNumericResult(node, left, right);
      break;
    case opDivide:
      if (l == dtFloat || r == dtFloat || (IsIntegerType(l) && IsIntegerType(r))) {
        SetResultType(node, dtFloat);
      } else {
        SetResultType(node, dtBCD, stNone, BCDSize, std::max(left.Scale, right.Scale));
      }
      break;
    default:
      break;
  }
  // Money keeps its subtype through arithmetic with numbers.
  if (IsNumericType(node.DataType) && (left.SubType == stMoney || right.SubType == stMoney)) {
    node.SubType = stMoney;
  }
}

bool IsFoldableInteger(const TExpToken& node) {
  return node.IsConstant() && !node.IsParameter && !node.IsNull && IsIntegerType(node.DataType);
}

std::int64_t IntegerValue(const TExpToken& node) {
  switch (node.DataType) {
    case dtSmallInt:
      return node.Scalar<std::int16_t>();
    case dtWord:
      return node.Scalar<std::uint16_t>();
    case dtInteger:
      return node.Scalar<std::int32_t>();
    default:
      return node.Scalar<std::int64_t>();
  }
}

// Folds +, - and * of two integer constants into one constant. The arithmetic is done in 128
// bits, so it never overflows; a result too wide for the operator's type widens to LargeInt,
// and past 64 bits to Float.
void FoldIntegerArithmetic(TExpTokenPtr& slot) {
  TExpToken& node = *slot;
  if (!IsFoldableInteger(*node.Left) || !IsFoldableInteger(*node.Right)) return;
  const __int128 a = IntegerValue(*node.Left);
  const __int128 b = IntegerValue(*node.Right);
  __int128 result = 0;
  switch (node.OperatorCode) {
    case opAdd:
      result = a + b;
      break;
    case opSubtract:
      result = a - b;
      break;
    case opMultiply:
      result = a * b;
      break;
    default:
      return;
  }
  TExpTokenPtr constant = NewExpToken();
  constant->NodeClass = ncConstant;
  constant->Text = node.Left->Text + node.Text + node.Right->Text;
  constant->Parent = node.Parent;
  if (node.DataType == dtInteger && result >= std::numeric_limits<std::int32_t>::min() &&
      result <= std::numeric_limits<std::int32_t>::max()) {
    constant->SetIntegerConstant(static_cast<std::int32_t>(result));
  } else if (result >= std::numeric_limits<std::int64_t>::min() &&
             result <= std::numeric_limits<std::int64_t>::max()) {
    constant->SetLargeIntConstant(static_cast<std::int64_t>(result));
  } else {
    constant->SetFloatConstant(static_cast<double>(result));
  }
  slot = std::move(constant);
}

// Negates a numeric constant in place; false when it is no such constant.
bool FoldNegation(TExpToken& operand) {
  if (!operand.IsConstant() || operand.IsParameter || operand.IsNull) return false;
  if (operand.DataType == dtFloat) {
    operand.SetFloatConstant(-operand.Scalar<double>());
    return true;
  }
  if (!IsIntegerType(operand.DataType)) return false;
  const std::int64_t value = IntegerValue(operand);
  if (value == std::numeric_limits<std::int64_t>::min()) {
    operand.SetFloatConstant(-static_cast<double>(value));
  } else if (-value >= std::numeric_limits<std::int32_t>::min() &&
             -value <= std::numeric_limits<std::int32_t>::max()) {
    operand.SetIntegerConstant(static_cast<std::int32_t>(-value));
  } else {
    operand.SetLargeIntConstant(-value);
  }
  return true;
}

bool StandsAloneAsCondition(const TExpToken* parent) {
  return parent == nullptr || parent->OperatorCode == opNot || parent->OperatorCode == opAnd ||
         parent->OperatorCode == opOr;
}

bool IsBooleanRewriteCandidate(const TExpToken& node) {
  if (node.DataType != dtBoolean) return false;
  if (node.NodeClass == ncColumn) return true;
  return node.NodeClass == ncFunction &&
         (node.OperatorCode == opTextSearch || node.OperatorCode == opIf ||
          node.OperatorCode == opIfNull || node.OperatorCode == opCoalesce);
}

}  // namespace

const char* TBinder::KindName(const TExpToken& node) {
  switch (node.NodeClass) {
    case ncColumn:
      return "column";
    case ncConstant:
      return "constant";
    case ncFunction:
      return "function";
    default:
      return "expression";
  }
}

void TBinder::Raise(const std::string& message) const {
  if (Options.ErrorCode == VELDOR_SQLPARSE) RaiseSQLError(message);
  TErrorTexts texts;
  texts.Text = message;
  texts.Table = Options.ErrorTableName;
  RaiseEngineError(Options.ErrorCode, texts);
}

bool TBinder::EqualCompatible(const TExpToken& left, const TExpToken& right) {
  return BinaryCompatible(opEqual, left, right);
}

void TBinder::ResolveColumn(TExpToken& node) {
  if (node.ColumnName == "*") return;
  TColumnInfo info;
  switch (Resolver.ResolveColumn(node.CorrelationName, node.ColumnName, info)) {
    case TResolveResult::Found:
      break;
    case TResolveResult::NotFound:
      RaiseInContext("Invalid column name '" + node.ColumnName + "' or table correlation name '" +
                     node.CorrelationName + "' specified");
    case TResolveResult::Ambiguous:
      RaiseInContext("Ambiguous column name '" + node.ColumnName +
                     "' found in more than one source table");
  }
  node.SourceTable = info.SourceTable;
  node.FieldNumber = info.FieldNumber;
  if (node.CorrelationName.empty()) node.CorrelationName = info.CorrelationName;
  if (!info.ColumnName.empty()) node.ColumnName = info.ColumnName;
  node.DataType = info.DataType;
  node.SubType = info.SubType;
  node.Size = info.Size;
  node.Scale = info.Scale;
}

void TBinder::ConvertDateLiteral(TExpToken& constant, TDataType target) {
  const std::string text(constant.StringValue());
  bool ok = false;
  // A date-time text keeps the part that a Date or Time holds.
  const auto dateTimePart = [&]() -> std::optional<TTimeStampParts> {
    if (text.find(' ') == std::string::npos) return std::nullopt;
    const auto value = ParseTimeStamp(text);
    return value ? SplitTimeStamp(*value) : std::nullopt;
  };
  if (target == dtDate) {
    if (const auto value = ParseDate(text)) {
      constant.SetDateConstant(*value);
      ok = true;
    } else if (const auto parts = dateTimePart()) {
      constant.SetDateConstant(parts->DayNumber);
      ok = true;
    }
  } else if (target == dtTime) {
    if (const auto value = ParseTime(text)) {
      constant.SetTimeConstant(*value);
      ok = true;
    } else if (const auto parts = dateTimePart()) {
      constant.SetTimeConstant(parts->MsOfDay);
      ok = true;
    }
  } else if (const auto value = ParseTimeStamp(text)) {
    constant.SetTimeStampConstant(*value);
    ok = true;
  }
  if (!ok) {
    RaiseInContext("Date, time, or timestamp expression expected, instead found '" + text + "'");
  }
}

// BindNode is the only recursive function of the binder; it keeps a small frame and leaves
// every check to out-of-line helpers that run after the operands are bound.
void TBinder::BindNode(TExpTokenPtr& slot, TExpToken* parent, bool stringToColumn) {
  TExpToken& node = *slot;
  node.Parent = parent;
  switch (node.NodeClass) {
    case ncConstant:
      if (stringToColumn) StringToColumn(node);
      break;
    case ncColumn:
      ResolveColumn(node);
      break;
    case ncUnary:
      BindNode(node.Left, &node, true);
      CheckUnary(slot, parent);
      break;
    case ncBinary:
      BindNode(node.Left, &node, true);
      BindNode(node.Right, &node, true);
      CheckBinary(slot);
      break;
    case ncExtendedPredicate:
      // LIKE patterns, IN values and BETWEEN bounds are never columns by string.
      BindNode(node.Arguments[0], &node, true);
      for (std::size_t i = 1; i < node.Arguments.size(); ++i) {
        if (node.Arguments[i]->NodeClass == ncSubSelect) {
          node.Arguments[i]->Parent = &node;
        } else {
          BindNode(node.Arguments[i], &node, false);
        }
      }
      CheckExtendedPredicate(node);
      break;
    case ncFunction:
      for (std::size_t i = 0; i < node.Arguments.size(); ++i) {
        switch (FunctionArgumentBinding(node.OperatorCode, i)) {
          case TArgumentBinding::Bind:
            BindNode(node.Arguments[i], &node, true);
            break;
          case TArgumentBinding::Literal:
            BindNode(node.Arguments[i], &node, false);
            break;
          case TArgumentBinding::Raw:
            node.Arguments[i]->Parent = &node;
            break;
        }
      }
      CheckFunction(node);
      break;
    default:
      break;
  }
  if (Options.BooleanRewrite && StandsAloneAsCondition(parent) &&
      IsBooleanRewriteCandidate(*slot)) {
    RewriteBoolean(slot, parent);
  }
}

[[gnu::noinline]] void TBinder::StringToColumn(TExpToken& node) {
  // A double-quoted string may name a column of the source tables; a single-quoted string is
  // always text.
  if (!Options.StringToColumn || !node.DoubleQuoted || node.IsParameter ||
      node.DataType != dtString || node.StringValue().empty() || node.Text == "*") {
    return;
  }
  TColumnInfo info;
  if (Resolver.ResolveColumn("", node.Text, info) != TResolveResult::Found) return;
  node.WasString = true;
  node.SavedDataType = node.DataType;
  node.SavedSubType = node.SubType;
  node.SavedSize = node.Size;
  node.SavedScale = node.Scale;
  node.NodeClass = ncColumn;
  node.ColumnName = node.Text.substr(0, MaxExpressionNameLength);
  ResolveColumn(node);
}

[[gnu::noinline]] void TBinder::CheckUnary(TExpTokenPtr& slot, TExpToken* parent) {
  TExpToken& node = *slot;
  TExpToken& operand = *node.Left;
  if (node.OperatorCode == opNot) {
    if (operand.DataType != dtBoolean && !IsUntyped(operand)) {
      RaiseInContext("Type mismatch between '" + node.Text + "' operator and '" + operand.Text +
                     "'");
    }
    SetBooleanResult(node);
    return;
  }
  const TDataType t = operand.DataType;
  const bool accepted = IsUntyped(operand) || t == dtNull || t == dtDate || t == dtSmallInt ||
                        t == dtInteger || t == dtFloat || t == dtBCD || t == dtTime ||
                        t == dtTimeStamp || t == dtLargeInt ||
                        (t == dtWord && node.OperatorCode == opPlusSign);
  if (!accepted) {
    RaiseInContext("Type mismatch between '" + node.Text + "' operator and '" + operand.Text + "'");
  }
  CopyType(node, operand);
  if (node.OperatorCode == opPlusSign || FoldNegation(operand)) {
    // "+x" is x; "-constant" is the negated constant.
    TExpTokenPtr inner = std::move(node.Left);
    inner->Parent = parent;
    slot = std::move(inner);
  }
}

[[gnu::noinline]] void TBinder::CheckBinary(TExpTokenPtr& slot) {
  TExpToken& node = *slot;
  TExpToken& left = *node.Left;
  TExpToken& right = *node.Right;
  // A string constant against a date, time or timestamp is read as one.
  if (left.IsConstant() && !left.IsParameter && left.DataType == dtString &&
      IsDateTimeType(right.DataType)) {
    ConvertDateLiteral(left, right.DataType);
  } else if (right.IsConstant() && !right.IsParameter && right.DataType == dtString &&
             IsDateTimeType(left.DataType)) {
    ConvertDateLiteral(right, left.DataType);
  }
  if (!BinaryCompatible(node.OperatorCode, left, right)) {
    RaiseInContext(std::string("Type mismatch between ") + KindName(left) + " '" + left.Text +
                   "' and " + KindName(right) + " '" + right.Text + "'");
  }
  if (IsComparison(node.OperatorCode) || node.OperatorCode == opAnd || node.OperatorCode == opOr) {
    SetBooleanResult(node);
  } else {
    SetArithmeticResult(node, left, right);
    FoldIntegerArithmetic(slot);
  }
}

[[gnu::noinline]] void TBinder::CheckExtendedPredicate(TExpToken& node) {
  TExpToken& subject = *node.Arguments[0];
  auto mismatch = [&](const TExpToken& operand) {
    RaiseInContext("Type mismatch between " + node.Text + " operator and expression '" +
                   operand.Text + "'");
  };
  if (node.OperatorCode == opLike || node.OperatorCode == opNotLike) {
    const TExpToken& pattern = *node.Arguments[1];
    if (!IsStringOrMemo(subject) && subject.DataType != dtNull && !IsUntyped(subject)) {
      mismatch(subject);
    }
    if (pattern.DataType != dtString && pattern.DataType != dtNull && !IsUntyped(pattern)) {
      mismatch(pattern);
    }
  } else if (node.OperatorCode == opInSubSelect || node.OperatorCode == opNotInSubSelect) {
    TExpToken& subSelect = *node.Arguments[1];
    const TSubSelectShape shape = Resolver.DescribeSubSelect(subSelect.SubSelect);
    if (shape.ColumnCount != 1) RaiseInContext("More than 1 column for sub-select  specified");
    subSelect.DataType = shape.DataType;
    subSelect.SubType = shape.SubType;
    if (shape.DataType != dtNull && !EqualCompatible(subject, subSelect)) mismatch(subject);
  } else {
    // IN list values and BETWEEN bounds: dates are read as dates of the tested expression.
    for (std::size_t i = 1; i < node.Arguments.size(); ++i) {
      TExpToken& value = *node.Arguments[i];
      if (value.IsConstant() && !value.IsParameter && value.DataType == dtString &&
          IsDateTimeType(subject.DataType)) {
        ConvertDateLiteral(value, subject.DataType);
      }
      if (!EqualCompatible(subject, value)) mismatch(value);
    }
  }
  SetBooleanResult(node);
}

[[gnu::noinline]] void TBinder::RewriteBoolean(TExpTokenPtr& slot, TExpToken* parent) {
  // "Flag" alone as a condition means "Flag = TRUE".
  TExpTokenPtr compare = NewExpToken();
  compare->NodeClass = ncBinary;
  compare->OperatorCode = opEqual;
  compare->Text = "=";
  compare->Parent = parent;
  TExpTokenPtr constant = NewExpToken();
  constant->NodeClass = ncConstant;
  constant->Text = "TRUE";
  constant->SetBooleanConstant(true);
  constant->Parent = compare.get();
  slot->Parent = compare.get();
  compare->Left = std::move(slot);
  compare->Right = std::move(constant);
  SetBooleanResult(*compare);
  UpdateHeight(*compare);
  slot = std::move(compare);
}

}  // namespace detail

void Bind(TExpTokenPtr& tree, ColumnResolver& resolver, const TBindOptions& options) {
  if (!tree) return;
  detail::TBinder binder(resolver, options);
  binder.BindNode(tree, nullptr, true);
}

}  // namespace zorvic::engine

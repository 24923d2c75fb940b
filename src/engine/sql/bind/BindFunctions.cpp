// Binding of functions, aggregates and CAST: argument checks and result types.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

#include "engine/EngineLimits.h"
#include "engine/sql/bind/BinderInternal.h"

namespace zorvic::engine::detail {

namespace {

const char* FunctionName(TOperatorCode code) {
  switch (code) {
    case opSum:
      return "SUM";
    case opRunSum:
      return "RUNSUM";
    case opCount:
      return "COUNT";
    case opMin:
      return "MIN";
    case opMax:
      return "MAX";
    case opAvg:
      return "AVG";
    case opUpper:
      return "UPPER";
    case opLower:
      return "LOWER";
    case opLength:
      return "LENGTH";
    case opPos:
      return "POS";
    case opOccurs:
      return "OCCURS";
    case opIf:
      return "IF";
    case opIfNull:
      return "IFNULL";
    case opCoalesce:
      return "COALESCE";
    case opTextSearch:
      return "TEXTSEARCH";
    case opTextOccurs:
      return "TEXTOCCURS";
    case opLastAutoInc:
      return "LASTAUTOINC";
    case opIdentCurrent:
      return "IDENT_CURRENT";
    default:
      return "";
  }
}

bool IsAggregate(TOperatorCode code) {
  return code >= opSum && code <= opAvg;
}

bool IsStringOrMemoNode(const TExpToken& node) {
  return IsStringOrMemo(node.DataType, node.SubType) || IsUntyped(node);
}

bool IsIntegerNode(const TExpToken& node) {
  return IsIntegerType(node.DataType) || IsUntyped(node);
}

bool IsStringConstant(const TExpToken& node) {
  return node.IsConstant() && !node.IsParameter && node.DataType == dtString;
}

// Whether CAST to target accepts a value of the source's type (the NULL constant always casts).
bool CastAccepts(TDataType target, const TExpToken& source) {
  if (IsUntyped(source) || source.DataType == dtNull) return true;
  const TDataType s = source.DataType;
  switch (target) {
    case dtString:
    case dtBlob:
    case dtBytes:
      return true;
    case dtDate:
      return s == dtString || s == dtDate || s == dtTimeStamp || s == dtBytes;
    case dtTime:
      return s == dtString || s == dtTime || s == dtTimeStamp || s == dtBytes;
    case dtTimeStamp:
      return s == dtString || s == dtDate || s == dtTime || s == dtTimeStamp || s == dtBytes;
    case dtBoolean:
      return s == dtString || s == dtBoolean || s == dtSmallInt || s == dtInteger || s == dtBCD ||
             s == dtWord || s == dtLargeInt || s == dtBytes;
    case dtSmallInt:
    case dtWord:
      return s == dtString || s == dtBoolean || IsNumericType(s) || s == dtBytes;
    case dtInteger:
    case dtFloat:
    case dtBCD:
    case dtLargeInt:
      return s == dtString || IsNumericType(s) || s == dtBytes;
    default:
      return false;
  }
}

}  // namespace

void TBinder::CheckCast(TExpToken& node) {
  const TExpToken& source = *node.Arguments[0];
  if (!CastAccepts(node.DataType, source)) {
    RaiseInContext(std::string("Type mismatch between ") + KindName(source) + " '" + source.Text +
                   "' and AS argument");
  }
}

TArgumentBinding FunctionArgumentBinding(TOperatorCode code, std::size_t index) {
  switch (code) {
    case opReplace:  // search and replacement texts
      return index < 2 ? TArgumentBinding::Literal : TArgumentBinding::Bind;
    case opPos:
    case opOccurs:
    case opTrimLeading:
    case opTrimTrailing:
    case opTrimBoth:
      return index == 0 ? TArgumentBinding::Literal : TArgumentBinding::Bind;
    case opRound:
      return index == 1 ? TArgumentBinding::Literal : TArgumentBinding::Bind;
    case opTextSearch:
    case opTextOccurs:
      return index == 0 ? TArgumentBinding::Raw : TArgumentBinding::Bind;
    case opLastAutoInc:
    case opIdentCurrent:
      return TArgumentBinding::Raw;
    default:
      return TArgumentBinding::Bind;
  }
}

[[gnu::noinline]] void TBinder::CheckFunction(TExpToken& node) {
  const TOperatorCode code = node.OperatorCode;
  const std::string name = FunctionName(code);
  std::vector<TExpTokenPtr>& args = node.Arguments;

  if (IsAggregate(code)) {
    TExpToken& argument = *args[0];
    if (code == opCount) {
      SetResultType(node, dtInteger);
      return;
    }
    const TDataType t = argument.DataType;
    if (!(IsNumericType(t) || IsDateTimeType(t))) {
      RaiseInContext(name +
                     " aggregate function must contain a numeric, date, time, or timestamp "
                     "expression");
    }
    CopyType(node, argument);
    return;
  }

  switch (code) {
    case opUpper:
    case opLower:
    case opLength: {
      TExpToken& argument = *args[0];
      if (!IsStringOrMemoNode(argument)) {
        RaiseInContext("Type mismatch between " + name + " function and function argument");
      }
      if (code == opLength) {
        SetResultType(node, dtInteger);
      } else {
        CopyType(node, argument);
      }
      return;
    }
    case opSubstring: {
      TExpToken& text = *args[0];
      if (!IsStringOrMemoNode(text)) {
        RaiseInContext("Expression argument of SUBSTRING function must be a string or memo");
      }
      if (!IsIntegerNode(*args[1])) {
        RaiseInContext("FROM argument of SUBSTRING function must be an integer value");
      }
      if (args.size() > 2 && !IsIntegerNode(*args[2])) {
        RaiseInContext("FOR argument of SUBSTRING function must be an integer value");
      }
      CopyType(node, text);
      return;
    }
    case opReplace: {
      TExpToken& search = *args[0];
      TExpToken& replacement = *args[1];
      TExpToken& text = *args[2];
      if (!IsStringOrMemoNode(text)) {
        RaiseInContext("IN argument of REPLACE function must be a string or memo");
      }
      if (search.DataType != dtString && !IsUntyped(search)) {
        RaiseInContext("Type mismatch between REPLACE function and search string argument");
      }
      if (replacement.DataType != dtString && !IsUntyped(replacement)) {
        RaiseInContext("Type mismatch between OCCURS function and WITH argument");
      }
      CopyType(node, text);
      if (node.DataType == dtString && replacement.Size > search.Size && search.Size > 1) {
        // Every occurrence may grow by the difference of the two lengths.
        const std::int64_t occurrences = (text.Size - 1) / (search.Size - 1);
        const std::int64_t grown =
            text.Size + occurrences * static_cast<std::int64_t>(replacement.Size - search.Size);
        node.Size = static_cast<std::int32_t>(std::min<std::int64_t>(grown, INT32_MAX));
      }
      return;
    }
    case opPos:
    case opOccurs: {
      TExpToken& search = *args[0];
      TExpToken& text = *args[1];
      if (!IsStringOrMemoNode(text)) {
        RaiseInContext("Type mismatch between " + name + " function and IN argument");
      }
      if (search.DataType != dtString && !IsUntyped(search)) {
        RaiseInContext("Type mismatch between " + name + " function and search string argument");
      }
      SetResultType(node, dtInteger);
      return;
    }
    case opTrimLeading:
    case opTrimTrailing:
    case opTrimBoth: {
      TExpToken& character = *args[0];
      TExpToken& text = *args[1];
      if (!IsStringOrMemoNode(text)) {
        RaiseInContext("FROM argument of TRIM function must be a string or memo");
      }
      if (!IsStringConstant(character) || character.Size != 2) {
        RaiseInContext(
            "Trim character argument of TRIM function must be a single character constant");
      }
      CopyType(node, text);
      return;
    }
    case opExtractYear:
    case opExtractMonth:
    case opExtractWeek:
    case opExtractDay:
    case opExtractDayOfWeek:
    case opExtractDayOfYear:
    case opExtractHour:
    case opExtractMinute:
    case opExtractSecond: {
      TExpToken& value = *args[0];
      if (!IsDateTimeType(value.DataType) && !IsUntyped(value)) {
        RaiseInContext("FROM argument of EXTRACT function must be a date, time, or timestamp");
      }
      SetResultType(node, dtInteger);
      return;
    }
    case opCast:
      CheckCast(node);
      return;
    case opAbs: {
      TExpToken& value = *args[0];
      if (!IsNumericType(value.DataType) && !IsUntyped(value)) {
        RaiseInContext(
            "Expression argument of ABS function must be an integer, floating-point, or BCD "
            "type");
      }
      CopyType(node, value);
      return;
    }
    case opRound: {
      TExpToken& value = *args[0];
      if (value.DataType != dtFloat && value.DataType != dtBCD && !IsUntyped(value)) {
        RaiseInContext(
            "Expression argument of ROUND function must be a floating-point or BCD type");
      }
      if (args.size() > 1) {
        TExpToken& places = *args[1];
        if (!places.IsConstant() || places.IsParameter || places.DataType != dtInteger) {
          RaiseInContext("Decimal places argument of ROUND function must be an integer constant");
        }
        const std::int32_t count = places.Scalar<std::int32_t>();
        if (count < 0 || count > MaxRoundPlaces) {
          RaiseInContext(
              "Decimal places argument of ROUND function must be an integer constant between 0 "
              "and " +
              std::to_string(MaxRoundPlaces));
        }
      }
      CopyType(node, value);
      return;
    }
    case opIf:
    case opIfNull:
    case opCoalesce: {
      std::size_t firstValue = 0;
      if (code == opIf) {
        TExpToken& condition = *args[0];
        if (condition.DataType != dtBoolean && !IsUntyped(condition)) {
          RaiseInContext("First expression argument of IF function must be a boolean type");
        }
        firstValue = 1;
      } else if (code == opIfNull) {
        firstValue = 1;
      }
      const TExpToken* typed = nullptr;
      for (std::size_t i = firstValue; i < args.size(); ++i) {
        TExpToken& value = *args[i];
        if (i > firstValue && !EqualCompatible(*args[i - 1], value)) {
          RaiseInContext("Type mismatch between " + name + " expression arguments");
        }
        if (!value.IsNullConstant() && typed == nullptr) typed = &value;
      }
      if (typed == nullptr) {
        Raise("At least one of the " + name + " expression arguments in " + Options.Context +
              " must be a non-NULL value");
      }
      CopyType(node, *typed);
      if (node.DataType == dtString) {
        for (std::size_t i = firstValue; i < args.size(); ++i) {
          if (args[i]->DataType == dtString) node.Size = std::max(node.Size, args[i]->Size);
        }
      }
      return;
    }
    case opTextSearch:
    case opTextOccurs: {
      TExpToken& search = *args[0];
      if (search.NodeClass == ncConstant && !search.IsParameter && search.DataType != dtString) {
        RaiseInContext("Type mismatch between " + name +
                       " function and search text function argument");
      }
      if (!IsStringConstant(search)) {
        RaiseInContext(name + " search text function argument must be a string constant");
      }
      TExpToken& column = *args[1];
      if (column.NodeClass != ncColumn || column.ColumnName == "*") {
        RaiseInContext(name + " function column argument must be a valid column name");
      }
      if (!IsStringOrMemo(column.DataType, column.SubType)) {
        RaiseInContext("Type mismatch between " + name + " function and column function argument");
      }
      node.SourceTable = column.SourceTable;
      if (code == opTextSearch) {
        SetBooleanResult(node);
      } else {
        SetResultType(node, dtInteger);
      }
      return;
    }
    case opLastAutoInc:
    case opIdentCurrent: {
      TExpToken& table = *args[0];
      if (table.NodeClass == ncConstant && !table.IsParameter && table.DataType != dtString &&
          table.DataType != dtNull) {
        RaiseInContext(
            "Type mismatch between LASTAUTOINC function and table name function argument");
      }
      if (!IsStringConstant(table)) {
        RaiseInContext(name + " table name function argument must be a string constant");
      }
      node.SourceTable = Resolver.AddAutoIncTable(table.StringValue());
      SetResultType(node, dtInteger);
      return;
    }
    default:
      return;
  }
}

}  // namespace zorvic::engine::detail

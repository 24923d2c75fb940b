// Functions other than the string functions: CAST, IF, IFNULL, COALESCE, ABS, ROUND,
// EXTRACT, the text-index functions and the auto-increment functions.
#include <cmath>
#include <string>

#include "engine/sql/eval/EvalInternal.h"
#include "engine/sql/eval/TextWords.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine::eval {

namespace {

// The chosen value of IF, IFNULL and COALESCE, converted to the function's type.
void FinishChoice(const TExpToken& node, TExpToken& out) {
  if (out.IsNull) {
    SetTypedNull(out, node.DataType, node.SubType, node.Size, node.Scale);
    return;
  }
  if (node.DataType == dtNull) return;
  const bool same = out.DataType == node.DataType &&
                    (node.DataType != dtBCD || out.Scale == node.Scale) &&
                    (node.DataType != dtString || node.Size <= 0 ||
                     out.StringValue().size() < static_cast<std::size_t>(node.Size));
  if (!same) ConvertValue(out, node.DataType, node.SubType, node.Size, node.Scale);
}

void Abs(const TExpToken& value, TExpToken& out) {
  if (value.IsNull) return CopyValue(value, out);
  switch (value.DataType) {
    case dtFloat:
      return SetFloatValue(out, std::fabs(value.Scalar<double>()), value.SubType);
    case dtBCD: {
      if (value.ValueLength() < kBcdSize) {
        return SetTypedNull(out, dtBCD, stNone, BCDSize, value.Scale);
      }
      TBcd v = LoadBcd(value.ValueData());
      v.SignScale &= 0x7F;
      return SetBcdValue(out, v, BcdScale(v));
    }
    case dtWord:
      return CopyValue(value, out);
    case dtSmallInt: {
      const std::int16_t v = value.Scalar<std::int16_t>();
      if (v == INT16_MIN) return SetIntegerValue(out, -static_cast<std::int64_t>(v));
      CopyValue(value, out);
      out.SetScalar<std::int16_t>(static_cast<std::int16_t>(v < 0 ? -v : v));
      return;
    }
    case dtInteger:
    case dtLargeInt: {
      const std::int64_t v = IntegerOf(value);
      if (v == INT64_MIN) return SetFloatValue(out, -static_cast<double>(v));
      return SetIntegerValue(out, v < 0 ? -v : v, value.DataType == dtLargeInt);
    }
    default:
      return CopyValue(value, out);
  }
}

void Round(const TExpToken& value, std::int64_t places, TExpToken& out) {
  if (value.IsNull) return CopyValue(value, out);
  if (value.DataType == dtFloat) {
    const double x = value.Scalar<double>();
    if (!std::isfinite(x)) return CopyValue(value, out);
    // Rounded as the value's shortest decimal text reads (2.675 to 2 places is 2.68), half
    // away from zero; values in exponent form round through their double.
    const std::string text = FloatToText(x);
    if (text.find_first_of("eE") == std::string::npos) {
      if (const auto bcd = ParseBcdWithScale(text, static_cast<int>(places))) {
        if (const auto rounded = ParseFloat(BcdToText(*bcd))) {
          return SetFloatValue(out, *rounded, value.SubType);
        }
      }
    }
    if (places > 15) return CopyValue(value, out);
    const double factor = std::pow(10.0, static_cast<double>(places));
    const double scaled = x * factor;
    if (!std::isfinite(scaled) || std::fabs(scaled) >= 4.5e15) return CopyValue(value, out);
    return SetFloatValue(out, std::round(scaled) / factor, value.SubType);
  }
  if (value.DataType == dtBCD) {
    const auto n = NumberOf(value);
    const int scale = value.Scale > 0 ? value.Scale : (n ? n->Scale : 0);
    if (!n || places >= 4) return CopyValue(value, out);
    if (n->Kind == TNumber::Bcd) {
      std::int64_t step = 1;
      for (std::int64_t i = places; i < 4; ++i)
        step *= 10;
      std::int64_t q = n->I / step;
      const std::int64_t r = n->I % step;
      if ((r < 0 ? -r : r) * 2 >= step) q += n->I < 0 ? -1 : 1;
      return SetBcdValue(out, BcdFromScaledInt(q * step, scale > 4 ? 4 : scale), scale);
    }
    const double factor = std::pow(10.0, static_cast<double>(places));
    const auto bcd = BcdFromDouble(std::round(n->F * factor) / factor, scale);
    if (!bcd) return CopyValue(value, out);
    return SetBcdValue(out, *bcd, scale);
  }
  CopyValue(value, out);
}

}  // namespace

void EvalFunction(const TExpToken& node, const TEvalContext& context, TExpToken& out) {
  const std::vector<TExpTokenPtr>& args = node.Arguments;
  switch (node.OperatorCode) {
    case opUpper:
    case opLower:
    case opLength:
    case opSubstring:
    case opReplace:
    case opPos:
    case opOccurs:
    case opTrimLeading:
    case opTrimTrailing:
    case opTrimBoth:
      return EvalStringFunction(node, context, out);
    case opExtractYear:
    case opExtractMonth:
    case opExtractWeek:
    case opExtractDay:
    case opExtractDayOfWeek:
    case opExtractDayOfYear:
    case opExtractHour:
    case opExtractMinute:
    case opExtractSecond: {
      TExpTokenPtr value = EvalNode(*args[0], context);
      return EvalExtract(node, *value, out);
    }
    case opCast:
      EvalInto(*args[0], context, out);
      ConvertValue(out, node.DataType, node.SubType, node.Size, node.Scale);
      return;
    case opIf: {
      TExpTokenPtr condition = EvalNode(*args[0], context);
      const bool yes = !condition->IsNull && condition->DataType == dtBoolean &&
                       condition->Scalar<std::int16_t>() != 0;
      EvalInto(*args[yes ? 1 : 2], context, out);
      return FinishChoice(node, out);
    }
    case opIfNull: {
      TExpTokenPtr tested = EvalNode(*args[0], context);
      EvalInto(*args[tested->IsNull ? 1 : 2], context, out);
      return FinishChoice(node, out);
    }
    case opCoalesce:
      for (const TExpTokenPtr& argument : args) {
        EvalInto(*argument, context, out);
        if (!out.IsNull) break;
      }
      return FinishChoice(node, out);
    case opAbs: {
      TExpTokenPtr value = EvalNode(*args[0], context);
      return Abs(*value, out);
    }
    case opRound: {
      TExpTokenPtr value = EvalNode(*args[0], context);
      std::int64_t places = 0;
      if (args.size() > 1) {
        TExpTokenPtr count = EvalNode(*args[1], context);
        places = count->IsNull ? 0 : IntegerOf(*count);
      }
      return Round(*value, places < 0 ? 0 : places, out);
    }
    case opTextSearch:
    case opTextOccurs: {
      const bool all = node.OperatorCode == opTextOccurs;
      std::int32_t count = 0;
      if (context.Fetcher != nullptr && args.size() > 1) {
        // Answered from the column's text of the current record (TextWords.h).
        TExpTokenPtr search = EvalNode(*args[0], context);
        TExpTokenPtr column = EvalNode(*args[1], context);
        if (!column->IsNull && !search->IsNull && IsTextValue(*column)) {
          static const TWordCharacters kDefaultWords;
          count = TextWordMatches(TextOf(*column), TextOf(*search), CollationOf(context),
                                  kDefaultWords, all);
        }
      }
      if (all) return SetIntegerValue(out, count);
      return SetBooleanValue(out, count > 0);
    }
    case opLastAutoInc:
    case opIdentCurrent: {
      const std::int64_t last =
          context.Fetcher != nullptr ? context.Fetcher->LastAutoInc(node.SourceTable) : 0;
      return SetIntegerValue(out, last);
    }
    default:
      out.SetNullValue();
      return;
  }
}

}  // namespace zorvic::engine::eval

// Arithmetic: numbers, string concatenation and date/time arithmetic.
//
// Integers compute in 64 bits (a result that needs more becomes a Float); Floats in doubles;
// BCD values as their value times 10,000 in 64 bits with 128-bit intermediates for "*" and "/"
// (rounded half away from zero), falling back to doubles when a value does not fit. Date +/- n
// adds days, Time +/- n milliseconds (wrapping around midnight), TimeStamp +/- n days.
#include <cmath>

#include "engine/sql/eval/EvalInternal.h"

namespace zorvic::engine::eval {

namespace {

bool IsMoney(const TExpToken& v) {
  return v.DataType == dtFloat && v.SubType == stMoney;
}

// Divides rounding half away from zero.
__int128 DivideRounded(__int128 num, __int128 den) {
  __int128 q = num / den;
  const __int128 r = num % den;
  const __int128 twice = (r < 0 ? -r : r) * 2;
  const __int128 absDen = den < 0 ? -den : den;
  if (twice >= absDen) q += ((num < 0) != (den < 0)) ? -1 : 1;
  return q;
}

bool FitsInt64(__int128 v) {
  return v >= INT64_MIN && v <= INT64_MAX;
}

void SetFloatOrNull(TExpToken& out, double v, TSubType subType) {
  if (std::isnan(v)) {
    SetTypedNull(out, dtFloat, subType, 8);
    return;
  }
  SetFloatValue(out, v, subType);
}

void SetBcdFromDouble(TExpToken& out, double v, int scale) {
  const auto bcd = BcdFromDouble(v, scale);
  if (!bcd) {
    SetTypedNull(out, dtBCD, stNone, BCDSize, scale);
    return;
  }
  SetBcdValue(out, *bcd, scale);
}

void Concatenate(const TExpToken& node, const TExpToken& a, const TExpToken& b, TExpToken& out) {
  const bool memo = IsMemoType(a.DataType, a.SubType) || IsMemoType(b.DataType, b.SubType) ||
                    IsMemoType(node.DataType, node.SubType);
  if (a.IsNull && b.IsNull) {
    SetTypedNull(out, memo ? dtBlob : dtString, memo ? stMemo : stNone);
    return;
  }
  std::string text(TextOf(a));
  text += TextOf(b);
  SetTextValue(out, text, memo);
}

std::int32_t WrapTime(std::int64_t ms) {
  std::int64_t r = ms % kMsPerDay;
  if (r < 0) r += kMsPerDay;
  return static_cast<std::int32_t>(r);
}

void SetDateOrNull(TExpToken& out, std::int64_t day) {
  if (day < 1 || day > kMaxDayNumber) {
    SetTypedNull(out, dtDate, stNone, 4);
    return;
  }
  out.SetDateConstant(static_cast<std::int32_t>(day));
  out.SubType = stNone;
  out.Scale = 0;
}

void SetTimeValue(TExpToken& out, std::int32_t ms) {
  out.SetTimeConstant(ms);
  out.SubType = stNone;
  out.Scale = 0;
}

void SetTimeStampOrNull(TExpToken& out, double ts) {
  if (!SplitTimeStamp(ts)) {
    SetTypedNull(out, dtTimeStamp, stNone, 8);
    return;
  }
  out.SetTimeStampConstant(ts);
  out.SubType = stNone;
  out.Scale = 0;
}

// Date and time arithmetic; false when neither operand is a date, time or time stamp.
bool DateArithmetic(TOperatorCode op, const TExpToken& a, const TExpToken& b, TExpToken& out) {
  const TDataType l = a.DataType;
  const TDataType r = b.DataType;
  if (!IsDateTimeType(l) && !IsDateTimeType(r)) return false;
  const double day = static_cast<double>(kMsPerDay);
  if (op == opAdd) {
    const TExpToken& when = IsDateTimeType(l) ? a : b;
    const TExpToken& count = IsDateTimeType(l) ? b : a;
    const std::int64_t n = IntegerOf(count);
    switch (when.DataType) {
      case dtDate:
        SetDateOrNull(out, static_cast<std::int64_t>(when.Scalar<std::int32_t>()) + n);
        return true;
      case dtTime:
        SetTimeValue(out, WrapTime(static_cast<std::int64_t>(when.Scalar<std::int32_t>()) + n));
        return true;
      default:
        SetTimeStampOrNull(out, when.Scalar<double>() + static_cast<double>(n) * day);
        return true;
    }
  }
  if (op != opSubtract || !IsDateTimeType(l)) return false;
  if (l == dtDate) {
    const std::int64_t d = a.Scalar<std::int32_t>();
    if (r == dtDate) {
      SetIntegerValue(out, d - b.Scalar<std::int32_t>());
    } else if (IsDateTimeType(r)) {
      SetFloatValue(out, TimeStampOf(a) - TimeStampOf(b));
    } else {
      SetDateOrNull(out, d - IntegerOf(b));
    }
    return true;
  }
  if (l == dtTime) {
    const std::int64_t t = a.Scalar<std::int32_t>();
    if (r == dtTime) {
      SetIntegerValue(out, t - b.Scalar<std::int32_t>());
    } else if (IsDateTimeType(r)) {
      SetFloatValue(out, TimeStampOf(a) - TimeStampOf(b));
    } else {
      SetTimeValue(out, WrapTime(t - IntegerOf(b)));
    }
    return true;
  }
  const double ts = a.Scalar<double>();
  switch (r) {
    case dtDate: {
      // Whole days from the date to the time stamp.
      SetIntegerValue(out, static_cast<std::int64_t>(std::trunc((ts - TimeStampOf(b)) / day)));
      return true;
    }
    case dtTime: {
      // Milliseconds from the time to the time stamp's time of day.
      const auto parts = SplitTimeStamp(ts);
      SetIntegerValue(
          out, static_cast<std::int64_t>(parts ? parts->MsOfDay : 0) - b.Scalar<std::int32_t>());
      return true;
    }
    case dtTimeStamp:
      SetFloatValue(out, ts - b.Scalar<double>());
      return true;
    default:
      SetTimeStampOrNull(out, ts - static_cast<double>(IntegerOf(b)) * day);
      return true;
  }
}

void FloatArithmetic(TOperatorCode op, double x, double y, TExpToken& out, TSubType subType) {
  switch (op) {
    case opAdd:
      return SetFloatOrNull(out, x + y, subType);
    case opSubtract:
      return SetFloatOrNull(out, x - y, subType);
    case opMultiply:
      return SetFloatOrNull(out, x * y, subType);
    default:
      if (y == 0) return SetTypedNull(out, dtFloat, subType, 8);
      return SetFloatOrNull(out, x / y, subType);
  }
}

void BcdArithmetic(TOperatorCode op, const TNumber& x, const TNumber& y, int scale,
                   TExpToken& out) {
  const __int128 a =
      x.Kind == TNumber::Bcd ? static_cast<__int128>(x.I) : static_cast<__int128>(x.I) * kBcdFactor;
  const __int128 b =
      y.Kind == TNumber::Bcd ? static_cast<__int128>(y.I) : static_cast<__int128>(y.I) * kBcdFactor;
  __int128 r = 0;
  switch (op) {
    case opAdd:
      r = a + b;
      break;
    case opSubtract:
      r = a - b;
      break;
    case opMultiply:
      r = DivideRounded(a * b, kBcdFactor);
      break;
    default:
      if (b == 0) return SetTypedNull(out, dtBCD, stNone, BCDSize, scale);
      r = DivideRounded(a * kBcdFactor, b);
      break;
  }
  if (!FitsInt64(r) || scale > 4) {
    const double fx = x.AsDouble();
    const double fy = y.AsDouble();
    const double v = op == opAdd        ? fx + fy
                     : op == opSubtract ? fx - fy
                     : op == opMultiply ? fx * fy
                                        : fx / fy;
    return SetBcdFromDouble(out, v, scale);
  }
  SetBcdValue(out, BcdFromScaledInt(static_cast<std::int64_t>(r), scale), scale);
}

void IntegerArithmetic(TOperatorCode op, std::int64_t x, std::int64_t y, bool large,
                       TExpToken& out) {
  std::int64_t r = 0;
  bool overflow = false;
  switch (op) {
    case opAdd:
      overflow = __builtin_add_overflow(x, y, &r);
      break;
    case opSubtract:
      overflow = __builtin_sub_overflow(x, y, &r);
      break;
    case opMultiply:
      overflow = __builtin_mul_overflow(x, y, &r);
      break;
    default:
      if (y == 0) return SetTypedNull(out, dtFloat, stNone, 8);
      return SetFloatValue(out, static_cast<double>(x) / static_cast<double>(y));
  }
  if (overflow) {
    const double fx = static_cast<double>(x);
    const double fy = static_cast<double>(y);
    return SetFloatValue(out, op == opAdd ? fx + fy : op == opSubtract ? fx - fy : fx * fy);
  }
  SetIntegerValue(out, r, large);
}

}  // namespace

void EvalArithmetic(const TExpToken& node, const TExpToken& a, const TExpToken& b, TExpToken& out) {
  const TOperatorCode op = node.OperatorCode;
  if (op == opAdd && (IsTextValue(a) || IsTextValue(b) || IsTextValue(node))) {
    Concatenate(node, a, b, out);
    return;
  }
  if (a.IsNull || b.IsNull) {
    SetTypedNull(out, node.DataType, node.SubType, node.Size, node.Scale);
    return;
  }
  if (DateArithmetic(op, a, b, out)) return;
  const auto x = NumberOf(a);
  const auto y = NumberOf(b);
  if (!x || !y) {
    SetTypedNull(out, node.DataType, node.SubType, node.Size, node.Scale);
    return;
  }
  const TSubType money = IsMoney(a) || IsMoney(b) ? stMoney : stNone;
  if (x->Kind == TNumber::Float || y->Kind == TNumber::Float ||
      (op == opDivide && x->Kind == TNumber::Int && y->Kind == TNumber::Int)) {
    FloatArithmetic(op, x->AsDouble(), y->AsDouble(), out, money);
    return;
  }
  if (x->Kind == TNumber::Bcd || y->Kind == TNumber::Bcd) {
    const int scale =
        std::max(x->Kind == TNumber::Bcd ? x->Scale : 0, y->Kind == TNumber::Bcd ? y->Scale : 0);
    BcdArithmetic(op, *x, *y, std::max<int>(scale, node.DataType == dtBCD ? node.Scale : 0), out);
    return;
  }
  IntegerArithmetic(op, x->I, y->I, a.DataType == dtLargeInt || b.DataType == dtLargeInt, out);
  if (money == stMoney && out.DataType == dtFloat) out.SubType = stMoney;
}

void EvalSign(const TExpToken& node, const TExpToken& a, TExpToken& out) {
  if (node.OperatorCode == opPlusSign || a.IsNull) {
    CopyValue(a, out);
    return;
  }
  switch (a.DataType) {
    case dtFloat:
      SetFloatValue(out, -a.Scalar<double>(), a.SubType);
      return;
    case dtBCD: {
      if (a.ValueLength() < kBcdSize) return SetTypedNull(out, dtBCD, stNone, BCDSize, a.Scale);
      TBcd v = LoadBcd(a.ValueData());
      const auto scaled = BcdToScaledInt(v);
      if (!scaled || *scaled != 0) v.SignScale ^= 0x80;
      SetBcdValue(out, v, BcdScale(v));
      return;
    }
    case dtSmallInt: {
      const std::int64_t v = -IntegerOf(a);
      if (v <= INT16_MAX) {
        out.DataType = dtSmallInt;
        out.SubType = stNone;
        out.Size = 2;
        out.Scale = 0;
        out.SetScalar(static_cast<std::int16_t>(v));
      } else {
        SetIntegerValue(out, v);
      }
      return;
    }
    case dtLargeInt: {
      const std::int64_t v = IntegerOf(a);
      if (v == INT64_MIN) {
        SetFloatValue(out, -static_cast<double>(v));
      } else {
        SetIntegerValue(out, -v, true);
      }
      return;
    }
    case dtTimeStamp:
      SetFloatValue(out, -a.Scalar<double>());
      return;
    default: {
      // Integer, Word, Date and Time negate as integers.
      const std::int64_t v = a.DataType == dtDate || a.DataType == dtTime
                                 ? static_cast<std::int64_t>(a.Scalar<std::int32_t>())
                                 : IntegerOf(a);
      SetIntegerValue(out, -v);
      return;
    }
  }
}

}  // namespace zorvic::engine::eval

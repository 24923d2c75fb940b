// Value cells of evaluation: typed setters and the numeric view of values.
#include <cmath>
#include <cstring>

#include "engine/sql/eval/EvalInternal.h"

namespace zorvic::engine::eval {

void SetTypedNull(TExpToken& out, TDataType type, TSubType subType, std::int32_t size,
                  std::int32_t scale) {
  out.SetNullValue();
  out.DataType = type;
  out.SubType = subType;
  out.Size = size;
  out.Scale = scale;
}

void SetBooleanValue(TExpToken& out, bool value) {
  out.DataType = dtBoolean;
  out.SubType = stNone;
  out.Size = BooleanSize;
  out.Scale = 0;
  out.SetScalar<std::int16_t>(value ? 1 : 0);
}

void SetIntegerValue(TExpToken& out, std::int64_t value, bool large) {
  out.SubType = stNone;
  out.Scale = 0;
  if (!large && value >= INT32_MIN && value <= INT32_MAX) {
    out.DataType = dtInteger;
    out.Size = 4;
    out.SetScalar(static_cast<std::int32_t>(value));
  } else {
    out.DataType = dtLargeInt;
    out.Size = 8;
    out.SetScalar(value);
  }
}

void SetFloatValue(TExpToken& out, double value, TSubType subType) {
  out.DataType = dtFloat;
  out.SubType = subType;
  out.Size = 8;
  out.Scale = 0;
  out.SetScalar(value);
}

void SetBcdValue(TExpToken& out, const TBcd& value, int scale) {
  out.DataType = dtBCD;
  out.SubType = stNone;
  out.Size = BCDSize;
  out.Scale = scale;
  StoreBcd(value, out.ReserveValue(kBcdSize));
  out.IsNull = false;
}

void SetTextValue(TExpToken& out, std::string_view text, bool memo) {
  out.DataType = memo ? dtBlob : dtString;
  out.SubType = memo ? stMemo : stNone;
  out.Size = memo ? 0 : static_cast<std::int32_t>(text.size() + 1);
  out.Scale = 0;
  out.SetStringValue(text);
}

void CopyValue(const TExpToken& from, TExpToken& out) {
  out.DataType = from.DataType;
  out.SubType = from.SubType;
  out.Size = from.Size;
  out.Scale = from.Scale;
  if (from.IsNull) {
    out.ReserveValue(0);
    out.IsNull = true;
  } else {
    out.SetBytesValue(from.ValueData(), from.ValueLength());
  }
}

double TNumber::AsDouble() const {
  switch (Kind) {
    case Int:
      return static_cast<double>(I);
    case Float:
      return F;
    case Bcd:
      return static_cast<double>(I) / static_cast<double>(kBcdFactor);
  }
  return 0;
}

std::int64_t IntegerOf(const TExpToken& v) {
  switch (v.DataType) {
    case dtSmallInt:
    case dtBoolean:
      return v.Scalar<std::int16_t>();
    case dtWord:
      return v.Scalar<std::uint16_t>();
    case dtInteger:
      return v.Scalar<std::int32_t>();
    case dtLargeInt:
      return v.Scalar<std::int64_t>();
    case dtFloat: {
      const double f = v.Scalar<double>();
      if (!(std::fabs(f) < 9.2e18)) return 0;
      return static_cast<std::int64_t>(f);
    }
    case dtBCD: {
      auto n = NumberOf(v);
      return n ? static_cast<std::int64_t>(n->Kind == TNumber::Bcd ? n->I / kBcdFactor : n->F) : 0;
    }
    default:
      return 0;
  }
}

std::optional<TNumber> NumberOf(const TExpToken& v) {
  if (v.IsNull) return std::nullopt;
  TNumber n;
  switch (v.DataType) {
    case dtSmallInt:
    case dtWord:
    case dtInteger:
    case dtLargeInt:
    case dtBoolean:
      n.Kind = TNumber::Int;
      n.I = IntegerOf(v);
      return n;
    case dtFloat:
      n.Kind = TNumber::Float;
      n.F = v.Scalar<double>();
      return n;
    case dtBCD: {
      if (v.ValueLength() < kBcdSize) return std::nullopt;
      const TBcd bcd = LoadBcd(v.ValueData());
      if (auto scaled = BcdToScaledInt(bcd)) {
        n.Kind = TNumber::Bcd;
        n.I = *scaled;
        n.Scale = BcdScale(bcd);
      } else {
        // Too large for the scaled form: compute with its double value.
        n.Kind = TNumber::Float;
        n.F = BcdToDouble(bcd);
      }
      return n;
    }
    default:
      return std::nullopt;
  }
}

double TimeStampOf(const TExpToken& v) {
  switch (v.DataType) {
    case dtDate:
      return static_cast<double>(v.Scalar<std::int32_t>()) * static_cast<double>(kMsPerDay);
    case dtTime:
      return EncodeTimeStamp(kDayNumber18991230, v.Scalar<std::int32_t>());
    case dtTimeStamp:
      return v.Scalar<double>();
    default:
      return 0;
  }
}

int CompareNumbers(const TNumber& a, const TNumber& b) {
  if (a.Kind == TNumber::Float || b.Kind == TNumber::Float) {
    // An integer reads exactly as a long double; a BCD value as the double nearest to it, so
    // that 12.35 as BCD equals the Float 12.35.
    const long double x = a.Kind == TNumber::Bcd   ? static_cast<long double>(a.AsDouble())
                          : a.Kind == TNumber::Int ? static_cast<long double>(a.I)
                                                   : static_cast<long double>(a.F);
    const long double y = b.Kind == TNumber::Bcd   ? static_cast<long double>(b.AsDouble())
                          : b.Kind == TNumber::Int ? static_cast<long double>(b.I)
                                                   : static_cast<long double>(b.F);
    // NaN sorts before every number so that orders stay total.
    if (std::isnan(x) || std::isnan(y)) return std::isnan(x) ? (std::isnan(y) ? 0 : -1) : 1;
    return x < y ? -1 : x > y ? 1 : 0;
  }
  // Integers and scaled BCD values: compare on the common scale in 128 bits.
  const __int128 x = a.Kind == TNumber::Bcd
                         ? static_cast<__int128>(a.I)
                         : static_cast<__int128>(a.I) * (b.Kind == TNumber::Bcd ? kBcdFactor : 1);
  const __int128 y = b.Kind == TNumber::Bcd
                         ? static_cast<__int128>(b.I)
                         : static_cast<__int128>(b.I) * (a.Kind == TNumber::Bcd ? kBcdFactor : 1);
  return x < y ? -1 : x > y ? 1 : 0;
}

}  // namespace zorvic::engine::eval

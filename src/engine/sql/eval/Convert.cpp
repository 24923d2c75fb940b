// Conversions of values between types (CAST, assignments, folded constants) and the text
// form of values.
//
// A failed conversion gives the zero value of the target type: 0, 0.0, False, the empty
// string, midnight for a Time. Date and TimeStamp have no zero value that is a calendar day
// (day 0 is none), so a failed conversion to them gives NULL instead of a value that no
// field could store. Floats and BCD values become integers by truncation toward zero.
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/sql/eval/EvalInternal.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine {

namespace eval {

namespace {

std::string Quoted(const std::string& text, const char* what) {
  return "'" + text + "' " + what;
}

struct TIntRange {
  std::int64_t Min;
  std::int64_t Max;
};

TIntRange RangeOf(TDataType type) {
  switch (type) {
    case dtSmallInt:
      return {INT16_MIN, INT16_MAX};
    case dtWord:
      return {0, UINT16_MAX};
    case dtInteger:
      return {INT32_MIN, INT32_MAX};
    default:
      return {INT64_MIN, INT64_MAX};
  }
}

void SetInteger(TExpToken& out, TDataType type, TSubType subType, std::int64_t v) {
  out.DataType = type;
  out.SubType = subType;
  out.Scale = 0;
  switch (type) {
    case dtSmallInt:
      out.Size = 2;
      out.SetScalar(static_cast<std::int16_t>(v));
      return;
    case dtWord:
      out.Size = 2;
      out.SetScalar(static_cast<std::uint16_t>(v));
      return;
    case dtInteger:
      out.Size = 4;
      out.SetScalar(static_cast<std::int32_t>(v));
      return;
    default:
      out.Size = 8;
      out.SetScalar(v);
      return;
  }
}

// The value's bytes when it is a Bytes or binary BLOB value of exactly the wanted length.
bool RawBytesOf(const TExpToken& v, std::size_t length, std::uint8_t* out) {
  const bool raw = v.DataType == dtBytes || (v.DataType == dtBlob && !IsTextValue(v));
  if (!raw || v.ValueLength() != length) return false;
  std::memcpy(out, v.ValueData(), length);
  return true;
}

// The raw bytes a value gives to a Bytes or binary BLOB target.
std::string BinaryOf(const TExpToken& v) {
  if (IsTextValue(v)) return std::string(TextOf(v));
  if (v.DataType == dtBytes || v.DataType == dtBlob) return std::string(BytesOf(v));
  if (v.DataType == dtBCD && v.ValueLength() >= kBcdSize) {
    return std::string(reinterpret_cast<const char*>(v.ValueData()), kBcdSize);
  }
  return std::string(BytesOf(v));
}

bool ToInteger(TExpToken& v, TDataType type, TSubType subType, std::string* error) {
  const TIntRange range = RangeOf(type);
  std::optional<std::int64_t> result;
  if (IsTextValue(v)) {
    result = ParseInt(TextOf(v), range.Min, range.Max);
  } else if (v.DataType == dtFloat) {
    const double f = std::trunc(v.Scalar<double>());
    if (f >= static_cast<double>(range.Min) && f <= static_cast<double>(range.Max) &&
        f < 9.2233720368547758e18) {
      result = static_cast<std::int64_t>(f);
    }
  } else if (v.DataType == dtBCD) {
    if (auto n = NumberOf(v)) {
      const std::int64_t i =
          n->Kind == TNumber::Bcd ? n->I / kBcdFactor : static_cast<std::int64_t>(n->F);
      if (i >= range.Min && i <= range.Max) result = i;
    }
  } else if (IsIntegerType(v.DataType) || v.DataType == dtBoolean) {
    const std::int64_t i = IntegerOf(v);
    if (i >= range.Min && i <= range.Max) result = i;
  } else {
    std::uint8_t bytes[8] = {};
    const std::size_t n = static_cast<std::size_t>(FixedTypeSize(type));
    if (RawBytesOf(v, n, bytes)) {
      TExpTokenPtr raw = NewExpToken();
      raw->DataType = type;
      raw->SetBytesValue(bytes, n);
      result = IntegerOf(*raw);
    }
  }
  if (!result) {
    if (error) *error = Quoted(ValueToText(v), "is not a valid integer value");
    SetInteger(v, type, subType, 0);
    return false;
  }
  SetInteger(v, type, subType, *result);
  return true;
}

bool ToFloat(TExpToken& v, TSubType subType, std::string* error) {
  std::optional<double> result;
  if (IsTextValue(v)) {
    result = ParseFloat(TrimBlanks(TextOf(v)));
  } else if (auto n = NumberOf(v)) {
    result = n->Kind == TNumber::Bcd ? BcdToDouble(LoadBcd(v.ValueData())) : n->AsDouble();
  } else {
    std::uint8_t bytes[8];
    if (RawBytesOf(v, 8, bytes)) result = GetDouble(bytes);
  }
  if (!result) {
    if (error) *error = Quoted(ValueToText(v), "is not a valid floating point value");
    SetFloatValue(v, 0, subType);
    return false;
  }
  SetFloatValue(v, *result, subType);
  return true;
}

bool ToBcd(TExpToken& v, std::int32_t scale, std::string* error) {
  std::optional<TBcd> result;
  if (IsTextValue(v)) {
    result = ParseBcdWithScale(TrimBlanks(TextOf(v)), scale);
  } else if (v.DataType == dtBCD && v.ValueLength() >= kBcdSize) {
    const TBcd bcd = LoadBcd(v.ValueData());
    if (IsValidBcd(bcd)) result = ParseBcdWithScale(BcdToText(bcd), scale);
  } else if (v.DataType == dtFloat) {
    result = BcdFromDouble(v.Scalar<double>(), scale);
  } else if (IsIntegerType(v.DataType) || v.DataType == dtBoolean) {
    result = ParseBcdWithScale(IntToText(IntegerOf(v)), scale);
  } else {
    std::uint8_t bytes[kBcdSize];
    if (RawBytesOf(v, kBcdSize, bytes)) {
      const TBcd bcd = LoadBcd(bytes);
      if (IsValidBcd(bcd)) result = ParseBcdWithScale(BcdToText(bcd), scale);
    }
  }
  if (!result) {
    if (error) *error = Quoted(ValueToText(v), "is not a valid BCD value");
    SetBcdValue(v, BcdFromScaledInt(0, scale < 4 ? scale : 4), scale);
    return false;
  }
  SetBcdValue(v, *result, scale);
  return true;
}

bool ToBoolean(TExpToken& v, std::string* error) {
  std::optional<bool> result;
  if (IsTextValue(v)) {
    result = ParseBool(TrimBlanks(TextOf(v)));
  } else if (auto n = NumberOf(v)) {
    result = n->AsDouble() != 0;
  } else {
    std::uint8_t bytes[2];
    if (RawBytesOf(v, 2, bytes)) result = GetI16(bytes) != 0;
  }
  if (!result) {
    if (error) *error = Quoted(ValueToText(v), "is not a valid boolean");
    SetBooleanValue(v, false);
    return false;
  }
  SetBooleanValue(v, *result);
  return true;
}

bool ToDate(TExpToken& v, std::string* error) {
  std::optional<std::int32_t> result;
  if (IsTextValue(v)) {
    result = ReadDateText(TextOf(v));
  } else if (v.DataType == dtDate) {
    result = v.Scalar<std::int32_t>();
  } else if (v.DataType == dtTimeStamp) {
    if (auto parts = SplitTimeStamp(v.Scalar<double>())) result = parts->DayNumber;
  } else {
    std::uint8_t bytes[4];
    if (RawBytesOf(v, 4, bytes)) result = GetI32(bytes);
  }
  if (result && !DecodeDate(*result)) result.reset();
  if (!result) {
    if (error) *error = Quoted(ValueToText(v), "is not a valid date");
    SetTypedNull(v, dtDate, stNone, 4);
    return false;
  }
  v.SetDateConstant(*result);
  v.SubType = stNone;
  v.Scale = 0;
  return true;
}

bool ToTime(TExpToken& v, std::string* error) {
  std::optional<std::int32_t> result;
  if (IsTextValue(v)) {
    result = ReadTimeText(TextOf(v));
  } else if (v.DataType == dtTime) {
    result = v.Scalar<std::int32_t>();
  } else if (v.DataType == dtTimeStamp) {
    if (auto parts = SplitTimeStamp(v.Scalar<double>())) result = parts->MsOfDay;
  } else {
    std::uint8_t bytes[4];
    if (RawBytesOf(v, 4, bytes)) result = GetI32(bytes);
  }
  if (result && !DecodeTime(*result)) result.reset();
  if (!result) {
    if (error) *error = Quoted(ValueToText(v), "is not a valid time");
    v.SetTimeConstant(0);
    v.SubType = stNone;
    v.Scale = 0;
    return false;
  }
  v.SetTimeConstant(*result);
  v.SubType = stNone;
  v.Scale = 0;
  return true;
}

bool ToTimeStamp(TExpToken& v, std::string* error) {
  std::optional<double> result;
  if (IsTextValue(v)) {
    result = ParseTimeStamp(TextOf(v));
  } else if (IsDateTimeType(v.DataType)) {
    result = TimeStampOf(v);
  } else {
    std::uint8_t bytes[8];
    if (RawBytesOf(v, 8, bytes)) result = GetDouble(bytes);
  }
  if (result && !SplitTimeStamp(*result)) result.reset();
  if (!result) {
    if (error) *error = Quoted(ValueToText(v), "is not a valid date and time");
    SetTypedNull(v, dtTimeStamp, stNone, 8);
    return false;
  }
  v.SetTimeStampConstant(*result);
  v.SubType = stNone;
  v.Scale = 0;
  return true;
}

bool HasBlank(std::string_view text) {
  return TrimBlanks(text).find(' ') != std::string_view::npos;
}

}  // namespace

std::optional<std::int32_t> ReadDateText(std::string_view text) {
  if (auto d = ParseDate(TrimBlanks(text))) return d;
  // A date-time text keeps its date part.
  if (HasBlank(text)) {
    if (auto ts = ParseTimeStamp(text)) {
      if (auto parts = SplitTimeStamp(*ts)) return parts->DayNumber;
    }
  }
  return std::nullopt;
}

std::optional<std::int32_t> ReadTimeText(std::string_view text) {
  if (auto t = ParseTime(text)) return t;
  // A date-time text keeps its time part.
  if (HasBlank(text)) {
    if (auto ts = ParseTimeStamp(text)) {
      if (auto parts = SplitTimeStamp(*ts)) return parts->MsOfDay;
    }
  }
  return std::nullopt;
}

bool ConvertInto(TExpToken& value, TDataType type, TSubType subType, std::int32_t size,
                 std::int32_t scale, std::string* error) {
  if (value.IsNull || value.DataType == dtNull) {
    SetTypedNull(value, type, subType, type == dtString || type == dtBytes ? size : 0, scale);
    if (type != dtString && type != dtBytes && type != dtBlob) value.Size = FixedTypeSize(type);
    return true;
  }
  switch (type) {
    case dtString: {
      std::string text = ValueToText(value);
      if (size > 0 && text.size() > static_cast<std::size_t>(size - 1)) text.resize(size - 1);
      SetTextValue(value, text);
      if (size > 0) value.Size = size;
      return true;
    }
    case dtBlob: {
      if (IsMemoType(type, subType)) {
        const std::string text = ValueToText(value);
        SetTextValue(value, text, true);
      } else {
        const std::string bytes = BinaryOf(value);
        value.SetBytesValue(bytes.data(), bytes.size());
        value.DataType = dtBlob;
        value.Size = 0;
        value.Scale = 0;
      }
      value.SubType = subType;
      return true;
    }
    case dtBytes: {
      std::string bytes = BinaryOf(value);
      if (size > 0) bytes.resize(static_cast<std::size_t>(size), '\0');
      value.SetBytesValue(bytes.data(), bytes.size());
      value.DataType = dtBytes;
      value.SubType = stNone;
      value.Size = static_cast<std::int32_t>(bytes.size());
      value.Scale = 0;
      return true;
    }
    case dtDate:
      return ToDate(value, error);
    case dtTime:
      return ToTime(value, error);
    case dtTimeStamp:
      return ToTimeStamp(value, error);
    case dtBoolean:
      return ToBoolean(value, error);
    case dtSmallInt:
    case dtWord:
    case dtInteger:
    case dtLargeInt:
      return ToInteger(value, type, subType, error);
    case dtFloat:
      return ToFloat(value, subType, error);
    case dtBCD:
      return ToBcd(value, scale, error);
    default:
      if (error) *error = Quoted(ValueToText(value), "is not a valid value");
      value.SetNullValue();
      return false;
  }
}

}  // namespace eval

bool ConvertValue(TExpToken& value, TDataType type, TSubType subType, std::int32_t size,
                  std::int32_t scale) {
  return eval::ConvertInto(value, type, subType, size, scale, nullptr);
}

void ConvertValueStrict(TExpToken& value, TDataType type, TSubType subType, std::int32_t size,
                        std::int32_t scale) {
  std::string error;
  if (!eval::ConvertInto(value, type, subType, size, scale, &error)) throw EConvertError(error);
}

std::string ValueToText(const TExpToken& value) {
  if (value.IsNull) return {};
  try {
    switch (value.DataType) {
      case dtString:
        return std::string(value.StringValue());
      case dtBlob:
      case dtBytes: {
        if (IsStringOrMemo(value.DataType, value.SubType)) return std::string(value.StringValue());
        const std::string_view bytes = eval::BytesOf(value);
        return std::string(bytes.substr(0, bytes.find('\0')));
      }
      case dtDate:
        return DateToText(value.Scalar<std::int32_t>());
      case dtTime:
        return TimeToText(value.Scalar<std::int32_t>());
      case dtTimeStamp:
        return TimeStampToText(value.Scalar<double>());
      case dtBoolean:
        return BoolToText(value.Scalar<std::int16_t>() != 0);
      case dtSmallInt:
      case dtWord:
      case dtInteger:
      case dtLargeInt:
        return IntToText(eval::IntegerOf(value));
      case dtFloat:
        return FloatToText(value.Scalar<double>());
      case dtBCD:
        if (value.ValueLength() < kBcdSize) return {};
        return BcdToText(LoadBcd(value.ValueData()));
      default:
        return {};
    }
  } catch (const EConvertError&) {
    return {};  // a value outside its type's range has no text
  }
}

}  // namespace zorvic::engine

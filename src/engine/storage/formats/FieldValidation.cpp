#include "engine/storage/formats/FieldValidation.h"

#include <cmath>

#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine {
namespace {

template <class T>
int Order(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

std::optional<double> LiteralTimeStamp(std::uint8_t type, const std::string& literal) {
  if (IsCurrentDateTimeWord(type, literal)) {
    if (type == ftDate) return static_cast<double>(TodayDayNumber());
    if (type == ftTime) return static_cast<double>(NowMsOfDay());
    return EncodeTimeStamp(TodayDayNumber(), NowMsOfDay());
  }
  if (type == ftDate) {
    const auto d = ParseDate(literal);
    return d ? std::optional<double>(*d) : std::nullopt;
  }
  if (type == ftTime) {
    const auto t = ParseTime(literal);
    return t ? std::optional<double>(*t) : std::nullopt;
  }
  return ParseTimeStamp(literal);
}

}  // namespace

int CompareFieldToLiteral(const TFieldDesc& field, const std::uint8_t* rec,
                          const std::string& literal, const TCollation& collation) {
  const std::uint8_t* v = rec + field.FieldOffset + 1;
  switch (field.DataType) {
    case ftString:
      return collation.Compare(ReadStringField(field, rec), literal);
    case ftSmallInt:
    case ftInteger:
    case ftWord:
    case ftCardinal:
    case ftLargeInt: {
      const auto lit = ParseInt(literal, INT64_MIN, INT64_MAX);
      if (!lit) return 0;
      std::int64_t value = 0;
      if (field.IsAutoInc())
        value = RecRowId(rec);
      else if (field.DataType == ftSmallInt)
        value = GetI16(v);
      else if (field.DataType == ftInteger)
        value = GetI32(v);
      else if (field.DataType == ftWord)
        value = GetU16(v);
      else if (field.DataType == ftCardinal)
        value = GetU32(v);
      else
        value = GetI64(v);
      return Order(value, *lit);
    }
    case ftFloat:
    case ftExtended: {
      const auto lit = ParseFloat(literal);
      if (!lit) return 0;
      const double value = field.DataType == ftFloat ? GetDouble(v) : LoadExtended(v);
      return Order(value, *lit);
    }
    case ftBCD: {
      const auto lit = ParseBcd(literal);
      if (!lit) return 0;
      const auto a = BcdToScaledInt(LoadBcd(v));
      const auto b = BcdToScaledInt(*lit);
      if (a && b) return Order(*a, *b);
      return Order(BcdToDouble(LoadBcd(v)), BcdToDouble(*lit));
    }
    case ftDate:
    case ftTime:
    case ftTimeStamp: {
      const auto lit = LiteralTimeStamp(field.DataType, literal);
      if (!lit) return 0;
      const double value = field.DataType == ftTimeStamp ? GetDouble(v) : GetI32(v);
      return Order(value, *lit);
    }
    case ftBoolean: {
      const auto lit = ParseBool(literal);
      if (!lit) return 0;
      return Order(GetU16(v) != 0 ? 1 : 0, *lit ? 1 : 0);
    }
    default:
      return 0;
  }
}

void CheckRecordConstraints(const std::vector<TFieldDesc>& fields, const std::uint8_t* rec,
                            const TCollation& collation, const std::string& tableName) {
  for (const TFieldDesc& f : fields) {
    if (f.IsAutoInc()) continue;  // the engine assigns it
    if (IsFieldNull(f, rec)) {
      if (f.Required) RaiseFieldError(VELDOR_REQDERR, f.Name(), tableName);
      continue;
    }
    const std::string min = f.MinValue.Text();
    const std::string max = f.MaxValue.Text();
    if (!min.empty() && CompareFieldToLiteral(f, rec, min, collation) < 0)
      RaiseFieldError(VELDOR_MINVALERR, f.Name(), tableName);
    if (!max.empty() && CompareFieldToLiteral(f, rec, max, collation) > 0)
      RaiseFieldError(VELDOR_MAXVALERR, f.Name(), tableName);
  }
}

}  // namespace zorvic::engine

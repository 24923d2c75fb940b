// Internal to evaluation: the helpers that the evaluator's files share (value access, numbers,
// comparisons, collation lookups). Nothing outside src/engine/sql/eval includes this header.
//
// Thread safety: pure functions over caller-owned nodes; the per-thread caches of character
// comparisons are thread_local.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/sql/eval/Evaluator.h"
#include "engine/sql/parse/ExpToken.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/FieldTypes.h"

namespace zorvic::engine::eval {

// ---- collation -------------------------------------------------------------------------

// The collation of the context: the table's, or the binary one for language 0 and for
// collations that are not installed.
const TCollation& CollationOf(const TEvalContext& context);
// LIKE's character comparison: upper-cased (US English) under language 0, the locale's
// per-character comparison otherwise.
bool LikeCharEqual(const TCollation& collation, std::uint8_t a, std::uint8_t b);
// String order under the collation (byte order for language 0), optionally ignoring case.
int CompareText(const TCollation& collation, std::string_view a, std::string_view b, bool noCase);
// LIKE matching ("%" any run, "_" one character, no escape).
bool LikeMatches(const TCollation& collation, std::string_view subject, std::string_view pattern);

// ---- value access ----------------------------------------------------------------------

inline bool IsTextValue(const TExpToken& v) {
  return IsStringOrMemo(v.DataType, v.SubType);
}
// The text of a String or memo value ("" for NULL).
inline std::string_view TextOf(const TExpToken& v) {
  return v.IsNull ? std::string_view() : v.StringValue();
}
// The raw bytes of a value ("" for NULL).
inline std::string_view BytesOf(const TExpToken& v) {
  if (v.IsNull) return {};
  return std::string_view(reinterpret_cast<const char*>(v.ValueData()), v.ValueLength());
}

// A typed NULL result.
void SetTypedNull(TExpToken& out, TDataType type, TSubType subType = stNone, std::int32_t size = 0,
                  std::int32_t scale = 0);
void SetBooleanValue(TExpToken& out, bool value);
// An integer result: Integer when it fits 32 bits and large is false, else LargeInt.
void SetIntegerValue(TExpToken& out, std::int64_t value, bool large = false);
void SetFloatValue(TExpToken& out, double value, TSubType subType = stNone);
void SetBcdValue(TExpToken& out, const TBcd& value, int scale);
// A String (or memo when memo is set) result.
void SetTextValue(TExpToken& out, std::string_view text, bool memo = false);
// A copy of the type, NULL flag and value of a node.
void CopyValue(const TExpToken& from, TExpToken& out);

// ---- numbers ---------------------------------------------------------------------------

// A numeric value: an integer, a float, or a BCD value as its value times 10,000.
struct TNumber {
  enum TKind : std::uint8_t { Int, Float, Bcd } Kind = Int;
  std::int64_t I = 0;  // Int: the value; Bcd: the value times 10,000
  double F = 0;        // Float
  int Scale = 0;       // Bcd: the value's scale
  double AsDouble() const;
};
inline constexpr std::int64_t kBcdFactor = 10000;

// The number a numeric or Boolean value holds; nullopt for NULL and other types.
std::optional<TNumber> NumberOf(const TExpToken& v);
// The integer value of an integer-typed (or Boolean) value.
std::int64_t IntegerOf(const TExpToken& v);
// Milliseconds since the day-number origin of a Date, Time (on 30 December 1899) or TimeStamp.
double TimeStampOf(const TExpToken& v);
// Three-way numeric order.
int CompareNumbers(const TNumber& a, const TNumber& b);

// ---- comparisons -------------------------------------------------------------------------

// Order of two non-NULL values of comparable types; noCase ignores case for strings.
int CompareNonNull(const TExpToken& a, const TExpToken& b, const TCollation& collation,
                   bool noCase);
// "=" with the dialect's NULL rules.
bool ValuesEqual(const TExpToken& a, const TExpToken& b, const TCollation& collation);
// Whether the operator is one of "=", "<>", "<", "<=", ">", ">=".
bool IsComparisonOperator(TOperatorCode op);
// Whether a three-way order r (negative, 0, positive) satisfies the comparison operator.
bool OrderHolds(TOperatorCode op, int r);
// "<", "<=", ">", ">=", "=" and "<>" with their NULL rules.
bool CompareForOperator(TOperatorCode op, const TExpToken& a, const TExpToken& b,
                        const TCollation& collation);
// A prefix-compare node's test on evaluated operands (NULL rules of "=").
bool PrefixCompare(const TExpToken& node, const TExpToken& subject, const TExpToken& prefix,
                   const TCollation& collation);

// ---- evaluation steps -------------------------------------------------------------------

// The truth of a condition value: NULL counts as false, a number is true when it is not 0.
bool Truth(const TExpToken& v);
// The truth of node's value, as AND, OR and NOT take their operands.
bool EvalTruth(const TExpToken& node, const TEvalContext& context);
// Evaluates node into out (a cleared or reused node).
void EvalInto(const TExpToken& node, const TEvalContext& context, TExpToken& out);
// A fresh node holding the value of node.
TExpTokenPtr EvalNode(const TExpToken& node, const TEvalContext& context);
// "+", "-", "*", "/" on evaluated operands; node gives the operator and its bound type.
void EvalArithmetic(const TExpToken& node, const TExpToken& a, const TExpToken& b, TExpToken& out);
// Unary minus and plus.
void EvalSign(const TExpToken& node, const TExpToken& a, TExpToken& out);
// Functions (class 10) other than aggregates.
void EvalFunction(const TExpToken& node, const TEvalContext& context, TExpToken& out);
// String functions: UPPER, LOWER, LENGTH, SUBSTRING, REPLACE, POS, OCCURS, TRIM.
void EvalStringFunction(const TExpToken& node, const TEvalContext& context, TExpToken& out);
// EXTRACT of one part.
void EvalExtract(const TExpToken& node, const TExpToken& value, TExpToken& out);
// CURRENT_DATE / CURRENT_TIME / CURRENT_TIMESTAMP constants read from the statement clock;
// false when the node is no such constant.
bool ClockValue(const TExpToken& node, const TStatementClock& clock, TExpToken& out);

// Day of the week 1 (Sunday) .. 7 (Saturday), day of the year 1 .. 366 and week of the year
// (week 1 holds 1 January, weeks start on Sunday) of a day number.
int DayOfWeek(std::int32_t dayNumber);
int DayOfYear(std::int32_t dayNumber);
int WeekOfYear(std::int32_t dayNumber);

// ---- conversion --------------------------------------------------------------------------

// The conversion of ConvertValue; on failure error (when given) receives the text
// conversion's message and the node holds the zero value of the type.
bool ConvertInto(TExpToken& value, TDataType type, TSubType subType, std::int32_t size,
                 std::int32_t scale, std::string* error);
// Date part / time part of a date or date-time text.
std::optional<std::int32_t> ReadDateText(std::string_view text);
std::optional<std::int32_t> ReadTimeText(std::string_view text);

}  // namespace zorvic::engine::eval

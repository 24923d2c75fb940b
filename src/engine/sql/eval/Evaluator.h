// Evaluation of bound expression trees: values, conditions and their preparation.
//
// A bound tree (Binder.h) is evaluated against the current records of one or more cursors
// whenever a statement computes a value or tests a condition, and whenever a filtered cursor
// tests a record. Evaluate returns a fresh value node from the pool (type, size, NULL flag and
// value in its storage form, ExpToken.h); the caller lets the pointer give it back.
//
// The dialect's NULL rules are not standard SQL: NULL operands of AND and OR count as false,
// NOT NULL is true, "=" of two NULLs is true, string order treats NULL as the empty string,
// arithmetic with NULL gives NULL, division by zero gives NULL, a failed CAST gives the zero
// value of its type. Evaluation raises nothing else: only a column node without a value
// source raises "Internal error: Column '<name>' specified illegally" (11949).
//
// Collation: language 0 compares strings byte by byte (case and trailing blanks count); LIKE
// compares characters upper-cased under language 0, prefix compares included; other
// languages use the table's ICU collator (Collation.h).
//
// CURRENT_DATE, CURRENT_TIME and CURRENT_TIMESTAMP read the clock of the context, which the
// statement sets once per execution; without a clock they keep the value read at parse time.
//
// Thread safety: a tree, its context and its fetcher belong to one thread at a time; only the
// node pool is shared.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/sql/ExpToken.h"

namespace zorvic::engine {

class TDataQuery;

// Supplies the values and services that a tree's leaves need.
class TValueFetcher {
 public:
  virtual ~TValueFetcher() = default;
  // Copies the current value of a bound column node (its SourceTable and FieldNumber) into
  // out: DataType, SubType, Size, Scale, IsNull and the value in its storage form. A memo is
  // given as a String value (its bytes and a terminating NUL), a BLOB or Bytes value as raw
  // bytes.
  virtual void FetchColumn(const TExpToken& column, TExpToken& out) = 0;
  // IN sub-select: true when the executed sub-select's result holds a row equal to value.
  // The default raises an 11949 internal error.
  virtual bool SubSelectContains(TDataQuery* subSelect, const TExpToken& value);
  // LASTAUTOINC / IDENT_CURRENT: the last auto-increment value of the table handle that
  // binding stored in the function node's SourceTable; the default answers 0.
  virtual std::int64_t LastAutoInc(void* sourceTable);
  // TEXTSEARCH (countAll false: 1 when found, else 0) and TEXTOCCURS (the number of
  // occurrences) over the column's text index; the default answers 0.
  virtual std::int32_t TextOccurrences(const TExpToken& column, std::string_view searchText,
                                       bool countAll);
};

// The clock of one statement execution (local time).
struct TStatementClock {
  std::int32_t Date = 0;          // day number, 0001-01-01 = 1
  std::int32_t Milliseconds = 0;  // since midnight
  // Reads the local clock now.
  static TStatementClock Now();
};

struct TEvalContext {
  std::uint16_t LanguageId = 0;
  std::uint16_t SortId = 0;
  TValueFetcher* Fetcher = nullptr;
  const TStatementClock* Clock = nullptr;
};

// The value of a tree.
TExpTokenPtr Evaluate(const TExpToken& tree, const TEvalContext& context);
// A condition: true only for a Boolean true value (NULL and false are false).
bool EvaluateCondition(const TExpToken& tree, const TEvalContext& context);

// A copy of a condition prepared for repeated evaluation: right operands (and list values)
// without columns folded into constants converted to the left operand's type, "=" / "<>"
// against a String constant ending in "*" turned into prefix compares when partial compares
// are allowed (filters), case-insensitive prefix compares when asked, and LIKE patterns that
// are a plain prefix followed by one "%" turned into prefix compares. A constant that the
// left operand's type cannot hold exactly is kept in the wider type, so nothing is lost.
TExpTokenPtr PrepareCondition(const TExpToken& tree, bool noPartialCompare, bool caseInsensitive,
                              const TEvalContext& context);

// Converts a value node in place to the given type as CAST does (Strings cut to size - 1
// characters when size > 0). Returns false when the conversion failed; the node then holds
// the zero value of the type.
bool ConvertValue(TExpToken& value, TDataType type, TSubType subType, std::int32_t size,
                  std::int32_t scale);
// The same, raising EConvertError (ValueText.h) with the text conversion's message instead
// of giving the zero value.
void ConvertValueStrict(TExpToken& value, TDataType type, TSubType subType, std::int32_t size,
                        std::int32_t scale);

// Three-way order of two values of the same type (NULL first), strings by the collation, or
// ignoring case with noCase. For sorting, grouping and de-duplication.
int CompareValues(const TExpToken& a, const TExpToken& b, const TEvalContext& context,
                  bool noCase = false);

// The text form of a value as CAST to a String gives it (dates "YYYY-MM-DD", times in the
// 24-hour form, Booleans "True"/"False", floats shortest round-trip); NULL gives "".
std::string ValueToText(const TExpToken& value);

}  // namespace zorvic::engine

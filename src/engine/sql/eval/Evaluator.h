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
// compares characters upper-cased under language 0, prefix compares made from LIKE patterns
// included; other languages use the table's ICU collator (Collation.h), LIKE character by
// character with it (case counts, accents do not).
//
// CURRENT_DATE, CURRENT_TIME and CURRENT_TIMESTAMP read the clock of the context, which the
// statement sets once per execution; without a clock they keep the value read at parse time.
//
// Value rules worth knowing:
//   - Integer arithmetic is done in 64 bits: an Integer result that does not fit 32 bits is a
//     LargeInt, one that does not fit 64 bits a Float. "/" of two integers is a Float.
//   - BCD arithmetic works on the value times 10,000 (128-bit intermediates, rounded half away
//     from zero to the larger scale of the operands); a BCD with a Float gives a Float.
//   - Date +/- n adds days, Time +/- n milliseconds (wrapping at midnight), TimeStamp +/- n
//     days; Date - Date gives days, Time - Time milliseconds, TimeStamp - TimeStamp a Float
//     of milliseconds. A date outside 0001-01-01 .. 9999-12-31 gives NULL.
//   - EXTRACT numbering, from the calendar (never the process's locale): DAYOFWEEK 1 = Sunday
//     .. 7 = Saturday; DAYOFYEAR 1 .. 366; WEEK is the week of the year where week 1 holds
//     1 January and weeks start on Sunday (1 .. 54). A Time is taken on 30 December 1899.
//   - REPLACE, POS and OCCURS with an empty (NULL) search text: the text unchanged, 0, 0.
//   - TEXTSEARCH and TEXTOCCURS are answered from the column's text of the current record by
//     the word rule of TextWords.h (no full-text index exists); without a fetcher they give
//     False and 0.
//   - A failed conversion gives 0, 0.0, False, "" or midnight; for Date and TimeStamp, which
//     have no zero calendar day, it gives NULL. Floats become integers by truncation.
//   - Aggregates are accumulated by the SELECT executor; evaluating an aggregate node on its
//     own gives its argument's value for the current row (COUNT: 1 for a non-NULL argument or
//     "*", else 0).
//
// Thread safety: a tree, its context and its fetcher belong to one thread at a time; only the
// node pool is shared.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/sql/parse/ExpToken.h"

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
//
// A text that is only "*" stays a plain compare, as a LIKE pattern that is only "%" stays a
// LIKE. Prefix-compare nodes (ncPrefixCompare): OperatorCode opEqual or opNotEqual, Left the
// subject, Right a String constant holding the prefix, PrefixLength its length (0: the whole
// strings compare), CaseInsensitive. One made from LIKE / NOT LIKE has the Text "LIKE" /
// "NOT LIKE" and compares with LIKE's character rule, so it selects exactly what the LIKE
// did: under language 0 it is case-insensitive (CaseInsensitive set), under other languages
// case counts. Parameters are folded with the values they hold, so prepare after they are
// given. Sub-selects, aggregates, LASTAUTOINC and the text-index functions are not folded.
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
// Whether the context compares texts by their bytes (language 0, or a collation that is not
// installed): equal texts are then equal byte strings.
bool IsBinaryCollation(const TEvalContext& context);
// What CompareValues gives for two non-NULL text values with these texts.
int CompareTextValues(std::string_view a, std::string_view b, const TEvalContext& context,
                      bool noCase = false);

// The text form of a value as CAST to a String gives it (dates "YYYY-MM-DD", times in the
// 24-hour form, Booleans "True"/"False", floats shortest round-trip); NULL gives "".
std::string ValueToText(const TExpToken& value);

}  // namespace zorvic::engine

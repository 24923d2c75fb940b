// A condition compiled for testing many records of one table.
//
// A filter tests every record of a scan against the same prepared condition. Evaluated node by
// node, each test takes value nodes from the pool, copies the column's bytes into one and the
// constant into another, and gives them back. Compiled, the comparisons of a column of the
// table with a constant read the record's bytes where they lie (a String column) or into one
// value node kept for the purpose (other columns), against the constant evaluated once; AND,
// OR and NOT combine them in the evaluator's order; any other part of the tree is evaluated as
// before. The answers are the evaluator's, NULL rules and collation included.
//
// Thread safety: one compiled condition belongs to one filter, used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/sql/eval/Evaluator.h"
#include "engine/sql/parse/ExpToken.h"

namespace zorvic::engine {

class TDataCursor;
class TCollation;

class TRecordCondition {
 public:
  // The compiled form of a prepared condition over the cursor's table, or nullptr when no part
  // of it compiles (it is then evaluated as a whole). The tree, the cursor and the context
  // (whose fetcher reads the record being tested) must outlive the result; constants are
  // evaluated now, in that context.
  static std::unique_ptr<TRecordCondition> Compile(const TExpToken& tree, TDataCursor& cursor,
                                                   const TEvalContext& context);

  // Whether the record passes: what EvaluateCondition gives for the tree with the context's
  // fetcher reading this record.
  bool Matches(const std::uint8_t* record);

 private:
  enum class TKind : std::uint8_t { And, Or, Not, Text, Value, Tree };
  struct TStep {
    TKind Kind = TKind::Tree;
    TOperatorCode Op = opNone;  // the comparison, with the column taken as its left operand
    int Left = -1;              // steps of AND, OR (Right first) and NOT (Left)
    int Right = -1;
    std::uint32_t FieldNo = 0;        // Text and Value
    std::uint32_t Offset = 0;         // Text: the field's NULL flag; the text follows it
    std::uint32_t TextLimit = 0;      // Text: the longest text the field holds with its NUL
    const TExpToken* Node = nullptr;  // Tree: the part evaluated as before
    TExpTokenPtr Constant;            // Text and Value
    TExpTokenPtr Column;              // Value: the column's value of the record being tested
  };

  TRecordCondition(TDataCursor& cursor, const TEvalContext& context);
  int Add(const TExpToken& node, int depth);
  int AddComparison(const TExpToken& node);
  bool Test(int step, const std::uint8_t* record);

  TDataCursor& FCursor;
  const TEvalContext& FContext;
  const TCollation* FCollation;
  std::vector<TStep> FSteps;
  int FRoot = -1;
};

}  // namespace zorvic::engine

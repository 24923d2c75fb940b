// Index analysis of a prepared single-table condition, and the answering of the parts that
// indexes can answer (private to the filter folder).
//
// Analysis gives every node a grade (0 not answerable, 1 partly, 2 wholly), an estimate of
// the matching keys and, for the predicates on one column, the index and the key ranges that
// hold their matches. Answering turns the graded parts into a bitmap of candidate records:
// a superset of the active records for which the condition is true. Ranges are taken with
// both ends included, so a candidate set may hold records that fail; the cursor tests every
// candidate with the whole condition, which keeps results exact whatever the key encoding
// folds together (trailing blanks, case in NOCASE keys, BCD digits past the key's scale).
//
// Negated predicates (<>, NOT IN, NOT BETWEEN, IS NOT NULL, NOT over a wholly answerable
// operand) are answered as the active records minus those of the positive form's key range
// that fail the negated predicate; only the records of that range are read.
//
// Thread safety: one analyser per cursor operation, on the cursor's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "engine/sql/filter/ConditionFilter.h"
#include "engine/sql/parse/ExpToken.h"
#include "engine/storage/cursors/DataCursor.h"

namespace zorvic::engine::filter {

// One value range of a leaf predicate, in the column's value order, both ends included.
struct TLeafRange {
  TKeyBound::TKind LowKind = TKeyBound::kOpen;
  TKeyBound::TKind HighKind = TKeyBound::kOpen;
  std::vector<std::uint8_t> LowRecord;
  std::vector<std::uint8_t> HighRecord;
  int Partial = 0;
  bool LowExclusive = false;
  bool HighExclusive = false;

  TKeyBound Low() const {
    return {LowKind, LowRecord.empty() ? nullptr : LowRecord.data(), Partial, LowExclusive};
  }
  TKeyBound High() const {
    return {HighKind, HighRecord.empty() ? nullptr : HighRecord.data(), Partial, HighExclusive};
  }
};

// A predicate on one column that an index answers: its matches lie in the union of Ranges
// (or, Negative, outside the records that fail it inside that union).
struct TLeafPlan {
  int Slot = -1;
  bool Negative = false;
  bool BetweenEstimate = false;  // estimate as the smaller of the two half ranges
  std::vector<TLeafRange> Ranges;
};

struct TNodeGrade {
  int Grade = 0;
  std::int64_t Estimate = 0;
  bool Marked = false;  // answerable, graded 0 by the selectivity rule
  std::optional<TLeafPlan> Leaf;
};

struct TAnalyserOptions {
  bool SelectivityRule = false;
  // String comparisons are answerable only when the condition is evaluated with the table's
  // own collation (the index's order); a statement with another LANGUAGE gives false.
  bool StringsAnswerable = true;
};

class TIndexAnalyser {
 public:
  // Evaluates one node of the condition against a record (true only for a Boolean true).
  using TNodeTest = std::function<bool(const TExpToken& node, const std::uint8_t* record)>;

  TIndexAnalyser(TDataCursor& cursor, TAnalyserOptions options);

  TIndexAnalysis Analyse(const TExpToken& root);
  // Fills out with the candidates of an analysed root graded 1 or 2.
  void Answer(const TExpToken& root, TRecordsBitmap& out, const TNodeTest& test);
  // The grade of an analysed node (nullptr when it was not analysed).
  const TNodeGrade* GradeOf(const TExpToken& node) const;

 private:
  TNodeGrade& Analyse(const TExpToken& node, int depth);
  TNodeGrade AnalyseLeaf(const TExpToken& node);
  void Combine(const TExpToken& node, TNodeGrade& grade);
  bool PlanLeaf(const TExpToken& node, TLeafPlan& plan);
  std::int64_t EstimateLeaf(const TLeafPlan& plan);
  bool AtMostOneKey(const TLeafPlan& plan);
  std::int64_t TableRecords();
  std::int64_t IndexKeys(int slot);
  void AnswerNode(const TExpToken& node, TRecordsBitmap& out, const TNodeTest& test);
  void Complement(const TExpToken& node, const TRecordsBitmap& failing, TRecordsBitmap& out,
                  const TNodeTest& test);
  std::unique_ptr<TRecordsBitmap> NewBitmap();

  TDataCursor& FCursor;
  TAnalyserOptions FOptions;
  std::unordered_map<const TExpToken*, TNodeGrade> FGrades;
  std::optional<std::int64_t> FTableRecords;
  std::unordered_map<int, std::int64_t> FIndexKeys;
};

}  // namespace zorvic::engine::filter

namespace zorvic::engine::filter {

// A cursor filter over a prepared condition: records are tested by evaluating it with column
// values read by field number from the record; candidates come from the index analysis.
// context gives the collation, the clock (copied) and the services besides column values.
std::unique_ptr<TFilterExpression> MakeConditionFilter(TDataCursor& cursor, TExpTokenPtr prepared,
                                                       const TEvalContext& context,
                                                       TAnalyserOptions options);

}  // namespace zorvic::engine::filter

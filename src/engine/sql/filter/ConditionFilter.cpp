// Prepared conditions as cursor filters.
#include "engine/sql/filter/ConditionFilter.h"

#include <utility>

#include "engine/sql/eval/RecordCondition.h"
#include "engine/sql/eval/RecordValues.h"
#include "engine/sql/filter/IndexAnalysis.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/formats/Collation.h"

namespace zorvic::engine {
namespace filter {
namespace {

// Column values from the record being tested, by field number; everything else from the
// caller's fetcher (sub-selects, LASTAUTOINC, text search) when there is one.
class TRecordFetcher : public TValueFetcher {
 public:
  TRecordFetcher(TDataCursor& cursor, TValueFetcher* outer) : FCursor(cursor), FOuter(outer) {}
  const std::uint8_t* Record = nullptr;
  TDataCursor& Cursor() { return FCursor; }

  void FetchColumn(const TExpToken& column, TExpToken& out) override {
    // The record is only read; FetchFieldValue takes the buffer as the cursor's buffers.
    FetchFieldValue(FCursor, const_cast<std::uint8_t*>(Record),
                    static_cast<std::uint32_t>(column.FieldNumber), out);
  }
  bool SubSelectContains(TDataQuery* subSelect, const TExpToken& value) override {
    return FOuter ? FOuter->SubSelectContains(subSelect, value)
                  : TValueFetcher::SubSelectContains(subSelect, value);
  }
  std::int64_t LastAutoInc(void* sourceTable) override {
    return FOuter ? FOuter->LastAutoInc(sourceTable) : TValueFetcher::LastAutoInc(sourceTable);
  }

 private:
  TDataCursor& FCursor;
  TValueFetcher* FOuter;
};

class TConditionFilter : public TFilterExpression {
 public:
  TConditionFilter(TDataCursor& cursor, TExpTokenPtr tree, const TEvalContext& context,
                   TAnalyserOptions options)
      : FTree(std::move(tree)), FFetcher(cursor, context.Fetcher), FOptions(options) {
    FContext = context;
    if (context.Clock) {
      FClock = *context.Clock;
      FContext.Clock = &FClock;
    }
    FContext.Fetcher = &FFetcher;
  }

  bool Matches(const std::uint8_t* record) override {
    if (!FCompileTried) {
      FCompileTried = true;
      FCompiled = TRecordCondition::Compile(*FTree, FFetcher.Cursor(), FContext);
    }
    if (!FCompiled) return Test(*FTree, record);
    FFetcher.Record = record;
    return FCompiled->Matches(record);
  }

  int OptimisationLevel() const override { return FLevel; }

  bool Candidates(TDataCursor& cursor, TRecordsBitmap& candidates) override {
    TIndexAnalyser analyser(cursor, FOptions);
    FLevel = analyser.Analyse(*FTree).Grade;
    if (FLevel == 0) return false;
    analyser.Answer(*FTree, candidates, [this](const TExpToken& node, const std::uint8_t* record) {
      return Test(node, record);
    });
    if (!FReordered) {
      FReordered = true;
      MoveAnswerableLeft(*FTree, analyser, 0);
      // The compiled form follows the tree's order of operands.
      FCompiled.reset();
      FCompileTried = false;
    }
    return true;
  }

 private:
  bool Test(const TExpToken& node, const std::uint8_t* record) {
    FFetcher.Record = record;
    return EvaluateCondition(node, FContext);
  }

  // AND evaluates its right operand first and stops when it is false; the side an index
  // answers is true for most candidates, so the other side goes to the right.
  static void MoveAnswerableLeft(TExpToken& node, const TIndexAnalyser& analyser, int depth) {
    if (depth > MaxExpressionDepth) return;
    if (node.NodeClass == ncBinary && node.OperatorCode == opAnd && node.Left && node.Right) {
      const TNodeGrade* left = analyser.GradeOf(*node.Left);
      const TNodeGrade* right = analyser.GradeOf(*node.Right);
      if (left && right && right->Grade > 0 && left->Grade < 2 && right->Grade > left->Grade)
        std::swap(node.Left, node.Right);
    }
    if (node.Left) MoveAnswerableLeft(*node.Left, analyser, depth + 1);
    if (node.Right) MoveAnswerableLeft(*node.Right, analyser, depth + 1);
  }

  TExpTokenPtr FTree;
  TRecordFetcher FFetcher;
  TAnalyserOptions FOptions;
  TEvalContext FContext;
  TStatementClock FClock;
  std::unique_ptr<TRecordCondition> FCompiled;
  bool FCompileTried = false;
  int FLevel = 0;
  bool FReordered = false;
};

}  // namespace

std::unique_ptr<TFilterExpression> MakeConditionFilter(TDataCursor& cursor, TExpTokenPtr prepared,
                                                       const TEvalContext& context,
                                                       TAnalyserOptions options) {
  return std::make_unique<TConditionFilter>(cursor, std::move(prepared), context, options);
}

}  // namespace filter

TIndexAnalysis AnalyseCondition(TDataCursor& cursor, const TExpToken& prepared,
                                bool selectivityRule) {
  filter::TAnalyserOptions options;
  options.SelectivityRule = selectivityRule;
  filter::TIndexAnalyser analyser(cursor, options);
  return analyser.Analyse(prepared);
}

int AddConditionFilter(TDataCursor& cursor, TExpTokenPtr prepared, const TEvalContext& context) {
  filter::TAnalyserOptions options;
  // The statement's first condition pass decides with the selectivity rule which conditions
  // go to the cursor; the filter answers them the same way.
  options.SelectivityRule = true;
  const TCollation& collation = cursor.Collation();
  options.StringsAnswerable = context.LanguageId == collation.LanguageId() &&
                              (collation.IsBinary() || context.SortId == collation.SortId());
  return cursor.AddFilter(
      filter::MakeConditionFilter(cursor, std::move(prepared), context, options));
}

}  // namespace zorvic::engine

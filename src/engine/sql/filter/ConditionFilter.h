// Conditions as cursor filters, and the index analysis that answers them from indexes.
//
// A cursor filter is a prepared condition (Evaluator.h PrepareCondition) over one table's
// columns. Adding one analyses it against the cursor's indexes: each node gets a grade
// (0 not answerable, 1 partly, 2 wholly from indexes) and an estimate of matching keys; the
// answerable parts are answered by scanning index key ranges into record bitmaps, and only
// the candidates left are tested record by record. The cursor reports the grade of the whole
// expression as its filter optimisation level. Expression filters given as text (a table
// component's Filter) are parsed and bound against the table's fields with the context
// "filter expression"; their errors are VELDOR_INVALIDFILTER ("Filter error for the table
// '%s' - %s").
//
// An index answers a comparison of a column with a constant only through an index whose
// first field is that column (for a String column one without NOCASE; UPPER(column) through
// one with NOCASE), and, under the selectivity rule (SQL conditions), only when the
// comparison's key range holds no more than trunc(0.9 x the table's record count) keys, so
// that a condition that selects nearly every record is evaluated per record instead. Key
// ranges give candidates, never answers: every candidate is still tested with the whole
// condition, so an index never changes which records pass.
//
// Thread safety: a cursor and its filters belong to one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "engine/sql/eval/Evaluator.h"
#include "engine/sql/parse/ExpToken.h"

namespace zorvic::engine {

class TDataCursor;

struct TIndexAnalysis {
  int Grade = 0;              // 0 not answerable, 1 partly, 2 wholly from indexes
  std::int64_t Estimate = 0;  // estimated number of matching keys
  // Answerable through an index even if the selectivity rule graded it 0.
  bool Answerable = false;
};

// Registers the compiler of expression-text filters with the storage engine (once per
// process; later calls do nothing). Executions and query components call it.
void InstallExpressionFilters();

// The prepared condition of a filter text: parsed, bound against the cursor's fields (column
// nodes carry field numbers) and prepared as filters are (partial compares allowed). Raises
// the filter errors (VELDOR_INVALIDFILTER) naming the cursor's table.
TExpTokenPtr CompileFilterCondition(TDataCursor& cursor, const std::string& text);

// Grades a prepared single-table condition against the cursor's indexes (with the 0.9
// selectivity rule when asked). String comparisons are graded as evaluated under the table's
// own collation. Counting key ranges reads index pages only.
TIndexAnalysis AnalyseCondition(TDataCursor& cursor, const TExpToken& prepared,
                                bool selectivityRule);

// Adds a prepared single-table condition as a filter of the cursor (active at once) and
// returns its handle (for TDataCursor::DropFilter). Column nodes are read by their
// FieldNumber from the record being tested (SourceTable is ignored); context gives the
// collation, the clock (copied) and the fetcher's other services (sub-selects, LASTAUTOINC).
// The selectivity rule applies; String comparisons use indexes only when the context's
// collation is the table's. Raises VELDOR_INTERNALLIMIT past 64 filters.
int AddConditionFilter(TDataCursor& cursor, TExpTokenPtr prepared, const TEvalContext& context);

}  // namespace zorvic::engine

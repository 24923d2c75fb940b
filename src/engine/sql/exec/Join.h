// Distribution of a block's WHERE and JOIN conditions, and the nested loops over its tables.
//
// The block's combined condition is cut into parts at its top AND level. A part that refers to
// one table becomes a filter of that table's cursor, where the cursor layer can answer it
// through indexes, unless the table supplies the NULL row of an outer join (then the part is
// tested on the combined row). Every other part is tested as soon as the last table it refers
// to has its record: WHERE parts and the ON parts of inner joins on the combined row, the ON
// parts of an outer join while the joined table's records are matched. An outer join's ON part
// that names only the preserved side decides matching; it never removes preserved rows.
//
// Table order: without outer joins the table with the fewest qualifying records drives the
// loops (unless NOJOINOPTIMIZE, or a fixed driver for UPDATE and DELETE), and each next table
// is one linked to the tables placed so far; with outer joins the preserved side of each join
// comes before its inner side, a right outer join being a left outer join from the other side.
//
// Thread safety: a plan belongs to one statement and one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/sql/DataQuery.h"
#include "engine/sql/eval/Evaluator.h"
#include "engine/sql/exec/SourceTables.h"

namespace zorvic::engine {

enum class TRowAction : std::uint8_t { Continue, NextDriverRow, Stop };

// Progress of a statement through its driving records.
class TProgressReport {
 public:
  TProgressReport(const std::function<void(int, bool&)>* callback, int step);
  // Reports done / total as a percentage when it grew by at least the step; false to abort.
  bool Report(std::int64_t done, std::int64_t total);
  // Reports 100 at the end.
  void Finish();
  bool Aborted() const { return Aborted_; }

 private:
  const std::function<void(int, bool&)>* Callback_;
  int Step_;
  int Last_ = 0;
  bool Aborted_ = false;
};

struct TJoinLevel {
  TTableRun* Run = nullptr;
  bool Outer = false;                      // a NULL row when no record matches
  std::vector<const TExpToken*> PreMatch;  // outer: ON parts of earlier tables only
  std::vector<const TExpToken*> Match;     // outer: ON parts naming this table
  std::vector<const TExpToken*> Where;     // tested once this level has its record
  // A link "column = value of earlier tables": the level visits only the records whose
  // column equals the value, found in a sorted copy of the column made once per run.
  const TExpToken* SeekColumn = nullptr;
  const TExpToken* SeekValue = nullptr;
  bool SeekBuilt = false;
  std::vector<TRow> SeekKeys;             // the column's values, sorted
  std::vector<std::int32_t> SeekRecords;  // the record number of each key
};

class TJoinPlan {
 public:
  // Drops the filters of every run, distributes the block's condition (installing the
  // single-table filters) and orders the tables. fixedDriver: the table whose records are
  // changed (UPDATE, DELETE), which always drives.
  void Build(TDataQuery& block, std::vector<std::unique_ptr<TTableRun>>& runs,
             const TEvalContext& context, TTableRun* fixedDriver);

  // Runs the nested loops; onRow is called for every combined row that passes. Returns false
  // when stopped (by onRow or an abort).
  bool Run(const std::function<TRowAction()>& onRow, TProgressReport& progress);

  const std::vector<TJoinLevel>& Levels() const { return Levels_; }
  TTableRun* Driver() const { return Levels_.empty() ? nullptr : Levels_.front().Run; }

 private:
  TRowAction RunLevel(std::size_t level);
  void ChooseSeek(TJoinLevel& step, std::size_t level);
  void BuildSeek(TJoinLevel& step);
  bool AllTrue(const std::vector<const TExpToken*>& parts) const;

  std::vector<TJoinLevel> Levels_;
  TEvalContext Context_;
  const std::function<TRowAction()>* OnRow_ = nullptr;
  TProgressReport* Progress_ = nullptr;
  std::int64_t DriverTotal_ = 0;
  std::int64_t DriverDone_ = 0;
};

// The tables a tree's column nodes refer to (TSourceTable handles, each once).
std::vector<const void*> TablesOf(const TExpToken& tree);

}  // namespace zorvic::engine

// The SQL shell: reads SQL texts from an input stream, one text per line (a line may hold a
// script of statements separated by ";"; empty lines are skipped), hands each text to a
// runner and prints the runner's one-line answer.
//
// The runner decides what a text does: the checker parses and binds it without executing;
// an executing runner (later) runs it against a database. The shell owns no engine state.
//
// Thread safety: one shell per thread.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

namespace zorvic {

class TSqlRunner {
 public:
  virtual ~TSqlRunner() = default;
  // Handles one text; returns true when it succeeded. Writes its answer lines to out.
  virtual bool Run(std::string_view text, std::ostream& out) = 0;
};

// Feeds every non-empty line of in to the runner. Returns the process exit status: 0 when
// every text succeeded, 1 otherwise.
int RunShell(std::istream& in, std::ostream& out, TSqlRunner& runner);

}  // namespace zorvic

// The SQL shell's two loops.
//
// RunShell (the "--check" mode) reads SQL texts from a stream, one text per line (a line may
// hold a script of statements separated by ";"; empty lines are skipped), hands each text to
// a runner and prints the runner's one-line answer.
//
// RunScript (the executing mode) reads lines from an input, cuts them into statements with
// the engine's lexer (a statement may span lines and ends at its ";"), runs each statement in
// a session as soon as it is complete, and runs dot-commands given on a line of their own
// between statements. Whatever is left at the end of the input runs as the last statement.
//
// Thread safety: one shell per thread.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

namespace zorvic {

class TLineInput;
class TSqlSession;

class TSqlRunner {
 public:
  virtual ~TSqlRunner() = default;
  // Handles one text; returns true when it succeeded. Writes its answer lines to out.
  virtual bool Run(std::string_view text, std::ostream& out) = 0;
};

// Feeds every non-empty line of in to the runner. Returns the process exit status: 0 when
// every text succeeded, 1 otherwise.
int RunShell(std::istream& in, std::ostream& out, TSqlRunner& runner);

// Runs every statement and dot-command of the input. With bail it stops at the first failure.
// Returns the process exit status: 0 when everything succeeded, 1 otherwise.
int RunScript(TLineInput& input, TSqlSession& session, bool bail);

}  // namespace zorvic

// The "--check" runner of the SQL shell: parses and binds each text against the tables of a
// folder without executing anything, and answers "OK" or the engine error message of the
// first failing statement.
//
// Every text is checked against the tables of the folder as they are on disk: the effect of a
// CREATE, ALTER or DROP in one text is seen by the later statements of that text only, never
// by later texts (nothing was executed). A text that holds no statement at all (only a
// comment) is an error, as it would be when run.
//
// Thread safety: one runner per thread.
#pragma once

#include <string>

#include "tools/zorvic-sql/SqlShell.h"

namespace zorvic {

class TCheckRunner : public TSqlRunner {
 public:
  // With explain, the text form of every statement is printed before the answer line.
  TCheckRunner(std::string folder, bool explain);

  bool Run(std::string_view text, std::ostream& out) override;

 private:
  std::string Folder_;
  bool Explain_;
};

}  // namespace zorvic

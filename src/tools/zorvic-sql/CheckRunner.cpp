#include "tools/zorvic-sql/CheckRunner.h"

#include <ostream>

namespace zorvic {

TCheckRunner::TCheckRunner(std::unique_ptr<engine::TSchemaSource> tables, std::string folder,
                           bool explain)
    : Tables_(std::move(tables)), Checker_(*Tables_, std::move(folder)), Explain_(explain) {}

bool TCheckRunner::Run(std::string_view text, std::ostream& out) {
  std::string explanation;
  const std::string error = Checker_.Check(text, Explain_ ? &explanation : nullptr);
  if (Explain_) out << explanation;
  if (error.empty()) {
    out << "OK\n";
    return true;
  }
  // The answer is one line: a message never spans lines.
  std::string line = error;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  out << line << '\n';
  return false;
}

}  // namespace zorvic

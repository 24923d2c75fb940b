#include "tools/zorvic-sql/SqlShell.h"

#include <istream>
#include <ostream>

namespace zorvic {

int RunShell(std::istream& in, std::ostream& out, TSqlRunner& runner) {
  bool allSucceeded = true;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    if (!runner.Run(line, out)) allSucceeded = false;
    out.flush();
  }
  return allSucceeded ? 0 : 1;
}

}  // namespace zorvic

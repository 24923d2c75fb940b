#include "tools/zorvic-sql/SqlShell.h"

#include <istream>
#include <ostream>

#include "tools/zorvic-sql/LineInput.h"
#include "tools/zorvic-sql/SqlSession.h"
#include "tools/zorvic-sql/StatementSplitter.h"

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

namespace {
std::string Trimmed(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  const std::size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}
}  // namespace

int RunScript(TLineInput& input, TSqlSession& session, bool bail) {
  TStatementSplitter splitter;
  bool failed = false;
  bool stop = false;
  std::string entry;  // the lines of the statement being entered, for the history
  std::string line;
  while (!stop && input.ReadLine(line, !splitter.Idle())) {
    const std::string trimmed = Trimmed(line);
    if (splitter.Idle() && !trimmed.empty() && trimmed.front() == '.') {
      input.Remember(trimmed);
      splitter.Reset();
      entry.clear();
      if (!session.RunDotCommand(trimmed, stop)) {
        failed = true;
        stop = stop || bail;
      }
      continue;
    }
    entry += line;
    entry += '\n';
    for (const std::string& statement : splitter.Feed(line)) {
      if (stop) break;
      if (!session.RunStatement(statement)) {
        failed = true;
        stop = bail;
      }
    }
    if (splitter.Idle()) {
      input.Remember(Trimmed(entry));
      entry.clear();
    }
  }
  if (!stop) {
    for (const std::string& statement : splitter.Finish())
      if (!session.RunStatement(statement)) failed = true;
  }
  return failed ? 1 : 0;
}

}  // namespace zorvic

// Where the SQL shell's lines come from: a stream (a pipe, a file, a -c text), or a terminal
// with a prompt, line editing and history.
//
// Thread safety: one input per thread; the terminal input uses the line editor's global
// state, so there is at most one in a process.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

namespace zorvic {

class TLineInput {
 public:
  virtual ~TLineInput() = default;
  // The next line without its line break; false at the end of the input. continued: the line
  // continues a statement (the terminal shows the continuation prompt).
  virtual bool ReadLine(std::string& line, bool continued) = 0;
  // Remembers a finished entry in the history (terminal only).
  virtual void Remember(const std::string&) {}
};

// Lines of a stream.
std::unique_ptr<TLineInput> StreamInput(std::istream& in);
// The terminal: prompt "zorvic> " and "   ...> ", editing and history kept in historyFile
// (empty: no file).
std::unique_ptr<TLineInput> TerminalInput(const std::string& historyFile);

}  // namespace zorvic

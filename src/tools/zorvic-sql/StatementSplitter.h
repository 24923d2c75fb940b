// Cuts SQL text into single statements with the engine's own lexer, so that a ";" inside a
// literal, a bracketed name or a comment never ends a statement.
//
// Text is fed a line at a time. A statement is complete at a ";" token; what follows stays
// pending until more text completes it. Text the lexer cannot read yet (an open literal or
// comment) also stays pending: the next line may close it. At the end of the input, Finish
// hands out whatever is pending, so that the engine reports what is wrong with it.
//
// Thread safety: one splitter per input.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zorvic {

class TStatementSplitter {
 public:
  // Adds text (a line break is added after it) and returns the statements it completed, each
  // from its first token to its ";".
  std::vector<std::string> Feed(std::string_view line);
  // The pending text when it holds more than blanks and comments, else nothing.
  std::vector<std::string> Finish();
  // True when no statement has been started (only blanks and comments are pending).
  bool Idle() const { return !Started_; }
  void Reset() {
    Pending_.clear();
    Started_ = false;
  }

 private:
  // Splits Pending_: complete statements out, the rest stays.
  std::vector<std::string> Split();

  std::string Pending_;
  bool Started_ = false;  // Pending_ holds a token
};

}  // namespace zorvic

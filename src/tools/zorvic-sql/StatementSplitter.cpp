#include "tools/zorvic-sql/StatementSplitter.h"

#include "engine/sql/parse/Lexer.h"
#include "engine/storage/EngineError.h"

namespace zorvic {

using engine::TExpressionParser;

namespace {

// Whether the text holds a token (comments and blanks do not count). Text the lexer refuses
// counts as a token: the engine must see it.
bool HasToken(const std::string& text) {
  TExpressionParser lexer;
  try {
    lexer.Load(text);
    return lexer.Next() != engine::tkEnd;
  } catch (const engine::EVELDOREngineError&) {
    return true;
  }
}

}  // namespace

std::vector<std::string> TStatementSplitter::Split() {
  std::vector<std::string> statements;
  TExpressionParser lexer;
  std::size_t consumed = 0;  // Pending_ before this offset has been handed out
  try {
    lexer.Load(Pending_);
    std::size_t start = std::string::npos;
    for (;;) {
      const engine::TokenKind kind = lexer.Next();
      if (kind == engine::tkEnd) break;
      if (start == std::string::npos) start = lexer.TokenStart();
      if (kind == ';') {
        statements.push_back(Pending_.substr(start, lexer.Position() - start));
        consumed = lexer.Position();
        start = std::string::npos;
      }
    }
  } catch (const engine::EVELDOREngineError&) {
    // An open literal or comment: wait for the rest of it.
  }
  Pending_.erase(0, consumed);
  return statements;
}

std::vector<std::string> TStatementSplitter::Feed(std::string_view line) {
  Pending_.append(line);
  Pending_ += '\n';
  // A statement can only end at a ";" of the new line: one before it was inside a literal or
  // a comment, and stays there. So a long statement is not read again for every line.
  std::vector<std::string> statements;
  if (line.find(';') != std::string_view::npos) {
    statements = Split();
    Started_ = HasToken(Pending_);
  } else if (!Started_) {
    Started_ = HasToken(Pending_);
  }
  return statements;
}

std::vector<std::string> TStatementSplitter::Finish() {
  std::vector<std::string> rest;
  if (HasToken(Pending_)) {
    std::size_t end = Pending_.size();
    while (end > 0 && static_cast<unsigned char>(Pending_[end - 1]) <= ' ')
      --end;
    std::size_t begin = 0;
    while (begin < end && static_cast<unsigned char>(Pending_[begin]) <= ' ')
      ++begin;
    rest.push_back(Pending_.substr(begin, end - begin));
  }
  Pending_.clear();
  Started_ = false;
  return rest;
}

}  // namespace zorvic

#include "engine/sql/parse/Lexer.h"

#include <algorithm>
#include <cstring>

#include "engine/EngineLimits.h"

namespace zorvic::engine {

namespace {

bool IsNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}

bool IsNameChar(unsigned char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '!' || c == '$' || c == '@';
}

bool IsDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}

char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

}  // namespace

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

TExpressionParser::TExpressionParser() {
  Text_.assign(1, '\0');
}

void TExpressionParser::SetParseContext(std::string_view context) {
  // The context may be a view of this very buffer (a type parsed in the current context).
  ParseContextLength_ = std::min(context.size(), MaxParseContextLength);
  std::memmove(ParseContext_, context.data(), ParseContextLength_);
}

void TExpressionParser::Load(std::string_view text) {
  // The copy is NUL-terminated (std::string guarantees Text_[size()] == 0), which the token
  // reader relies on as its end mark; an embedded NUL would end the text early.
  Text_.assign(text);
  Rewind();
  const std::size_t nul = Text_.find('\0');
  if (nul != std::string::npos) {
    const std::size_t at = nul;
    Text_.clear();
    RaiseInContext("Invalid NUL character (#0) found at position " + std::to_string(at + 1) +
                   " of the text");
  }
}

void TExpressionParser::SkipBlanksAndComments() {
  for (;;) {
    while (Text_[Position_] != 0 && static_cast<unsigned char>(Text_[Position_]) <= 32) {
      ++Position_;
    }
    if (Text_[Position_] == '/' && Text_[Position_ + 1] == '*') {
      const std::size_t end = Text_.find("*/", Position_ + 2);
      if (end == std::string::npos) {
        Position_ = Text_.size();
        RaiseInContext("Missing ending comment slash and asterisk");
      }
      Position_ = end + 2;
      continue;
    }
    return;
  }
}

void TExpressionParser::ReadQuoted(char close, const char* missingMessage) {
  // Position_ is on the opening delimiter. Inside brackets either doubled quote collapses;
  // inside quotes only the doubled closing quote does.
  ++Position_;
  // The characters up to the next delimiter (or the end) go in one piece: a message body
  // is a string of thousands of them.
  const char stops[4] = {close, close == ']' ? '\'' : '\0', close == ']' ? '"' : '\0', '\0'};
  for (;;) {
    const std::size_t plain = std::strcspn(Text_.c_str() + Position_, stops);
    Token_.append(Text_, Position_, plain);
    Position_ += plain;
    const char c = Text_[Position_];
    if (c == 0) {
      RaiseInContext(std::string(missingMessage) + Token_ + "'");
    }
    if (close == ']') {
      if (c == ']') break;
      if ((c == '\'' || c == '"') && Text_[Position_ + 1] == c) {
        Token_.push_back(c);
        Position_ += 2;
        continue;
      }
    } else if (c == close) {
      if (Text_[Position_ + 1] != close) break;
      Token_.push_back(c);
      Position_ += 2;
      continue;
    }
    Token_.push_back(c);
    ++Position_;
  }
  ++Position_;  // the closing delimiter
  StringEnd_ = Position_;
}

TokenKind TExpressionParser::Next() {
  if (Kind_ != tkNone) PreviousTokenEnd_ = Position_;
  Token_.clear();
  SkipBlanksAndComments();
  TokenStart_ = Position_;
  const unsigned char c = static_cast<unsigned char>(Text_[Position_]);
  if (c == 0) {
    Kind_ = tkEnd;
    return Kind_;
  }
  if (IsNameStart(c)) {
    while (IsNameChar(static_cast<unsigned char>(Text_[Position_])))
      ++Position_;
    Kind_ = tkName;
  } else if (c == '#') {
    ++Position_;
    while (IsDigit(static_cast<unsigned char>(Text_[Position_])))
      ++Position_;
    Kind_ = tkCharConst;
  } else if (c == '\'') {
    ReadQuoted('\'', "Missing single quote after '");
    Kind_ = tkSingleQuoted;
    return Kind_;
  } else if (c == '"') {
    ReadQuoted('"', "Missing double quote after '");
    Kind_ = tkDoubleQuoted;
    return Kind_;
  } else if (c == '[') {
    ReadQuoted(']', "Missing right bracket after '");
    Kind_ = tkBracketName;
    return Kind_;
  } else if (IsDigit(c) ||
             (c == '.' && IsDigit(static_cast<unsigned char>(Text_[Position_ + 1])))) {
    Kind_ = (c == '.') ? tkReal : tkInteger;
    ++Position_;
    for (;;) {
      const unsigned char d = static_cast<unsigned char>(Text_[Position_]);
      const unsigned char prev = static_cast<unsigned char>(Text_[Position_ - 1]);
      if (IsDigit(d)) {
        ++Position_;
      } else if (d == '.' || d == 'E' || d == 'e' ||
                 ((d == '+' || d == '-') && (prev == 'E' || prev == 'e'))) {
        ++Position_;
        Kind_ = tkReal;
      } else {
        break;
      }
    }
  } else {
    ++Position_;
    Kind_ = c;
  }
  Token_.assign(Text_, TokenStart_, Position_ - TokenStart_);
  return Kind_;
}

bool TExpressionParser::IsKeyword(std::string_view word) const {
  return Kind_ == tkName && SameTextIgnoringCase(Token_, word);
}

std::string TExpressionParser::ClauseText(std::size_t limit) const {
  if (PreviousTokenEnd_ <= ClauseStart_) return {};
  return ClauseTextOf(
      std::string_view(Text_.data() + ClauseStart_, PreviousTokenEnd_ - ClauseStart_), limit);
}

std::string TExpressionParser::ClauseTextOf(std::string_view clause, std::size_t limit) {
  // A long value (a message body) is not copied whole only to be cut.
  const std::string_view head = clause.substr(0, limit);
  // Two scans of the bytes (find_first_of would look each byte up in the set by a call).
  if (std::memchr(head.data(), '\r', head.size()) == nullptr &&
      std::memchr(head.data(), '\n', head.size()) == nullptr)
    return std::string(head);
  std::string result;
  result.reserve(std::min(clause.size(), limit));
  for (const char c : clause) {
    if (result.size() >= limit) break;
    if (c != '\r' && c != '\n') result.push_back(c);
  }
  return result;
}

void TExpressionParser::Rewind() {
  Position_ = TokenStart_ = StringEnd_ = ClauseStart_ = PreviousTokenEnd_ = 0;
  Kind_ = tkNone;
  Token_.clear();
  ExpressionDepth = 0;
}

TokenKind TExpressionParser::ReadTokenAt(std::size_t offset) {
  Position_ = std::min(offset, Text_.size());
  Kind_ = tkNone;
  return Next();
}

void TExpressionParser::MoveToEnd() {
  Position_ = TokenStart_ = StringEnd_ = PreviousTokenEnd_ = Text_.size();
  Token_.clear();
  Kind_ = tkEnd;
}

TLexerState TExpressionParser::SaveState() const {
  return TLexerState{Position_, TokenStart_, StringEnd_, PreviousTokenEnd_, Kind_, Token_};
}

void TExpressionParser::RestoreState(const TLexerState& state) {
  Position_ = state.Position;
  TokenStart_ = state.TokenStart;
  StringEnd_ = state.StringEnd;
  PreviousTokenEnd_ = state.PreviousTokenEnd;
  Kind_ = state.Kind;
  Token_ = state.Token;
}

void TExpressionParser::RaiseError(const std::string& message) const {
  if (ErrorCode == VELDOR_SQLPARSE) RaiseSQLError(message);
  TErrorTexts texts;
  texts.Text = message;
  texts.Table = ErrorTableName;
  texts.Database = ErrorDatabaseName;
  RaiseEngineError(ErrorCode, texts);
}

void TExpressionParser::RaiseInsteadFound(std::string_view prefix) const {
  std::string message(prefix);
  message += Token_;
  message += "' in ";
  message += ParseContext();
  RaiseError(message);
}

void TExpressionParser::RaiseInContext(std::string_view message) const {
  std::string text(message);
  text += " in ";
  text += ParseContext();
  RaiseError(text);
}

}  // namespace zorvic::engine

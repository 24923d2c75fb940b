// The lexer of SQL text and of table filter expressions.
//
// A TExpressionParser holds a private copy of one source text and walks it token by token:
// Load copies the text, Next skips blanks and /* */ comments and reads one token, and the
// accessors describe the current token. The statement parser and the expression parser both
// read through it, and both raise their errors through RaiseError, which uses the lexer's
// error code: 11949 (SQL error) for SQL text, 10051 (filter error, naming the table) for the
// filter expression of a cursor.
//
// Thread safety: one lexer belongs to one statement or one filtered cursor and is used by one
// thread at a time; it has no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/EngineLimits.h"
#include "engine/storage/EngineError.h"

namespace zorvic::engine {

// Kinds of tokens. Any value above tkReal (other than tkNone) is the character code of a
// one-character symbol, e.g. '(' is 40.
using TokenKind = int;
enum : TokenKind {
  tkNone = -1,         // after Load, before the first Next
  tkEnd = 0,           // end of text
  tkName = 1,          // letters, '_' or bytes 128..254, then also digits, '!', '$', '@'
  tkBracketName = 2,   // [name]
  tkSingleQuoted = 3,  // 'text'
  tkDoubleQuoted = 4,  // "text"
  tkCharConst = 5,     // #65
  tkInteger = 6,       // 123
  tkReal = 7,          // 1.5, 1e10, .5
};

// Saved position of a lexer, for a parser that must look ahead and come back.
struct TLexerState {
  std::size_t Position = 0;
  std::size_t TokenStart = 0;
  std::size_t StringEnd = 0;
  std::size_t PreviousTokenEnd = 0;
  TokenKind Kind = tkNone;
  std::string Token;
};

class TExpressionParser {
 public:
  TExpressionParser();

  // Error reporting: the code raised for parse errors and the table/database names a filter
  // error names. SQL text keeps the defaults (11949, empty names).
  TErrorCode ErrorCode = VELDOR_SQLPARSE;
  std::string ErrorTableName;
  std::string ErrorDatabaseName;

  // The clause being parsed; expression errors end with " in " + this text.
  std::string_view ParseContext() const { return {ParseContext_, ParseContextLength_}; }
  void SetParseContext(std::string_view context);

  // Copies the text and resets every position; the token kind becomes tkNone, so the caller
  // calls Next next. A NUL byte inside the text is refused with an error: the text would
  // otherwise end silently there.
  void Load(std::string_view text);

  // Skips blanks (bytes 1..32) and comments, reads one token and returns its kind.
  TokenKind Next();

  TokenKind Kind() const { return Kind_; }
  // The current token's text: for quoted and bracketed tokens the text between the delimiters
  // with doubled quotes collapsed, for all others the characters of the token.
  const std::string& TokenText() const { return Token_; }
  // True when the current token is a name equal to word ignoring (ASCII) case.
  bool IsKeyword(std::string_view word) const;
  // True when the current token kind equals code (symbols, and tkEnd / tkInteger).
  bool IsSymbol(TokenKind code) const { return Kind_ == code; }
  // True for names, bracketed names and both kinds of quoted strings.
  bool IsNameOrString() const { return Kind_ >= tkName && Kind_ <= tkDoubleQuoted; }

  // The byte directly after the current token (0 at the end of text), without skipping blanks:
  // "<>" and "<=" are one operator only when written together.
  char PeekChar() const { return Text_[Position_]; }

  // Marks the start of the current token as the start of a clause; ClauseText returns the
  // source from there to the end of the token before the current one, CR and LF removed, at
  // most limit characters of it.
  void MarkClauseStart() { ClauseStart_ = TokenStart_; }
  std::string ClauseText(std::size_t limit = std::string::npos) const;
  // The clause text of source bytes as ClauseText gives it: CR and LF removed, at most limit
  // characters.
  static std::string ClauseTextOf(std::string_view clause, std::size_t limit);

  // Reads the token that starts at or after offset (blanks and comments skipped), as Next
  // would there.
  TokenKind ReadTokenAt(std::size_t offset);
  // Puts the lexer at the end of its text, as after reading the last token.
  void MoveToEnd();
  // Back to the state Load leaves: before the first token.
  void Rewind();

  // The whole source text and the current token's offsets in it.
  const std::string& Text() const { return Text_; }
  std::size_t TokenStart() const { return TokenStart_; }
  std::size_t Position() const { return Position_; }
  // For quoted and bracketed tokens, the offset just after the closing delimiter.
  std::size_t StringEnd() const { return StringEnd_; }

  // Nesting level of the expression being read. Nested parses on the same lexer (the
  // expressions of an IN sub-select) count on from the level of the IN that holds them, so
  // the nesting bound holds for the whole text. Reset by Load.
  int ExpressionDepth = 0;

  TLexerState SaveState() const;
  void RestoreState(const TLexerState& state);

  // Raises the lexer's error code with the message (code 11949 makes it "SQL error - " +
  // message; a filter error names ErrorTableName).
  [[noreturn]] void RaiseError(const std::string& message) const;
  // Raises prefix + token text + "'" + " in " + ParseContext, the form of every message that
  // ends in "instead found '".
  [[noreturn]] void RaiseInsteadFound(std::string_view prefix) const;
  // Raises message + " in " + ParseContext.
  [[noreturn]] void RaiseInContext(std::string_view message) const;

 private:
  void SkipBlanksAndComments();
  void ReadQuoted(char close, const char* missingMessage);

  // A fixed buffer: the context changes around every clause a statement parses.
  char ParseContext_[MaxParseContextLength] = {};
  std::size_t ParseContextLength_ = 0;
  std::string Text_;
  std::size_t Position_ = 0;
  std::size_t TokenStart_ = 0;
  std::size_t StringEnd_ = 0;
  std::size_t ClauseStart_ = 0;
  std::size_t PreviousTokenEnd_ = 0;
  TokenKind Kind_ = tkNone;
  std::string Token_;
};

// ASCII case-insensitive equality, the rule for keywords.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

}  // namespace zorvic::engine

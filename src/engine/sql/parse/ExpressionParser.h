// The expression grammar: from tokens of a TExpressionParser to a TExpToken tree.
//
// Each entry point starts at the lexer's current token (the first token of the expression)
// and leaves the lexer on the first token after the expression. What an expression may hold
// depends on its clause and is given by ExpressionFlags; errors end with " in " + the
// lexer's ParseContext and are raised with the lexer's error code.
//
// Parameters ("?") are appended to the hooks' ParameterList in order of appearance (the list
// does not own them: the tree does). IN (SELECT ...) is handed to the hooks' sub-select parser,
// which the statement parser implements.
//
// Nesting is bounded: more than MaxExpressionDepth levels of parentheses, operators, NOT
// chains or function calls, or a tree higher than that, raise an error instead of exhausting
// the stack.
//
// Thread safety: uses only the lexer and hooks given; one thread per lexer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/parse/ExpToken.h"
#include "engine/sql/parse/Lexer.h"

namespace zorvic::engine {

// What an expression may contain.
using ExpressionFlags = unsigned;
enum : ExpressionFlags {
  efNone = 0,
  efAggregates = 1,          // SUM, RUNSUM, AVG, MIN, MAX, COUNT
  efAllColumns = 2,          // "*" and correlation.*
  efExtendedPredicates = 4,  // LIKE, BETWEEN, IN, IS NULL
  efParameters = 8,          // "?"
  efSubSelects = 16,         // IN (SELECT ...)
};

// Implemented by the statement parser: reads a complete SELECT used as an IN sub-select.
class TSubSelectParser {
 public:
  virtual ~TSubSelectParser() = default;
  // Called with the lexer on the SELECT keyword right after "IN (". Parses the SELECT as an IN
  // sub-select block and leaves the lexer on the token after it (the ")" that closes the IN,
  // which the expression parser then reads). Returns the block, owned by the statement.
  virtual TDataQuery* ParseSubSelect(TExpressionParser& lexer) = 0;
};

// What a parse noticed of its text beyond the trees: the literals it made constants of (a
// single-quoted string that is not empty, an unsigned number), each with its token's source
// span, and whether it read the clock (CURRENT_DATE and its kin).
struct TLiteralMark {
  const TExpToken* Node = nullptr;
  std::size_t Start = 0;  // the token's first byte in the source
  std::size_t End = 0;    // just after its last byte
  TokenKind Kind = tkNone;
};
struct TParseNotes {
  std::vector<TLiteralMark> Literals;
  bool ClockRead = false;
  void Clear() {
    Literals.clear();
    ClockRead = false;
  }
};

struct TParseHooks {
  std::vector<TExpToken*>* ParameterList = nullptr;  // "?" nodes, in order; may be null
  TSubSelectParser* SubSelects = nullptr;            // required when efSubSelects is given and used
  TParseNotes* Notes = nullptr;                      // may be null
};

// Makes node the constant the parser makes of a literal token of the kind and text (the text
// between the quotes for a string): its Text and typed value. False, the node unchanged, for
// a token that is no single-quoted string or unsigned number, for the empty string (the NULL
// constant) and for a number the parser refuses.
bool SetLiteralConstant(TExpToken& node, TokenKind kind, const std::string& text);

// condition: and-term { OR and-term } (the whole expression grammar).
TExpTokenPtr ParseCondition(TExpressionParser& lexer, ExpressionFlags flags,
                            const TParseHooks& hooks = {});
// sum: term { (+ | - | ||) term }.
TExpTokenPtr ParseSum(TExpressionParser& lexer, ExpressionFlags flags,
                      const TParseHooks& hooks = {});
// One primary: constant, column, function, parameter or parenthesised condition.
TExpTokenPtr ParsePrimary(TExpressionParser& lexer, ExpressionFlags flags,
                          const TParseHooks& hooks = {});

// Sets the lexer's ParseContext to context, parses a condition and restores the previous
// context: the form a statement clause uses.
TExpTokenPtr ParseClauseCondition(TExpressionParser& lexer, ExpressionFlags flags,
                                  std::string_view context, const TParseHooks& hooks = {});

// Parses a whole text as one condition: loads it into the lexer, sets the context, and
// requires the end of text after the expression ("Unknown or unexpected symbol" otherwise).
// Filters of cursors and tests use it.
TExpTokenPtr ParseExpressionText(TExpressionParser& lexer, std::string_view text,
                                 ExpressionFlags flags, std::string_view context,
                                 const TParseHooks& hooks = {});

}  // namespace zorvic::engine

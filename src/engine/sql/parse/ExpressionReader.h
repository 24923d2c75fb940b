// Internal to the expression parser: the recursive-descent reader shared by
// ExpressionParser.cpp (operators, predicates, primaries) and Functions.cpp (function syntax).
//
// Stack discipline: every function on the recursive path (one nesting level passes through
// Condition, AndTerm, NotTerm, Predicate, Sum, Term, Unary, Primary and possibly a predicate or
// function reader) keeps no strings or other large locals of its own; messages are built in
// out-of-line helpers that do not recurse. That keeps a 1,000-level expression within a
// few megabytes of stack even in a sanitizer build.
//
// Thread safety: one reader per parse call, on the caller's thread.
#pragma once

#include <string>
#include <string_view>

#include "engine/sql/parse/ExpressionParser.h"

namespace zorvic::engine::detail {

class TExpressionReader {
 public:
  TExpressionReader(TExpressionParser& lexer, const TParseHooks& hooks)
      : Lexer(lexer), Hooks(hooks) {}

  TExpTokenPtr Condition(ExpressionFlags flags);
  TExpTokenPtr AndTerm(ExpressionFlags flags);
  TExpTokenPtr NotTerm(ExpressionFlags flags);
  TExpTokenPtr Predicate(ExpressionFlags flags);
  TExpTokenPtr Sum(ExpressionFlags flags);
  TExpTokenPtr Term(ExpressionFlags flags);
  TExpTokenPtr Unary(ExpressionFlags flags);
  TExpTokenPtr Primary(ExpressionFlags flags);

  // Functions.cpp: true when the current name token is a function or aggregate keyword.
  bool IsFunctionKeyword() const;
  // Functions.cpp: reads a function call; the keyword is current.
  TExpTokenPtr Function(ExpressionFlags flags);

  // Counts one level of nesting for the lifetime of the guard.
  class TNesting {
   public:
    explicit TNesting(TExpressionReader& reader);
    ~TNesting() { --Reader_.Lexer.ExpressionDepth; }
    TNesting(const TNesting&) = delete;
    TNesting& operator=(const TNesting&) = delete;

   private:
    TExpressionReader& Reader_;
  };

  // A new node of the class and code with the given text.
  TExpTokenPtr NewNode(TNodeClass nodeClass, TOperatorCode code, std::string_view text);
  // Sets the node's height from its operands and refuses a tree higher than the limit.
  void CheckHeight(TExpToken& node);
  [[noreturn]] void RaiseTooDeep() const;

  // Requires the symbol or keyword (else raises message + token + "' in " + context), reads it.
  void ExpectSymbol(TokenKind symbol, std::string_view message);
  void ExpectKeyword(std::string_view keyword, std::string_view message);

  [[noreturn]] void RaiseInContext(std::string_view message) const {
    Lexer.RaiseInContext(message);
  }
  [[noreturn]] void RaiseInsteadFound(std::string_view message) const {
    Lexer.RaiseInsteadFound(message);
  }
  // Raises before + name + after + token text + "' in " + context.
  [[noreturn]] void RaiseInsteadFound(std::string_view before, std::string_view name,
                                      std::string_view after) const;

  TExpressionParser& Lexer;
  const TParseHooks& Hooks;

 private:
  // Comparison operator at the current token, read; opNone (nothing read) if there is none.
  TOperatorCode ReadComparison();
  // After a sum: whether an extended predicate follows; a NOT before LIKE, BETWEEN or IN is
  // read and noted in Negated_.
  bool StartsExtendedPredicate();
  TExpTokenPtr ExtendedPredicate(TExpTokenPtr subject, ExpressionFlags flags);
  TExpTokenPtr InPredicate(TExpTokenPtr subject, ExpressionFlags flags, bool negated);
  TExpTokenPtr IsNullPredicate(TExpTokenPtr subject);
  TExpTokenPtr SignedNumber(bool minus);
  TExpTokenPtr OtherPrimary(ExpressionFlags flags);
  TExpTokenPtr NamePrimary(ExpressionFlags flags);
  TExpTokenPtr CorrelatedColumn(std::string_view correlation, ExpressionFlags flags);
  void ReadCastType(TExpToken& node);
  const char* ReadFunctionArguments(TExpToken& node, const char* name, ExpressionFlags flags);
  void ReadSubstringArguments(TExpToken& node, ExpressionFlags flags);
  void ReadReplaceArguments(TExpToken& node, ExpressionFlags flags);
  void ReadSearchInArguments(TExpToken& node, const char* name, ExpressionFlags flags);
  void ReadTrimArguments(TExpToken& node, ExpressionFlags flags);
  void ReadExtractArguments(TExpToken& node, ExpressionFlags flags);
  void ReadConditionalArguments(TExpToken& node, const char* name, ExpressionFlags flags);
  void ReadCoalesceArguments(TExpToken& node, ExpressionFlags flags);

  bool Negated_ = false;
};

// Days of a calendar date in the engine's Date form (1 January 0001 is day 1).
std::int32_t DateValueOf(int year, int month, int day);

}  // namespace zorvic::engine::detail

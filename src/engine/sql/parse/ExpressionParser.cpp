#include "engine/sql/parse/ExpressionParser.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>

#include "engine/EngineLimits.h"
#include "engine/sql/parse/ExpressionReader.h"

namespace zorvic::engine {

using detail::TExpressionReader;

namespace {

// Reads decimal digits, optionally negated, as the narrowest of Integer and LargeInt; nullopt
// when the value does not fit 64 bits. The magnitude is read unsigned, so "-9223372036854775808"
// is exact and nothing relies on signed overflow.
std::optional<std::int64_t> ReadWholeNumber(std::string_view digits, bool negative) {
  std::uint64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  const std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!negative) {
    if (magnitude > limit) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > limit + 1) return std::nullopt;
  if (magnitude == limit + 1) return std::numeric_limits<std::int64_t>::min();
  return -static_cast<std::int64_t>(magnitude);
}

std::optional<double> ReadRealNumber(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Sets a number constant from an integer or real token's text, negated when the sign was
// "-"; false when the text is no number the engine takes.
bool SetNumberValue(TExpToken& node, TokenKind kind, const std::string& text, bool negative) {
  if (kind == tkInteger) {
    if (const auto whole = ReadWholeNumber(text, negative)) {
      if (*whole >= std::numeric_limits<std::int32_t>::min() &&
          *whole <= std::numeric_limits<std::int32_t>::max()) {
        node.SetIntegerConstant(static_cast<std::int32_t>(*whole));
      } else {
        node.SetLargeIntConstant(*whole);
      }
      return true;
    }
  }
  if (const auto real = ReadRealNumber(text)) {
    node.SetFloatConstant(negative ? -*real : *real);
    return true;
  }
  return false;
}

// A number constant from the current integer or real token, negated when the sign was "-".
[[gnu::noinline]] void SetNumberConstant(TExpressionReader& reader, TExpToken& node,
                                         bool negative) {
  TExpressionParser& lexer = reader.Lexer;
  const std::string& text = lexer.TokenText();
  if (SetNumberValue(node, lexer.Kind(), text, negative)) return;
  reader.RaiseInContext("Constant '" + text + "' is not a valid number ");
}

// Notes a literal the parser made a constant of, with its token's span and kind.
void NoteLiteral(const TParseHooks& hooks, const TExpToken& node, std::size_t start,
                 std::size_t end, TokenKind kind) {
  if (hooks.Notes != nullptr) hooks.Notes->Literals.push_back({&node, start, end, kind});
}

}  // namespace

namespace detail {

TExpressionReader::TNesting::TNesting(TExpressionReader& reader) : Reader_(reader) {
  if (++Reader_.Lexer.ExpressionDepth > MaxExpressionDepth) reader.RaiseTooDeep();
}

[[gnu::noinline]] void TExpressionReader::RaiseTooDeep() const {
  RaiseInContext("Expression nesting is deeper than " + std::to_string(MaxExpressionDepth) +
                 " levels");
}

[[gnu::noinline]] void TExpressionReader::RaiseInsteadFound(std::string_view before,
                                                            std::string_view name,
                                                            std::string_view after) const {
  std::string message(before);
  message += name;
  message += after;
  Lexer.RaiseInsteadFound(message);
}

TExpTokenPtr TExpressionReader::NewNode(TNodeClass nodeClass, TOperatorCode code,
                                        std::string_view text) {
  TExpTokenPtr node = NewExpToken();
  node->NodeClass = nodeClass;
  node->OperatorCode = code;
  node->Text.assign(text);
  return node;
}

void TExpressionReader::CheckHeight(TExpToken& node) {
  UpdateHeight(node);
  // A leaf has height 1; every operator or function above it is one level.
  if (node.Height - 1 > MaxExpressionDepth) RaiseTooDeep();
}

void TExpressionReader::ExpectSymbol(TokenKind symbol, std::string_view message) {
  if (!Lexer.IsSymbol(symbol)) RaiseInsteadFound(message);
  Lexer.Next();
}

void TExpressionReader::ExpectKeyword(std::string_view keyword, std::string_view message) {
  if (!Lexer.IsKeyword(keyword)) RaiseInsteadFound(message);
  Lexer.Next();
}

TExpTokenPtr TExpressionReader::Condition(ExpressionFlags flags) {
  TExpTokenPtr left = AndTerm(flags);
  while (Lexer.IsKeyword("OR")) {
    TExpTokenPtr node = NewNode(ncBinary, opOr, Lexer.TokenText());
    Lexer.Next();
    node->Left = std::move(left);
    node->Right = AndTerm(flags);
    CheckHeight(*node);
    left = std::move(node);
  }
  return left;
}

TExpTokenPtr TExpressionReader::AndTerm(ExpressionFlags flags) {
  TExpTokenPtr left = NotTerm(flags);
  while (Lexer.IsKeyword("AND")) {
    TExpTokenPtr node = NewNode(ncBinary, opAnd, Lexer.TokenText());
    Lexer.Next();
    node->Left = std::move(left);
    node->Right = NotTerm(flags);
    CheckHeight(*node);
    left = std::move(node);
  }
  return left;
}

TExpTokenPtr TExpressionReader::NotTerm(ExpressionFlags flags) {
  if (!Lexer.IsKeyword("NOT")) return Predicate(flags);
  TNesting nesting(*this);
  TExpTokenPtr node = NewNode(ncUnary, opNot, Lexer.TokenText());
  Lexer.Next();
  node->Left = NotTerm(flags);
  CheckHeight(*node);
  return node;
}

[[gnu::noinline]] TOperatorCode TExpressionReader::ReadComparison() {
  TOperatorCode code = opNone;
  if (Lexer.IsSymbol('=')) {
    code = opEqual;
  } else if (Lexer.IsSymbol('<')) {
    // "<>" and "<=" are one operator only when written together.
    if (Lexer.PeekChar() == '>') {
      code = opNotEqual;
      Lexer.Next();
    } else if (Lexer.PeekChar() == '=') {
      code = opLessEqual;
      Lexer.Next();
    } else {
      code = opLess;
    }
  } else if (Lexer.IsSymbol('>')) {
    code = opGreater;
    if (Lexer.PeekChar() == '=') {
      code = opGreaterEqual;
      Lexer.Next();
    }
  }
  if (code != opNone) Lexer.Next();
  return code;
}

namespace {

const char* ComparisonText(TOperatorCode code) {
  switch (code) {
    case opEqual:
      return "=";
    case opNotEqual:
      return "<>";
    case opLess:
      return "<";
    case opLessEqual:
      return "<=";
    case opGreater:
      return ">";
    default:
      return ">=";
  }
}

}  // namespace

TExpTokenPtr TExpressionReader::Predicate(ExpressionFlags flags) {
  TExpTokenPtr left = Sum(flags);
  const TOperatorCode compare = ReadComparison();
  if (compare != opNone) {
    TExpTokenPtr node = NewNode(ncBinary, compare, ComparisonText(compare));
    node->Left = std::move(left);
    node->Right = Sum(flags);
    CheckHeight(*node);
    return node;
  }
  if (!StartsExtendedPredicate()) return left;
  if ((flags & efExtendedPredicates) == 0) {
    RaiseInContext("Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed");
  }
  return ExtendedPredicate(std::move(left), flags);
}

[[gnu::noinline]] bool TExpressionReader::StartsExtendedPredicate() {
  Negated_ = false;
  if (Lexer.IsKeyword("NOT")) {
    const TLexerState beforeNot = Lexer.SaveState();
    Lexer.Next();
    if (!Lexer.IsKeyword("LIKE") && !Lexer.IsKeyword("BETWEEN") && !Lexer.IsKeyword("IN")) {
      Lexer.RestoreState(beforeNot);  // not ours: the caller reports the stray NOT
      return false;
    }
    Negated_ = true;
    return true;
  }
  return Lexer.IsKeyword("LIKE") || Lexer.IsKeyword("BETWEEN") || Lexer.IsKeyword("IN") ||
         Lexer.IsKeyword("IS");
}

TExpTokenPtr TExpressionReader::ExtendedPredicate(TExpTokenPtr subject, ExpressionFlags flags) {
  const bool negated = Negated_;
  if (Lexer.IsKeyword("IS")) return IsNullPredicate(std::move(subject));
  if (Lexer.IsKeyword("IN")) return InPredicate(std::move(subject), flags, negated);
  TExpTokenPtr node;
  if (Lexer.IsKeyword("LIKE")) {
    node =
        NewNode(ncExtendedPredicate, negated ? opNotLike : opLike, negated ? "NOT LIKE" : "LIKE");
    Lexer.Next();
    node->Arguments.push_back(std::move(subject));
    node->Arguments.push_back(Sum(flags));
  } else {
    node = NewNode(ncExtendedPredicate, negated ? opNotBetween : opBetween,
                   negated ? "NOT BETWEEN" : "BETWEEN");
    Lexer.Next();
    node->Arguments.push_back(std::move(subject));
    node->Arguments.push_back(Sum(flags));
    if (!Lexer.IsKeyword("AND")) {
      RaiseInsteadFound("Expected AND operator in ", negated ? "NOT BETWEEN" : "BETWEEN",
                        " operator, instead found '");
    }
    Lexer.Next();
    node->Arguments.push_back(Sum(flags));
  }
  CheckHeight(*node);
  return node;
}

[[gnu::noinline]] TExpTokenPtr TExpressionReader::IsNullPredicate(TExpTokenPtr subject) {
  // IS NULL is "=" with the NULL constant, IS NOT NULL "<>" with it.
  Lexer.Next();
  TOperatorCode code = opEqual;
  if (Lexer.IsKeyword("NOT")) {
    Lexer.Next();
    code = opNotEqual;
    if (!Lexer.IsKeyword("NULL")) {
      RaiseInsteadFound("NULL keyword expected after NOT keyword, instead found '");
    }
  } else if (!Lexer.IsKeyword("NULL")) {
    RaiseInsteadFound("NULL keyword expected after IS keyword, instead found '");
  }
  TExpTokenPtr null = NewNode(ncConstant, opNone, Lexer.TokenText());
  null->SetNullValue();
  Lexer.Next();
  TExpTokenPtr node = NewNode(ncBinary, code, code == opEqual ? "IS NULL" : "IS NOT NULL");
  node->Left = std::move(subject);
  node->Right = std::move(null);
  CheckHeight(*node);
  return node;
}

TExpTokenPtr TExpressionReader::InPredicate(TExpTokenPtr subject, ExpressionFlags flags,
                                            bool negated) {
  const char* name = negated ? "NOT IN" : "IN";
  Lexer.Next();
  if (!Lexer.IsSymbol('(')) {
    RaiseInsteadFound("Expected left parentheses for ", name, " operator, instead found '");
  }
  Lexer.Next();
  TExpTokenPtr node;
  if (Lexer.IsKeyword("SELECT")) {
    if ((flags & efSubSelects) == 0 || Hooks.SubSelects == nullptr) {
      RaiseInContext("Sub-select queries are not allowed");
    }
    node = NewNode(ncExtendedPredicate, negated ? opNotInSubSelect : opInSubSelect, name);
    node->Arguments.push_back(std::move(subject));
    node->Arguments.push_back(NewNode(ncSubSelect, opNone, Lexer.TokenText()));
    {
      // The sub-select's own expressions nest inside this one.
      TNesting nesting(*this);
      node->Arguments.back()->SubSelect = Hooks.SubSelects->ParseSubSelect(Lexer);
    }
    if (!Lexer.IsSymbol(')')) {
      RaiseInsteadFound("Expected right parentheses after ", name, " operator, instead found '");
    }
  } else {
    if (Lexer.IsSymbol(')')) {
      RaiseInContext(negated
                         ? "You must provide at least one value as an operand of the NOT IN "
                           "operator "
                         : "You must provide at least one value as an operand of the IN operator ");
    }
    node = NewNode(ncExtendedPredicate, negated ? opNotInList : opInList, name);
    node->Arguments.push_back(std::move(subject));
    for (;;) {
      node->Arguments.push_back(Sum(flags));
      if (!Lexer.IsSymbol(',')) break;
      Lexer.Next();
    }
    if (!Lexer.IsSymbol(')')) {
      RaiseInsteadFound("Expected right parentheses for ", name, " operator, instead found '");
    }
  }
  Lexer.Next();
  CheckHeight(*node);
  return node;
}

TExpTokenPtr TExpressionReader::Sum(ExpressionFlags flags) {
  TExpTokenPtr left = Term(flags);
  for (;;) {
    TOperatorCode code = opAdd;
    const char* text = "+";
    if (Lexer.IsSymbol('-')) {
      code = opSubtract;
      text = "-";
    } else if (Lexer.IsSymbol('|')) {
      Lexer.Next();
      if (!Lexer.IsSymbol('|')) {
        RaiseInsteadFound(
            "Second concatenation symbol '|' expected after first concatentation symbol, "
            "instead found '");
      }
      text = "||";
    } else if (!Lexer.IsSymbol('+')) {
      return left;
    }
    Lexer.Next();
    TExpTokenPtr node = NewNode(ncBinary, code, text);
    node->Left = std::move(left);
    node->Right = Term(flags);
    CheckHeight(*node);
    left = std::move(node);
  }
}

TExpTokenPtr TExpressionReader::Term(ExpressionFlags flags) {
  TExpTokenPtr left = Unary(flags);
  while (Lexer.IsSymbol('*') || Lexer.IsSymbol('/')) {
    const bool multiply = Lexer.IsSymbol('*');
    Lexer.Next();
    TExpTokenPtr node = NewNode(ncBinary, multiply ? opMultiply : opDivide, multiply ? "*" : "/");
    node->Left = std::move(left);
    node->Right = Unary(flags);
    CheckHeight(*node);
    left = std::move(node);
  }
  return left;
}

[[gnu::noinline]] TExpTokenPtr TExpressionReader::SignedNumber(bool minus) {
  // A signed number is one constant, read with its sign so that the most negative LargeInt
  // is exact.
  TExpTokenPtr constant = NewNode(ncConstant, opNone, (minus ? "-" : "+") + Lexer.TokenText());
  SetNumberConstant(*this, *constant, minus);
  Lexer.Next();
  return constant;
}

TExpTokenPtr TExpressionReader::Unary(ExpressionFlags flags) {
  if (!Lexer.IsSymbol('-') && !Lexer.IsSymbol('+')) return Primary(flags);
  const bool minus = Lexer.IsSymbol('-');
  Lexer.Next();
  if (Lexer.IsSymbol(tkInteger) || Lexer.IsSymbol(tkReal)) return SignedNumber(minus);
  TExpTokenPtr node = NewNode(ncUnary, minus ? opNegate : opPlusSign, minus ? "-" : "+");
  node->Left = Primary(flags);
  CheckHeight(*node);
  return node;
}

TExpTokenPtr TExpressionReader::Primary(ExpressionFlags flags) {
  if (Lexer.IsSymbol('(')) {
    TNesting nesting(*this);
    Lexer.Next();
    TExpTokenPtr inner = Condition(flags);
    ExpectSymbol(')', "Right parentheses expected, instead found '");
    return inner;
  }
  if (Lexer.IsSymbol(tkName)) {
    if (IsFunctionKeyword()) return Function(flags);
    return NamePrimary(flags);
  }
  return OtherPrimary(flags);
}

[[gnu::noinline]] TExpTokenPtr TExpressionReader::CorrelatedColumn(std::string_view correlation,
                                                                   ExpressionFlags flags) {
  // The "." is current; a name, bracketed name, string or "*" follows.
  Lexer.Next();
  if (Lexer.IsSymbol('*')) {
    if ((flags & efAllColumns) == 0) RaiseInContext("* (all columns) symbol is not allowed");
  } else if (!Lexer.IsNameOrString()) {
    RaiseInsteadFound(
        "Symbol or string expression expected after table correlation name separator '.', "
        "instead found '");
  }
  TExpTokenPtr column = NewNode(ncColumn, opNone, "");
  column->CorrelationName.assign(correlation.substr(0, MaxExpressionNameLength));
  column->ColumnName.assign(Lexer.TokenText().substr(0, MaxExpressionNameLength));
  column->Text = column->ColumnName;
  Lexer.Next();
  return column;
}

[[gnu::noinline]] TExpTokenPtr TExpressionReader::NamePrimary(ExpressionFlags flags) {
  const std::string text = Lexer.TokenText();
  if (Lexer.IsKeyword("TRUE") || Lexer.IsKeyword("FALSE")) {
    TExpTokenPtr constant = NewNode(ncConstant, opNone, text);
    constant->SetBooleanConstant(Lexer.IsKeyword("TRUE"));
    Lexer.Next();
    return constant;
  }
  if (Lexer.IsKeyword("NULL")) {
    TExpTokenPtr constant = NewNode(ncConstant, opNone, text);
    constant->SetNullValue();
    Lexer.Next();
    return constant;
  }
  Lexer.Next();
  if (Lexer.IsSymbol('.')) return CorrelatedColumn(text, flags);
  if (Lexer.IsSymbol('(')) RaiseInContext("Unknown or unexpected function '" + text + "' found");
  TExpTokenPtr column = NewNode(ncColumn, opNone, text);
  column->ColumnName.assign(text.substr(0, MaxExpressionNameLength));
  return column;
}

[[gnu::noinline]] TExpTokenPtr TExpressionReader::OtherPrimary(ExpressionFlags flags) {
  const TokenKind kind = Lexer.Kind();
  const std::string text = Lexer.TokenText();

  if (kind == tkSingleQuoted || kind == tkDoubleQuoted) {
    const std::size_t start = Lexer.TokenStart(), end = Lexer.Position();
    Lexer.Next();
    if (Lexer.IsSymbol('.')) return CorrelatedColumn(text, flags);
    TExpTokenPtr constant = NewNode(ncConstant, opNone, text);
    constant->DoubleQuoted = (kind == tkDoubleQuoted);
    if (text.empty()) {
      constant->SetNullValue();  // the empty string is the NULL constant
    } else {
      constant->SetStringConstant(text);
      if (kind == tkSingleQuoted) NoteLiteral(Hooks, *constant, start, end, kind);
    }
    return constant;
  }
  if (kind == tkBracketName) {
    Lexer.Next();
    if (Lexer.IsSymbol('.')) return CorrelatedColumn(text, flags);
    TExpTokenPtr column = NewNode(ncColumn, opNone, text);
    column->ColumnName.assign(text.substr(0, MaxExpressionNameLength));
    return column;
  }
  if (kind == tkCharConst) {
    const std::string_view digits = std::string_view(text).substr(1);
    if (digits.empty()) RaiseInContext("Internal character constant parse error");
    unsigned value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() ||
        value > static_cast<unsigned>(MaxCharacterConstant)) {
      RaiseInContext("Character constants (#) must be within the range of 0 to " +
                     std::to_string(MaxCharacterConstant));
    }
    TExpTokenPtr constant = NewNode(ncConstant, opNone, text);
    const char character = static_cast<char>(value);
    // #0 is a one-character String whose only character is NUL: its text reads as empty.
    constant->SetStringConstant(std::string_view(&character, 1));
    Lexer.Next();
    return constant;
  }
  if (kind == tkInteger || kind == tkReal) {
    TExpTokenPtr constant = NewNode(ncConstant, opNone, text);
    SetNumberConstant(*this, *constant, false);
    NoteLiteral(Hooks, *constant, Lexer.TokenStart(), Lexer.Position(), kind);
    Lexer.Next();
    return constant;
  }
  if (kind == '*') {
    if ((flags & efAllColumns) == 0) RaiseInContext("* (all columns) symbol is not allowed");
    TExpTokenPtr column = NewNode(ncColumn, opNone, text);
    column->ColumnName = text;
    Lexer.Next();
    return column;
  }
  if (kind == '?') {
    if ((flags & efParameters) == 0) RaiseInContext("Parameters are not allowed");
    TExpTokenPtr parameter = NewNode(ncConstant, opNone, text);
    parameter->IsParameter = true;
    parameter->IsNull = true;
    if (Hooks.ParameterList != nullptr) Hooks.ParameterList->push_back(parameter.get());
    Lexer.Next();
    return parameter;
  }
  RaiseInContext("Unknown or unexpected symbol '" + text + "' found");
}

}  // namespace detail

namespace {

// Runs one parse; on an error the parameters it appended are taken off the list again, since
// their nodes die with the half-built tree.
template <typename Parse>
TExpTokenPtr RunParse(TExpressionParser& lexer, const TParseHooks& hooks, Parse parse) {
  const std::size_t parameterCount = hooks.ParameterList ? hooks.ParameterList->size() : 0;
  try {
    TExpressionReader reader(lexer, hooks);
    return parse(reader);
  } catch (...) {
    if (hooks.ParameterList != nullptr) hooks.ParameterList->resize(parameterCount);
    throw;
  }
}

}  // namespace

TExpTokenPtr ParseCondition(TExpressionParser& lexer, ExpressionFlags flags,
                            const TParseHooks& hooks) {
  return RunParse(lexer, hooks, [flags](TExpressionReader& r) { return r.Condition(flags); });
}

TExpTokenPtr ParseSum(TExpressionParser& lexer, ExpressionFlags flags, const TParseHooks& hooks) {
  return RunParse(lexer, hooks, [flags](TExpressionReader& r) { return r.Sum(flags); });
}

TExpTokenPtr ParsePrimary(TExpressionParser& lexer, ExpressionFlags flags,
                          const TParseHooks& hooks) {
  return RunParse(lexer, hooks, [flags](TExpressionReader& r) { return r.Primary(flags); });
}

TExpTokenPtr ParseClauseCondition(TExpressionParser& lexer, ExpressionFlags flags,
                                  std::string_view context, const TParseHooks& hooks) {
  const std::string previous(lexer.ParseContext());
  lexer.SetParseContext(context);
  TExpTokenPtr tree = ParseCondition(lexer, flags, hooks);
  lexer.SetParseContext(previous);
  return tree;
}

TExpTokenPtr ParseExpressionText(TExpressionParser& lexer, std::string_view text,
                                 ExpressionFlags flags, std::string_view context,
                                 const TParseHooks& hooks) {
  lexer.SetParseContext(context);
  lexer.Load(text);
  lexer.Next();
  const std::size_t parameterCount = hooks.ParameterList ? hooks.ParameterList->size() : 0;
  TExpTokenPtr tree = ParseCondition(lexer, flags, hooks);
  if (!lexer.IsSymbol(tkEnd)) {
    // The tree dies with the error, and its parameters with it.
    if (hooks.ParameterList != nullptr) hooks.ParameterList->resize(parameterCount);
    lexer.RaiseInContext("Unknown or unexpected symbol '" + lexer.TokenText() + "' found");
  }
  return tree;
}

bool SetLiteralConstant(TExpToken& node, TokenKind kind, const std::string& text) {
  if (kind == tkSingleQuoted) {
    if (text.empty()) return false;
    node.Text = text;
    node.SetStringConstant(text);
    return true;
  }
  if (kind != tkInteger && kind != tkReal) return false;
  if (!SetNumberValue(node, kind, text, false)) return false;
  node.Text = text;
  return true;
}

}  // namespace zorvic::engine

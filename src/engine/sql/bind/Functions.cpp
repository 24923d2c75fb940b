// Function and aggregate syntax of the expression grammar.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "engine/sql/SqlTypes.h"
#include "engine/sql/parse/ExpressionReader.h"
#include "engine/storage/formats/FieldTypes.h"

namespace zorvic::engine::detail {

namespace {

struct TFunctionName {
  std::string_view Keyword;  // a literal: its data() ends in a NUL
  TOperatorCode Code;
};

constexpr TFunctionName kAggregates[] = {
    {"SUM", opSum}, {"RUNSUM", opRunSum}, {"AVG", opAvg},
    {"MIN", opMin}, {"MAX", opMax},       {"COUNT", opCount},
};

constexpr TFunctionName kExtractParts[] = {
    {"YEAR", opExtractYear}, {"MONTH", opExtractMonth},         {"WEEK", opExtractWeek},
    {"DAY", opExtractDay},   {"DAYOFWEEK", opExtractDayOfWeek}, {"DAYOFYEAR", opExtractDayOfYear},
    {"HOUR", opExtractHour}, {"MINUTE", opExtractMinute},       {"SECOND", opExtractSecond},
};

constexpr TFunctionName kFunctions[] = {
    {"UPPER", opUpper},
    {"LOWER", opLower},
    {"LENGTH", opLength},
    {"SUBSTRING", opSubstring},
    {"REPLACE", opReplace},
    {"POS", opPos},
    {"OCCURS", opOccurs},
    {"TRIM", opTrimBoth},
    {"EXTRACT", opExtractYear},
    {"CAST", opCast},
    {"ABS", opAbs},
    {"ROUND", opRound},
    {"IF", opIf},
    {"IFNULL", opIfNull},
    {"COALESCE", opCoalesce},
    {"TEXTSEARCH", opTextSearch},
    {"TEXTOCCURS", opTextOccurs},
    {"LASTAUTOINC", opLastAutoInc},
    {"IDENT_CURRENT", opIdentCurrent},
};

}  // namespace

std::int32_t DateValueOf(int year, int month, int day) {
  // Days from the civil calendar (proleptic Gregorian), shifted so 1 January 0001 is day 1.
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t daysFromEpoch1970 = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
  // 1 January 0001 is 719162 days before 1 January 1970.
  return static_cast<std::int32_t>(daysFromEpoch1970 + 719162 + 1);
}

namespace {

// The kind of a function keyword, found once per call.
struct TFunctionKeyword {
  const TFunctionName* Entry = nullptr;
  bool Aggregate = false;
  bool Clock = false;  // CURRENT_DATE, CURRENT_TIME, CURRENT_TIMESTAMP
};

// Function keywords by their upper-case spelling, made once: a name token is looked up once
// instead of being compared with every keyword. The first entry of a spelling wins, in the
// order clock constants, aggregates, functions.
struct TKeywordHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using TKeywordMap =
    std::unordered_map<std::string, TFunctionKeyword, TKeywordHash, std::equal_to<>>;

// The keywords, and which (length, first letter) pairs they have: most names of a statement
// (its columns) match no pair and are turned away without hashing.
struct TKeywordTable {
  static constexpr std::size_t kMaxLength = 32;
  TKeywordMap Map;
  std::array<std::array<std::uint64_t, 4>, kMaxLength + 1> Shapes{};

  void Add(const std::string& upper, const TFunctionKeyword& found) {
    if (upper.empty() || upper.size() > kMaxLength) return;
    Map.emplace(upper, found);
    const auto first = static_cast<unsigned char>(upper[0]);
    Shapes[upper.size()][first / 64] |= std::uint64_t{1} << (first % 64);
  }
  bool MayHold(std::string_view upper) const {
    if (upper.empty() || upper.size() > kMaxLength) return false;
    const auto first = static_cast<unsigned char>(upper[0]);
    return (Shapes[upper.size()][first / 64] >> (first % 64)) & 1U;
  }
};

const TKeywordTable& FunctionKeywords() {
  static const auto* const table = [] {
    auto* keywords = new TKeywordTable;
    TFunctionKeyword clock;
    clock.Clock = true;
    for (const char* name : {"CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP"})
      keywords->Add(name, clock);
    for (const TFunctionName& aggregate : kAggregates) {
      TFunctionKeyword found;
      found.Entry = &aggregate;
      found.Aggregate = true;
      keywords->Add(std::string(aggregate.Keyword), found);
    }
    for (const TFunctionName& function : kFunctions) {
      TFunctionKeyword found;
      found.Entry = &function;
      keywords->Add(std::string(function.Keyword), found);
    }
    return keywords;
  }();
  return *table;
}

TFunctionKeyword FindFunctionKeyword(const TExpressionParser& lexer) {
  if (lexer.Kind() != tkName) return {};
  // Every name of an expression is looked up: upper-cased in place, no copy on the heap.
  const std::string& text = lexer.TokenText();
  char upper[TKeywordTable::kMaxLength];
  if (text.empty() || text.size() > sizeof upper) return {};  // longer than any keyword
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  }
  const std::string_view name(upper, text.size());
  const TKeywordTable& keywords = FunctionKeywords();
  if (!keywords.MayHold(name)) return {};
  const auto it = keywords.Map.find(name);
  return it == keywords.Map.end() ? TFunctionKeyword{} : it->second;
}

// CURRENT_DATE, CURRENT_TIME, CURRENT_TIMESTAMP: constants read from the clock now.
[[gnu::noinline]] TExpTokenPtr ClockConstant(TExpressionReader& reader) {
  TExpressionParser& lexer = reader.Lexer;
  std::string name = lexer.TokenText();
  for (char& c : name)
    c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  TExpTokenPtr constant = reader.NewNode(ncConstant, opNone, lexer.TokenText());
  const TLocalDateTime now = LocalDateTimeNow();  // one reading of the clock
  if (reader.Hooks.Notes != nullptr) reader.Hooks.Notes->ClockRead = true;
  if (name == "CURRENT_DATE") {
    constant->SetDateConstant(now.Day);
  } else if (name == "CURRENT_TIME") {
    constant->SetTimeConstant(now.Ms);
  } else {
    constant->SetTimeStampConstant(static_cast<double>(now.Day) * 86400000.0 + now.Ms);
  }
  lexer.Next();
  if (lexer.IsSymbol('(')) {
    lexer.Next();
    if (!lexer.IsSymbol(')')) {
      reader.RaiseInsteadFound("Right parentheses expected after first ", name,
                               " function parentheses, instead found '");
    }
    lexer.Next();
  }
  return constant;
}

}  // namespace

bool TExpressionReader::IsFunctionKeyword() const {
  const TFunctionKeyword found = FindFunctionKeyword(Lexer);
  return found.Clock || found.Entry != nullptr;
}

TExpTokenPtr TExpressionReader::Function(ExpressionFlags flags) {
  const TFunctionKeyword found = FindFunctionKeyword(Lexer);
  if (found.Clock) return ClockConstant(*this);
  const TFunctionName& function = *found.Entry;
  const char* name = function.Keyword.data();
  const TOperatorCode code = function.Code;
  TNesting nesting(*this);
  TExpTokenPtr node = NewNode(ncFunction, code, Lexer.TokenText());
  Lexer.Next();

  if (found.Aggregate) {
    if ((flags & efAggregates) == 0) RaiseInContext("Aggregate functions are not allowed");
    if (!Lexer.IsSymbol('(')) {
      RaiseInsteadFound("Left parentheses expected after aggregate function '", name,
                        "', instead found '");
    }
    Lexer.Next();
    // Aggregates do not nest; "*" is an argument of COUNT only.
    ExpressionFlags argumentFlags = flags & ~(efAggregates | efAllColumns);
    if (code == opCount) argumentFlags |= efAllColumns;
    node->Arguments.push_back(Sum(argumentFlags));
    if (!Lexer.IsSymbol(')')) {
      RaiseInsteadFound("Right parentheses expected after aggregate ", name,
                        " function argument, instead found '");
    }
    Lexer.Next();
    CheckHeight(*node);
    return node;
  }

  if (!Lexer.IsSymbol('(')) {
    RaiseInsteadFound("Left parentheses expected after ", name, " keyword, instead found '");
  }
  Lexer.Next();
  // Function arguments are sums without "*" (only COUNT takes it).
  const ExpressionFlags argumentFlags = flags & ~efAllColumns;

  const char* closing = ReadFunctionArguments(*node, name, argumentFlags);
  if (closing == nullptr) {  // COALESCE reads its own ")"
    CheckHeight(*node);
    return node;
  }
  if (!Lexer.IsSymbol(')')) RaiseInsteadFound("Right parentheses expected after ", name, closing);
  Lexer.Next();
  CheckHeight(*node);
  return node;
}

// Reads the arguments of a (non-aggregate) function after its "("; returns the tail of the
// message for a missing ")" (nullptr when the function read its ")" itself). Kept out of
// Function so the recursive path stays lean; each argument reader recurses from here.
// Reads the arguments of a (non-aggregate) function after its "("; returns the tail of the
// message for a missing ")" (nullptr when the function read its ")" itself). Each kind of
// argument list has its own reader so that a nested call only puts that reader's small frame
// on the stack.
const char* TExpressionReader::ReadFunctionArguments(TExpToken& node, const char* name,
                                                     ExpressionFlags flags) {
  static constexpr const char* kArgument = " function argument, instead found '";
  static constexpr const char* kArguments = " function arguments, instead found '";
  switch (node.OperatorCode) {
    case opUpper:
    case opLower:
    case opLength:
    case opAbs:
      node.Arguments.push_back(Sum(flags));
      return kArgument;
    case opLastAutoInc:
    case opIdentCurrent:
      node.Arguments.push_back(Primary(flags));
      return kArgument;
    case opSubstring:
      ReadSubstringArguments(node, flags);
      return kArguments;
    case opReplace:
      ReadReplaceArguments(node, flags);
      return kArguments;
    case opPos:
    case opOccurs:
      ReadSearchInArguments(node, name, flags);
      return kArguments;
    case opTextSearch:
    case opTextOccurs:
      ReadSearchInArguments(node, name, flags);
      return kArgument;
    case opTrimBoth:
      ReadTrimArguments(node, flags);
      return kArguments;
    case opExtractYear:
      ReadExtractArguments(node, flags);
      return kArguments;
    case opCast:
      node.Arguments.push_back(Sum(flags));
      ExpectKeyword("AS",
                    "AS keyword expected after first CAST function argument, instead found '");
      ReadCastType(node);
      return kArguments;
    case opRound:
      node.Arguments.push_back(Sum(flags));
      if (Lexer.IsKeyword("TO")) {
        Lexer.Next();
        node.Arguments.push_back(Primary(flags));
      }
      return kArguments;
    case opIf:
    case opIfNull:
      ReadConditionalArguments(node, name, flags);
      return kArguments;
    case opCoalesce:
      ReadCoalesceArguments(node, flags);
      return nullptr;
    default:
      return kArguments;
  }
}

[[gnu::noinline]] void TExpressionReader::ReadSubstringArguments(TExpToken& node,
                                                                 ExpressionFlags flags) {
  node.Arguments.push_back(Sum(flags));
  ExpectKeyword("FROM",
                "FROM keyword expected after first SUBSTRING function argument, instead found '");
  node.Arguments.push_back(Sum(flags));
  if (Lexer.IsKeyword("FOR")) {
    Lexer.Next();
    node.Arguments.push_back(Sum(flags));
  }
}

[[gnu::noinline]] void TExpressionReader::ReadReplaceArguments(TExpToken& node,
                                                               ExpressionFlags flags) {
  node.Arguments.push_back(Sum(flags));
  ExpectKeyword("WITH",
                "WITH keyword expected after first REPLACE function argument, instead found '");
  node.Arguments.push_back(Sum(flags));
  ExpectKeyword("IN",
                "IN keyword expected after second REPLACE function argument, instead found '");
  node.Arguments.push_back(Sum(flags));
}

[[gnu::noinline]] void TExpressionReader::ReadSearchInArguments(TExpToken& node, const char* name,
                                                                ExpressionFlags flags) {
  // POS, OCCURS, TEXTSEARCH, TEXTOCCURS: a search text, IN, and a primary.
  node.Arguments.push_back(Sum(flags));
  if (!Lexer.IsKeyword("IN")) {
    RaiseInsteadFound("IN keyword expected after first ", name,
                      " function argument, instead found '");
  }
  Lexer.Next();
  node.Arguments.push_back(Primary(flags));
}

[[gnu::noinline]] void TExpressionReader::ReadTrimArguments(TExpToken& node,
                                                            ExpressionFlags flags) {
  if (Lexer.IsKeyword("LEADING")) {
    node.OperatorCode = opTrimLeading;
  } else if (Lexer.IsKeyword("TRAILING")) {
    node.OperatorCode = opTrimTrailing;
  } else if (!Lexer.IsKeyword("BOTH")) {
    RaiseInsteadFound(
        "LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found '");
  }
  Lexer.Next();
  node.Arguments.push_back(Primary(flags));
  ExpectKeyword("FROM",
                "FROM keyword expected after second TRIM function argument, instead found '");
  node.Arguments.push_back(Sum(flags));
}

[[gnu::noinline]] void TExpressionReader::ReadExtractArguments(TExpToken& node,
                                                               ExpressionFlags flags) {
  const TFunctionName* part = nullptr;
  for (const TFunctionName& candidate : kExtractParts) {
    if (Lexer.IsKeyword(candidate.Keyword)) part = &candidate;
  }
  if (part == nullptr) {
    RaiseInsteadFound(
        "YEAR, MONTH, WEEK, DAY, DAYOFWEEK, DAYOFYEAR, HOUR, MINUTE, or SECOND keyword expected "
        "after EXTRACT keyword, instead found '");
  }
  node.OperatorCode = part->Code;
  Lexer.Next();
  ExpectKeyword("FROM",
                "FROM keyword expected after second EXTRACT function argument, instead found '");
  node.Arguments.push_back(Sum(flags));
}

[[gnu::noinline]] void TExpressionReader::ReadConditionalArguments(TExpToken& node,
                                                                   const char* name,
                                                                   ExpressionFlags flags) {
  // IF(condition THEN a ELSE b), IFNULL(x THEN a ELSE b), or either with commas.
  if (node.OperatorCode == opIf) {
    // The condition of IF always allows extended predicates.
    node.Arguments.push_back(Condition(flags | efExtendedPredicates));
  } else {
    node.Arguments.push_back(Sum(flags));
  }
  if (!Lexer.IsKeyword("THEN") && !Lexer.IsSymbol(',')) {
    RaiseInsteadFound("THEN keyword or comma expected after first ", name,
                      " function argument, instead found '");
  }
  Lexer.Next();
  node.Arguments.push_back(Sum(flags));
  if (!Lexer.IsKeyword("ELSE") && !Lexer.IsSymbol(',')) {
    RaiseInsteadFound("ELSE keyword or comma expected after second ", name,
                      " function argument, instead found '");
  }
  Lexer.Next();
  node.Arguments.push_back(Sum(flags));
}

[[gnu::noinline]] void TExpressionReader::ReadCoalesceArguments(TExpToken& node,
                                                                ExpressionFlags flags) {
  if (Lexer.IsSymbol(')')) {
    RaiseInContext("You must provide at least one value as an argument of the COALESCE operator ");
  }
  for (;;) {
    node.Arguments.push_back(Sum(flags));
    if (!Lexer.IsSymbol(',')) break;
    Lexer.Next();
  }
  ExpectSymbol(')',
               "Expected right parentheses after COALESCE expression arguments, instead found '");
}

[[gnu::noinline]] void TExpressionReader::ReadCastType(TExpToken& node) {
  const auto type = ParseSqlDataType(Lexer, Lexer.ParseContext());
  if (!type) RaiseInsteadFound("SQL data type keyword expected, instead found '");
  node.DataType = type->DataType;
  node.SubType = type->SubType;
  node.Size = type->Size;
  node.Scale = type->Scale;
}

}  // namespace zorvic::engine::detail

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ExprTestUtil.h"
#include "engine/EngineLimits.h"
#include "engine/sql/parse/ExpressionParser.h"

namespace zorvic::engine {
namespace {

using testing::Dump;
using testing::ErrorOf;
using testing::kSqlError;

constexpr ExpressionFlags kWhere = efExtendedPredicates | efParameters | efSubSelects;
constexpr ExpressionFlags kSelect = efAggregates | efAllColumns | efExtendedPredicates;

std::string Parse(const std::string& text, ExpressionFlags flags = kWhere) {
  TExpressionParser lexer;
  return Dump(*ParseExpressionText(lexer, text, flags, "WHERE or JOIN clause"));
}

std::string ParseError(const std::string& text, ExpressionFlags flags = kWhere,
                       const std::string& context = "WHERE or JOIN clause") {
  return ErrorOf([&] {
    TExpressionParser lexer;
    ParseExpressionText(lexer, text, flags, context);
  });
}

TEST(ExprParse, PrecedenceAndAssociativity) {
  EXPECT_EQ(Parse("a OR b AND NOT c = 1"), "(OR a (AND b (NOT (= c 1))))");
  EXPECT_EQ(Parse("a - b - c"), "(- (- a b) c)");
  EXPECT_EQ(Parse("a + b * c / d"), "(+ a (/ (* b c) d))");
  EXPECT_EQ(Parse("(a + b) * c"), "(* (+ a b) c)");
  EXPECT_EQ(Parse("a || 'x' | | b"), "(|| (|| a 'x') b)");
  EXPECT_EQ(Parse("NOT NOT x"), "(NOT (NOT x))");
  // Two-character comparisons only when written together.
  EXPECT_EQ(Parse("a <> b"), "(<> a b)");
  EXPECT_EQ(Parse("a <= b"), "(<= a b)");
  EXPECT_EQ(Parse("a >= b"), "(>= a b)");
  EXPECT_EQ(ParseError("a < > b"),
            kSqlError + "Unknown or unexpected symbol '>' found in WHERE or JOIN clause");
  // Comparisons do not chain: the second "=" is left over.
  EXPECT_EQ(ParseError("a = b = c"),
            kSqlError + "Unknown or unexpected symbol '=' found in WHERE or JOIN clause");
}

TEST(ExprParse, ConstantsAndNames) {
  EXPECT_EQ(Parse("'it''s'"), "'it's'");
  EXPECT_EQ(Parse("''"), "NULL");  // the empty string is the NULL constant
  EXPECT_EQ(Parse("\"\""), "NULL");
  EXPECT_EQ(Parse("#65 + #0"), "(+ 'A' '')");
  EXPECT_EQ(Parse("2147483647"), "2147483647");
  EXPECT_EQ(Parse("2147483648"), "2147483648L");
  EXPECT_EQ(Parse("-2147483648"), "-2147483648");
  EXPECT_EQ(Parse("-9223372036854775808"), "-9223372036854775808L");
  EXPECT_EQ(Parse("99999999999999999999"), "F100000000000000000000.000000");
  EXPECT_EQ(Parse("1.5e2"), "F150.000000");
  EXPECT_EQ(Parse("TRUE OR false"), "(OR TRUE FALSE)");
  EXPECT_EQ(Parse("T.Name = [Odd Name] AND 'U'.\"x\" = [T 2].[c]"),
            "(AND (= T.Name Odd Name) (= U.x T 2.c))");
  // An unquoted date is integer arithmetic.
  EXPECT_EQ(Parse("2005-01-31"), "(- (- 2005 1) 31)");
  EXPECT_EQ(ParseError("1.2.3"),
            kSqlError + "Constant '1.2.3' is not a valid number  in WHERE or JOIN clause");
  EXPECT_EQ(ParseError("#256"), kSqlError +
                                    "Character constants (#) must be within the range of 0 to "
                                    "255 in WHERE or JOIN clause");
  EXPECT_EQ(ParseError("#"),
            kSqlError + "Internal character constant parse error in WHERE or JOIN clause");
  EXPECT_EQ(ParseError("T. = 1"),
            kSqlError +
                "Symbol or string expression expected after table correlation name separator "
                "'.', instead found '=' in WHERE or JOIN clause");
  EXPECT_EQ(ParseError("Foo(1)"),
            kSqlError + "Unknown or unexpected function 'Foo' found in WHERE or JOIN clause");
  EXPECT_EQ(ParseError("(a = 1"),
            kSqlError + "Right parentheses expected, instead found '' in WHERE or JOIN clause");
  EXPECT_EQ(ParseError("a | b"),
            kSqlError +
                "Second concatenation symbol '|' expected after first concatentation symbol, "
                "instead found 'b' in WHERE or JOIN clause");
  EXPECT_EQ(ParseError("- - 1"),
            kSqlError + "Unknown or unexpected symbol '-' found in WHERE or JOIN clause");
}

TEST(ExprParse, CurrentDateAndTimeAreConstants) {
  TExpressionParser lexer;
  TExpTokenPtr date = ParseExpressionText(lexer, "CURRENT_DATE()", kWhere, "x");
  EXPECT_EQ(date->DataType, dtDate);
  EXPECT_GT(date->Scalar<std::int32_t>(), 693594 + 40000);  // after 2009
  EXPECT_EQ(ParseExpressionText(lexer, "current_time", kWhere, "x")->DataType, dtTime);
  TExpTokenPtr stamp = ParseExpressionText(lexer, "CURRENT_TIMESTAMP", kWhere, "x");
  EXPECT_EQ(stamp->DataType, dtTimeStamp);
  EXPECT_NEAR(stamp->Scalar<double>() / 86400000.0, date->Scalar<std::int32_t>(), 1.0);
  EXPECT_EQ(ParseError("CURRENT_DATE(1)"),
            kSqlError +
                "Right parentheses expected after first CURRENT_DATE function parentheses, "
                "instead found '1' in WHERE or JOIN clause");
}

TEST(ExprParse, PermissionsFollowTheFlags) {
  EXPECT_EQ(ParseError("*", kWhere),
            kSqlError + "* (all columns) symbol is not allowed in WHERE or JOIN clause");
  EXPECT_EQ(ParseError("T.*", kWhere),
            kSqlError + "* (all columns) symbol is not allowed in WHERE or JOIN clause");
  EXPECT_EQ(Parse("T.*", kSelect), "T.*");
  EXPECT_EQ(ParseError("a = ?", kSelect, "source column expression"),
            kSqlError + "Parameters are not allowed in source column expression");
  EXPECT_EQ(ParseError("SUM(a)", kWhere),
            kSqlError + "Aggregate functions are not allowed in WHERE or JOIN clause");
  EXPECT_EQ(ParseError("a LIKE 'x'", efAggregates, "HAVING clause"),
            kSqlError +
                "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in "
                "HAVING clause");
  EXPECT_EQ(ParseError("a IS NULL", efNone, "value expression"),
            kSqlError +
                "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in "
                "value expression");
  EXPECT_EQ(ParseError("a IN (SELECT b FROM T)", kSelect),
            kSqlError + "Sub-select queries are not allowed in WHERE or JOIN clause");
  EXPECT_EQ(Parse("COUNT(*) + SUM(T.a)", kSelect), "(+ (COUNT *) (SUM T.a))");
  EXPECT_EQ(ParseError("SUM(*)", kSelect),
            kSqlError + "* (all columns) symbol is not allowed in WHERE or JOIN clause");
  EXPECT_EQ(ParseError("SUM(MAX(a))", kSelect),
            kSqlError + "Aggregate functions are not allowed in WHERE or JOIN clause");
}

TEST(ExprParse, ExtendedPredicates) {
  EXPECT_EQ(Parse("a LIKE 'x%' AND b NOT LIKE \"y\""), "(AND (LIKE a 'x%') (NOT LIKE b 'y'))");
  EXPECT_EQ(Parse("a BETWEEN 1 AND 2 + 3 AND c"), "(AND (BETWEEN a 1 (+ 2 3)) c)");
  EXPECT_EQ(Parse("a NOT BETWEEN 1 AND 2"), "(NOT BETWEEN a 1 2)");
  EXPECT_EQ(Parse("a IN (1, 2, NULL) OR a NOT IN ('x')"), "(OR (IN a 1 2 NULL) (NOT IN a 'x'))");
  EXPECT_EQ(Parse("a IS NULL AND b IS NOT NULL"), "(AND (IS NULL a NULL) (IS NOT NULL b NULL))");
  EXPECT_EQ(ParseError("a BETWEEN 1 OR 2"),
            kSqlError +
                "Expected AND operator in BETWEEN operator, instead found 'OR' in WHERE or JOIN "
                "clause");
  EXPECT_EQ(ParseError("a NOT BETWEEN 1, 2"),
            kSqlError +
                "Expected AND operator in NOT BETWEEN operator, instead found ',' in WHERE or "
                "JOIN clause");
  EXPECT_EQ(ParseError("a IN 1"),
            kSqlError +
                "Expected left parentheses for IN operator, instead found '1' in WHERE or JOIN "
                "clause");
  EXPECT_EQ(ParseError("a NOT IN (1, 2"),
            kSqlError +
                "Expected right parentheses for NOT IN operator, instead found '' in WHERE or "
                "JOIN clause");
  EXPECT_EQ(ParseError("a IN ()"),
            kSqlError +
                "You must provide at least one value as an operand of the IN operator  in WHERE "
                "or JOIN clause");
  EXPECT_EQ(ParseError("a NOT IN ()"),
            kSqlError +
                "You must provide at least one value as an operand of the NOT IN operator  in "
                "WHERE or JOIN clause");
  EXPECT_EQ(ParseError("a IS 1"), kSqlError +
                                      "NULL keyword expected after IS keyword, instead found '1' "
                                      "in WHERE or JOIN clause");
  // A NOT that starts no predicate is left for the caller.
  EXPECT_EQ(ParseError("a NOT b"),
            kSqlError + "Unknown or unexpected symbol 'NOT' found in WHERE or JOIN clause");
}

// Statement-parser stand-in: reads "SELECT name {, name} FROM name" as a sub-select.
class FakeSubSelects : public TSubSelectParser {
 public:
  TDataQuery* ParseSubSelect(TExpressionParser& lexer) override {
    ++Calls;
    while (!lexer.IsSymbol(')') && !lexer.IsSymbol(tkEnd))
      lexer.Next();
    return reinterpret_cast<TDataQuery*>(this);
  }
  int Calls = 0;
};

TEST(ExprParse, SubSelectsAndParameters) {
  FakeSubSelects subSelects;
  std::vector<TExpToken*> parameters;
  TParseHooks hooks{&parameters, &subSelects};
  TExpressionParser lexer;
  TExpTokenPtr tree = ParseExpressionText(
      lexer, "a = ? AND b NOT IN (SELECT x FROM T) AND c IN (?, 2)", kWhere, "WHERE", hooks);
  EXPECT_EQ(Dump(*tree), "(AND (AND (= a ?) (NOT IN b (SELECT))) (IN c ? 2))");
  EXPECT_EQ(subSelects.Calls, 1);
  ASSERT_EQ(parameters.size(), 2u);
  EXPECT_EQ(parameters[0], tree->Left->Left->Right.get());
  EXPECT_EQ(tree->Left->Right->OperatorCode, opNotInSubSelect);
  EXPECT_EQ(tree->Left->Right->Arguments[1]->SubSelect, reinterpret_cast<TDataQuery*>(&subSelects));
  EXPECT_EQ(ParseError("a IN (SELECT x FROM T", kWhere),
            kSqlError + "Sub-select queries are not allowed in WHERE or JOIN clause");

  // A failed parse takes its parameters off the list again: their nodes are gone.
  parameters.clear();
  EXPECT_NE(ErrorOf([&] { ParseExpressionText(lexer, "a = ? AND b = (?", kWhere, "W", hooks); }),
            "no error");
  EXPECT_TRUE(parameters.empty());
  EXPECT_EQ(
      ErrorOf([&] { ParseExpressionText(lexer, "a IN (SELECT x FROM T", kWhere, "W", hooks); }),
      kSqlError + "Expected right parentheses after IN operator, instead found '' in W");
}

// Reads "SELECT <condition>" as a sub-select, parsing the condition on the same lexer.
class ConditionSubSelects : public TSubSelectParser {
 public:
  TDataQuery* ParseSubSelect(TExpressionParser& lexer) override {
    lexer.Next();
    Conditions.push_back(ParseCondition(lexer, kWhere, TParseHooks{nullptr, this}));
    return nullptr;
  }
  std::vector<TExpTokenPtr> Conditions;
};

TEST(ExprParse, SubSelectExpressionsCountTowardsTheNestingBound) {
  const auto text = [](int outer, int inner) {
    return std::string(outer, '(') + "a IN (SELECT " + std::string(inner, '(') + "b" +
           std::string(inner, ')') + ")" + std::string(outer, ')');
  };
  ConditionSubSelects subSelects;
  TExpressionParser lexer;
  // The outer parentheses, the sub-select and the inner parentheses add up.
  EXPECT_NO_THROW(ParseExpressionText(lexer, text(500, 499), kWhere, "W", {nullptr, &subSelects}));
  EXPECT_EQ(ErrorOf([&] {
              ParseExpressionText(lexer, text(500, 500), kWhere, "W", {nullptr, &subSelects});
            }),
            kSqlError + "Expression nesting is deeper than 1000 levels in W");
  // The count starts afresh with every text.
  EXPECT_NO_THROW(ParseExpressionText(lexer, text(0, 999), kWhere, "W", {nullptr, &subSelects}));
}

struct FunctionSyntaxCase {
  const char* Text;
  const char* Message;
};

TEST(ExprParse, FunctionSyntaxErrors) {
  const FunctionSyntaxCase cases[] = {
      {"LOWER a", "Left parentheses expected after LOWER keyword, instead found 'a'"},
      {"UPPER(a", "Right parentheses expected after UPPER function argument, instead found ''"},
      {"LENGTH(a,", "Right parentheses expected after LENGTH function argument, instead found ','"},
      {"SUBSTRING(a, 1)",
       "FROM keyword expected after first SUBSTRING function argument, instead found ','"},
      {"SUBSTRING(a FROM 1 FOR 2 x",
       "Right parentheses expected after SUBSTRING function arguments, instead found 'x'"},
      {"REPLACE(a IN b)",
       "WITH keyword expected after first REPLACE function argument, instead found 'IN'"},
      {"REPLACE(a WITH b c)",
       "IN keyword expected after second REPLACE function argument, instead found 'c'"},
      {"POS(a, b)", "IN keyword expected after first POS function argument, instead found ','"},
      {"OCCURS(a b)",
       "IN keyword expected after first OCCURS function argument, instead found 'b'"},
      {"CAST(a INTEGER)",
       "AS keyword expected after first CAST function argument, instead found 'INTEGER'"},
      {"CAST(a AS WHATEVER)", "SQL data type keyword expected, instead found 'WHATEVER'"},
      {"CAST(a AS INTEGER",
       "Right parentheses expected after CAST function arguments, instead found ''"},
      {"TRIM(' ' FROM a)",
       "LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found ' '"},
      {"TRIM(BOTH ' ' a)",
       "FROM keyword expected after second TRIM function argument, instead found 'a'"},
      {"EXTRACT(CENTURY FROM d)",
       "YEAR, MONTH, WEEK, DAY, DAYOFWEEK, DAYOFYEAR, HOUR, MINUTE, or SECOND keyword expected "
       "after EXTRACT keyword, instead found 'CENTURY'"},
      {"EXTRACT(YEAR d)",
       "FROM keyword expected after second EXTRACT function argument, instead found 'd'"},
      {"ABS(a b)", "Right parentheses expected after ABS function argument, instead found 'b'"},
      {"ROUND(a, 2)",
       "Right parentheses expected after ROUND function arguments, instead found ','"},
      {"IF(a = 1 x)",
       "THEN keyword or comma expected after first IF function argument, instead found 'x'"},
      {"IF(a = 1, 2 x)",
       "ELSE keyword or comma expected after second IF function argument, instead found 'x'"},
      {"IFNULL(a x)",
       "THEN keyword or comma expected after first IFNULL function argument, instead found 'x'"},
      {"IFNULL(a THEN 1 x)",
       "ELSE keyword or comma expected after second IFNULL function argument, instead found 'x'"},
      {"COALESCE(a, b",
       "Expected right parentheses after COALESCE expression arguments, instead found ''"},
      {"TEXTSEARCH('x' a)",
       "IN keyword expected after first TEXTSEARCH function argument, instead found 'a'"},
      {"TEXTOCCURS('x' IN a",
       "Right parentheses expected after TEXTOCCURS function argument, instead found ''"},
      {"LASTAUTOINC 'T'", "Left parentheses expected after LASTAUTOINC keyword, instead found 'T'"},
      {"IDENT_CURRENT('T'",
       "Right parentheses expected after IDENT_CURRENT function argument, instead found ''"},
      {"COUNT a", "Left parentheses expected after aggregate function 'COUNT', instead found 'a'"},
      {"sum(a",
       "Right parentheses expected after aggregate SUM function argument, instead found ''"},
  };
  for (const FunctionSyntaxCase& c : cases) {
    EXPECT_EQ(ParseError(c.Text, kSelect, "source column expression"),
              kSqlError + c.Message + " in source column expression")
        << c.Text;
  }
  EXPECT_EQ(ParseError("COALESCE()", kSelect, "source column expression"),
            kSqlError +
                "You must provide at least one value as an argument of the COALESCE operator  in "
                "source column expression");
}

TEST(ExprParse, FunctionTrees) {
  EXPECT_EQ(Parse("SUBSTRING(a FROM 2 FOR 3) || TRIM(LEADING ' ' FROM b)"),
            "(|| (SUBSTRING a 2 3) (TRIM ' ' b))");
  TExpressionParser lexer;
  TExpTokenPtr trim = ParseExpressionText(lexer, "TRIM(trailing 'x' FROM b)", kWhere, "W");
  EXPECT_EQ(trim->OperatorCode, opTrimTrailing);
  TExpTokenPtr extract = ParseExpressionText(lexer, "EXTRACT(DayOfWeek FROM d)", kWhere, "W");
  EXPECT_EQ(extract->OperatorCode, opExtractDayOfWeek);
  TExpTokenPtr cast = ParseExpressionText(lexer, "CAST(a AS VARCHAR(20))", kWhere, "W");
  EXPECT_EQ(cast->DataType, dtString);
  EXPECT_EQ(cast->Size, 21);
  EXPECT_EQ(Parse("IF(a IN (1) THEN 'x' ELSE 'y') + IFNULL(b, 1, 2)"),
            "(+ (IF (IN a 1) 'x' 'y') (IFNULL b 1 2))");
  EXPECT_EQ(Parse("ROUND(a TO 2) * POS('x' IN b) + OCCURS('x' IN b)"),
            "(+ (* (ROUND a 2) (POS 'x' b)) (OCCURS 'x' b))");
  EXPECT_EQ(Parse("REPLACE('a' WITH 'b' IN c) = COALESCE(d, e, 'f')"),
            "(= (REPLACE 'a' 'b' c) (COALESCE d e 'f'))");
  // From and To are no functions: they may name columns.
  EXPECT_EQ(Parse("From = To"), "(= From To)");
}

TEST(ExprParse, NestingIsBounded) {
  const auto nested = [](int levels, const std::string& open, const std::string& close) {
    std::string text;
    for (int i = 0; i < levels; ++i)
      text += open;
    text += "x";
    for (int i = 0; i < levels; ++i)
      text += close;
    return text;
  };
  const std::string tooDeep =
      kSqlError + "Expression nesting is deeper than 1000 levels in WHERE or JOIN clause";
  EXPECT_EQ(Parse(nested(MaxExpressionDepth, "(", ")")), "x");
  EXPECT_EQ(ParseError(nested(MaxExpressionDepth + 1, "(", ")")), tooDeep);
  EXPECT_EQ(ParseError(nested(100000, "(", ")")), tooDeep);
  EXPECT_EQ(ParseError(nested(100000, "NOT ", "")), tooDeep);
  EXPECT_EQ(ParseError(nested(100000, "UPPER(", ")")), tooDeep);
  EXPECT_EQ(ParseError(nested(100000, "-(", ")")), tooDeep);
  EXPECT_EQ(ParseError(nested(100000, "a+(", ")")), tooDeep);
  EXPECT_EQ(ParseError(nested(100000, "IF(a, 1, ", ")")), tooDeep);
  EXPECT_NO_THROW(Parse(nested(MaxExpressionDepth, "NOT ", "")));
  // A long flat chain builds a tree as high as it is long, and is bounded the same way.
  std::string chain = "x";
  for (int i = 0; i < MaxExpressionDepth; ++i)
    chain += "+x";
  EXPECT_NO_THROW(Parse(chain));
  EXPECT_EQ(ParseError(chain + "+x"), tooDeep);
  // A long IN list is wide, not deep.
  std::string list = "a IN (1";
  for (int i = 0; i < 5000; ++i)
    list += ",1";
  EXPECT_NO_THROW(Parse(list + ")"));
}

TEST(ExprPool, TreesGoBackToThePool) {
  TExpTokenStack& pool = TExpTokenStack::Instance();
  { TExpTokenPtr warm = NewExpToken(); }
  const std::size_t before = pool.FreeCount();
  ASSERT_GE(before, 1u);
  {
    TExpressionParser lexer;
    TExpTokenPtr tree = ParseExpressionText(lexer, "a = 1 AND b = 2", kWhere, "W");
    TExpTokenPtr copy = CopyExpTree(*tree);
    EXPECT_EQ(Dump(*copy), Dump(*tree));
    EXPECT_EQ(copy->Left->Parent, copy.get());
  }
  EXPECT_GE(pool.FreeCount(), before);
  EXPECT_LE(pool.FreeCount(), ExpTokenPoolCapacity);
  // A tree bigger than the pool: the surplus is destroyed, the pool stays at capacity.
  std::string list = "a IN (1";
  for (int i = 0; i < 1000; ++i)
    list += ",1";
  {
    TExpressionParser lexer;
    ParseExpressionText(lexer, list + ")", kWhere, "W");
  }
  EXPECT_EQ(pool.FreeCount(), ExpTokenPoolCapacity);
  // A taken node is clean, whatever it held before.
  TExpTokenPtr node = NewExpToken();
  EXPECT_EQ(node->NodeClass, ncNone);
  EXPECT_TRUE(node->Arguments.empty());
  EXPECT_EQ(node->ValueLength(), 0u);
}

}  // namespace
}  // namespace zorvic::engine

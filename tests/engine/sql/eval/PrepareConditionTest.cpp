// Condition preparation: folding, conversion to the column's type without loss, prefix
// compares from "*" texts and LIKE patterns, and that a prepared condition selects exactly
// what the condition selects.
#include <gtest/gtest.h>

#include "EvalTestSupport.h"
#include "engine/sql/ExprTestUtil.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine::testing {
namespace {

struct TPrepared {
  TTestRow* Row;
  TExpTokenPtr Original;
  TExpTokenPtr Tree;
  TEvalContext Context;
  bool Holds() { return EvaluateCondition(*Tree, Context); }
  bool OriginalHolds() { return EvaluateCondition(*Original, Context); }
};

TPrepared Prepare(TTestRow& row, const std::string& text, bool noPartialCompare = true,
                  bool caseInsensitive = false, std::uint16_t language = 0) {
  TPrepared p{&row, BindExpression(row, text, true), nullptr, ContextOf(row, language)};
  p.Tree = PrepareCondition(*p.Original, noPartialCompare, caseInsensitive, p.Context);
  return p;
}

TEST(PrepareFolding, RightOperandsWithoutColumnsBecomeConstants) {
  TTestRow row = StandardRow();
  TPrepared p = Prepare(row, "Id = 2 + 3 AND Name IN (UPPER('a'), 'b' || 'c')");
  EXPECT_EQ(Dump(*p.Tree), "(AND (= Id 5) (IN Name 'A' 'bc'))");
  // The original is left as it was.
  EXPECT_EQ(Dump(*p.Original), "(AND (= Id 5) (IN Name (UPPER 'a') (|| 'b' 'c')))");
  row.Set<std::int32_t>("Id", 5);
  row.SetText("Name", "bc");
  EXPECT_TRUE(p.Holds());
  // Operands with columns stay.
  p = Prepare(row, "Id = Age + 1");
  EXPECT_EQ(Dump(*p.Tree), "(= Id (+ Age 1))");
  p = Prepare(row, "Id = Age - Age + LENGTH('abc')");
  EXPECT_EQ(Dump(*p.Tree), "(= Id (+ (- Age Age) 3))");
}

TEST(PrepareFolding, ConstantsTakeTheColumnTypeOnlyWhenExact) {
  TTestRow row = StandardRow();
  TPrepared p = Prepare(row, "Ratio = 2");
  EXPECT_EQ(p.Tree->Right->DataType, dtFloat);
  p = Prepare(row, "Age = 7");
  EXPECT_EQ(p.Tree->Right->DataType, dtSmallInt);
  // 2.5 for an Integer column and 100000 for a SmallInt are kept as they are.
  p = Prepare(row, "Id = 2.5");
  EXPECT_EQ(p.Tree->Right->DataType, dtFloat);
  row.Set<std::int32_t>("Id", 2);
  EXPECT_FALSE(p.Holds());
  p = Prepare(row, "Id < 2.5");
  EXPECT_TRUE(p.Holds());
  p = Prepare(row, "Age = 100000");
  EXPECT_EQ(p.Tree->Right->DataType, dtInteger);
  row.Set<std::int16_t>("Age", static_cast<std::int16_t>(-31072));  // 100000 wrapped to 16 bits
  EXPECT_FALSE(p.Holds());
  p = Prepare(row, "Age < 100000");
  EXPECT_TRUE(p.Holds());
  p = Prepare(row, "Age IN (1, 70000)");
  EXPECT_EQ(p.Tree->Arguments[1]->DataType, dtSmallInt);
  EXPECT_EQ(p.Tree->Arguments[2]->DataType, dtInteger);
  p = Prepare(row, "Age BETWEEN 1.5 AND 3");
  EXPECT_EQ(p.Tree->Arguments[1]->DataType, dtFloat);
  EXPECT_EQ(p.Tree->Arguments[2]->DataType, dtSmallInt);
  // A time stamp at midnight becomes the date; any other keeps its time.
  row.Set<std::int32_t>("Born", *ParseDate("2005-01-31"));
  p = Prepare(row, "Born = CAST('2005-01-31 00:00:00' AS TIMESTAMP)");
  EXPECT_EQ(p.Tree->Right->DataType, dtDate);
  EXPECT_TRUE(p.Holds());
  p = Prepare(row, "Born = CAST('2005-01-31 10:00:00' AS TIMESTAMP)");
  EXPECT_EQ(p.Tree->Right->DataType, dtTimeStamp);
  EXPECT_FALSE(p.Holds());
}

TEST(PrepareFolding, DateTimeTextsAgainstDateAndTimeColumns) {
  TTestRow row = StandardRow();
  row.Set<std::int32_t>("Born", *ParseDate("2005-01-31"));
  row.Set<std::int32_t>("LoginTime", *ParseTime("10:11:12"));
  // The server writes 'YYYY-MM-DD HH:MM:SS' texts: a Date keeps the date, a Time the time.
  EXPECT_TRUE(Holds(row, "Born = '2005-01-31 10:11:12'"));
  EXPECT_TRUE(Holds(row, "LoginTime = '2005-01-31 10:11:12'"));
  TPrepared p = Prepare(row, "Born = '2005-01-31 23:59:59'");
  EXPECT_EQ(p.Tree->Right->DataType, dtDate);
  EXPECT_TRUE(p.Holds());
}

TEST(PrepareFolding, ParametersWithoutValuesAndClocks) {
  TTestRow row = StandardRow();
  std::vector<TExpToken*> parameters;
  TParseHooks hooks{&parameters, nullptr};
  TExpressionParser lexer;
  TExpTokenPtr tree = ParseExpressionText(lexer, "Id = ?", efExtendedPredicates | efParameters,
                                          "WHERE or JOIN clause", hooks);
  TBindOptions options;
  options.Context = "WHERE or JOIN clause";
  Bind(tree, row, options);
  TEvalContext context = ContextOf(row);
  // The copy holds the parameter's value at preparation, folded like any constant.
  parameters[0]->SetIntegerConstant(4);
  TExpTokenPtr prepared = PrepareCondition(*tree, true, false, context);
  EXPECT_FALSE(prepared->Right->IsParameter);
  row.Set<std::int32_t>("Id", 4);
  EXPECT_TRUE(EvaluateCondition(*prepared, context));

  // The statement clock is read once when the condition is prepared.
  TStatementClock clock;
  clock.Date = *ParseDate("2010-06-15");
  context.Clock = &clock;
  row.Set<std::int32_t>("Born", *ParseDate("2010-06-16"));
  TExpTokenPtr born = BindExpression(row, "Born > CURRENT_DATE", true);
  prepared = PrepareCondition(*born, true, false, context);
  EXPECT_EQ(prepared->Right->Scalar<std::int32_t>(), clock.Date);
  EXPECT_TRUE(EvaluateCondition(*prepared, context));
}

TEST(PreparePrefix, StarTextsBecomePrefixComparesInFilters) {
  TTestRow row = StandardRow();
  TPrepared p = Prepare(row, "Name = 'Jo*'", false);
  EXPECT_EQ(p.Tree->NodeClass, ncPrefixCompare);
  EXPECT_EQ(p.Tree->PrefixLength, 2);
  EXPECT_EQ(p.Tree->Right->StringValue(), "Jo");
  EXPECT_FALSE(p.Tree->CaseInsensitive);
  for (const char* name : {"John", "Jo", "Joanna"}) {
    row.SetText("Name", name);
    EXPECT_TRUE(p.Holds()) << name;
  }
  for (const char* name : {"jo", "J", "Bob"}) {
    row.SetText("Name", name);
    EXPECT_FALSE(p.Holds()) << name;
  }
  row.SetNull("Name");
  EXPECT_FALSE(p.Holds());
  p = Prepare(row, "Name <> 'Jo*'", false);
  EXPECT_TRUE(p.Holds());  // NULL rules of "<>"
  // SQL conditions never compare partially: "*" is a character there.
  p = Prepare(row, "Name = 'Jo*'", true);
  EXPECT_EQ(p.Tree->NodeClass, ncBinary);
  row.SetText("Name", "Jo*");
  EXPECT_TRUE(p.Holds());
  row.SetText("Name", "John");
  EXPECT_FALSE(p.Holds());
}

TEST(PreparePrefix, CaseInsensitiveCompares) {
  TTestRow row = StandardRow();
  TPrepared p = Prepare(row, "Name = 'JOHN'", true, true);
  EXPECT_EQ(p.Tree->NodeClass, ncPrefixCompare);
  EXPECT_EQ(p.Tree->PrefixLength, 0);
  EXPECT_TRUE(p.Tree->CaseInsensitive);
  row.SetText("Name", "john");
  EXPECT_TRUE(p.Holds());
  row.SetText("Name", "johnny");
  EXPECT_FALSE(p.Holds());  // full length
  p = Prepare(row, "Name = 'JO*'", false, true);
  EXPECT_TRUE(p.Holds());
}

TEST(PreparePrefix, LikePrefixesIgnoreCaseLikeEveryLike) {
  TTestRow row = StandardRow();
  TPrepared p = Prepare(row, "Name LIKE 'adm%'");
  EXPECT_EQ(p.Tree->NodeClass, ncPrefixCompare);
  EXPECT_EQ(p.Tree->OperatorCode, opEqual);
  EXPECT_EQ(p.Tree->PrefixLength, 3);
  EXPECT_TRUE(p.Tree->CaseInsensitive);
  for (const char* name : {"admin", "ADMIN", "Adm", "aDmInIsTrAtOr"}) {
    row.SetText("Name", name);
    EXPECT_TRUE(p.Holds()) << name;
    EXPECT_EQ(p.Holds(), p.OriginalHolds()) << name;
  }
  for (const char* name : {"ad", "xadmin", " admin"}) {
    row.SetText("Name", name);
    EXPECT_FALSE(p.Holds()) << name;
    EXPECT_EQ(p.Holds(), p.OriginalHolds()) << name;
  }
  p = Prepare(row, "Name NOT LIKE 'adm%'");
  EXPECT_EQ(p.Tree->OperatorCode, opNotEqual);
  row.SetText("Name", "ADMIN");
  EXPECT_FALSE(p.Holds());
  row.SetNull("Name");
  EXPECT_TRUE(p.Holds());
  EXPECT_TRUE(p.OriginalHolds());
  // Patterns that are no plain prefix stay LIKE.
  for (const char* text : {"Name LIKE '%'", "Name LIKE 'a_m%'", "Name LIKE 'a%m%'",
                           "Name LIKE '%adm'", "Name LIKE 'adm'"}) {
    p = Prepare(row, text);
    EXPECT_EQ(p.Tree->NodeClass, ncExtendedPredicate) << text;
  }
}

TEST(PreparePrefix, LikePrefixUnderAnotherLanguageKeepsItsCaseRule) {
  const std::uint16_t de = FindLanguageByName("German (Standard)")->LanguageId;
  TTestRow row = StandardRow();
  TPrepared p = Prepare(row, "Name LIKE 'Stra%'", true, false, de);
  EXPECT_EQ(p.Tree->NodeClass, ncPrefixCompare);
  EXPECT_FALSE(p.Tree->CaseInsensitive);
  for (const char* name : {"Strasse", "STRASSE", "stra",
                           "Str\xE4"
                           "ss"}) {
    row.SetText("Name", name);
    EXPECT_EQ(p.Holds(), p.OriginalHolds()) << name;
  }
  row.SetText("Name",
              "Str\xE4"
              "ss");  // accents do not count
  EXPECT_TRUE(p.Holds());
  row.SetText("Name", "STRASSE");  // case does
  EXPECT_FALSE(p.Holds());
}

}  // namespace
}  // namespace zorvic::engine::testing

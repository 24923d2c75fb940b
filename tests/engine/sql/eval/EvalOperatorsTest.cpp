// Operators and the dialect's NULL rules, evaluated over bound trees.
#include <gtest/gtest.h>

#include "EvalTestSupport.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine::testing {
namespace {

TEST(EvalNulls, TheEmptyStringIsNullAndEqualsExactlyTheNullValues) {
  TTestRow row = StandardRow();
  row.SetNull("Name");
  EXPECT_TRUE(Holds(row, "Name = ''"));
  EXPECT_FALSE(Holds(row, "Name <> ''"));
  EXPECT_TRUE(Holds(row, "Name IS NULL"));
  row.SetText("Name", "x");
  EXPECT_FALSE(Holds(row, "Name = ''"));
  EXPECT_TRUE(Holds(row, "Name <> ''"));
  EXPECT_TRUE(Holds(row, "Name IS NOT NULL"));
  EXPECT_EQ(ValueOf(row, "NULL = NULL"), "True");
}

TEST(EvalNulls, InListsMatchNullAgainstNull) {
  TTestRow row = StandardRow();
  row.SetNull("Id");
  EXPECT_TRUE(Holds(row, "Id IN (1, NULL)"));
  EXPECT_FALSE(Holds(row, "Id IN (1, 2)"));
  EXPECT_FALSE(Holds(row, "Id NOT IN (1, NULL)"));
  row.Set<std::int32_t>("Id", 2);
  EXPECT_TRUE(Holds(row, "Id IN (1, 2)"));
  EXPECT_FALSE(Holds(row, "Id IN (1, NULL)"));
  EXPECT_TRUE(Holds(row, "Id NOT IN (1, NULL)"));
}

TEST(EvalNulls, LogicalOperatorsCountNullAsFalse) {
  TTestRow row = StandardRow();
  row.SetNull("Active");
  EXPECT_FALSE(Holds(row, "Active"));
  EXPECT_TRUE(Holds(row, "NOT Active"));
  EXPECT_FALSE(Holds(row, "Active AND TRUE"));
  EXPECT_TRUE(Holds(row, "Active OR TRUE"));
  EXPECT_FALSE(Holds(row, "Active OR FALSE"));
  // NOT of a NULL value is true.
  EXPECT_EQ(ValueOf(row, "NOT Active"), "True");
  row.Set<std::int16_t>("Active", 5);  // any non-zero value is true and reads back as 1
  EXPECT_TRUE(Holds(row, "Active"));
  TExpTokenPtr v = EvalText(row, "Active");
  EXPECT_EQ(v->Scalar<std::int16_t>(), 1);
}

TEST(EvalNulls, AndOrEvaluateTheRightOperandFirst) {
  TTestRow row = StandardRow();
  row.Set<std::int32_t>("Id", 1);
  row.Set<std::int16_t>("Age", 1);
  TExpTokenPtr tree = BindExpression(row, "Id = 1 AND Age = 2", true);
  row.Fetches = 0;
  EXPECT_FALSE(EvaluateCondition(*tree, ContextOf(row)));
  EXPECT_EQ(row.Fetches, 1);  // the left operand was never needed
  tree = BindExpression(row, "Id = 2 OR Age = 1", true);
  row.Fetches = 0;
  EXPECT_TRUE(EvaluateCondition(*tree, ContextOf(row)));
  EXPECT_EQ(row.Fetches, 1);
}

TEST(EvalNulls, OrderComparisons) {
  TTestRow row = StandardRow();
  // Strings order NULL as the empty string.
  row.SetNull("Name");
  EXPECT_TRUE(Holds(row, "Name < 'a'"));
  EXPECT_TRUE(Holds(row, "Name <= NULL"));
  EXPECT_FALSE(Holds(row, "Name > 'a'"));
  // Other types: one NULL is false, two NULLs compare as equal zero values.
  row.SetNull("Id");
  EXPECT_FALSE(Holds(row, "Id < 5"));
  EXPECT_FALSE(Holds(row, "Id > 5"));
  EXPECT_FALSE(Holds(row, "Id >= 5"));
  EXPECT_TRUE(Holds(row, "Id <= NULL"));
  EXPECT_TRUE(Holds(row, "Id >= NULL"));
  EXPECT_FALSE(Holds(row, "Id < NULL"));
  row.Set<std::int32_t>("Id", 4);
  EXPECT_TRUE(Holds(row, "Id < 5"));
  EXPECT_TRUE(Holds(row, "Id BETWEEN 4 AND 5"));
  EXPECT_FALSE(Holds(row, "Id BETWEEN 5 AND 9"));
  EXPECT_TRUE(Holds(row, "Id NOT BETWEEN 5 AND 9"));
}

TEST(EvalArithmetic, DivisionAndNulls) {
  TTestRow row = StandardRow();
  TExpTokenPtr v = EvalText(row, "7 / 2");
  EXPECT_EQ(v->DataType, dtFloat);
  EXPECT_EQ(v->Scalar<double>(), 3.5);
  EXPECT_EQ(ValueOf(row, "7 / 0"), "NULL");
  EXPECT_EQ(ValueOf(row, "7.5 / 0"), "NULL");
  EXPECT_EQ(ValueOf(row, "5 + NULL"), "NULL");
  EXPECT_EQ(ValueOf(row, "5 * NULL"), "NULL");
  row.SetNull("Id");
  EXPECT_EQ(ValueOf(row, "Id - 1"), "NULL");
  EXPECT_EQ(ValueOf(row, "'abc' || NULL"), "abc");
  EXPECT_EQ(ValueOf(row, "NULL + 'abc'"), "abc");
  EXPECT_EQ(ValueOf(row, "'ab' + 'cd'"), "abcd");
  EXPECT_EQ(ValueOf(row, "-(3 - 5) * 4"), "8");
}

TEST(EvalArithmetic, IntegersWidenInsteadOfWrapping) {
  TTestRow row = StandardRow();
  row.Set<std::int32_t>("Id", 2147483647);
  TExpTokenPtr v = EvalText(row, "Id + 1");
  EXPECT_EQ(v->DataType, dtLargeInt);
  EXPECT_EQ(v->Scalar<std::int64_t>(), 2147483648LL);
  row.Set<std::int64_t>("Big", INT64_MAX);
  v = EvalText(row, "Big * 2");
  EXPECT_EQ(v->DataType, dtFloat);
  row.Set<std::int16_t>("Age", 30);
  row.Set<std::uint16_t>("Flags", 65535);
  EXPECT_EQ(ValueOf(row, "Age + Flags"), "65565");
}

TEST(EvalArithmetic, BcdComputesOnScaledValues) {
  TTestRow row = StandardRow();
  TExpToken& amount = row.Cell("Amount");
  StoreBcd(*ParseBcdWithScale("12.35", 2), amount.ReserveValue(kBcdSize));
  amount.IsNull = false;
  EXPECT_EQ(ValueOf(row, "Amount + 1"), "13.35");
  EXPECT_EQ(ValueOf(row, "Amount * 3"), "37.05");
  EXPECT_EQ(ValueOf(row, "Amount / 4"), "3.09");  // 3.0875 rounded to the scale
  EXPECT_EQ(ValueOf(row, "Amount - Amount"), "0.00");
  EXPECT_EQ(ValueOf(row, "Amount / 0"), "NULL");
  EXPECT_EQ(ValueOf(row, "Amount * 0.5"), "6.175");  // a Float operand makes a Float
  EXPECT_TRUE(Holds(row, "Amount > 12"));
  EXPECT_TRUE(Holds(row, "Amount = 12.35"));
  EXPECT_EQ(ValueOf(row, "-Amount"), "-12.35");
  EXPECT_EQ(ValueOf(row, "ABS(-Amount)"), "12.35");
  EXPECT_EQ(ValueOf(row, "ROUND(Amount TO 1)"), "12.40");
}

TEST(EvalArithmetic, MoneyKeepsItsSubtype) {
  TTestRow row = StandardRow();
  row.Set<double>("Salary", 10.5);
  TExpTokenPtr v = EvalText(row, "Salary * 2");
  EXPECT_EQ(v->DataType, dtFloat);
  EXPECT_EQ(v->SubType, stMoney);
  EXPECT_EQ(v->Scalar<double>(), 21.0);
}

TEST(EvalArithmetic, DatesAndTimes) {
  TTestRow row = StandardRow();
  row.Set<std::int32_t>("Born", *ParseDate("2005-01-31"));
  row.Set<std::int32_t>("LoginTime", *ParseTime("23:59:59"));
  row.Set<double>("Created", *ParseTimeStamp("2005-01-31 12:00:00"));
  EXPECT_EQ(ValueOf(row, "Born + 1"), "2005-02-01");
  EXPECT_EQ(ValueOf(row, "1 + Born"), "2005-02-01");
  EXPECT_EQ(ValueOf(row, "Born - 31"), "2004-12-31");
  EXPECT_EQ(ValueOf(row, "Born - '2004-12-31'"), "31");
  EXPECT_EQ(ValueOf(row, "LoginTime + 1000"), "00:00:00");  // wraps around midnight
  EXPECT_EQ(ValueOf(row, "LoginTime - '23:00:00'"), "3599000");
  EXPECT_EQ(ValueOf(row, "Created + 2"), "2005-02-02 12:00:00");
  EXPECT_EQ(ValueOf(row, "Created - 1"), "2005-01-30 12:00:00");
  EXPECT_EQ(ValueOf(row, "Created - Born"), "0");
  EXPECT_EQ(ValueOf(row, "Created - '2005-01-30 00:00:00'"), "129600000");
  EXPECT_TRUE(Holds(row, "Created > Born"));
  EXPECT_TRUE(Holds(row, "Born = '2005-01-31'"));
  row.Set<double>("Created", *ParseTimeStamp("2005-01-31 00:00:00"));
  EXPECT_TRUE(Holds(row, "Created = Born"));                          // the date at midnight
  EXPECT_EQ(ValueOf(row, "CAST('9999-12-31' AS DATE) + 1"), "NULL");  // past the calendar
}

TEST(EvalColumns, AColumnWithoutAValueSourceIsAnInternalError) {
  TTestRow row = StandardRow();
  TExpTokenPtr tree = BindExpression(row, "Id + 1");
  TEvalContext context;  // no fetcher
  try {
    Evaluate(*tree, context);
    ADD_FAILURE() << "no error";
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode, VELDOR_SQLPARSE);
    EXPECT_EQ(std::string(e.what()),
              "VELDOR Engine Error # 11949 SQL error - Internal error: Column 'Id' specified "
              "illegally");
  }
}

TEST(EvalPredicates, LikeMatching) {
  TTestRow row = StandardRow();
  row.SetText("Name", "Hello World");
  EXPECT_TRUE(Holds(row, "Name LIKE 'hello%'"));  // LIKE ignores case under language 0
  EXPECT_TRUE(Holds(row, "Name LIKE '%WORLD'"));
  EXPECT_TRUE(Holds(row, "Name LIKE 'H_llo%d'"));
  EXPECT_TRUE(Holds(row, "Name LIKE '%o%o%'"));
  EXPECT_TRUE(Holds(row, "Name LIKE '%'"));
  EXPECT_FALSE(Holds(row, "Name LIKE 'Hello'"));
  EXPECT_FALSE(Holds(row, "Name LIKE '%x%'"));
  EXPECT_TRUE(Holds(row, "Name NOT LIKE '%x%'"));
  // The match resumes after the place where the last "%" started matching.
  row.SetText("Name", "aaab");
  EXPECT_TRUE(Holds(row, "Name LIKE '%aab'"));
  EXPECT_TRUE(Holds(row, "Name LIKE 'a%a_'"));
  EXPECT_FALSE(Holds(row, "Name LIKE 'a%a'"));
  // NULL subject: LIKE false, NOT LIKE true, whatever the pattern.
  row.SetNull("Name");
  EXPECT_FALSE(Holds(row, "Name LIKE '%'"));
  EXPECT_TRUE(Holds(row, "Name NOT LIKE 'x%'"));
  EXPECT_TRUE(Holds(row, "Name NOT LIKE '%'"));
  row.SetText("Name", "x");
  EXPECT_FALSE(Holds(row, "Name LIKE ''"));  // a NULL pattern
  EXPECT_TRUE(Holds(row, "Name NOT LIKE ''"));
}

TEST(EvalPredicates, DoubleQuotedPatternIsAString) {
  TTestRow row;
  row.Add("GroupName", dtString, stNone, 41);
  row.SetText("GroupName", "Sales Team");
  EXPECT_TRUE(Holds(row, "GroupName LIKE \"sales%\""));
  EXPECT_TRUE(Holds(row, "GroupName LIKE \"%TEAM\""));
}

// A fetcher whose sub-select result holds the values 1 and 3.
class TSubSelectRow : public TTestRow {
 public:
  bool SubSelectContains(TDataQuery* query, const TExpToken& value) override {
    EXPECT_EQ(query, Query);
    ++Asked;
    const std::int64_t v = value.Scalar<std::int32_t>();
    return !value.IsNull && (v == 1 || v == 3);
  }
  TDataQuery* Query = reinterpret_cast<TDataQuery*>(&Asked);
  int Asked = 0;
};

TEST(EvalPredicates, InSubSelectAsksTheFetcher) {
  TSubSelectRow row;
  for (const TOperatorCode code : {opInSubSelect, opNotInSubSelect}) {
    TExpTokenPtr tree = NewExpToken();
    tree->NodeClass = ncExtendedPredicate;
    tree->OperatorCode = code;
    tree->DataType = dtBoolean;
    TExpTokenPtr subject = NewExpToken();
    subject->NodeClass = ncConstant;
    subject->SetIntegerConstant(3);
    TExpTokenPtr query = NewExpToken();
    query->NodeClass = ncSubSelect;
    query->SubSelect = row.Query;
    tree->Arguments.push_back(std::move(subject));
    tree->Arguments.push_back(std::move(query));
    EXPECT_EQ(EvaluateCondition(*tree, ContextOf(row)), code == opInSubSelect);
    tree->Arguments[0]->SetIntegerConstant(2);
    EXPECT_EQ(EvaluateCondition(*tree, ContextOf(row)), code == opNotInSubSelect);
    // The prepared copy keeps the sub-select.
    TExpTokenPtr prepared = PrepareCondition(*tree, true, false, ContextOf(row));
    EXPECT_EQ(prepared->Arguments[1]->SubSelect, row.Query);
    EXPECT_EQ(EvaluateCondition(*prepared, ContextOf(row)), code == opNotInSubSelect);
  }
  EXPECT_EQ(row.Asked, 6);
}

TEST(EvalAggregates, OnTheirOwnTheyGiveTheRowsValue) {
  TTestRow row = StandardRow();
  row.Set<std::int32_t>("Id", 7);
  row.SetNull("Age");
  EXPECT_EQ(ValueOf(row, "SUM(Id)"), "7");
  EXPECT_EQ(ValueOf(row, "MAX(Id) + 1"), "8");
  EXPECT_EQ(ValueOf(row, "COUNT(*)"), "1");
  EXPECT_EQ(ValueOf(row, "COUNT(Id)"), "1");
  EXPECT_EQ(ValueOf(row, "COUNT(Age)"), "0");
  EXPECT_EQ(ValueOf(row, "AVG(Age)"), "NULL");
}

TEST(EvalOperators, SignsAndNegation) {
  TTestRow row = StandardRow();
  row.Set<std::int16_t>("Age", -32768);
  TExpTokenPtr v = EvalText(row, "-Age");
  EXPECT_EQ(v->DataType, dtInteger);  // 32768 needs more than 16 bits
  EXPECT_EQ(v->Scalar<std::int32_t>(), 32768);
  row.Set<std::int64_t>("Big", INT64_MIN);
  EXPECT_EQ(EvalText(row, "-Big")->DataType, dtFloat);
  row.Set<double>("Ratio", 1.5);
  EXPECT_EQ(ValueOf(row, "-Ratio"), "-1.5");
  EXPECT_EQ(ValueOf(row, "+Ratio"), "1.5");
  EXPECT_EQ(ValueOf(row, "NOT (Ratio > 1)"), "False");
  EXPECT_EQ(ValueOf(row, "NOT (Ratio > 2)"), "True");
}

TEST(EvalCollation, DefaultLanguageComparesBytes) {
  TTestRow row = StandardRow();
  for (const char* user : {"admin", "Admin", "admin ", "ADMIN", "admi"}) {
    row.SetText("UserName", user);
    EXPECT_EQ(Holds(row, "UserName = 'admin'"), std::string(user) == "admin") << user;
  }
  row.SetText("UserName", "B");
  EXPECT_TRUE(Holds(row, "UserName < 'a'"));  // byte order: upper case first
}

TEST(EvalCollation, GermanOrderAndLike) {
  const TLanguageEntry* german = FindLanguageByName("German (Standard)");
  ASSERT_NE(german, nullptr);
  const std::uint16_t de = german->LanguageId;
  TTestRow row = StandardRow();
  row.SetText("Name", "\xE4pfel");  // "äpfel" in Windows-1252
  EXPECT_TRUE(Holds(row, "Name < 'b'", de));
  EXPECT_FALSE(Holds(row, "Name < 'b'"));         // byte order puts 0xE4 after every letter
  EXPECT_TRUE(Holds(row, "Name = 'apfel'", de));  // accents do not count
  EXPECT_FALSE(Holds(row, "Name = 'apfel'"));
  row.SetText("Name", "apfel");
  EXPECT_TRUE(Holds(row, "Name < 'Apfel'", de));  // case counts, lower before upper
  EXPECT_FALSE(Holds(row, "Name = 'Apfel'", de));
  // LIKE compares character by character with the locale: case counts there.
  EXPECT_FALSE(Holds(row, "Name LIKE 'APF%'", de));
  EXPECT_TRUE(Holds(row, "Name LIKE 'apf%'", de));
  EXPECT_TRUE(Holds(row, "Name LIKE '%fel'", de));
  // Sorting under the collation.
  TEvalContext context = ContextOf(row, de);
  TExpTokenPtr a = NewExpToken();
  TExpTokenPtr b = NewExpToken();
  a->SetStringConstant("\xC4rger");  // Ärger
  b->SetStringConstant("Zebra");
  EXPECT_LT(CompareValues(*a, *b, context), 0);
  EXPECT_GT(CompareValues(*a, *b, TEvalContext{}), 0);
}

TEST(EvalCompare, ThreeWayOrderPutsNullFirst) {
  TEvalContext context;
  TExpTokenPtr n = NewExpToken();
  n->SetNullValue();
  TExpTokenPtr one = NewExpToken();
  one->SetIntegerConstant(1);
  TExpTokenPtr half = NewExpToken();
  half->SetFloatConstant(0.5);
  TExpTokenPtr big = NewExpToken();
  big->SetLargeIntConstant(1LL << 40);
  EXPECT_LT(CompareValues(*n, *one, context), 0);
  EXPECT_GT(CompareValues(*one, *n, context), 0);
  EXPECT_EQ(CompareValues(*n, *n, context), 0);
  EXPECT_GT(CompareValues(*one, *half, context), 0);
  EXPECT_LT(CompareValues(*one, *big, context), 0);
  TExpTokenPtr a = NewExpToken();
  TExpTokenPtr b = NewExpToken();
  a->SetStringConstant("abc");
  b->SetStringConstant("ABC");
  EXPECT_NE(CompareValues(*a, *b, context), 0);
  EXPECT_EQ(CompareValues(*a, *b, context, true), 0);
}

}  // namespace
}  // namespace zorvic::engine::testing

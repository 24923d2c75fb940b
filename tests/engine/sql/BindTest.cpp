#include <gtest/gtest.h>

#include <pthread.h>

#include <map>
#include <string>
#include <vector>

#include "ExprTestUtil.h"
#include "engine/EngineLimits.h"
#include "engine/sql/bind/Binder.h"
#include "engine/sql/parse/ExpressionParser.h"

namespace zorvic::engine {
namespace {

using testing::Dump;
using testing::ErrorOf;
using testing::kSqlError;

constexpr ExpressionFlags kWhere = efExtendedPredicates | efParameters | efSubSelects;
constexpr ExpressionFlags kSelect = efAggregates | efAllColumns | efExtendedPredicates;

struct FakeColumn {
  std::string Table;
  std::string Name;
  TDataType Type;
  TSubType SubType = stNone;
  std::int32_t Size = 0;
  std::int32_t Scale = 0;
};

// Two source tables, Users (correlation U) and Groups (G), sharing the column Name.
class FakeResolver : public ColumnResolver {
 public:
  std::vector<FakeColumn> Columns = {
      {"U", "UserName", dtString, stNone, 33},
      {"U", "Name", dtString, stNone, 21},
      {"U", "AccountDisabled", dtBoolean, stNone, 2},
      {"U", "LastLogin", dtDate, stNone, 4},
      {"U", "LoginTime", dtTime, stNone, 4},
      {"U", "Created", dtTimeStamp, stNone, 8},
      {"U", "Age", dtSmallInt, stNone, 2},
      {"U", "Id", dtInteger, stAutoInc, 4},
      {"U", "Big", dtLargeInt, stNone, 8},
      {"U", "Ratio", dtFloat, stNone, 8},
      {"U", "Salary", dtFloat, stMoney, 8},
      {"U", "Amount", dtBCD, stNone, 34, 2},
      {"U", "Notes", dtBlob, stMemo, 0},
      {"U", "Photo", dtBlob, stGraphic, 0},
      {"U", "Flags", dtWord, stNone, 2},
      {"U", "Raw", dtBytes, stNone, 16},
      {"G", "Name", dtString, stNone, 41},
      {"G", "GroupName", dtString, stNone, 41},
  };
  std::vector<std::string> AutoIncTables;
  int SubSelectColumns = 1;

  TResolveResult ResolveColumn(std::string_view correlation, std::string_view column,
                               TColumnInfo& info) override {
    int found = 0;
    for (std::size_t i = 0; i < Columns.size(); ++i) {
      const FakeColumn& c = Columns[i];
      if (!correlation.empty() && !SameTextIgnoringCase(correlation, c.Table)) continue;
      if (!SameTextIgnoringCase(column, c.Name)) continue;
      ++found;
      info.SourceTable = &Columns;
      info.FieldNumber = static_cast<int>(i);
      info.CorrelationName = c.Table;
      info.ColumnName = c.Name;
      info.DataType = c.Type;
      info.SubType = c.SubType;
      info.Size = c.Size;
      info.Scale = c.Scale;
    }
    if (found > 1) return TResolveResult::Ambiguous;
    return found == 1 ? TResolveResult::Found : TResolveResult::NotFound;
  }
  TSubSelectShape DescribeSubSelect(TDataQuery*) override {
    TSubSelectShape shape;
    shape.ColumnCount = SubSelectColumns;
    shape.DataType = dtString;
    return shape;
  }
  void* AddAutoIncTable(std::string_view table) override {
    AutoIncTables.emplace_back(table);
    return &AutoIncTables;
  }
};

class NullSubSelects : public TSubSelectParser {
 public:
  TDataQuery* ParseSubSelect(TExpressionParser& lexer) override {
    while (!lexer.IsSymbol(')') && !lexer.IsSymbol(tkEnd))
      lexer.Next();
    return nullptr;
  }
};

struct Bound {
  TExpTokenPtr Tree;
  std::string Text() const { return Dump(*Tree); }
};

Bound BindText(FakeResolver& resolver, const std::string& text, bool where = true,
               bool stringToColumn = true) {
  NullSubSelects subSelects;
  std::vector<TExpToken*> parameters;
  TParseHooks hooks{&parameters, &subSelects};
  TExpressionParser lexer;
  Bound bound{ParseExpressionText(lexer, text, where ? kWhere : kSelect,
                                  where ? "WHERE or JOIN clause" : "source column expression",
                                  hooks)};
  TBindOptions options;
  options.Context = where ? "WHERE or JOIN clause" : "source column expression";
  options.StringToColumn = stringToColumn;
  options.BooleanRewrite = where;
  Bind(bound.Tree, resolver, options);
  return bound;
}

std::string BindError(const std::string& text, bool where = true) {
  FakeResolver resolver;
  return ErrorOf([&] { BindText(resolver, text, where); });
}

const std::string kIn = " in WHERE or JOIN clause";

TEST(BindNames, ColumnsResolveWithTheirTables) {
  FakeResolver resolver;
  Bound b = BindText(resolver, "username = 'x' AND G.Name = 'y'");
  EXPECT_EQ(b.Text(), "(AND (= U.UserName 'x') (= G.Name 'y'))");
  const TExpToken& user = *b.Tree->Left->Left;
  EXPECT_EQ(user.FieldNumber, 0);
  EXPECT_EQ(user.DataType, dtString);
  EXPECT_EQ(user.Size, 33);
  EXPECT_EQ(user.Parent, b.Tree->Left.get());
  EXPECT_EQ(
      BindError("Nobody = 1"),
      kSqlError + "Invalid column name 'Nobody' or table correlation name '' specified" + kIn);
  EXPECT_EQ(
      BindError("X.UserName = 1"),
      kSqlError + "Invalid column name 'UserName' or table correlation name 'X' specified" + kIn);
  EXPECT_EQ(BindError("Name = 'a'"),
            kSqlError + "Ambiguous column name 'Name' found in more than one source table" + kIn);
}

TEST(BindNames, SingleQuotedTextNeverNamesAColumn) {
  FakeResolver resolver;
  // A user called UserName must not match every account.
  EXPECT_EQ(BindText(resolver, "UserName = 'UserName'").Text(), "(= U.UserName 'UserName')");
  EXPECT_EQ(BindText(resolver, "GroupName = 'UserName'").Text(), "(= G.GroupName 'UserName')");
  // Double-quoted text may name a column, and remembers that it was a string.
  Bound b = BindText(resolver, "GroupName = \"UserName\"");
  EXPECT_EQ(b.Text(), "(= G.GroupName U.UserName)");
  EXPECT_TRUE(b.Tree->Right->WasString);
  EXPECT_EQ(b.Tree->Right->SavedDataType, dtString);
  // ... but not as a LIKE pattern, an IN value, a BETWEEN bound, or with string-to-column off.
  EXPECT_EQ(BindText(resolver, "GroupName LIKE \"UserName\"").Text(),
            "(LIKE G.GroupName 'UserName')");
  EXPECT_EQ(BindText(resolver, "GroupName IN (\"UserName\")").Text(),
            "(IN G.GroupName 'UserName')");
  EXPECT_EQ(BindText(resolver, "GroupName BETWEEN \"UserName\" AND 'z'").Text(),
            "(BETWEEN G.GroupName 'UserName' 'z')");
  EXPECT_EQ(BindText(resolver, "\"UserName\"", false, false).Text(), "'UserName'");
  EXPECT_EQ(BindText(resolver, "POS(\"UserName\" IN \"GroupName\")", false).Text(),
            "(POS 'UserName' G.GroupName)");
  // Text that names no column stays text.
  EXPECT_EQ(BindText(resolver, "UserName = \"nobody\"").Text(), "(= U.UserName 'nobody')");
}

TEST(BindRewrite, BooleanColumnsStandingAloneBecomeComparisons) {
  FakeResolver resolver;
  EXPECT_EQ(BindText(resolver, "AccountDisabled").Text(), "(= U.AccountDisabled TRUE)");
  EXPECT_EQ(BindText(resolver, "NOT AccountDisabled OR Age > 1 AND AccountDisabled").Text(),
            "(OR (NOT (= U.AccountDisabled TRUE)) (AND (> U.Age 1) (= U.AccountDisabled TRUE)))");
  EXPECT_EQ(BindText(resolver, "IF(AccountDisabled, TRUE, FALSE)").Text(),
            "(= (IF U.AccountDisabled TRUE FALSE) TRUE)");
  // Inside a comparison, or without the rewrite, the column stays as it is.
  EXPECT_EQ(BindText(resolver, "AccountDisabled = FALSE").Text(), "(= U.AccountDisabled FALSE)");
  EXPECT_EQ(BindText(resolver, "AccountDisabled", false).Text(), "U.AccountDisabled");
}

TEST(BindTypes, DateLiteralsAreReadAgainstDateColumns) {
  FakeResolver resolver;
  Bound b = BindText(resolver, "LastLogin = '2005-01-31'");
  EXPECT_EQ(b.Tree->Right->DataType, dtDate);
  EXPECT_EQ(b.Tree->Right->Scalar<std::int32_t>(), 693594 + 38383);  // 2005-01-31
  EXPECT_EQ(BindText(resolver, "'1899-12-30' < LastLogin").Text(), "(< D693594 U.LastLogin)");
  EXPECT_EQ(BindText(resolver, "LoginTime >= '12:30'").Text(), "(>= U.LoginTime T45000000)");
  EXPECT_EQ(BindText(resolver, "LoginTime = '12:30:01.5 pm'").Text(), "(= U.LoginTime T45001005)");
  EXPECT_EQ(BindText(resolver, "Created = '1899-12-31 00:00:01'").Text(),
            "(= U.Created TS59926608001000)");
  EXPECT_EQ(BindText(resolver, "LastLogin IN ('2000-02-29', NULL)").Text(),
            "(IN U.LastLogin D730179 NULL)");
  EXPECT_EQ(BindText(resolver, "LastLogin BETWEEN '0001-01-01' AND '0001-01-02'").Text(),
            "(BETWEEN U.LastLogin D1 D2)");
  EXPECT_EQ(
      BindError("LastLogin = '31.01.2005'"),
      kSqlError + "Date, time, or timestamp expression expected, instead found '31.01.2005'" + kIn);
  EXPECT_EQ(
      BindError("LastLogin IN ('2001-02-29')"),
      kSqlError + "Date, time, or timestamp expression expected, instead found '2001-02-29'" + kIn);
  EXPECT_EQ(
      BindError("LoginTime = '25:00'"),
      kSqlError + "Date, time, or timestamp expression expected, instead found '25:00'" + kIn);
}

TEST(BindTypes, OperandCompatibility) {
  EXPECT_EQ(BindError("UserName = 1"),
            kSqlError + "Type mismatch between column 'UserName' and constant '1'" + kIn);
  EXPECT_EQ(BindError("Age + 1 = 'x'"),
            kSqlError + "Type mismatch between expression '+' and constant 'x'" + kIn);
  EXPECT_EQ(BindError("UPPER(UserName) = Age"),
            kSqlError + "Type mismatch between function 'UPPER' and column 'Age'" + kIn);
  EXPECT_EQ(BindError("AccountDisabled < TRUE"),
            kSqlError + "Type mismatch between column 'AccountDisabled' and constant 'TRUE'" + kIn);
  EXPECT_EQ(BindError("Photo = UserName"),
            kSqlError + "Type mismatch between column 'Photo' and column 'UserName'" + kIn);
  EXPECT_EQ(BindError("Age AND AccountDisabled"),
            kSqlError + "Type mismatch between column 'Age' and expression '='" + kIn);
  EXPECT_EQ(BindError("Raw = LoginTime"),
            kSqlError + "Type mismatch between column 'Raw' and column 'LoginTime'" + kIn);
  EXPECT_EQ(BindError("NOT Age"),
            kSqlError + "Type mismatch between 'NOT' operator and 'Age'" + kIn);
  EXPECT_EQ(BindError("-UserName = 'a'"),
            kSqlError + "Type mismatch between '-' operator and 'UserName'" + kIn);
  EXPECT_EQ(BindError("-Flags = 1"),
            kSqlError + "Type mismatch between '-' operator and 'Flags'" + kIn);
  EXPECT_EQ(BindError("UserName LIKE 5"),
            kSqlError + "Type mismatch between LIKE operator and expression '5'" + kIn);
  EXPECT_EQ(BindError("Age NOT LIKE 'a%'"),
            kSqlError + "Type mismatch between NOT LIKE operator and expression 'Age'" + kIn);
  EXPECT_EQ(BindError("Age IN (1, 'x')"),
            kSqlError + "Type mismatch between IN operator and expression 'x'" + kIn);
  EXPECT_EQ(BindError("Age NOT BETWEEN 'a' AND 2"),
            kSqlError + "Type mismatch between NOT BETWEEN operator and expression 'a'" + kIn);
  EXPECT_EQ(BindError("Age IN (SELECT x FROM T)"),
            kSqlError + "Type mismatch between IN operator and expression 'Age'" + kIn);
  // NULL and parameters fit everywhere; Memo compares with String.
  FakeResolver resolver;
  EXPECT_NO_THROW(BindText(resolver, "Notes = UserName AND Photo = NULL AND Age = ? AND ? = 'x'"));
  EXPECT_NO_THROW(BindText(resolver, "Created = LastLogin AND Amount > Ratio AND Flags = Big"));
  resolver.SubSelectColumns = 2;
  EXPECT_EQ(ErrorOf([&] { BindText(resolver, "UserName IN (SELECT a, b FROM T)"); }),
            kSqlError + "More than 1 column for sub-select  specified" + kIn);
}

struct TypeCase {
  const char* Text;
  TDataType Type;
  TSubType SubType;
  std::int32_t Size;
  std::int32_t Scale;
};

TEST(BindTypes, ResultTypes) {
  const TypeCase cases[] = {
      {"UserName + G.Name", dtString, stNone, 33 + 41 - 1, 0},
      {"UserName || Notes", dtBlob, stMemo, 0, 0},
      {"LastLogin + 1", dtDate, stNone, 4, 0},
      {"1 + LoginTime", dtTime, stNone, 4, 0},
      {"Created + Age", dtTimeStamp, stNone, 8, 0},
      {"LastLogin - LastLogin", dtInteger, stNone, 4, 0},
      {"LastLogin - 1", dtDate, stNone, 4, 0},
      {"LoginTime - LoginTime", dtInteger, stNone, 4, 0},
      {"Created - LastLogin", dtInteger, stNone, 4, 0},
      {"Created - LoginTime", dtInteger, stNone, 4, 0},
      {"Created - Created", dtFloat, stNone, 8, 0},
      {"Created - 2", dtTimeStamp, stNone, 8, 0},
      {"Age + Flags", dtInteger, stNone, 4, 0},
      {"Age * Big", dtLargeInt, stNone, 8, 0},
      {"Age - Ratio", dtFloat, stNone, 8, 0},
      {"Amount * 2", dtBCD, stNone, 34, 2},
      {"Amount + Ratio", dtFloat, stNone, 8, 0},
      {"Age / Id", dtFloat, stNone, 8, 0},
      {"Amount / 3", dtBCD, stNone, 34, 2},
      {"Salary * 2", dtFloat, stMoney, 8, 0},
      {"Age = 1", dtBoolean, stNone, 2, 0},
      {"UserName LIKE 'a%'", dtBoolean, stNone, 2, 0},
      {"COUNT(*)", dtInteger, stNone, 4, 0},
      {"MAX(LastLogin)", dtDate, stNone, 4, 0},
      {"SUM(Amount)", dtBCD, stNone, 34, 2},
      {"UPPER(UserName)", dtString, stNone, 33, 0},
      {"LOWER(Notes)", dtBlob, stMemo, 0, 0},
      {"LENGTH(UserName)", dtInteger, stNone, 4, 0},
      {"SUBSTRING(UserName FROM 2 FOR Age)", dtString, stNone, 33, 0},
      {"REPLACE('a' WITH 'bcd' IN UserName)", dtString, stNone, 33 + 32 * 2, 0},
      {"POS('a' IN Notes)", dtInteger, stNone, 4, 0},
      {"TRIM(BOTH ' ' FROM UserName)", dtString, stNone, 33, 0},
      {"EXTRACT(YEAR FROM Created)", dtInteger, stNone, 4, 0},
      {"ABS(Ratio)", dtFloat, stNone, 8, 0},
      {"ROUND(Amount TO 1)", dtBCD, stNone, 34, 2},
      {"IF(Age > 1 THEN UserName ELSE G.GroupName)", dtString, stNone, 41, 0},
      {"IFNULL(Age, NULL, 'abc')", dtString, stNone, 4, 0},
      {"COALESCE(NULL, Age, Id)", dtSmallInt, stNone, 2, 0},
      {"CAST(Age AS VARCHAR(10))", dtString, stNone, 11, 0},
      {"CAST(UserName AS DECIMAL(10,3))", dtBCD, stNone, 34, 3},
      {"CAST(NULL AS DATE)", dtDate, stNone, 4, 0},
      {"LASTAUTOINC('Users')", dtInteger, stNone, 4, 0},
      {"TEXTSEARCH('word' IN Notes)", dtBoolean, stNone, 2, 0},
      {"TEXTOCCURS('word' IN UserName)", dtInteger, stNone, 4, 0},
  };
  for (const TypeCase& c : cases) {
    FakeResolver resolver;
    Bound b = BindText(resolver, c.Text, false);
    EXPECT_EQ(b.Tree->DataType, c.Type) << c.Text;
    EXPECT_EQ(b.Tree->SubType, c.SubType) << c.Text;
    EXPECT_EQ(b.Tree->Size, c.Size) << c.Text;
    EXPECT_EQ(b.Tree->Scale, c.Scale) << c.Text;
  }
}

TEST(BindTypes, FunctionArgumentChecks) {
  const std::string in = " in source column expression";
  const std::pair<const char*, const char*> cases[] = {
      {"SUM(UserName)",
       "SUM aggregate function must contain a numeric, date, time, or timestamp expression"},
      {"AVG(AccountDisabled)",
       "AVG aggregate function must contain a numeric, date, time, or timestamp expression"},
      {"UPPER(Age)", "Type mismatch between UPPER function and function argument"},
      {"LENGTH(Photo)", "Type mismatch between LENGTH function and function argument"},
      {"SUBSTRING(Age FROM 1)",
       "Expression argument of SUBSTRING function must be a string or memo"},
      {"SUBSTRING(UserName FROM 'a')",
       "FROM argument of SUBSTRING function must be an integer value"},
      {"SUBSTRING(UserName FROM 1 FOR Ratio)",
       "FOR argument of SUBSTRING function must be an integer value"},
      {"REPLACE('a' WITH 'b' IN Age)", "IN argument of REPLACE function must be a string or memo"},
      {"REPLACE(1 WITH 'b' IN UserName)",
       "Type mismatch between REPLACE function and search string argument"},
      {"REPLACE('a' WITH 2 IN UserName)",
       "Type mismatch between OCCURS function and WITH argument"},
      {"POS('a' IN Age)", "Type mismatch between POS function and IN argument"},
      {"OCCURS(Age IN UserName)",
       "Type mismatch between OCCURS function and search string argument"},
      {"TRIM(LEADING ' ' FROM Age)", "FROM argument of TRIM function must be a string or memo"},
      {"TRIM(LEADING 'ab' FROM UserName)",
       "Trim character argument of TRIM function must be a single character constant"},
      {"TRIM(LEADING UserName FROM UserName)",
       "Trim character argument of TRIM function must be a single character constant"},
      {"EXTRACT(DAY FROM Age)",
       "FROM argument of EXTRACT function must be a date, time, or timestamp"},
      {"ABS(UserName)",
       "Expression argument of ABS function must be an integer, floating-point, or BCD type"},
      {"ROUND(Age)", "Expression argument of ROUND function must be a floating-point or BCD type"},
      {"ROUND(Ratio TO Age)",
       "Decimal places argument of ROUND function must be an integer constant"},
      {"ROUND(Ratio TO 33)",
       "Decimal places argument of ROUND function must be an integer constant between 0 and 32"},
      {"IF(Age THEN 1 ELSE 2)", "First expression argument of IF function must be a boolean type"},
      {"IF(Age > 1 THEN 1 ELSE 'x')", "Type mismatch between IF expression arguments"},
      {"COALESCE(Age, UserName)", "Type mismatch between COALESCE expression arguments"},
      {"CAST(AccountDisabled AS INTEGER)",
       "Type mismatch between column 'AccountDisabled' and AS argument"},
      {"CAST(Ratio AS BOOLEAN)", "Type mismatch between column 'Ratio' and AS argument"},
      {"CAST(Age + 1 AS DATE)", "Type mismatch between expression '+' and AS argument"},
      {"CAST(LastLogin AS TIME)", "Type mismatch between column 'LastLogin' and AS argument"},
      {"TEXTSEARCH(1 IN Notes)",
       "Type mismatch between TEXTSEARCH function and search text function argument"},
      {"TEXTSEARCH(UserName IN Notes)",
       "TEXTSEARCH search text function argument must be a string constant"},
      {"TEXTOCCURS('a' IN 'b')", "TEXTOCCURS function column argument must be a valid column name"},
      {"TEXTSEARCH('a' IN Age)",
       "Type mismatch between TEXTSEARCH function and column function argument"},
      {"LASTAUTOINC(1)",
       "Type mismatch between LASTAUTOINC function and table name function argument"},
      {"IDENT_CURRENT(Users)",
       "IDENT_CURRENT table name function argument must be a string constant"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(BindError(text, false), kSqlError + message + in) << text;
  }
  EXPECT_EQ(BindError("IFNULL(Age, NULL, NULL)", false),
            kSqlError +
                "At least one of the IFNULL expression arguments in source column expression must "
                "be a non-NULL value");
  EXPECT_EQ(BindError("COALESCE(NULL)", false),
            kSqlError +
                "At least one of the COALESCE expression arguments in source column expression "
                "must be a non-NULL value");
  FakeResolver resolver;
  Bound b = BindText(resolver, "LASTAUTOINC('Users') + IDENT_CURRENT(\"Groups\")", false);
  EXPECT_EQ(resolver.AutoIncTables, (std::vector<std::string>{"Users", "Groups"}));
  EXPECT_EQ(b.Tree->Left->SourceTable, &resolver.AutoIncTables);
}

TEST(BindTypes, ConstantArithmeticFoldsWithoutOverflow) {
  FakeResolver resolver;
  EXPECT_EQ(BindText(resolver, "2005-01-31", false).Text(), "1973");
  EXPECT_EQ(BindText(resolver, "2147483647 + 1", false).Text(), "2147483648L");
  EXPECT_EQ(BindText(resolver, "-2147483648 - 1", false).Text(), "-2147483649L");
  EXPECT_EQ(BindText(resolver, "65536 * 65536", false).Text(), "4294967296L");
  EXPECT_EQ(BindText(resolver, "9223372036854775807 + 1", false).Text(),
            "F9223372036854775808.000000");
  EXPECT_EQ(BindText(resolver, "-(-9223372036854775808)", false).Text(),
            "F9223372036854775808.000000");
  EXPECT_EQ(BindText(resolver, "-(2147483647 + 1)", false).Text(), "-2147483648");
  EXPECT_EQ(BindText(resolver, "Age + (2 * 3)", false).Text(), "(+ U.Age 6)");
  EXPECT_EQ(BindText(resolver, "+Age", false).Text(), "U.Age");
}

TEST(BindTypes, FilterErrorsNameTheTable) {
  FakeResolver resolver;
  TExpressionParser lexer;
  lexer.ErrorCode = VELDOR_INVALIDFILTER;
  lexer.ErrorTableName = "Users";
  TExpTokenPtr tree =
      ParseExpressionText(lexer, "Nobody = 1", efExtendedPredicates, "filter expression");
  TBindOptions options;
  options.ErrorCode = VELDOR_INVALIDFILTER;
  options.ErrorTableName = "Users";
  options.Context = "filter expression";
  options.BooleanRewrite = true;
  EXPECT_EQ(ErrorOf([&] { Bind(tree, resolver, options); }),
            "VELDOR Engine Error # 10051 Filter error for the table 'Users' - Invalid column name "
            "'Nobody' or table correlation name '' specified in filter expression");
}

TEST(BindTypes, DeepTreesBind) {
  FakeResolver resolver;
  std::string chain = "Age";
  for (int i = 0; i < MaxExpressionDepth - 1; ++i)
    chain += "+Age";
  Bound b = BindText(resolver, chain + " > 0");
  EXPECT_EQ(b.Tree->DataType, dtBoolean);
  std::string nots = "AccountDisabled";
  for (int i = 0; i < MaxExpressionDepth - 1; ++i)
    nots = "NOT " + nots;
  EXPECT_NO_THROW(BindText(resolver, nots));
}

// Runs fn on a thread with the given stack size and returns whether it finished.
bool RunWithStack(std::size_t stackBytes, void (*fn)()) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, stackBytes);
  pthread_t thread;
  const int started = pthread_create(
      &thread, &attributes,
      [](void* argument) -> void* {
        reinterpret_cast<void (*)()>(argument)();
        return nullptr;
      },
      reinterpret_cast<void*>(fn));
  pthread_attr_destroy(&attributes);
  if (started != 0) return false;
  pthread_join(thread, nullptr);
  return true;
}

std::string gDeepestError;

// The deepest accepted expressions of every nesting kind (one level is left for the
// comparison around them), parsed and bound.
void ParseAndBindDeepest() {
  const auto nested = [](const std::string& open, const std::string& inner,
                         const std::string& close, int levels = MaxExpressionDepth - 1) {
    std::string text;
    for (int i = 0; i < levels; ++i)
      text += open;
    text += inner;
    for (int i = 0; i < levels; ++i)
      text += close;
    return text;
  };
  const std::string texts[] = {
      nested("(", "Age", ")", MaxExpressionDepth) + " > 1",
      nested("NOT ", "AccountDisabled", "", MaxExpressionDepth),
      nested("UPPER(", "UserName", ")") + " = 'A'",
      // The condition inside each IF is one level below it.
      nested("IF(Age > 1, ", "Age", ", 2)", MaxExpressionDepth - 2) + " = 1",
      nested("Age + (", "Age", ")") + " = 1",
  };
  for (const std::string& text : texts) {
    FakeResolver resolver;
    gDeepestError += ErrorOf([&] { BindText(resolver, text); }) + ";";
  }
}

TEST(BindTypes, DeepestExpressionsFitAConnectionStack) {
  // A connection thread's stack; sanitizer builds use far bigger frames.
#if defined(__SANITIZE_ADDRESS__)
  constexpr std::size_t kStack = 32u << 20;
#else
  constexpr std::size_t kStack = 2u << 20;
#endif
  EXPECT_TRUE(RunWithStack(kStack, &ParseAndBindDeepest));
  EXPECT_EQ(gDeepestError, "no error;no error;no error;no error;no error;");
}

}  // namespace
}  // namespace zorvic::engine

// Functions: strings, EXTRACT and the calendar numbering, CAST and the conversions, the
// choice functions, numbers and the functions answered by the fetcher.
#include <gtest/gtest.h>

#include "EvalTestSupport.h"
#include "engine/sql/eval/TextWords.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine::testing {
namespace {

TEST(EvalStrings, CaseLengthAndSubstring) {
  TTestRow row = StandardRow();
  row.SetText("Name",
              "Stra\xDF"
              "e \xE4x");  // "Straße äx"
  EXPECT_EQ(ValueOf(row, "UPPER(Name)"),
            "STRA\xDF"
            "E \xC4X");  // ß has no single upper case
  EXPECT_EQ(ValueOf(row, "LOWER('ABC \xC4')"), "abc \xE4");
  EXPECT_EQ(ValueOf(row, "LENGTH(Name)"), "9");
  EXPECT_EQ(ValueOf(row, "SUBSTRING('abcdef' FROM 2 FOR 3)"), "bcd");
  EXPECT_EQ(ValueOf(row, "SUBSTRING('abcdef' FROM 4)"), "def");
  EXPECT_EQ(ValueOf(row, "SUBSTRING('abcdef' FROM 0 FOR 2)"), "ab");  // a start below 1 is 1
  EXPECT_EQ(ValueOf(row, "SUBSTRING('abcdef' FROM -5 FOR 2)"), "ab");
  EXPECT_EQ(ValueOf(row, "SUBSTRING('abcdef' FROM 9)"), "");
  EXPECT_EQ(ValueOf(row, "SUBSTRING('abcdef' FROM 2 FOR -1)"), "");
  EXPECT_EQ(ValueOf(row, "SUBSTRING('abcdef' FROM 5 FOR 10)"), "ef");
  row.SetNull("Name");
  EXPECT_EQ(ValueOf(row, "LENGTH(Name)"), "NULL");
  EXPECT_EQ(ValueOf(row, "UPPER(Name)"), "NULL");
  EXPECT_EQ(ValueOf(row, "SUBSTRING(Name FROM 1)"), "NULL");
}

TEST(EvalStrings, SearchFunctions) {
  TTestRow row = StandardRow();
  EXPECT_EQ(ValueOf(row, "POS('c' IN 'abcabc')"), "3");
  EXPECT_EQ(ValueOf(row, "POS('C' IN 'abcabc')"), "0");  // case counts
  EXPECT_EQ(ValueOf(row, "POS('x' IN 'abc')"), "0");
  EXPECT_EQ(ValueOf(row, "OCCURS('ab' IN 'ababab')"), "3");
  EXPECT_EQ(ValueOf(row, "OCCURS('aa' IN 'aaaaa')"), "2");  // not overlapping
  EXPECT_EQ(ValueOf(row, "OCCURS('A' IN 'aaaaa')"), "0");
  EXPECT_EQ(ValueOf(row, "REPLACE('a' WITH 'xy' IN 'banana')"), "bxynxynxy");
  EXPECT_EQ(ValueOf(row, "REPLACE('ana' WITH 'X' IN 'banana')"), "bXna");
  EXPECT_EQ(ValueOf(row, "REPLACE('an' WITH 'an' IN 'banana')"), "banana");
  EXPECT_EQ(ValueOf(row, "TRIM(BOTH 'x' FROM 'xxabcxx')"), "abc");
  EXPECT_EQ(ValueOf(row, "TRIM(LEADING 'x' FROM 'xxabcxx')"), "abcxx");
  EXPECT_EQ(ValueOf(row, "TRIM(TRAILING 'x' FROM 'xxabcxx')"), "xxabc");
  EXPECT_EQ(ValueOf(row, "TRIM(BOTH ' ' FROM '   ')"), "");
  // An empty (NULL) search text: the text unchanged, 0 occurrences, position 0.
  row.SetNull("Name");
  row.SetText("UserName", "banana");
  EXPECT_EQ(ValueOf(row, "REPLACE(Name WITH 'x' IN UserName)"), "banana");
  EXPECT_EQ(ValueOf(row, "OCCURS(Name IN UserName)"), "0");
  EXPECT_EQ(ValueOf(row, "POS(Name IN UserName)"), "0");
  EXPECT_EQ(ValueOf(row, "REPLACE('a' WITH Name IN UserName)"), "bnn");  // NULL: by nothing
  row.SetText("Name", "");
  EXPECT_EQ(ValueOf(row, "REPLACE(Name WITH 'x' IN UserName)"), "banana");
  EXPECT_EQ(ValueOf(row, "OCCURS(Name IN UserName)"), "0");
  EXPECT_EQ(ValueOf(row, "POS(Name IN UserName)"), "0");
  // A NULL text.
  row.SetNull("UserName");
  EXPECT_EQ(ValueOf(row, "POS('a' IN UserName)"), "NULL");
  EXPECT_EQ(ValueOf(row, "REPLACE('a' WITH 'b' IN UserName)"), "NULL");
  EXPECT_EQ(ValueOf(row, "TRIM(BOTH 'a' FROM UserName)"), "NULL");
}

TEST(EvalStrings, MemosWorkAsStrings) {
  TTestRow row = StandardRow();
  row.SetText("Notes", "Meeting at noon");
  EXPECT_TRUE(Holds(row, "Notes LIKE '%NOON'"));
  EXPECT_TRUE(Holds(row, "Notes = 'Meeting at noon'"));
  TExpTokenPtr v = EvalText(row, "UPPER(Notes)");
  EXPECT_EQ(v->DataType, dtBlob);
  EXPECT_EQ(v->SubType, stMemo);
  EXPECT_EQ(v->StringValue(), "MEETING AT NOON");
  EXPECT_EQ(ValueOf(row, "Notes || '!'"), "Meeting at noon!");
  EXPECT_EQ(ValueOf(row, "POS('at' IN Notes)"), "9");
}

TEST(EvalDates, ExtractParts) {
  TTestRow row = StandardRow();
  row.Set<double>("Created", *ParseTimeStamp("2005-01-31 13:05:07.250"));
  EXPECT_EQ(ValueOf(row, "EXTRACT(YEAR FROM Created)"), "2005");
  EXPECT_EQ(ValueOf(row, "EXTRACT(MONTH FROM Created)"), "1");
  EXPECT_EQ(ValueOf(row, "EXTRACT(DAY FROM Created)"), "31");
  EXPECT_EQ(ValueOf(row, "EXTRACT(HOUR FROM Created)"), "13");
  EXPECT_EQ(ValueOf(row, "EXTRACT(MINUTE FROM Created)"), "5");
  EXPECT_EQ(ValueOf(row, "EXTRACT(SECOND FROM Created)"), "7");
  // A Time is taken on 30 December 1899, a Saturday.
  row.Set<std::int32_t>("LoginTime", *ParseTime("13:05:00"));
  EXPECT_EQ(ValueOf(row, "EXTRACT(YEAR FROM LoginTime)"), "1899");
  EXPECT_EQ(ValueOf(row, "EXTRACT(MONTH FROM LoginTime)"), "12");
  EXPECT_EQ(ValueOf(row, "EXTRACT(DAY FROM LoginTime)"), "30");
  EXPECT_EQ(ValueOf(row, "EXTRACT(DAYOFWEEK FROM LoginTime)"), "7");
  EXPECT_EQ(ValueOf(row, "EXTRACT(DAYOFYEAR FROM LoginTime)"), "364");
  EXPECT_EQ(ValueOf(row, "EXTRACT(HOUR FROM LoginTime)"), "13");
  row.SetNull("Born");
  EXPECT_EQ(ValueOf(row, "EXTRACT(YEAR FROM Born)"), "NULL");
}

TEST(EvalDates, WeekDayOfWeekAndDayOfYear) {
  struct {
    const char* Date;
    const char* DayOfWeek;  // 1 Sunday .. 7 Saturday
    const char* DayOfYear;
    const char* Week;  // week 1 holds 1 January, weeks start on Sunday
  } const cases[] = {
      {"2005-01-31", "2", "31", "6"},   // Monday; 1 Jan 2005 was a Saturday
      {"2005-01-01", "7", "1", "1"},    // Saturday
      {"2005-01-02", "1", "2", "2"},    // the first Sunday starts week 2
      {"2000-02-29", "3", "60", "10"},  // Tuesday of a leap year
      {"2024-12-31", "3", "366", "53"}, {"2023-01-01", "1", "1", "1"},  // a year starting on Sunday
      {"2023-01-07", "7", "7", "1"},    {"2023-01-08", "1", "8", "2"},
      {"0001-01-01", "2", "1", "1"},  // a Monday
      {"9999-12-31", "6", "365", "53"},
  };
  TTestRow row = StandardRow();
  for (const auto& c : cases) {
    row.Set<std::int32_t>("Born", *ParseDate(c.Date));
    EXPECT_EQ(ValueOf(row, "EXTRACT(DAYOFWEEK FROM Born)"), c.DayOfWeek) << c.Date;
    EXPECT_EQ(ValueOf(row, "EXTRACT(DAYOFYEAR FROM Born)"), c.DayOfYear) << c.Date;
    EXPECT_EQ(ValueOf(row, "EXTRACT(WEEK FROM Born)"), c.Week) << c.Date;
  }
}

TEST(EvalCast, FailuresGiveTheZeroValue) {
  TTestRow row = StandardRow();
  TExpTokenPtr v = EvalText(row, "CAST('abc' AS INTEGER)");
  EXPECT_EQ(v->DataType, dtInteger);
  EXPECT_FALSE(v->IsNull);
  EXPECT_EQ(v->Scalar<std::int32_t>(), 0);
  EXPECT_EQ(ValueOf(row, "CAST('abc' AS FLOAT)"), "0");
  EXPECT_EQ(ValueOf(row, "CAST('abc' AS BOOLEAN)"), "False");
  EXPECT_EQ(ValueOf(row, "CAST('abc' AS TIME)"), "00:00:00");
  EXPECT_EQ(ValueOf(row, "CAST('100000' AS SMALLINT)"), "0");
  EXPECT_EQ(ValueOf(row, "CAST('abc' AS DECIMAL(10,2))"), "0.00");
  // Date and TimeStamp have no zero calendar day: a failure gives NULL.
  EXPECT_EQ(ValueOf(row, "CAST('abc' AS DATE)"), "NULL");
  EXPECT_EQ(ValueOf(row, "CAST('abc' AS TIMESTAMP)"), "NULL");
}

TEST(EvalCast, Conversions) {
  TTestRow row = StandardRow();
  row.Set<std::int32_t>("LoginTime", *ParseTime("13:05:00"));
  EXPECT_EQ(ValueOf(row, "CAST(LoginTime AS CHAR(20))"), "13:05:00");
  EXPECT_EQ(ValueOf(row, "CAST(LoginTime AS TIMESTAMP)"), "1899-12-30 13:05:00");
  EXPECT_EQ(ValueOf(row, "CAST('abcdef' AS CHAR(3))"), "abc");
  EXPECT_EQ(ValueOf(row, "CAST(' 12 ' AS SMALLINT)"), "12");
  EXPECT_EQ(ValueOf(row, "CAST(3.9 AS INTEGER)"), "3");
  EXPECT_EQ(ValueOf(row, "CAST(-3.9 AS INTEGER)"), "-3");
  EXPECT_EQ(ValueOf(row, "CAST(2.345 AS DECIMAL(10,2))"), "2.35");
  EXPECT_EQ(ValueOf(row, "CAST(7 AS DECIMAL(10,4))"), "7.0000");
  EXPECT_EQ(ValueOf(row, "CAST(0.1 AS CHAR(10))"), "0.1");
  EXPECT_EQ(ValueOf(row, "CAST(TRUE AS CHAR(10))"), "True");
  EXPECT_EQ(ValueOf(row, "CAST('true' AS BOOLEAN)"), "True");
  EXPECT_EQ(ValueOf(row, "CAST(2 AS BOOLEAN)"), "True");
  EXPECT_EQ(ValueOf(row, "CAST(NULL AS INTEGER)"), "NULL");
  // A date-time text keeps the part its type holds.
  EXPECT_EQ(ValueOf(row, "CAST('2005-01-31 10:11:12' AS DATE)"), "2005-01-31");
  EXPECT_EQ(ValueOf(row, "CAST('2005-01-31 10:11:12' AS TIME)"), "10:11:12");
  EXPECT_EQ(ValueOf(row, "CAST('2005-01-31' AS TIMESTAMP)"), "2005-01-31 00:00:00");
  EXPECT_EQ(ValueOf(row, "CAST('10:30' AS TIMESTAMP)"), "1899-12-30 10:30:00");
  row.Set<double>("Created", *ParseTimeStamp("2005-01-31 10:11:12"));
  EXPECT_EQ(ValueOf(row, "CAST(Created AS DATE)"), "2005-01-31");
  EXPECT_EQ(ValueOf(row, "CAST(Created AS TIME)"), "10:11:12");
}

TEST(EvalCast, StrictConversionRaisesTheTextMessage) {
  TExpTokenPtr v = NewExpToken();
  v->SetStringConstant("abc");
  try {
    ConvertValueStrict(*v, dtInteger, stNone, 0, 0);
    ADD_FAILURE() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
  }
  v->SetStringConstant("31.01.2005");
  EXPECT_THROW(ConvertValueStrict(*v, dtDate, stNone, 0, 0), EConvertError);
  v->SetStringConstant("2005-01-31 10:00:00");
  ConvertValueStrict(*v, dtDate, stNone, 0, 0);
  EXPECT_EQ(ValueToText(*v), "2005-01-31");
  v->SetStringConstant("maybe");
  try {
    ConvertValueStrict(*v, dtBoolean, stNone, 0, 0);
    ADD_FAILURE() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'maybe' is not a valid boolean");
  }
  v->SetStringConstant("25:00");
  try {
    ConvertValueStrict(*v, dtTime, stNone, 0, 0);
    ADD_FAILURE() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'25:00' is not a valid time");
  }
  v->SetIntegerConstant(100000);
  EXPECT_FALSE(ConvertValue(*v, dtSmallInt, stNone, 0, 0));
  EXPECT_EQ(v->DataType, dtSmallInt);
  EXPECT_EQ(v->Scalar<std::int16_t>(), 0);
}

TEST(EvalCast, ValueTexts) {
  TExpTokenPtr v = NewExpToken();
  v->SetFloatConstant(0.1 + 0.2);
  EXPECT_EQ(ValueToText(*v), "0.30000000000000004");
  v->SetBooleanConstant(false);
  EXPECT_EQ(ValueToText(*v), "False");
  v->SetDateConstant(*ParseDate("0001-01-01"));
  EXPECT_EQ(ValueToText(*v), "0001-01-01");
  v->SetTimeConstant(*ParseTime("13:05:00.250"));
  EXPECT_EQ(ValueToText(*v), "13:05:00.250");
  v->SetTimeStampConstant(*ParseTimeStamp("2005-01-31 01:02:03"));
  EXPECT_EQ(ValueToText(*v), "2005-01-31 01:02:03");
  v->SetNullValue();
  EXPECT_EQ(ValueToText(*v), "");
  v->SetDateConstant(0);  // no calendar day
  EXPECT_EQ(ValueToText(*v), "");
}

TEST(EvalChoices, IfIfNullCoalesce) {
  TTestRow row = StandardRow();
  row.Set<std::int32_t>("Id", 5);
  row.SetNull("Name");
  row.SetText("UserName", "bob");
  EXPECT_EQ(ValueOf(row, "IF(Id > 1 THEN 'big' ELSE 'small')"), "big");
  EXPECT_EQ(ValueOf(row, "IF(Id > 9, 'big', 'small')"), "small");
  EXPECT_EQ(ValueOf(row, "IF(Name = 'x', 1, 2)"), "2");
  EXPECT_EQ(ValueOf(row, "IFNULL(Name THEN 'none' ELSE Name)"), "none");
  EXPECT_EQ(ValueOf(row, "IFNULL(UserName, 'none', UserName)"), "bob");
  EXPECT_EQ(ValueOf(row, "COALESCE(Name, UserName, 'x')"), "bob");
  EXPECT_EQ(ValueOf(row, "COALESCE(Name, NULL, 'x')"), "x");
  row.SetNull("UserName");
  EXPECT_EQ(ValueOf(row, "COALESCE(Name, UserName)"), "NULL");
  // The chosen value takes the function's type.
  TExpTokenPtr v = EvalText(row, "IF(Id > 1, 2.5, 1)");
  EXPECT_EQ(v->DataType, dtFloat);
  v = EvalText(row, "IF(Id > 9, 2.5, 1)");
  EXPECT_EQ(v->DataType, dtFloat);
  EXPECT_EQ(v->Scalar<double>(), 1.0);
}

TEST(EvalNumbers, AbsAndRound) {
  TTestRow row = StandardRow();
  row.Set<std::int16_t>("Age", -30);
  row.Set<std::uint16_t>("Flags", 7);
  EXPECT_EQ(ValueOf(row, "ABS(-5)"), "5");
  EXPECT_EQ(ValueOf(row, "ABS(Age)"), "30");
  EXPECT_EQ(EvalText(row, "ABS(Age)")->DataType, dtSmallInt);
  EXPECT_EQ(ValueOf(row, "ABS(Flags)"), "7");
  EXPECT_EQ(ValueOf(row, "ABS(-2.5)"), "2.5");
  row.SetNull("Age");
  EXPECT_EQ(ValueOf(row, "ABS(Age)"), "NULL");
  EXPECT_EQ(ValueOf(row, "ROUND(2.567 TO 2)"), "2.57");
  EXPECT_EQ(ValueOf(row, "ROUND(2.5)"), "3");
  EXPECT_EQ(ValueOf(row, "ROUND(-2.5)"), "-3");
  EXPECT_EQ(ValueOf(row, "ROUND(1234.5678 TO 32)"), "1234.5678");
  // Rounded as the decimal text reads, not as its binary double happens to fall.
  EXPECT_EQ(ValueOf(row, "ROUND(2.675 TO 2)"), "2.68");
  EXPECT_EQ(ValueOf(row, "ROUND(1.005 TO 2)"), "1.01");
  EXPECT_EQ(ValueOf(row, "ROUND(-0.125 TO 2)"), "-0.13");
  EXPECT_EQ(ValueOf(row, "ROUND(1e300 TO 2)"), "1e+300");
  EXPECT_EQ(ValueOf(row, "ROUND(123456.5 TO 0)"), "123457");
}

TEST(EvalFetcher, AutoIncrementFunctions) {
  TTestRow row = StandardRow();
  EXPECT_EQ(ValueOf(row, "LASTAUTOINC('Users')"), "41");
  EXPECT_EQ(ValueOf(row, "IDENT_CURRENT('Users')"), "41");
  // Without a fetcher: 0.
  TExpTokenPtr tree = BindExpression(row, "LASTAUTOINC('Users')");
  EXPECT_EQ(Show(*Evaluate(*tree, TEvalContext{})), "0");
}

TEST(EvalTextSearch, WordsOfTheColumnWithoutCase) {
  TTestRow row = StandardRow();
  row.SetText("Notes", "Meeting at 10, room B-12; bring the NOTES.");
  EXPECT_EQ(ValueOf(row, "TEXTSEARCH('notes' IN Notes)"), "True");
  // Every word of the search text, in any order; whole words only.
  EXPECT_EQ(ValueOf(row, "TEXTSEARCH('Room  meeting' IN Notes)"), "True");
  EXPECT_EQ(ValueOf(row, "TEXTSEARCH('room lunch' IN Notes)"), "False");
  EXPECT_EQ(ValueOf(row, "TEXTSEARCH('meet' IN Notes)"), "False");
  // Everything but letters and digits separates words, in the column and in the search.
  EXPECT_EQ(ValueOf(row, "TEXTSEARCH('12/b' IN Notes)"), "True");
  EXPECT_EQ(ValueOf(row, "TEXTSEARCH(' -- ' IN Notes)"), "False");
  EXPECT_EQ(ValueOf(row, "TEXTOCCURS('the notes' IN Notes)"), "2");
  EXPECT_EQ(ValueOf(row, "TEXTOCCURS('lunch' IN Notes)"), "0");
  // Each word of the column counts once, however often the search repeats it.
  row.SetText("Notes", "to be or not to be");
  EXPECT_EQ(ValueOf(row, "TEXTOCCURS('be' IN Notes)"), "2");
  EXPECT_EQ(ValueOf(row, "TEXTOCCURS('be BE to' IN Notes)"), "4");
  EXPECT_TRUE(Holds(row, "TEXTSEARCH('not' IN Notes) and TEXTOCCURS('or' IN Notes) = 1"));
  // String columns work alike; a NULL column has no words.
  row.SetText("Name", "x");
  EXPECT_EQ(ValueOf(row, "TEXTSEARCH('X' IN Name)"), "True");
  row.SetNull("Notes");
  EXPECT_EQ(ValueOf(row, "TEXTSEARCH('be' IN Notes)"), "False");
  EXPECT_EQ(ValueOf(row, "TEXTOCCURS('be' IN Notes)"), "0");
  // Without a record to read: False and 0.
  EXPECT_EQ(Show(*Evaluate(*BindExpression(row, "TEXTOCCURS('x' IN Name)"), TEvalContext{})), "0");
  EXPECT_EQ(Show(*Evaluate(*BindExpression(row, "TEXTSEARCH('x' IN Name)"), TEvalContext{})),
            "False");
}

TEST(EvalTextSearch, WordsCompareUnderTheCollation) {
  TTestRow row = StandardRow();
  row.SetText("Name",
              "\xC4rger \xFC"
              "ber \xD6l");  // "Ärger über Öl"
  // Accented letters are letters; their case is mapped as the locale maps it.
  EXPECT_EQ(ValueOf(row,
                    "TEXTSEARCH('\xE4RGER \xDC"
                    "BER' IN Name)"),
            "True");
  EXPECT_EQ(ValueOf(row, "TEXTOCCURS('\xF6l' IN Name)"), "1");
  // Language 0 compares bytes: an O is no \xD6; a German collation ignores the accent.
  EXPECT_EQ(ValueOf(row, "TEXTSEARCH('ol' IN Name)"), "False");
  EXPECT_EQ(ValueOf(row, "TEXTSEARCH('ol' IN Name)", 0x0407), "True");
}

TEST(EvalTextSearch, WordCharactersCanBeChosen) {
  const TWordCharacters standard;
  EXPECT_EQ(SplitWords("a-b c_d,e9", standard),
            (std::vector<std::string_view>{"a", "b", "c", "d", "e9"}));
  // Space characters given: everything else belongs to words; include characters always do.
  const TWordCharacters spaces(" ,", "");
  EXPECT_EQ(SplitWords("a-b c_d,e9", spaces), (std::vector<std::string_view>{"a-b", "c_d", "e9"}));
  const TWordCharacters include("", "_");
  EXPECT_EQ(SplitWords("a-b c_d,,", include), (std::vector<std::string_view>{"a", "b", "c_d"}));
  EXPECT_TRUE(SplitWords(" ,;", standard).empty());
  EXPECT_EQ(TextWordMatches("c_d", "C_D", TCollation::Binary(), include, false), 1);
  EXPECT_EQ(TextWordMatches("c_d", "c", TCollation::Binary(), include, false), 0);
}

TEST(EvalClock, CurrentValuesComeFromTheStatementClock) {
  TTestRow row = StandardRow();
  TStatementClock clock;
  clock.Date = *ParseDate("2010-06-15");
  clock.Milliseconds = *ParseTime("08:30:00");
  TEvalContext context = ContextOf(row);
  context.Clock = &clock;
  EXPECT_EQ(Show(*Evaluate(*BindExpression(row, "CURRENT_DATE"), context)), "2010-06-15");
  EXPECT_EQ(Show(*Evaluate(*BindExpression(row, "current_time()"), context)), "08:30:00");
  EXPECT_EQ(Show(*Evaluate(*BindExpression(row, "Current_TimeStamp"), context)),
            "2010-06-15 08:30:00");
  EXPECT_EQ(Show(*Evaluate(*BindExpression(row, "CURRENT_DATE + 1"), context)), "2010-06-16");
  // A string that spells the word is no clock.
  EXPECT_EQ(Show(*Evaluate(*BindExpression(row, "'CURRENT_DATE'"), context)), "CURRENT_DATE");
  // Without a clock the value read at parse time stays.
  TExpTokenPtr tree = BindExpression(row, "CURRENT_DATE");
  EXPECT_EQ(Evaluate(*tree, ContextOf(row))->Scalar<std::int32_t>(), tree->Scalar<std::int32_t>());
  const TStatementClock now = TStatementClock::Now();
  EXPECT_GT(now.Date, *ParseDate("2020-01-01"));
  EXPECT_GE(now.Milliseconds, 0);
  EXPECT_LT(now.Milliseconds, 86400000);
}

}  // namespace
}  // namespace zorvic::engine::testing

// Text forms of values in both directions, and the literal checks of field definitions.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "engine/storage/formats/ValueText.h"

using namespace zorvic::engine;

TEST(ValueText, Dates) {
  EXPECT_EQ(DateToText(1), "0001-01-01");
  EXPECT_EQ(DateToText(*EncodeDate(2024, 2, 29)), "2024-02-29");
  EXPECT_EQ(TextToDate("2024-2-9"), *EncodeDate(2024, 2, 9));
  EXPECT_EQ(TextToDate(" 1899-12-30 "), kDayNumber18991230);
  for (const char* bad : {"", "2024", "2024-02", "2023-02-29", "2024-13-01", "0000-01-01",
                          "2024/01/01", "a-b-c", "2024-01-01x", "-1-01-01", "99999-1-1"}) {
    EXPECT_FALSE(ParseDate(bad)) << bad;
  }
  try {
    TextToDate("2023-02-29");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'2023-02-29' is not a valid date");
  }
  EXPECT_THROW(DateToText(0), EConvertError);
}

TEST(ValueText, TimesWithMillisecondsAndTwelveHourReading) {
  EXPECT_EQ(TimeToText(*EncodeTime(13, 5, 0, 0)), "13:05:00");
  EXPECT_EQ(TimeToText(*EncodeTime(13, 5, 0, 250)), "13:05:00.250");
  EXPECT_EQ(TimeToText(*EncodeTime(13, 5, 0, 7)), "13:05:00.7");  // no leading zeros
  EXPECT_EQ(TimeToText(*EncodeTime(0, 1, 2, 0), true), "12:01:02 AM");
  EXPECT_EQ(TimeToText(*EncodeTime(12, 0, 0, 0), true), "12:00:00 PM");
  EXPECT_EQ(TimeToText(*EncodeTime(23, 0, 0, 0), true), "11:00:00 PM");
  EXPECT_EQ(TextToTime("13:05"), *EncodeTime(13, 5, 0, 0));
  EXPECT_EQ(TextToTime("13:05:00.7"), *EncodeTime(13, 5, 0, 7));
  EXPECT_EQ(TextToTime("12:30 am"), *EncodeTime(0, 30, 0, 0));
  EXPECT_EQ(TextToTime("pm 1:15:00"), *EncodeTime(13, 15, 0, 0));
  EXPECT_EQ(TextToTime("12:00:00 PM"), *EncodeTime(12, 0, 0, 0));
  for (const char* bad : {"", "13", "24:00:00", "13:60", "13:05:60", "13:05:00.1000", "13 PM:00",
                          "1:2:3:4", "13:00 PM", "x:y"}) {
    EXPECT_FALSE(ParseTime(bad)) << bad;
  }
  // Every millisecond form reads back as itself.
  for (std::int32_t ms = 0; ms < 86'400'000; ms += 86'399) {
    ASSERT_EQ(TextToTime(TimeToText(ms)), ms);
    ASSERT_EQ(TextToTime(TimeToText(ms, true)), ms);
  }
  EXPECT_THROW(TextToTime("25:00"), EConvertError);
}

TEST(ValueText, TimeStamps) {
  const double ts = EncodeTimeStamp(*EncodeDate(2024, 12, 31), *EncodeTime(23, 59, 59, 999));
  EXPECT_EQ(TimeStampToText(ts), "2024-12-31 23:59:59.999");
  EXPECT_EQ(TextToTimeStamp("2024-12-31 23:59:59.999"), ts);
  EXPECT_EQ(TimeStampToText(EncodeTimeStamp(1, 0)), "0001-01-01 00:00:00");
  EXPECT_EQ(TextToTimeStamp("2024-12-31"), EncodeTimeStamp(*EncodeDate(2024, 12, 31), 0));
  EXPECT_EQ(TextToTimeStamp("10:00"), EncodeTimeStamp(kDayNumber18991230, 36'000'000));
  EXPECT_EQ(TextToTimeStamp("2024-01-02 1:00 PM"),
            EncodeTimeStamp(*EncodeDate(2024, 1, 2), 13 * 3'600'000));
  EXPECT_FALSE(ParseTimeStamp("2024-01-02 x"));
  EXPECT_FALSE(ParseTimeStamp("garbage"));
  try {
    TextToTimeStamp("2024-01-02 25:00");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'2024-01-02 25:00' is not a valid date and time");
  }
}

TEST(ValueText, BooleansAndIntegers) {
  EXPECT_EQ(BoolToText(true), "True");
  EXPECT_EQ(BoolToText(false), "False");
  EXPECT_EQ(TextToBool("tRuE"), true);
  EXPECT_EQ(TextToBool("FALSE"), false);
  EXPECT_FALSE(ParseBool("yes"));
  EXPECT_FALSE(ParseBool("1"));
  EXPECT_THROW(TextToBool("T"), EConvertError);
  EXPECT_EQ(ParseInt("-32768", -32768, 32767), -32768);
  EXPECT_FALSE(ParseInt("32768", -32768, 32767));
  EXPECT_EQ(ParseInt(" +12 ", 0, 100), 12);
  EXPECT_FALSE(ParseInt("++1", 0, 100));
  EXPECT_FALSE(ParseInt("1.0", 0, 100));
  EXPECT_FALSE(ParseInt("", 0, 100));
  EXPECT_FALSE(ParseInt("99999999999999999999", INT64_MIN, INT64_MAX));
  EXPECT_EQ(IntToText(INT64_MIN), "-9223372036854775808");
}

TEST(ValueText, FloatsAreShortestAndRoundTrip) {
  EXPECT_EQ(FloatToText(0.1), "0.1");
  EXPECT_EQ(FloatToText(3.5), "3.5");
  EXPECT_EQ(FloatToText(-0.0), "-0");
  EXPECT_EQ(FloatToText(100.0), "100");
  EXPECT_EQ(FloatToText(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(TextToFloat("1e3"), 1000.0);
  EXPECT_EQ(TextToFloat("+2.25"), 2.25);
  EXPECT_FALSE(ParseFloat("1,5"));
  EXPECT_FALSE(ParseFloat("0x10"));
  EXPECT_FALSE(ParseFloat("1.5.2"));
  std::mt19937_64 rng(42);
  for (int i = 0; i < 20000; ++i) {
    const double d = std::bit_cast<double>(rng());
    if (std::isnan(d)) continue;
    const std::string text = FloatToText(d);
    ASSERT_EQ(TextToFloat(text), d) << text << " (seed 42, step " << i << ")";
  }
}

TEST(ValueText, BcdKeepsItsScale) {
  EXPECT_EQ(BcdToText(TextToBcd("123.4500")), "123.4500");
  EXPECT_EQ(BcdToText(TextToBcd("-0.05")), "-0.05");
  EXPECT_EQ(BcdToText(TextToBcd("007")), "7");
  EXPECT_EQ(BcdToText(TextToBcd(".5")), "0.5");
  EXPECT_EQ(BcdToText(TextToBcd("-0.00")), "0.00");
  EXPECT_EQ(BcdToText(TextToBcd("0")), "0");
  EXPECT_EQ(BcdScale(TextToBcd("1.250")), 3);
  for (const char* bad : {"", "-", ".", "1.2.3", "1e5", "12a", "--1"}) {
    EXPECT_FALSE(ParseBcd(bad)) << bad;
  }
  EXPECT_EQ(BcdToText(*ParseBcdWithScale("2.345", 2)), "2.35");
  EXPECT_EQ(BcdToText(*ParseBcdWithScale("-9.995", 2)), "-10.00");
  EXPECT_EQ(BcdToText(*ParseBcdWithScale("7", 4)), "7.0000");
  EXPECT_EQ(BcdToText(*ParseBcdWithScale("0.004", 2)), "0.00");
  const std::string longest = "1234567890123456789012345678901234567890123456789012345678901234";
  EXPECT_EQ(BcdToText(TextToBcd(longest)), longest);
  EXPECT_FALSE(ParseBcd(longest + "5"));
  EXPECT_THROW(TextToBcd("x"), EConvertError);
}

TEST(ValueText, FieldLiteralsFollowTheType) {
  using L = TLiteralUse;
  EXPECT_TRUE(IsValidFieldLiteral(ftInteger, 0, "", L::Minimum));
  EXPECT_TRUE(IsValidFieldLiteral(ftInteger, 0, "-2147483648", L::Minimum));
  EXPECT_FALSE(IsValidFieldLiteral(ftInteger, 0, "2147483648", L::Maximum));
  EXPECT_FALSE(IsValidFieldLiteral(ftWord, 0, "-1", L::Minimum));
  EXPECT_FALSE(IsValidFieldLiteral(ftSmallInt, 0, "40000", L::Default));
  EXPECT_TRUE(IsValidFieldLiteral(ftDate, 0, "current_date", L::Default));
  EXPECT_FALSE(IsValidFieldLiteral(ftDate, 0, "CURRENT_TIME", L::Default));
  EXPECT_TRUE(IsValidFieldLiteral(ftTimeStamp, 0, "CURRENT_TIMESTAMP", L::Default));
  EXPECT_TRUE(IsValidFieldLiteral(ftTime, 0, "12:00", L::Maximum));
  EXPECT_FALSE(IsValidFieldLiteral(ftBoolean, 0, "1", L::Default));
  EXPECT_TRUE(IsValidFieldLiteral(ftBCD, 0, "-1.25", L::Minimum));
  EXPECT_FALSE(IsValidFieldLiteral(ftFloat, 0, "inf", L::Maximum));
  EXPECT_TRUE(IsValidFieldLiteral(ftString, 0, "anything at all", L::Default));
  EXPECT_TRUE(IsValidFieldLiteral(ftBlob, 22, "memo default", L::Default));
  EXPECT_FALSE(IsValidFieldLiteral(ftBlob, 0, "x", L::Minimum));
  EXPECT_FALSE(IsValidFieldLiteral(ftBytes, 0, "x", L::Maximum));
}

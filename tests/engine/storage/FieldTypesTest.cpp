// Field type sizes and the byte forms of dates, times, BCD and extended floats.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "engine/storage/formats/FieldTypes.h"
#include "engine/storage/formats/ValueText.h"

using namespace zorvic::engine;

TEST(FieldTypes, PhysSizeFollowsTheType) {
  EXPECT_EQ(PhysSizeOf(ftString, 20), 21u);
  EXPECT_EQ(PhysSizeOf(ftBytes, 16), 16u);
  EXPECT_EQ(PhysSizeOf(ftVarBytes, 250), 250u);
  EXPECT_EQ(PhysSizeOf(ftDate, 99), 4u);
  EXPECT_EQ(PhysSizeOf(ftBlob, 0), 8u);
  EXPECT_EQ(PhysSizeOf(ftBoolean, 0), 2u);
  EXPECT_EQ(PhysSizeOf(ftBCD, 0), 34u);
  EXPECT_EQ(PhysSizeOf(ftTimeStamp, 0), 8u);
  EXPECT_EQ(PhysSizeOf(ftExtended, 0), 10u);
  EXPECT_EQ(PhysSizeOf(ftLargeInt, 0), 8u);
  EXPECT_EQ(PhysSizeOf(16, 0), 0u);
  EXPECT_FALSE(IsKnownFieldType(0));
  EXPECT_FALSE(IsKnownFieldType(16));
  EXPECT_FALSE(IsKnownFieldType(17));
  EXPECT_TRUE(IsKnownFieldType(18));
}

TEST(FieldTypes, DayNumbersMatchTheCalendar) {
  EXPECT_EQ(EncodeDate(1, 1, 1), 1);
  EXPECT_EQ(EncodeDate(1899, 12, 30), kDayNumber18991230);
  EXPECT_EQ(EncodeDate(9999, 12, 31), kMaxDayNumber);
  EXPECT_EQ(EncodeDate(2000, 3, 1).value() - EncodeDate(2000, 2, 28).value(), 2);  // leap 400
  EXPECT_EQ(EncodeDate(1900, 3, 1).value() - EncodeDate(1900, 2, 28).value(), 1);  // not leap
  EXPECT_FALSE(EncodeDate(2023, 2, 29));
  EXPECT_FALSE(EncodeDate(0, 12, 31));
  EXPECT_FALSE(EncodeDate(10000, 1, 1));
  EXPECT_FALSE(DecodeDate(0));
  EXPECT_FALSE(DecodeDate(kMaxDayNumber + 1));
  // Every day of the calendar decodes back to itself.
  std::int32_t expected = 1;
  for (int y = 1; y <= 9999; y += (y < 2100 ? 1 : 97)) {
    for (int m = 1; m <= 12; ++m) {
      for (int d = 1; d <= DaysInMonth(y, m); ++d) {
        const auto n = EncodeDate(y, m, d);
        ASSERT_TRUE(n);
        if (y < 2100) {
          ASSERT_EQ(*n, expected++);
        }
        const auto back = DecodeDate(*n);
        ASSERT_TRUE(back);
        ASSERT_EQ(back->Year, y);
        ASSERT_EQ(back->Month, m);
        ASSERT_EQ(back->Day, d);
      }
    }
  }
}

TEST(FieldTypes, TimesAndTimeStamps) {
  EXPECT_EQ(EncodeTime(23, 59, 59, 999), 86'399'999);
  EXPECT_FALSE(EncodeTime(24, 0, 0, 0));
  EXPECT_FALSE(DecodeTime(-1));
  EXPECT_FALSE(DecodeTime(86'400'000));
  const double ts =
      EncodeTimeStamp(EncodeDate(2024, 2, 29).value(), EncodeTime(13, 5, 0, 7).value());
  const auto parts = SplitTimeStamp(ts);
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->DayNumber, EncodeDate(2024, 2, 29).value());
  EXPECT_EQ(parts->MsOfDay, EncodeTime(13, 5, 0, 7).value());
  EXPECT_FALSE(SplitTimeStamp(std::nan("")));
  EXPECT_FALSE(SplitTimeStamp(-1.0));
  EXPECT_FALSE(SplitTimeStamp(1e300));
  // The header's day count for "now" is a present-day date: positive days since 1899.
  EXPECT_GT(NowAsDayCount(), 40000.0);
}

TEST(FieldTypes, BcdBytesAndScaledIntegers) {
  const TBcd v = *MakeBcd(true, "012345", 2);  // -123.45
  EXPECT_EQ(v.Precision, 5);
  EXPECT_EQ(v.SignScale, 0x82);
  EXPECT_EQ(v.Digits[0], 0x12);
  EXPECT_EQ(v.Digits[1], 0x34);
  EXPECT_EQ(v.Digits[2], 0x50);
  std::uint8_t bytes[kBcdSize];
  StoreBcd(v, bytes);
  const TBcd back = LoadBcd(bytes);
  EXPECT_EQ(back.Digits, v.Digits);
  EXPECT_EQ(BcdToScaledInt(v), -1234500);
  EXPECT_EQ(BcdToScaledInt(*MakeBcd(false, "123456", 6)), 1235);  // 0.123456 rounds up
  EXPECT_EQ(BcdToScaledInt(*MakeBcd(false, "123449", 6)), 1234);
  EXPECT_FALSE(BcdToScaledInt(*MakeBcd(false, std::string(20, '9'), 0)));  // too big
  EXPECT_EQ(BcdToText(BcdFromScaledInt(-1234567, 2)), "-123.46");
  EXPECT_EQ(BcdToText(BcdFromScaledInt(5, 4)), "0.0005");
  EXPECT_EQ(BcdToText(BcdFromScaledInt(std::numeric_limits<std::int64_t>::min(), 4)),
            "-922337203685477.5808");
  EXPECT_DOUBLE_EQ(BcdToDouble(v), -123.45);
  EXPECT_EQ(BcdToText(*BcdFromDouble(2.5, 1)), "2.5");
  // Negative zero is stored as zero, and every zero-filled value (a NULL field) is valid.
  EXPECT_EQ(MakeBcd(true, "000", 2)->SignScale, 2);
  EXPECT_TRUE(IsValidBcd(TBcd{}));
  TBcd bad = v;
  bad.Digits[0] = 0xA1;
  EXPECT_FALSE(IsValidBcd(bad));
  bad = v;
  bad.Digits[10] = 0x01;  // a digit beyond the precision
  EXPECT_FALSE(IsValidBcd(bad));
  EXPECT_FALSE(MakeBcd(false, std::string(65, '1'), 0));
}

TEST(FieldTypes, ExtendedFloatsRoundTripEveryDouble) {
  std::mt19937_64 rng(20240229);
  const double specials[] = {0.0,
                             -0.0,
                             1.0,
                             -2.5,
                             1e-310,
                             1.7976931348623157e308,
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()};
  std::uint8_t bytes[kExtendedSize];
  for (const double d : specials) {
    StoreExtended(d, bytes);
    const double back = LoadExtended(bytes);
    EXPECT_EQ(back, d);
    EXPECT_EQ(std::signbit(back), std::signbit(d));
  }
  StoreExtended(1.0, bytes);  // 1.0 = mantissa 0x8000000000000000, exponent 16383
  EXPECT_EQ(GetU64(bytes), 0x8000000000000000ULL);
  EXPECT_EQ(GetU16(bytes + 8), 16383);
  StoreExtended(std::nan(""), bytes);
  EXPECT_TRUE(std::isnan(LoadExtended(bytes)));
  for (int i = 0; i < 10000; ++i) {
    const double d = std::bit_cast<double>(rng());
    if (std::isnan(d)) continue;
    StoreExtended(d, bytes);
    ASSERT_EQ(LoadExtended(bytes), d) << "seed 20240229, step " << i;
  }
}

// Key building and comparison: the byte order of every field type, NULLs, descending fields,
// NoCase, RowId suffixes and collations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "IndexTestSupport.h"
#include "engine/storage/formats/FieldTypes.h"

using namespace zorvic::engine;
using namespace zorvic::engine::testing;

namespace {

// A one-field index over a field of `type` with the value bytes at record offset 10.
struct OneField {
  OneField(std::uint8_t type, std::uint16_t phys, bool fieldDescending = false,
           bool indexDescending = false, bool unique = true,
           const TCollation* collation = &TCollation::Binary(), bool noCase = false) {
    layout.Slot = 1;
    layout.Unique = unique;
    layout.Descending = indexDescending;
    layout.NoCase = noCase;
    layout.Collation = collation;
    TKeyField f;
    f.Field = {1, type, 0, phys, 9, "F"};
    f.Descending = fieldDescending;
    layout.Fields.push_back(f);
    layout.KeySize = static_cast<std::uint16_t>(layout.FieldBytes() + (unique ? 0 : 4));
  }
  // The key of a record whose field holds `value` (nullptr: NULL).
  std::vector<std::uint8_t> Key(const void* value, std::int32_t rowId = 1) const {
    std::vector<std::uint8_t> record(10 + 300, 0);
    PutI32(&record[5], rowId);
    if (value != nullptr) {
      record[9] = 1;
      std::memcpy(&record[10], value, layout.Fields[0].Field.PhysSize);
    }
    std::vector<std::uint8_t> key(layout.KeySize);
    TKeyBuilder(layout).Build(record.data(), key.data());
    return key;
  }
  std::vector<std::uint8_t> Text(const std::string& s, std::int32_t rowId = 1) const {
    std::vector<char> buf(layout.Fields[0].Field.PhysSize, 0);
    std::memcpy(buf.data(), s.data(), s.size());
    return Key(s.empty() ? nullptr : buf.data(), rowId);
  }
  int Compare(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) const {
    return TKeyCompare(layout)(a.data(), b.data());
  }
  // True when the keys are strictly ascending under the index's comparison.
  bool Ascending(const std::vector<std::vector<std::uint8_t>>& keys) const {
    for (std::size_t i = 1; i < keys.size(); ++i) {
      if (Compare(keys[i - 1], keys[i]) >= 0) return false;
    }
    return true;
  }
  TKeyLayout layout;
};

template <typename T>
std::vector<std::uint8_t> KeyOf(const OneField& f, T v) {
  std::uint8_t bytes[8] = {};
  std::memcpy(bytes, &v, sizeof v);
  return f.Key(bytes);
}

TEST(IndexKey, IntegerTypesSortNullFirstThenByValue) {
  OneField integer(ftInteger, 4);
  EXPECT_TRUE(
      integer.Ascending({integer.Key(nullptr), KeyOf(integer, INT32_MIN), KeyOf(integer, -5),
                         KeyOf(integer, 0), KeyOf(integer, 7), KeyOf(integer, INT32_MAX)}));
  EXPECT_EQ(integer.layout.KeySize, 5);
  OneField small(ftSmallInt, 2);
  EXPECT_TRUE(small.Ascending({KeyOf(small, std::int16_t{-300}), KeyOf(small, std::int16_t{-1}),
                               KeyOf(small, std::int16_t{2}), KeyOf(small, std::int16_t{300})}));
  OneField large(ftLargeInt, 8);
  EXPECT_TRUE(large.Ascending({KeyOf(large, INT64_MIN), KeyOf(large, std::int64_t{-1}),
                               KeyOf(large, std::int64_t{1} << 40), KeyOf(large, INT64_MAX)}));
  OneField word(ftWord, 2);
  EXPECT_TRUE(word.Ascending({KeyOf(word, std::uint16_t{1}), KeyOf(word, std::uint16_t{256}),
                              KeyOf(word, std::uint16_t{65535})}));
  OneField cardinal(ftCardinal, 4);
  EXPECT_TRUE(cardinal.Ascending({KeyOf(cardinal, 1u), KeyOf(cardinal, 256u),
                                  KeyOf(cardinal, 0x80000000u), KeyOf(cardinal, 0xFFFFFFFFu)}));
  OneField date(ftDate, 4);
  EXPECT_TRUE(date.Ascending({KeyOf(date, 1), KeyOf(date, 693594), KeyOf(date, 3652059)}));
}

TEST(IndexKey, DescendingFieldWithoutCollationSortsThreeTwoOneNull) {
  OneField desc(ftInteger, 4, /*fieldDescending=*/true);
  EXPECT_TRUE(desc.Ascending({KeyOf(desc, 3), KeyOf(desc, 2), KeyOf(desc, 1), desc.Key(nullptr)}));
  OneField asc(ftInteger, 4);
  EXPECT_TRUE(asc.Ascending({asc.Key(nullptr), KeyOf(asc, 1), KeyOf(asc, 2), KeyOf(asc, 3)}));
  // A descending index keeps its bytes and reverses the comparison instead.
  OneField descIndex(ftInteger, 4, true, true);
  EXPECT_EQ(descIndex.Key(nullptr)[0], 0);
  EXPECT_TRUE(descIndex.Ascending(
      {KeyOf(descIndex, 3), KeyOf(descIndex, 2), KeyOf(descIndex, 1), descIndex.Key(nullptr)}));
}

TEST(IndexKey, FloatsTimeStampsAndBcdKeepNumericOrder) {
  for (std::uint8_t type : {std::uint8_t(ftFloat), std::uint8_t(ftTimeStamp)}) {
    OneField f(type, 8);
    EXPECT_TRUE(f.Ascending({f.Key(nullptr), KeyOf(f, -1e300), KeyOf(f, -1.0), KeyOf(f, -0.5),
                             KeyOf(f, 0.0), KeyOf(f, 0.5), KeyOf(f, 1.0), KeyOf(f, 1e300)}));
    EXPECT_EQ(f.Compare(KeyOf(f, 0.0), KeyOf(f, -0.0)), 0);
  }
  OneField bcd(ftBCD, 34);
  EXPECT_EQ(bcd.layout.KeySize, 9) << "BCD keys are 8 bytes";
  auto bcdKey = [&](bool negative, const char* digits, int scale) {
    std::uint8_t bytes[34];
    StoreBcd(*MakeBcd(negative, digits, scale), bytes);
    return bcd.Key(bytes);
  };
  EXPECT_TRUE(bcd.Ascending({bcd.Key(nullptr), bcdKey(true, "1250", 2), bcdKey(true, "1", 0),
                             bcdKey(false, "0", 0), bcdKey(false, "5", 4), bcdKey(false, "1", 0),
                             bcdKey(false, "123456", 2)}));
  // Scaled by 10,000 and rounded: 1.23456 and 1.2346 make the same key.
  EXPECT_EQ(bcdKey(false, "123456", 5), bcdKey(false, "12346", 4));
  OneField extended(ftExtended, 10);
  auto extKey = [&](double v) {
    std::uint8_t bytes[10];
    StoreExtended(v, bytes);
    return extended.Key(bytes);
  };
  EXPECT_TRUE(extended.Ascending(
      {extKey(-1e10), extKey(-2.5), extKey(0), extKey(1e-5), extKey(3.0), extKey(1e200)}));
}

TEST(IndexKey, StringsNoCaseAndRowIdSuffix) {
  OneField plain(ftString, 31);
  EXPECT_TRUE(
      plain.Ascending({plain.Text(""), plain.Text("ABC"), plain.Text("ABCD"), plain.Text("abc")}));
  OneField noCase(ftString, 31, false, false, true, &TCollation::Binary(), true);
  EXPECT_EQ(noCase.Text("abc"), noCase.Text("ABC")) << "equal keys in a unique NoCase index";
  EXPECT_EQ(noCase.Text("\xe9t\xe9"), noCase.Text("\xc9T\xc9")) << "Windows-1252 letters too";
  OneField suffix(ftString, 31, false, false, /*unique=*/false);
  EXPECT_EQ(suffix.layout.KeySize, 36);
  EXPECT_TRUE(suffix.Ascending({suffix.Text("abc", 1), suffix.Text("abc", 2),
                                suffix.Text("abc", 300), suffix.Text("abd", 0)}));
  // A text of PhysSize characters keeps its terminating zero in the key.
  OneField tiny(ftString, 4);
  auto k = tiny.Text("abcd");
  EXPECT_EQ(k[4], 0);
}

TEST(IndexKey, CollationComparesFieldsOneByOne) {
  const TCollation* english = TCollation::Get(0x0409, 0);
  ASSERT_NE(english, nullptr);
  OneField binary(ftString, 31);
  EXPECT_LT(binary.Compare(binary.Text("Banana"), binary.Text("apple")), 0);
  OneField collated(ftString, 31, false, false, true, english);
  EXPECT_LT(collated.Compare(collated.Text("apple"), collated.Text("Banana")), 0);
  EXPECT_LT(collated.Compare(collated.Text(""), collated.Text("apple")), 0) << "NULL first";
  OneField desc(ftString, 31, true, false, true, english);
  EXPECT_EQ(desc.Text("apple")[0], 1) << "no inversion with a collation";
  EXPECT_TRUE(desc.Ascending(
      {desc.Text("cherry"), desc.Text("Banana"), desc.Text("apple"), desc.Text("")}));
  OneField descIndex(ftString, 31, false, true, false, english);
  EXPECT_TRUE(descIndex.Ascending(
      {descIndex.Text("b", 2), descIndex.Text("b", 1), descIndex.Text("a", 9)}));
}

TEST(IndexKey, AutoIncrementAndSysDeletedKeysComeFromTheRowId) {
  TKeyLayout layout;
  layout.Slot = 1;
  TKeyField f;
  f.Field = {1, ftInteger, fstAutoInc, 4, 5, "Id"};
  layout.Fields.push_back(f);
  layout.KeySize = 5;
  std::vector<std::uint8_t> record(20, 0);
  PutI32(&record[5], 42);
  std::vector<std::uint8_t> key(5);
  TKeyBuilder(layout).Build(record.data(), key.data());
  EXPECT_EQ(key, (std::vector<std::uint8_t>{1, 0x80, 0, 0, 42}));
  EXPECT_EQ(DecodeRowId(&key[1]), 42);
  std::uint8_t a[5], b[5], c[5];
  BuildSysDeletedKey(0, 7, a);
  BuildSysDeletedKey(0, 8, b);
  BuildSysDeletedKey(1, 1, c);
  TKeyLayout sys;
  sys.Slot = SysDeletedSlot;
  sys.KeySize = 5;
  TKeyCompare compare(sys);
  EXPECT_LT(compare(a, b), 0);
  EXPECT_LT(compare(b, c), 0) << "active slots before deleted ones";
}

}  // namespace

// The language table, locale validity, comparison and case mapping of collations.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/storage/formats/Collation.h"

using namespace zorvic::engine;

TEST(Collation, LanguageTableHasItsEntries) {
  const auto table = LanguageTable();
  ASSERT_EQ(table.size(), 99u);
  EXPECT_STREQ(table[0].Name, "ANSI Standard");
  EXPECT_EQ(table[0].LanguageId, 0);
  EXPECT_STREQ(table[98].Name, "Vietnamese");
  EXPECT_EQ(FindLanguageByName("english (usa)")->LanguageId, 0x0409);
  EXPECT_EQ(FindLanguageByName("German (Standard)")->LanguageId, 0x0407);
  EXPECT_EQ(FindLanguageByName("Afrikaans")->LanguageId, 0x0436);
  EXPECT_EQ(FindLanguageByName("Arabic (Saudi Arabia)")->LanguageId, 0x0401);
  EXPECT_EQ(FindLanguageByName("Klingon"), nullptr);
  std::set<std::uint16_t> ids;
  std::set<std::string> names;
  for (const auto& e : table) {
    ids.insert(e.LanguageId);
    names.insert(e.Name);
  }
  EXPECT_EQ(ids.size(), 99u);
  EXPECT_EQ(names.size(), 99u);
}

TEST(Collation, SortOrdersAndLocaleIds) {
  int germanWithPhoneBook = 0;
  for (const auto& e : LanguageTable()) {
    const auto orders = SortOrderNames(e.LanguageId);
    ASSERT_FALSE(orders.empty());
    EXPECT_EQ(orders[0], "Default Order");
    if (orders.size() == 2) {
      EXPECT_EQ(orders[1], "German Phone Book Order");
      ++germanWithPhoneBook;
    }
  }
  EXPECT_EQ(germanWithPhoneBook, 5);
  EXPECT_EQ(FindSortOrder(0x0C07, "german phone book order"), kSortGermanPhoneBook);
  EXPECT_FALSE(FindSortOrder(0x0409, "German Phone Book Order"));
  EXPECT_EQ(FindSortOrder(0x0409, "DEFAULT ORDER"), kSortDefault);
  EXPECT_EQ(MakeLocaleId(0x0407, 1), 0x00010407u);
}

TEST(Collation, InstalledLocales) {
  EXPECT_TRUE(IsInstalledCollation(0, 0));
  EXPECT_TRUE(IsInstalledCollation(0x0409, 0));
  EXPECT_TRUE(IsInstalledCollation(0x0407, 1));
  EXPECT_FALSE(IsInstalledCollation(0x0409, 1));  // no phone book order for English
  EXPECT_FALSE(IsInstalledCollation(0, 1));
  EXPECT_FALSE(IsInstalledCollation(0x0999, 0));  // not in the table
  int installed = 0;
  for (const auto& e : LanguageTable())
    installed += IsInstalledCollation(e.LanguageId, 0);
  EXPECT_GE(installed, 90);  // ICU knows nearly all of them
}

TEST(Collation, BinaryOrderCountsCaseAndTrailingBlanks) {
  const TCollation& c = TCollation::Binary();
  EXPECT_EQ(c.Compare("admin", "admin"), 0);
  EXPECT_LT(c.Compare("Admin", "admin"), 0);
  EXPECT_LT(c.Compare("admin", "admin "), 0);  // the terminator sorts before the blank
  EXPECT_LT(c.Compare("", "a"), 0);
  EXPECT_GT(c.Compare("\xE9", "z"), 0);                    // bytes compare unsigned
  EXPECT_EQ(c.Compare(std::string("ab\0c", 4), "ab"), 0);  // texts end at their NUL
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ(c.CharMap()[i], i);
}

TEST(Collation, LocaleOrderIsCaseSensitiveButIgnoresAccents) {
  const TCollation* en = TCollation::Get(0x0409, 0);
  ASSERT_NE(en, nullptr);
  EXPECT_LT(en->Compare("apple", "Banana"), 0);  // alphabetic, not byte order
  EXPECT_NE(en->Compare("admin", "Admin"), 0);
  EXPECT_EQ(en->Compare("resume", "r\xE9sum\xE9"), 0);  // é ignored as a non-spacing mark
  EXPECT_NE(en->Compare("a-b", "ab"), 0);               // punctuation counts
  const TCollation* sv = TCollation::Get(0x041D, 0);
  ASSERT_NE(sv, nullptr);
  EXPECT_GT(sv->Compare("\xC4r", "Zebra"), 0);  // Swedish sorts Ä after Z
  EXPECT_LT(en->Compare("\xC4r", "Zebra"), 0);
  const TCollation* phone = TCollation::Get(0x0407, 1);
  const TCollation* de = TCollation::Get(0x0407, 0);
  ASSERT_NE(phone, nullptr);
  // Phone-book order reads ü as ue: "Müller" sorts before "Muf..." only there.
  EXPECT_LT(phone->Compare("M\xFCller", "Muf"), 0);
  EXPECT_GT(de->Compare("M\xFCller", "Muf"), 0);
}

TEST(Collation, CaseMappingUsesTheLocale) {
  const TCollation& bin = TCollation::Binary();
  EXPECT_EQ(bin.Upper("abc\xE9\xFF"), "ABC\xC9\x9F");  // ÿ -> Ÿ (0x9F in Windows-1252)
  EXPECT_EQ(bin.Lower("ABC\xC9\x8A"), "abc\xE9\x9A");  // Š -> š
  EXPECT_EQ(bin.Upper("stra\xDF"
                      "e"),
            "STRA\xDF"
            "E");  // ß has no single-byte capital
  const TCollation* tr = TCollation::Get(0x041F, 0);
  ASSERT_NE(tr, nullptr);
  EXPECT_EQ(tr->Upper("i"), "i");  // Turkish İ has no Windows-1252 form: kept
  EXPECT_EQ(tr->Lower("I"), "I");  // nor has ı
}

TEST(Collation, CharacterMapIsAPermutationInCollationOrder) {
  const TCollation* fr = TCollation::Get(0x040C, 0);
  ASSERT_NE(fr, nullptr);
  std::set<int> seen(fr->CharMap().begin(), fr->CharMap().end());
  EXPECT_EQ(seen.size(), 256u);
  for (int i = 1; i < 256; ++i) {
    EXPECT_LE(fr->CompareChar(fr->CharMap()[i - 1], fr->CharMap()[i]), 0) << i;
    EXPECT_EQ(fr->CharRank()[fr->CharMap()[i]], i);
  }
  EXPECT_LT(fr->CharRank()['a'], fr->CharRank()['b']);
  EXPECT_LT(fr->CharRank()['b'], fr->CharRank()['C']);
}

TEST(Collation, ConcurrentFirstUseGivesOneObject) {
  std::vector<std::thread> threads;
  std::vector<const TCollation*> got(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &got] {
      got[t] = TCollation::Get(0x0405, 0);
      for (int i = 0; i < 200; ++i)
        got[t]->Compare(
            "\x8A"
            "ach",
            "sach");
    });
  }
  for (auto& t : threads)
    t.join();
  for (const auto* p : got)
    EXPECT_EQ(p, got[0]);
  const std::uint32_t lcid = MakeLocaleId(0x0405, 0);
  EXPECT_EQ(lcid, 0x0405u);
}

TEST(Cp1252, MapsBothWays) {
  for (int b = 0; b < 256; ++b) {
    const char16_t u = Cp1252ToUnicode(static_cast<std::uint8_t>(b));
    EXPECT_EQ(UnicodeToCp1252(u), b);
  }
  EXPECT_EQ(Cp1252ToUnicode(0x80), u'\u20AC');
  EXPECT_FALSE(UnicodeToCp1252(u'\u0130'));
}

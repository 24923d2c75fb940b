// Collations: the language table, locale validity, string comparison and case mapping.
//
// A table's collation is the pair (language id, sort id) of its header; together they form a
// Windows-style locale id with the sort id in the high 16 bits. Language 0 ("ANSI Standard")
// means no locale: strings compare byte by byte, including the terminating NUL, so the order
// is case-sensitive and trailing blanks count. Every other language of the table maps onto an
// ICU locale and compares with that locale's collator: case counts, accents (non-spacing
// marks) do not, and punctuation is not ignored.
//
// Texts in the engine are single bytes. They are read as Windows-1252 when they are handed to
// ICU (which works in UTF-16), for every language; a character that has no single-byte form
// after case mapping keeps its original byte.
//
// Thread safety: the language table is constant. Collation objects are created on first use,
// cached for the life of the process under a lock of their own and never change afterwards;
// every method of TCollation is const and may be called from any thread at once.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class Collator;
U_NAMESPACE_END

namespace zorvic::engine {

// One entry of the language table: its display name and Windows language identifier (primary
// language in the low 10 bits, sublanguage in the high 6 bits).
struct TLanguageEntry {
  const char* Name;
  std::uint16_t LanguageId;
  const char* IcuLocale;  // the ICU locale used for collation and case mapping
};

// The 99 languages, "ANSI Standard" (id 0) first.
std::span<const TLanguageEntry> LanguageTable();
// Case-insensitive lookup of a display name.
const TLanguageEntry* FindLanguageByName(std::string_view name);
const TLanguageEntry* FindLanguageById(std::uint16_t languageId);

// Sort orders: every language offers "Default Order" (sort id 0); the five German languages
// also offer "German Phone Book Order" (sort id 1).
inline constexpr std::uint16_t kSortDefault = 0;
inline constexpr std::uint16_t kSortGermanPhoneBook = 1;
std::vector<std::string> SortOrderNames(std::uint16_t languageId);
// The sort id of a sort-order name (case-insensitive) for the language; nullopt when the
// language does not offer it.
std::optional<std::uint16_t> FindSortOrder(std::uint16_t languageId, std::string_view name);
const char* SortOrderName(std::uint16_t languageId, std::uint16_t sortId);

inline constexpr std::uint32_t MakeLocaleId(std::uint16_t languageId, std::uint16_t sortId) {
  return static_cast<std::uint32_t>(languageId) | (static_cast<std::uint32_t>(sortId) << 16);
}
// US English: the locale of case mapping for tables without a collation.
inline constexpr std::uint16_t kLanguageUSEnglish = 0x0409;

// A collation is usable when language and sort id name an entry of the table and ICU has a
// collator for its locale. Language 0 with sort 0 is always usable.
bool IsInstalledCollation(std::uint16_t languageId, std::uint16_t sortId);

// Windows-1252 <-> UTF-16. The five unassigned bytes map to the C1 controls of the same value.
char16_t Cp1252ToUnicode(std::uint8_t byte);
std::optional<std::uint8_t> UnicodeToCp1252(char16_t ch);

class TCollation {
 public:
  // The process-wide collation of a table; nullptr when it is not installed.
  static const TCollation* Get(std::uint16_t languageId, std::uint16_t sortId);
  // The collation of language 0 (binary order, US English case mapping).
  static const TCollation& Binary();

  ~TCollation();
  TCollation(const TCollation&) = delete;
  TCollation& operator=(const TCollation&) = delete;

  std::uint16_t LanguageId() const { return LanguageId_; }
  std::uint16_t SortId() const { return SortId_; }
  bool IsBinary() const { return LanguageId_ == 0; }

  // <0, 0, >0 as a sorts before, equal to, after b.
  int Compare(std::string_view a, std::string_view b) const;
  bool Equal(std::string_view a, std::string_view b) const { return Compare(a, b) == 0; }
  // Single characters (LIKE compares this way; the character map is built from it).
  int CompareChar(std::uint8_t a, std::uint8_t b) const;

  // Case mapping with the collation's locale (US English for language 0), one byte each.
  std::uint8_t UpperChar(std::uint8_t c) const { return Upper_[c]; }
  std::uint8_t LowerChar(std::uint8_t c) const { return Lower_[c]; }
  std::string Upper(std::string_view text) const;
  std::string Lower(std::string_view text) const;

  // The 256 single-byte characters in collation order (ties in byte order), and the inverse:
  // the position of each byte in that order.
  const std::array<std::uint8_t, 256>& CharMap() const { return CharMap_; }
  const std::array<std::uint8_t, 256>& CharRank() const { return CharRank_; }

 private:
  TCollation(std::uint16_t languageId, std::uint16_t sortId, std::unique_ptr<icu::Collator> c,
             const char* caseLocale);

  std::uint16_t LanguageId_;
  std::uint16_t SortId_;
  std::unique_ptr<icu::Collator> Collator_;  // null for language 0
  std::array<std::uint8_t, 256> Upper_{};
  std::array<std::uint8_t, 256> Lower_{};
  std::array<std::uint8_t, 256> CharMap_{};
  std::array<std::uint8_t, 256> CharRank_{};

  friend struct TCollationFactory;
};

// Compares under the collation of (language, sort); falls back to binary order when the
// collation is not installed.
int CompareStrings(std::string_view a, std::string_view b, std::uint16_t languageId,
                   std::uint16_t sortId);

}  // namespace zorvic::engine

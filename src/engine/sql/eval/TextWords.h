// The word rule of TEXTSEARCH and TEXTOCCURS.
//
// A table offers no full-text index, so both functions are answered from the column's text of
// each record (the index analysis grades them as not answerable by an index):
//
// - Words: a text is cut into words at its space characters. A character is a word character
//   when it is one of the include characters, or else, when space characters are given, when
//   it is not one of them, or else (the default) when it is a letter or a digit (bytes read as
//   Windows-1252, as everywhere in the engine). Tables keep no word settings of their own, so
//   the SQL functions use the default rule with no include characters.
// - Words compare without case under the collation: both are upper-cased with the collation's
//   locale (US English for language 0) and then compared with the collation (byte by byte for
//   language 0).
// - TEXTSEARCH(search IN column) is true when every word of the search text is a word of the
//   column; a search text without words, and a NULL column, give false.
// - TEXTOCCURS(search IN column) is the number of words of the column that equal a word of the
//   search text (each word of the column counts once, however often the search text repeats
//   it); a search text without words, and a NULL column, give 0.
//
// Thread safety: pure functions; the collation is const.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zorvic::engine {

class TCollation;

// Which bytes belong to words.
class TWordCharacters {
 public:
  // The default rule: letters and digits.
  TWordCharacters();
  // Space characters (empty: the default rule) and include characters.
  TWordCharacters(std::string_view spaceChars, std::string_view includeChars);

  bool IsWordChar(std::uint8_t c) const { return Word_[c]; }

 private:
  std::array<bool, 256> Word_{};
};

// The words of a text, in order (views into the text).
std::vector<std::string_view> SplitWords(std::string_view text, const TWordCharacters& chars);

// TEXTSEARCH (countAll false: 1 when every search word occurs, else 0) and TEXTOCCURS
// (countAll true: the number of column words that are search words).
std::int32_t TextWordMatches(std::string_view columnText, std::string_view searchText,
                             const TCollation& collation, const TWordCharacters& chars,
                             bool countAll);

}  // namespace zorvic::engine

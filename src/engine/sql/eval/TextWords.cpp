#include "engine/sql/eval/TextWords.h"

#include <string>

#include <unicode/uchar.h>

#include "engine/storage/formats/Collation.h"

namespace zorvic::engine {

TWordCharacters::TWordCharacters() {
  for (int c = 0; c < 256; ++c)
    Word_[c] = u_isalnum(Cp1252ToUnicode(static_cast<std::uint8_t>(c)));
}

TWordCharacters::TWordCharacters(std::string_view spaceChars, std::string_view includeChars)
    : TWordCharacters() {
  if (!spaceChars.empty()) {
    Word_.fill(true);
    for (char c : spaceChars)
      Word_[static_cast<std::uint8_t>(c)] = false;
  }
  for (char c : includeChars)
    Word_[static_cast<std::uint8_t>(c)] = true;
}

std::vector<std::string_view> SplitWords(std::string_view text, const TWordCharacters& chars) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && !chars.IsWordChar(static_cast<std::uint8_t>(text[i])))
      ++i;
    const std::size_t start = i;
    while (i < text.size() && chars.IsWordChar(static_cast<std::uint8_t>(text[i])))
      ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

namespace {

std::vector<std::string> UpperWords(std::string_view text, const TCollation& collation,
                                    const TWordCharacters& chars) {
  std::vector<std::string> words;
  for (std::string_view word : SplitWords(text, chars))
    words.push_back(collation.Upper(word));
  return words;
}

bool Contains(const std::vector<std::string>& words, const std::string& word,
              const TCollation& collation) {
  for (const std::string& w : words)
    if (collation.Equal(w, word)) return true;
  return false;
}

}  // namespace

std::int32_t TextWordMatches(std::string_view columnText, std::string_view searchText,
                             const TCollation& collation, const TWordCharacters& chars,
                             bool countAll) {
  const std::vector<std::string> wanted = UpperWords(searchText, collation, chars);
  if (wanted.empty()) return 0;
  const std::vector<std::string> words = UpperWords(columnText, collation, chars);
  if (countAll) {
    std::int32_t count = 0;
    for (const std::string& word : words)
      if (Contains(wanted, word, collation)) ++count;
    return count;
  }
  for (const std::string& word : wanted)
    if (!Contains(words, word, collation)) return 0;
  return 1;
}

}  // namespace zorvic::engine

#include "engine/storage/formats/Collation.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <numeric>

namespace zorvic::engine {
namespace {

// Windows-1252 bytes 0x80..0x9F; the unassigned ones (0x81, 0x8D, 0x8F, 0x90, 0x9D) keep their
// C1 control value.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Text up to its first NUL: the engine's strings are zero-terminated.
std::string_view UpToNul(std::string_view s) {
  const std::size_t nul = s.find('\0');
  return nul == std::string_view::npos ? s : s.substr(0, nul);
}

int CompareBinary(std::string_view a, std::string_view b) {
  a = UpToNul(a);
  b = UpToNul(b);
  const std::size_t n = std::min(a.size(), b.size());
  if (n > 0) {
    const int c = std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  // The terminator (0) of the shorter string sorts before any character of the longer one.
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

// UTF-16 form of a single-byte text, in a stack buffer when it is short.
class TWideText {
 public:
  explicit TWideText(std::string_view s) {
    s = UpToNul(s);
    Size_ = static_cast<std::int32_t>(s.size());
    if (s.size() > sizeof(Small_) / sizeof(Small_[0])) {
      Large_.resize(s.size());
      Data_ = Large_.data();
    } else {
      Data_ = Small_;
    }
    for (std::size_t i = 0; i < s.size(); ++i)
      Data_[i] = Cp1252ToUnicode(static_cast<std::uint8_t>(s[i]));
  }
  const char16_t* Data() const { return Data_; }
  std::int32_t Size() const { return Size_; }

 private:
  char16_t Small_[256];
  std::u16string Large_;
  char16_t* Data_;
  std::int32_t Size_;
};

std::uint8_t MapCase(std::uint8_t c, const icu::Locale& locale, bool upper) {
  icu::UnicodeString s(static_cast<UChar>(Cp1252ToUnicode(c)));
  if (upper)
    s.toUpper(locale);
  else
    s.toLower(locale);
  if (s.length() != 1) return c;
  const auto back = UnicodeToCp1252(static_cast<char16_t>(s.charAt(0)));
  return back ? *back : c;
}

// ICU knows the locale's language (it has locale data for it), so its collator is real and
// not merely the root fallback for an unknown language.
bool IcuHasLanguage(const icu::Locale& locale) {
  std::int32_t count = 0;
  const icu::Locale* all = icu::Locale::getAvailableLocales(count);
  for (std::int32_t i = 0; i < count; ++i)
    if (std::strcmp(all[i].getLanguage(), locale.getLanguage()) == 0) return true;
  return false;
}

std::string IcuLocaleName(const TLanguageEntry& entry, std::uint16_t sortId) {
  std::string name = entry.IcuLocale;
  if (sortId == kSortGermanPhoneBook) name += "@collation=phonebook";
  return name;
}

}  // namespace

char16_t Cp1252ToUnicode(std::uint8_t byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kCp1252High[byte - 0x80];
  return byte;
}

std::optional<std::uint8_t> UnicodeToCp1252(char16_t ch) {
  if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF)) return static_cast<std::uint8_t>(ch);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == ch) return static_cast<std::uint8_t>(0x80 + i);
  return std::nullopt;
}

struct TCollationFactory {
  static std::unique_ptr<TCollation> Make(std::uint16_t languageId, std::uint16_t sortId) {
    const TLanguageEntry* entry = FindLanguageById(languageId);
    if (!entry) return nullptr;
    if (sortId != kSortDefault && std::string(SortOrderName(languageId, sortId)).empty())
      return nullptr;
    if (languageId == 0) {
      if (sortId != kSortDefault) return nullptr;
      return std::unique_ptr<TCollation>(new TCollation(0, 0, nullptr, "en_US"));
    }
    const std::string name = IcuLocaleName(*entry, sortId);
    const icu::Locale locale(name.c_str());
    if (locale.isBogus() || !IcuHasLanguage(locale)) return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !collator) return nullptr;
    // Case-sensitive, accent-insensitive, punctuation significant.
    collator->setStrength(icu::Collator::PRIMARY);
    collator->setAttribute(UCOL_CASE_LEVEL, UCOL_ON, status);
    collator->setAttribute(UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, status);
    if (U_FAILURE(status)) return nullptr;
    return std::unique_ptr<TCollation>(
        new TCollation(languageId, sortId, std::move(collator), entry->IcuLocale));
  }
};

TCollation::TCollation(std::uint16_t languageId, std::uint16_t sortId,
                       std::unique_ptr<icu::Collator> c, const char* caseLocale)
    : LanguageId_(languageId), SortId_(sortId), Collator_(std::move(c)) {
  const icu::Locale locale(caseLocale);
  for (int i = 0; i < 256; ++i) {
    const auto b = static_cast<std::uint8_t>(i);
    Upper_[b] = MapCase(b, locale, true);
    Lower_[b] = MapCase(b, locale, false);
  }
  std::iota(CharMap_.begin(), CharMap_.end(), 0);
  if (Collator_) {
    std::stable_sort(CharMap_.begin(), CharMap_.end(),
                     [this](std::uint8_t a, std::uint8_t b) { return CompareChar(a, b) < 0; });
  }
  for (int i = 0; i < 256; ++i)
    CharRank_[CharMap_[static_cast<std::size_t>(i)]] = static_cast<std::uint8_t>(i);
}

TCollation::~TCollation() = default;

const TCollation* TCollation::Get(std::uint16_t languageId, std::uint16_t sortId) {
  static std::mutex lock;
  static std::map<std::uint32_t, std::unique_ptr<TCollation>> cache;
  const std::uint32_t key = MakeLocaleId(languageId, sortId);
  std::lock_guard<std::mutex> guard(lock);
  auto it = cache.find(key);
  if (it == cache.end()) it = cache.emplace(key, TCollationFactory::Make(languageId, sortId)).first;
  return it->second.get();
}

const TCollation& TCollation::Binary() {
  static const TCollation* binary = Get(0, 0);
  return *binary;
}

int TCollation::Compare(std::string_view a, std::string_view b) const {
  if (!Collator_) return CompareBinary(a, b);
  const TWideText wa(a);
  const TWideText wb(b);
  UErrorCode status = U_ZERO_ERROR;
  const UCollationResult r =
      Collator_->compare(reinterpret_cast<const UChar*>(wa.Data()), wa.Size(),
                         reinterpret_cast<const UChar*>(wb.Data()), wb.Size(), status);
  if (U_FAILURE(status)) return CompareBinary(a, b);
  return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
}

int TCollation::CompareChar(std::uint8_t a, std::uint8_t b) const {
  const char ca = static_cast<char>(a);
  const char cb = static_cast<char>(b);
  return Compare(std::string_view(&ca, a == 0 ? 0 : 1), std::string_view(&cb, b == 0 ? 0 : 1));
}

std::string TCollation::Upper(std::string_view text) const {
  std::string out(text);
  for (char& c : out)
    c = static_cast<char>(Upper_[static_cast<std::uint8_t>(c)]);
  return out;
}

std::string TCollation::Lower(std::string_view text) const {
  std::string out(text);
  for (char& c : out)
    c = static_cast<char>(Lower_[static_cast<std::uint8_t>(c)]);
  return out;
}

bool IsInstalledCollation(std::uint16_t languageId, std::uint16_t sortId) {
  return TCollation::Get(languageId, sortId) != nullptr;
}

int CompareStrings(std::string_view a, std::string_view b, std::uint16_t languageId,
                   std::uint16_t sortId) {
  const TCollation* c = TCollation::Get(languageId, sortId);
  return c ? c->Compare(a, b) : CompareBinary(a, b);
}

}  // namespace zorvic::engine

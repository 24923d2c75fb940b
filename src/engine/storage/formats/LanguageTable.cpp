// The language table: display names, Windows language identifiers and the ICU locale each
// one collates and maps case with.
#include <cstring>

#include "engine/storage/formats/Collation.h"

namespace zorvic::engine {
namespace {

constexpr TLanguageEntry kLanguages[] = {
    {"ANSI Standard", 0x0000, ""},
    {"Afrikaans", 0x0436, "af_ZA"},
    {"Albanian", 0x041C, "sq_AL"},
    {"Arabic (Saudi Arabia)", 0x0401, "ar_SA"},
    {"Arabic (Iraq)", 0x0801, "ar_IQ"},
    {"Arabic (Egypt)", 0x0C01, "ar_EG"},
    {"Arabic (Libya)", 0x1001, "ar_LY"},
    {"Arabic (Algeria)", 0x1401, "ar_DZ"},
    {"Arabic (Morocco)", 0x1801, "ar_MA"},
    {"Arabic (Tunisia)", 0x1C01, "ar_TN"},
    {"Arabic (Oman)", 0x2001, "ar_OM"},
    {"Arabic (Yemen)", 0x2401, "ar_YE"},
    {"Arabic (Syria)", 0x2801, "ar_SY"},
    {"Arabic (Jordan)", 0x2C01, "ar_JO"},
    {"Arabic (Lebanon)", 0x3001, "ar_LB"},
    {"Arabic (Kuwait)", 0x3401, "ar_KW"},
    {"Arabic (U.A.E)", 0x3801, "ar_AE"},
    {"Arabic (Bahrain)", 0x3C01, "ar_BH"},
    {"Arabic (Qatar)", 0x4001, "ar_QA"},
    {"Basque", 0x042D, "eu_ES"},
    {"Belarusian", 0x0423, "be_BY"},
    {"Bulgarian", 0x0402, "bg_BG"},
    {"Catalan", 0x0403, "ca_ES"},
    {"Croatian", 0x041A, "hr_HR"},
    {"Czech", 0x0405, "cs_CZ"},
    {"Danish", 0x0406, "da_DK"},
    {"Dutch (Standard)", 0x0413, "nl_NL"},
    {"Dutch (Belgian)", 0x0813, "nl_BE"},
    {"English (USA)", 0x0409, "en_US"},
    {"English (UK)", 0x0809, "en_GB"},
    {"English (Australian)", 0x0C09, "en_AU"},
    {"English (Canadian)", 0x1009, "en_CA"},
    {"English (New Zealand)", 0x1409, "en_NZ"},
    {"English (Irish)", 0x1809, "en_IE"},
    {"English (South Africa)", 0x1C09, "en_ZA"},
    {"English (Jamaica)", 0x2009, "en_JM"},
    {"English (Caribbean)", 0x2409, "en_029"},
    {"English (Belize)", 0x2809, "en_BZ"},
    {"English (Trinidad)", 0x2C09, "en_TT"},
    {"Estonian", 0x0425, "et_EE"},
    {"Faeroese", 0x0438, "fo_FO"},
    {"Farsi", 0x0429, "fa_IR"},
    {"Finnish", 0x040B, "fi_FI"},
    {"French (Standard)", 0x040C, "fr_FR"},
    {"French (Belgian)", 0x080C, "fr_BE"},
    {"French (Canadian)", 0x0C0C, "fr_CA"},
    {"French (Swiss)", 0x100C, "fr_CH"},
    {"French (Luxembourg)", 0x140C, "fr_LU"},
    {"German (Standard)", 0x0407, "de_DE"},
    {"German (Swiss)", 0x0807, "de_CH"},
    {"German (Austrian)", 0x0C07, "de_AT"},
    {"German (Luxembourg)", 0x1007, "de_LU"},
    {"German (Liechtenstein)", 0x1407, "de_LI"},
    {"Greek", 0x0408, "el_GR"},
    {"Hebrew", 0x040D, "he_IL"},
    {"Hungarian", 0x040E, "hu_HU"},
    {"Icelandic", 0x040F, "is_IS"},
    {"Indonesian", 0x0421, "id_ID"},
    {"Italian (Standard)", 0x0410, "it_IT"},
    {"Italian (Swiss)", 0x0810, "it_CH"},
    {"Latvian", 0x0426, "lv_LV"},
    {"Lithuanian", 0x0427, "lt_LT"},
    {"Norwegian (Bokmal)", 0x0414, "nb_NO"},
    {"Norwegian (Nynorsk)", 0x0814, "nn_NO"},
    {"Polish", 0x0415, "pl_PL"},
    {"Portuguese (Standard)", 0x0816, "pt_PT"},
    {"Portuguese (Brazilian)", 0x0416, "pt_BR"},
    {"Romanian", 0x0418, "ro_RO"},
    {"Russian", 0x0419, "ru_RU"},
    {"Serbian (Latin)", 0x081A, "sr_Latn_RS"},
    {"Serbian (Cyrillic)", 0x0C1A, "sr_Cyrl_RS"},
    {"Slovak", 0x041B, "sk_SK"},
    {"Slovenian", 0x0424, "sl_SI"},
    {"Spanish (Castilian)", 0x040A, "es_ES@collation=traditional"},
    {"Spanish (Mexican)", 0x080A, "es_MX"},
    {"Spanish (Modern)", 0x0C0A, "es_ES"},
    {"Spanish (Guatemala)", 0x100A, "es_GT"},
    {"Spanish (Costa Rica)", 0x140A, "es_CR"},
    {"Spanish (Panama)", 0x180A, "es_PA"},
    {"Spanish (Dominican Republic)", 0x1C0A, "es_DO"},
    {"Spanish (Venezuela)", 0x200A, "es_VE"},
    {"Spanish (Colombia)", 0x240A, "es_CO"},
    {"Spanish (Peru)", 0x280A, "es_PE"},
    {"Spanish (Argentina)", 0x2C0A, "es_AR"},
    {"Spanish (Ecuador)", 0x300A, "es_EC"},
    {"Spanish (Chile)", 0x340A, "es_CL"},
    {"Spanish (Uruguay)", 0x380A, "es_UY"},
    {"Spanish (Paraguay)", 0x3C0A, "es_PY"},
    {"Spanish (Bolivia)", 0x400A, "es_BO"},
    {"Spanish (El Salvador)", 0x440A, "es_SV"},
    {"Spanish (Honduras)", 0x480A, "es_HN"},
    {"Spanish (Nicaragua)", 0x4C0A, "es_NI"},
    {"Spanish (Puerto Rico)", 0x500A, "es_PR"},
    {"Swedish (Standard)", 0x041D, "sv_SE"},
    {"Swedish (Finland)", 0x081D, "sv_FI"},
    {"Thai", 0x041E, "th_TH"},
    {"Turkish", 0x041F, "tr_TR"},
    {"Ukranian", 0x0422, "uk_UA"},
    {"Vietnamese", 0x042A, "vi_VN"},
};
static_assert(std::size(kLanguages) == 99, "the language table has 99 entries");

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

bool IsGerman(std::uint16_t languageId) {
  return (languageId & 0x03FF) == 0x07;
}

}  // namespace

std::span<const TLanguageEntry> LanguageTable() {
  return kLanguages;
}

const TLanguageEntry* FindLanguageByName(std::string_view name) {
  for (const TLanguageEntry& e : kLanguages)
    if (EqualsNoCase(e.Name, name)) return &e;
  return nullptr;
}

const TLanguageEntry* FindLanguageById(std::uint16_t languageId) {
  for (const TLanguageEntry& e : kLanguages)
    if (e.LanguageId == languageId) return &e;
  return nullptr;
}

std::vector<std::string> SortOrderNames(std::uint16_t languageId) {
  if (!FindLanguageById(languageId)) return {};
  std::vector<std::string> names{"Default Order"};
  if (IsGerman(languageId)) names.emplace_back("German Phone Book Order");
  return names;
}

std::optional<std::uint16_t> FindSortOrder(std::uint16_t languageId, std::string_view name) {
  if (!FindLanguageById(languageId)) return std::nullopt;
  if (EqualsNoCase(name, "Default Order")) return kSortDefault;
  if (IsGerman(languageId) && EqualsNoCase(name, "German Phone Book Order"))
    return kSortGermanPhoneBook;
  return std::nullopt;
}

const char* SortOrderName(std::uint16_t languageId, std::uint16_t sortId) {
  if (sortId == kSortDefault) return "Default Order";
  if (sortId == kSortGermanPhoneBook && IsGerman(languageId)) return "German Phone Book Order";
  return "";
}

}  // namespace zorvic::engine

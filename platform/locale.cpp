#include "platform/locale.h"

#include <cstdlib>
#include <cstring>

namespace plat {
namespace {

struct LangEntry {
  const char* pszLang;     // ISO 639 code, lower case
  const char* pszCountry;  // ISO 3166 code, upper case
  WORD wLangId;
};

// The first row of each language is its default for an unknown country.
constexpr LangEntry kLangTable[] = {
    {"en", "US", 0x0409}, {"en", "GB", 0x0809}, {"en", "AU", 0x0C09}, {"en", "CA", 0x1009},
    {"en", "NZ", 0x1409}, {"en", "IE", 0x1809}, {"en", "ZA", 0x1C09}, {"en", "IN", 0x4009},
    {"de", "DE", 0x0407}, {"de", "CH", 0x0807}, {"de", "AT", 0x0C07}, {"de", "LU", 0x1007},
    {"de", "LI", 0x1407}, {"fr", "FR", 0x040C}, {"fr", "BE", 0x080C}, {"fr", "CA", 0x0C0C},
    {"fr", "CH", 0x100C}, {"fr", "LU", 0x140C}, {"es", "ES", 0x0C0A}, {"es", "MX", 0x080A},
    {"es", "AR", 0x2C0A}, {"it", "IT", 0x0410}, {"it", "CH", 0x0810}, {"nl", "NL", 0x0413},
    {"nl", "BE", 0x0813}, {"pt", "BR", 0x0416}, {"pt", "PT", 0x0816}, {"ru", "RU", 0x0419},
    {"pl", "PL", 0x0415}, {"cs", "CZ", 0x0405}, {"sk", "SK", 0x041B}, {"hu", "HU", 0x040E},
    {"ro", "RO", 0x0418}, {"bg", "BG", 0x0402}, {"el", "GR", 0x0408}, {"tr", "TR", 0x041F},
    {"uk", "UA", 0x0422}, {"be", "BY", 0x0423}, {"sv", "SE", 0x041D}, {"sv", "FI", 0x081D},
    {"da", "DK", 0x0406}, {"nb", "NO", 0x0414}, {"no", "NO", 0x0414}, {"nn", "NO", 0x0814},
    {"fi", "FI", 0x040B}, {"is", "IS", 0x040F}, {"et", "EE", 0x0425}, {"lv", "LV", 0x0426},
    {"lt", "LT", 0x0427}, {"sl", "SI", 0x0424}, {"hr", "HR", 0x041A}, {"mk", "MK", 0x042F},
    {"sq", "AL", 0x041C}, {"he", "IL", 0x040D}, {"ar", "SA", 0x0401}, {"ar", "EG", 0x0C01},
    {"fa", "IR", 0x0429}, {"hi", "IN", 0x0439}, {"th", "TH", 0x041E}, {"vi", "VN", 0x042A},
    {"id", "ID", 0x0421}, {"ms", "MY", 0x043E}, {"ja", "JP", 0x0411}, {"ko", "KR", 0x0412},
    {"zh", "CN", 0x0804}, {"zh", "TW", 0x0404}, {"zh", "HK", 0x0C04}, {"zh", "SG", 0x1004},
    {"ca", "ES", 0x0403}, {"eu", "ES", 0x042D}, {"gl", "ES", 0x0456}, {"af", "ZA", 0x0436},
    {"ka", "GE", 0x0437}, {"hy", "AM", 0x042B}, {"kk", "KZ", 0x043F}, {"sw", "KE", 0x0441},
};

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

WORD LangIdFromLocaleName(const char* pszLocale) {
  if (!pszLocale) return kLangEnglishUs;
  // language[_COUNTRY][.codeset][@modifier]; the language is 2 or 3 letters.
  char szLang[4] = {};
  char szCountry[3] = {};
  std::size_t i = 0;
  while (i < 3 && IsAsciiLetter(pszLocale[i])) {
    szLang[i] = Lower(pszLocale[i]);
    ++i;
  }
  if (i < 2 || IsAsciiLetter(pszLocale[i])) return kLangEnglishUs;
  if (pszLocale[i] == '_' && IsAsciiLetter(pszLocale[i + 1]) && IsAsciiLetter(pszLocale[i + 2]) &&
      !IsAsciiLetter(pszLocale[i + 3])) {
    szCountry[0] = Upper(pszLocale[i + 1]);
    szCountry[1] = Upper(pszLocale[i + 2]);
  }
  const LangEntry* pDefault = nullptr;
  for (const LangEntry& e : kLangTable) {
    if (std::strcmp(e.pszLang, szLang) != 0) continue;
    if (!pDefault) pDefault = &e;
    if (std::strcmp(e.pszCountry, szCountry) == 0) return e.wLangId;
  }
  return pDefault ? pDefault->wLangId : kLangEnglishUs;
}

}  // namespace plat

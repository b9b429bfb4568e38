// The user's language as a Windows language identifier (primary language in
// the low 10 bits, sub-language above), which is what version resources key
// their string tables by.
#pragma once
#include "platform/types.h"

namespace plat {

// English (United States): the answer for "C", "POSIX" and anything unknown.
constexpr WORD kLangEnglishUs = 0x0409;

// The identifier for a locale name such as "de_DE.UTF-8@euro", "fr_CA" or
// "pt". A known language with an unknown or missing country gives that
// language's default identifier; an unknown language gives kLangEnglishUs.
WORD LangIdFromLocaleName(const char* pszLocale);

// The user's language as the operating system reports it (POSIX: the first
// non-empty of LC_ALL, LC_MESSAGES and LANG, through LangIdFromLocaleName;
// kLangEnglishUs when none is set).
WORD UserDefaultLangId();

}  // namespace plat

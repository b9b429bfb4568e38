// The user's language on POSIX: the locale environment, as the C library
// reads it for messages.
#include <cstdlib>
#include <initializer_list>

#include "platform/locale.h"

namespace plat {

WORD UserDefaultLangId() {
  for (const char* pszVar : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* pszValue = std::getenv(pszVar);
    if (pszValue && *pszValue) return LangIdFromLocaleName(pszValue);
  }
  return kLangEnglishUs;
}

}  // namespace plat

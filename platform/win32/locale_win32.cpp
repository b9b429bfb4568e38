// The user's language on Windows: the system keeps it as a language
// identifier already.
#include <windows.h>

#include "platform/locale.h"

namespace plat {

WORD UserDefaultLangId() { return GetUserDefaultLangID(); }

}  // namespace plat

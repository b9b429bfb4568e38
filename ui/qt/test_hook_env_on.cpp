// Test build of the window: the hooks read their variables.
#include <cstdlib>

#include "ui/qt/test_hook_env.h"

const char* TestHookValue(const char* pszName) { return std::getenv(pszName); }

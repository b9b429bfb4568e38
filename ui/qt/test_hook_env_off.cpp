// The operator's window: no test hook reads anything.
#include "ui/qt/test_hook_env.h"

const char* TestHookValue(const char*) { return nullptr; }

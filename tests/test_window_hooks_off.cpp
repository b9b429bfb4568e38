// The operator's window reads none of its test hooks: a stray
// READERTOOL_TEST_* variable in the operator's environment must neither
// answer the file dialog nor click a button nor close the window.
#include <gtest/gtest.h>

#include <cstdlib>

#include "ui/qt/test_hook_env.h"

namespace {

TEST(WindowTestHooks, TheOperatorsBuildIgnoresEveryHookVariable) {
  for (const char* pszName : {kTestChooseFileEnv, kTestClickEnv, kTestGrabEnv}) {
    SCOPED_TRACE(pszName);
    ::setenv(pszName, "load", 1);
    EXPECT_EQ(TestHookValue(pszName), nullptr);
    ::unsetenv(pszName);
  }
}

}  // namespace

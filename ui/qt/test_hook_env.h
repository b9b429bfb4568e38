// The environment variables of the window's test hooks, read only by a test
// build of the window (CMake option READERTOOL_WINDOW_TEST_HOOKS). In the
// operator's program TestHookValue always answers null, so a stray variable
// can neither replace the file dialog nor close the window.
#pragma once

constexpr char kTestChooseFileEnv[] = "READERTOOL_TEST_CHOOSE_FILE";
constexpr char kTestClickEnv[] = "READERTOOL_TEST_CLICK";
constexpr char kTestGrabEnv[] = "READERTOOL_TEST_GRAB";

// The value of a test hook's variable, or null (hooks not built in, or unset).
const char* TestHookValue(const char* pszName);

// --version of the three programs: each prints its version, the one its
// version resource carries (made from the build's version), on standard
// output and exits 0. The window's does so before it needs a display.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/readerctl_run.h"

namespace {

using namespace ctltest;

std::string BuildDir() {
  const char* env = std::getenv("READERTOOL_BINARY_DIR");
  return env && *env ? env : READERTOOL_BINARY_DIR;
}

TEST(VersionOption, EveryProgramPrintsItsVersionAndExits) {
  const std::string strVersion = std::to_string(READERTOOL_VERSION_MAJOR) + "." +
                                 std::to_string(READERTOOL_VERSION_MINOR) + "." +
                                 std::to_string(READERTOOL_VERSION_PATCH);
  struct Row {
    const char* name;
    std::string program;
    std::string want;  // the start of standard output
  } rows[] = {
      {"readerctl", BuildDir() + "/cli/readerctl", "readerctl " + strVersion + " (file version "},
      {"readersim", BuildDir() + "/sim/readersim", "readersim " + strVersion + "\n"},
      {"readertool", BuildDir() + "/ui/qt/readertool", "readertool " + strVersion + "\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    if (!std::filesystem::exists(r.program)) {
      // The window is not built without Qt (the cli and asan presets).
      EXPECT_STREQ(r.name, "readertool") << r.program << " was not built";
      continue;
    }
    // No display of any kind: the version must not need one.
    const CtlRun run = RunProgram(r.program, {"--version"}, {}, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
    EXPECT_EQ(run.nStatus, 0) << run.out << run.err;
    EXPECT_EQ(run.out.rfind(r.want, 0), 0u) << run.out;
    EXPECT_EQ(run.lines.size(), 1u) << run.out;
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace

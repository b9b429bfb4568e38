// The COM port map: names, fixed ranges and the override folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/posix/com_map.h"

namespace {

namespace fs = std::filesystem;

// Sets (or unsets, with null) an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_name(name) {
    const char* old = std::getenv(name);
    if (old) m_old = old, m_hadOld = true;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~ScopedEnv() {
    if (m_hadOld) setenv(m_name.c_str(), m_old.c_str(), 1);
    else unsetenv(m_name.c_str());
  }

 private:
  std::string m_name, m_old;
  bool m_hadOld = false;
};

// A temporary override folder, removed afterwards.
class ComDir {
 public:
  ComDir() {
    char tmpl[] = "/tmp/readertool-comdir-XXXXXX";
    m_path = mkdtemp(tmpl);
  }
  ~ComDir() { fs::remove_all(m_path); }
  void Link(int n, const fs::path& target) { fs::create_symlink(target, m_path / ("com" + std::to_string(n))); }
  const fs::path& Path() const { return m_path; }

 private:
  fs::path m_path;
};

TEST(ComMap, ParsesComNames) {
  struct Row {
    const char* name;
    int port;
  } rows[] = {
      {"\\\\.\\COM1", 1},  {"\\\\.\\COM12", 12}, {"\\\\.\\COM255", 255}, {"COM7", 7},     {"com7", 7},
      {"\\\\.\\COM0", 0},  {"\\\\.\\COM256", 0}, {"\\\\.\\COM012", 0},   {"\\\\.\\COM", 0}, {"\\\\.\\COM1x", 0},
      {"\\\\.\\LPT1", 0},  {"COM1:", 0},         {"/dev/ttyS0", 0},      {"", 0},         {nullptr, 0},
      {"\\\\.\\COM99999999999", 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name ? r.name : "(null)");
    EXPECT_EQ(plat::ParseComName(r.name), r.port);
  }
}

TEST(ComMap, FixedRangesWithoutOverride) {
  ScopedEnv env(plat::kComDirEnv, nullptr);
  struct Row {
    int port;
    const char* path;
  } rows[] = {
      {1, "/dev/ttyS0"},     {32, "/dev/ttyS31"},   {33, "/dev/ttyUSB0"}, {64, "/dev/ttyUSB31"},
      {65, "/dev/ttyACM0"},  {96, "/dev/ttyACM31"}, {97, ""},             {255, ""},
      {0, ""},               {256, ""},             {-1, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.port);
    EXPECT_EQ(plat::ComPortPath(r.port), r.path);
    if (*r.path) {
      EXPECT_EQ(plat::ComNumberOfPath(r.path), r.port);
    }
  }
  EXPECT_EQ(plat::ResolveSerialDevice("\\\\.\\COM34"), "/dev/ttyUSB1");
  EXPECT_EQ(plat::ResolveSerialDevice("/dev/serial/by-id/x"), "/dev/serial/by-id/x");
  EXPECT_EQ(plat::ResolveSerialDevice("\\\\.\\COM100"), "");
  EXPECT_EQ(plat::ResolveSerialDevice("ttyS0"), "");
  EXPECT_EQ(plat::ComNumberOfPath("/dev/null"), 0);
}

TEST(ComMap, OverrideFolderComesFirst) {
  ComDir dir;
  dir.Link(1, "/dev/null");
  dir.Link(200, "/dev/zero");
  dir.Link(5, dir.Path() / "missing");  // dangling: still claims COM5
  ScopedEnv env(plat::kComDirEnv, dir.Path().c_str());

  EXPECT_EQ(plat::ComPortPath(1), (dir.Path() / "com1").string());
  EXPECT_EQ(plat::ComPortPath(200), (dir.Path() / "com200").string());
  EXPECT_EQ(plat::ComPortPath(5), (dir.Path() / "com5").string());
  EXPECT_EQ(plat::ComPortPath(2), "/dev/ttyS1");  // no entry: the fixed range
  EXPECT_EQ(plat::ResolveSerialDevice("\\\\.\\COM200"), (dir.Path() / "com200").string());

  // The reverse map follows the links and knows COM1 is no longer ttyS0.
  EXPECT_EQ(plat::ComNumberOfPath("/dev/zero"), 200);
  EXPECT_EQ(plat::ComNumberOfPath("/dev/null"), 1);
  EXPECT_EQ(plat::ComNumberOfPath("/dev/ttyS0"), 0);

  const auto ports = plat::ListComPorts();
  bool has1 = false, has200 = false, has5 = false;
  int last = 0;
  for (const auto& p : ports) {
    EXPECT_GT(p.nPort, last) << "ascending";
    last = p.nPort;
    has1 |= p.nPort == 1;
    has200 |= p.nPort == 200 && p.path == (dir.Path() / "com200").string();
    has5 |= p.nPort == 5;
  }
  EXPECT_TRUE(has1);
  EXPECT_TRUE(has200);
  EXPECT_FALSE(has5) << "a dangling entry is no device";
}

}  // namespace

#include "platform/posix/com_map.h"

#include "platform/com_port.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>

namespace plat {
namespace {

struct FixedRange {
  int nFirst;  // COM number of index 0
  const char* pszPrefix;
};
constexpr FixedRange kRanges[] = {{1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}};
constexpr int kRangeSize = 32;

std::string Canonical(const std::string& path) {
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf)) return buf;
  return path;
}

}  // namespace

std::string ComDirEntry(int nPort) {
  const char* dir = std::getenv(kComDirEnv);
  if (!dir || !*dir) return {};
  std::string path = std::string(dir) + "/com" + std::to_string(nPort);
  struct stat st {};
  // A dangling link still claims the number: the operator said COM n is
  // that entry, and opening it will report that it is missing.
  if (lstat(path.c_str(), &st) != 0) return {};
  return path;
}

std::string ComPortPath(int nPort) {
  if (nPort < kMinComPort || nPort > kMaxComPort) return {};
  std::string path = ComDirEntry(nPort);
  if (!path.empty()) return path;
  for (const auto& r : kRanges)
    if (nPort >= r.nFirst && nPort < r.nFirst + kRangeSize) return r.pszPrefix + std::to_string(nPort - r.nFirst);
  return {};
}

std::string ResolveSerialDevice(const char* pszName) {
  if (!pszName || !*pszName) return {};
  if (pszName[0] == '/') return pszName;
  const int n = ParseComName(pszName);
  return n ? ComPortPath(n) : std::string();
}

int ComNumberOfPath(const char* pszPath) {
  if (!pszPath || !*pszPath) return 0;
  const std::string target = Canonical(pszPath);
  for (int n = kMinComPort; n <= kMaxComPort; ++n) {
    const std::string path = ComPortPath(n);
    if (!path.empty() && (path == pszPath || Canonical(path) == target)) return n;
  }
  return 0;
}

}  // namespace plat

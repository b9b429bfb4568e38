#include "platform/com_port.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

namespace plat {
namespace {

std::mutex g_listerMutex;
ComPortLister g_lister;

}  // namespace

int ParseComName(const char* pszName) {
  if (!pszName) return 0;
  const char* p = pszName;
  if (std::strncmp(p, "\\\\.\\", 4) == 0) p += 4;
  if ((p[0] != 'C' && p[0] != 'c') || (p[1] != 'O' && p[1] != 'o') || (p[2] != 'M' && p[2] != 'm')) return 0;
  p += 3;
  if (*p < '1' || *p > '9') return 0;  // no digits, or a leading zero
  int n = 0;
  for (; *p; ++p) {
    if (*p < '0' || *p > '9') return 0;
    n = n * 10 + (*p - '0');
    if (n > kMaxComPort) return 0;
  }
  return n;
}

std::vector<ComPortEntry> ListComPorts() {
  ComPortLister lister;
  {
    std::lock_guard<std::mutex> lock(g_listerMutex);
    lister = g_lister;
  }
  return lister ? lister() : ListSystemComPorts();
}

bool ComPortListed(int nPort) {
  const std::vector<ComPortEntry> ports = ListComPorts();
  return std::any_of(ports.begin(), ports.end(), [nPort](const ComPortEntry& e) { return e.nPort == nPort; });
}

ComPortLister SetComPortLister(ComPortLister lister) {
  std::lock_guard<std::mutex> lock(g_listerMutex);
  std::swap(g_lister, lister);
  return lister;
}

}  // namespace plat

#include "platform/com_port.h"

#include <cstring>

namespace plat {

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

}  // namespace plat

#include "bench/trace.h"

#include <cstdio>
#include <sstream>

namespace bench {
namespace {

// "[T ms] <dir> CC-SS, N bytes": the direction, the code and the size.
bool ParseEntry(const std::string& strLine, std::uint64_t* ptMs, bool* pbRequest, std::uint16_t* pwCode,
                std::size_t* pnBytes) {
  unsigned long long t = 0;
  unsigned cc = 0, ss = 0;
  std::size_t n = 0;
  char szFrom[16] = {}, szTo[16] = {};
  if (std::sscanf(strLine.c_str(), "[%llu ms] %15s -> %15s %2x-%2x, %zu bytes", &t, szFrom, szTo, &cc, &ss, &n) != 6)
    return false;
  const std::string strFrom = szFrom;
  if (strFrom != "host" && strFrom != "reader") return false;
  *ptMs = t;
  *pbRequest = strFrom == "host";
  *pwCode = static_cast<std::uint16_t>((cc << 8) | ss);
  *pnBytes = n;
  return true;
}

}  // namespace

std::vector<Exchange> ParseTrace(const std::string& strTrace) {
  std::vector<Exchange> out;
  std::istringstream in(strTrace);
  std::string strLine;
  while (std::getline(in, strLine)) {
    bool bRequest = false;
    std::uint16_t wCode = 0;
    std::size_t nBytes = 0;
    std::uint64_t tMs = 0;
    if (!ParseEntry(strLine, &tMs, &bRequest, &wCode, &nBytes)) continue;
    if (bRequest) {
      Exchange e;
      e.tMs = tMs;
      e.wCode = wCode;
      e.nRequestBytes = nBytes;
      out.push_back(e);
    } else if (!out.empty() && !out.back().bAnswered) {
      out.back().bAnswered = true;
      out.back().nAnswerBytes = nBytes;
    }
  }
  return out;
}

}  // namespace bench

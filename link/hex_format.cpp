#include "link/hex_format.h"

std::string FormatHexLine(const BYTE* p, std::size_t n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string line;
  if (!p) return line;
  line.reserve(n * 3);
  for (std::size_t i = 0; i < n; ++i) {
    line += kDigits[p[i] >> 4];
    line += kDigits[p[i] & 0x0F];
    line += ' ';
  }
  return line;
}

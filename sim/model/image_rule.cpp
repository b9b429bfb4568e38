#include "sim/model/image_rule.h"

#include "link/frame.h"

std::vector<BYTE> MakeSimTrailer(const BYTE* body, std::size_t n) {
  std::vector<BYTE> t(kSimTrailerSize, 0xFF);
  const DWORD len = static_cast<DWORD>(n);
  const WORD crc = CalcCrc16(body, len);
  t[0] = static_cast<BYTE>(len >> 24);
  t[1] = static_cast<BYTE>(len >> 16);
  t[2] = static_cast<BYTE>(len >> 8);
  t[3] = static_cast<BYTE>(len);
  t[4] = static_cast<BYTE>(crc >> 8);
  t[5] = static_cast<BYTE>(crc);
  return t;
}

bool SimTrailerMatches(const BYTE* trailer, const BYTE* body, std::size_t n) {
  if (!trailer) return false;
  const std::vector<BYTE> want = MakeSimTrailer(body, n);
  for (int i = 0; i < 6; ++i)
    if (trailer[i] != want[i]) return false;
  return true;
}

#include "link/frame.h"

#include <array>
#include <cstring>

const char g_pszFrameHeader[11] = {'K', 'e', 's', 't', 'r', 'u', 'l', 'a', '2', '\0', '\0'};

namespace {

constexpr std::array<WORD, 256> MakeCrcTable() {
  std::array<WORD, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    WORD crc = static_cast<WORD>(i << 8);
    for (int b = 0; b < 8; ++b) crc = static_cast<WORD>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    t[i] = crc;
  }
  return t;
}

constexpr std::array<WORD, 256> kCrcTable = MakeCrcTable();

}  // namespace

WORD CalcCrc16(const BYTE* p, DWORD n) {
  WORD crc = 0xFFFF;
  if (!p) return crc;
  for (DWORD i = 0; i < n; ++i) crc = static_cast<WORD>((crc << 8) ^ kCrcTable[((crc >> 8) ^ p[i]) & 0xFF]);
  return crc;
}

BYTE CalcCrc16Hi(const BYTE* p, DWORD n) { return static_cast<BYTE>(CalcCrc16(p, n) >> 8); }

bool IsFrameHeader(const BYTE* p, DWORD nAvail) {
  return p && nAvail >= kFrameHeaderLen && std::memcmp(p, g_pszFrameHeader, kFrameHeaderLen) == 0;
}

int CheckRxFrame(const BYTE* p, DWORD nBuffered) {
  if (!p) return -1;
  const DWORD n = nBuffered & 0xFFFF;
  if (n < 14) return -1;
  // Worked out in 32 bits: a length so large that length + 14 would wrap
  // past 16 bits gives a frame longer than any buffer count (n stays below
  // 65536), so it reads as incomplete, never as a tiny frame.
  const DWORD t = static_cast<DWORD>(p[12]) * 256u + p[13] + 14u;
  if (n < t) return -1;
  if (n < t + 2) return -2;
  const WORD crc = CalcCrc16(p, t);
  const BYTE hi = static_cast<BYTE>(crc >> 8), lo = static_cast<BYTE>(crc & 0xFF);
  if ((p[t] == hi && p[t + 1] == lo) || (p[t] == lo && p[t + 1] == hi)) return static_cast<int>(t + 2);
  return -3;
}

int GetRxData(const BYTE* pFrame, BYTE* pDest, DWORD dwCap) {
  if (!pFrame) return -1;
  const DWORD cap = dwCap & 0xFFFF;
  if (cap < 14) return -2;
  const DWORD t = static_cast<DWORD>(pFrame[12]) * 256u + pFrame[13] + 14u;
  // A wrapped 16-bit total would make the data length negative; refuse it.
  if (t > 0xFFFF || cap < t) return -2;
  DWORD n = t - 14;
  if (n > dwCap) n = dwCap;
  if (n != 0 && pDest) {
    std::memcpy(pDest, pFrame + 14, n);
    pDest[n] = 0;
  }
  return static_cast<int>(n);
}

// A V3 frame has a byte of its own at offset 11 and its status at 12; reading
// offset 11 there would take every V3 refusal for an acceptance.
BYTE GetRespStatus(const BYTE* pResp) {
  if (!pResp) return 0xFF;
  return pResp[8] == '3' ? pResp[12] : pResp[11];
}

bool IsRespStatusIn(const BYTE* pResp, BYTE a, BYTE b) {
  if (!pResp) return false;
  // Offset 11 is judged in every version; a V3 answer carries its status at
  // offset 12 as well, and both must agree that the request was carried out.
  const auto in = [a, b](BYTE s) { return s == a || s == b; };
  return in(pResp[11]) && (pResp[8] != '3' || in(pResp[12]));
}

bool IsRespOk(const BYTE* pResp, BYTE cmd) { return pResp && pResp[10] == cmd && IsRespStatusIn(pResp, 0x00, 0x00); }

WORD GetRespCode(const BYTE* pFrame) {
  if (!pFrame) return 0;
  return static_cast<WORD>((pFrame[10] << 8) | pFrame[11]);
}

DWORD BuildFrame(BYTE* pBuf, DWORD nCap, BYTE cmd, BYTE sub, const BYTE* pData, WORD nLen, CrcOrder order) {
  const DWORD total = static_cast<DWORD>(nLen) + kFrameOverheadV2;
  if (!pBuf || total > nCap || (nLen && !pData)) return 0;
  std::memcpy(pBuf, g_pszFrameHeader, kFrameHeaderLen);
  pBuf[10] = cmd;
  pBuf[11] = sub;
  pBuf[12] = static_cast<BYTE>(nLen >> 8);
  pBuf[13] = static_cast<BYTE>(nLen & 0xFF);
  if (nLen) std::memcpy(pBuf + 14, pData, nLen);
  const WORD crc = CalcCrc16(pBuf, 14u + nLen);
  const BYTE hi = static_cast<BYTE>(crc >> 8), lo = static_cast<BYTE>(crc & 0xFF);
  pBuf[14 + nLen] = order == CrcOrder::HighFirst ? hi : lo;
  pBuf[15 + nLen] = order == CrcOrder::HighFirst ? lo : hi;
  return total;
}

std::vector<BYTE> MakeFrame(BYTE cmd, BYTE sub, const std::vector<BYTE>& data, CrcOrder order) {
  const WORD len = static_cast<WORD>(data.size() > 0xFFFF ? 0xFFFF : data.size());
  std::vector<BYTE> out(static_cast<size_t>(len) + kFrameOverheadV2);
  BuildFrame(out.data(), static_cast<DWORD>(out.size()), cmd, sub, data.data(), len, order);
  return out;
}

std::vector<BYTE> MakeFrameV3(BYTE cmd, BYTE status, const std::vector<BYTE>& data) {
  const WORD len = static_cast<WORD>(data.size() > 0xFFFF ? 0xFFFF : data.size());
  std::vector<BYTE> out(static_cast<size_t>(len) + kFrameOverheadV3);
  std::memcpy(out.data(), g_pszFrameHeader, 8);
  out[8] = '3';
  out[9] = 0;
  out[10] = cmd;
  out[11] = 0;
  out[12] = status;
  out[13] = static_cast<BYTE>(len >> 8);
  out[14] = static_cast<BYTE>(len & 0xFF);
  if (len) std::memcpy(out.data() + 15, data.data(), len);
  const WORD crc = CalcCrc16(out.data(), 15u + len);
  out[15 + len] = static_cast<BYTE>(crc >> 8);
  out[16 + len] = static_cast<BYTE>(crc & 0xFF);
  return out;
}

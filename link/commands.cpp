#include "link/commands.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "link/dispatch.h"
#include "link/frame.h"
#include "transport/hid_device.h"
#include "transport/rs232_port.h"

namespace {

constexpr DWORD kSmallBuf = 512;
constexpr DWORD kLargeBuf = 4096;
constexpr int kNoSerialTimeout = -1;

// A fixed request frame, built once.
struct FixedFrame {
  BYTE bytes[16];
  FixedFrame(BYTE cmd, BYTE sub, CrcOrder order) { BuildFrame(bytes, sizeof bytes, cmd, sub, nullptr, 0, order); }
};

// Built once, before main: the CRC table and the header are constants.
const FixedFrame kPingFrame(0x18, 0x01, CrcOrder::HighFirst);
const FixedFrame kBootModeFrame(0xC7, 0x41, CrcOrder::HighFirst);
const FixedFrame kResetF0Frame(0x04, 0xF0, CrcOrder::LowFirst);
const FixedFrame kReset0AFrame(0x04, 0x0A, CrcOrder::LowFirst);

// One exchange of a wrapper: the tagged-report flag saved, set to 1 and put
// back; on RS-232 the write time-out shortened around it when asked.
// pResp must be zeroed by the caller; returns the response length.
//
// An exchange that ends without a whole, valid frame (a CRC that fits
// neither order, an answer cut short, a length field that never completes)
// may leave the bytes it gathered in pResp, the command and status among
// them. Those are no answer: the buffer is zeroed again, so the wrapper's
// test fails as it does when nothing came, and a block or a verification is
// never taken as accepted on the strength of a frame that did not check out.
DWORD Exchange(const BYTE* pReq, DWORD dwReqLen, BYTE* pResp, DWORD dwRespCap, bool bPumping,
               int nSerialWriteTimeout) {
  const BYTE saved = g_HidDevice.GetTaggedReports();
  const bool serialTimeout = nSerialWriteTimeout >= 0;
  if (serialTimeout && IsRs232()) g_Rs232Port.SetTimeouts(nSerialWriteTimeout, -1);
  g_HidDevice.SetTaggedReports(1);
  DWORD len = dwRespCap;
  TransceiveThrough(bPumping ? g_pfnTransceive : g_pfnTransceivePlain, pReq, dwReqLen, pResp, &len);
  g_HidDevice.SetTaggedReports(saved);
  if (serialTimeout && IsRs232()) g_Rs232Port.ResetTimeouts();
  if (len == 0 && pResp) std::memset(pResp, 0, dwRespCap);
  return len;
}

// The data of an accepted answer into the caller's pData (capacity nCap):
// the data length, or -2 when the frame does not fit the capacity. A length
// field can claim more than the response buffer holds (bytes left behind by
// an exchange that gave up on its frame are judged too), so the frame must
// also fit the response buffer: nothing is ever read past its end.
int CopyRxData(const BYTE* pResp, DWORD dwRespBuf, BYTE* pData, int nCap) {
  if (!pData || nCap <= 0) return -2;
  const DWORD cap = static_cast<DWORD>(nCap) < dwRespBuf ? static_cast<DWORD>(nCap) : dwRespBuf;
  return GetRxData(pResp, pData, cap);
}

// A command without request data whose answer is judged by IsRespOk.
bool SimpleCommand(const BYTE* pFrame, BYTE cmd, DWORD respCap) {
  std::vector<BYTE> resp(respCap, 0);
  Exchange(pFrame, 16, resp.data(), respCap, true, kNoSerialTimeout);
  return IsRespOk(resp.data(), cmd);
}

}  // namespace

bool IsNewVersionText(const BYTE* pData, int nDataLen) {
  // A shorter answer has no version number in these places; what the buffer
  // held before is not a version, so it counts as an old one.
  if (!pData || nDataLen < kVersionTextAt + kVersionTextChars) return false;
  long long number = 0;
  for (int i = kVersionTextAt; i < kVersionTextAt + kVersionTextChars; ++i) {
    if (pData[i] == '.') continue;
    number = number * 10 + (static_cast<int>(pData[i]) - 0x30);
  }
  return number >= 300001;
}

std::string VersionNumberText(const BYTE* pData, int nDataLen) {
  if (!pData || nDataLen < kVersionTextAt + kVersionTextChars) return {};
  return std::string(reinterpret_cast<const char*>(pData) + kVersionTextAt, kVersionTextChars);
}

bool PingReader() {
  std::array<BYTE, kSmallBuf> resp{};
  return Exchange(kPingFrame.bytes, 16, resp.data(), kSmallBuf, true, 200) > 0;
}

bool RequestBootMode() {
  std::array<BYTE, kSmallBuf> resp{};
  Exchange(kBootModeFrame.bytes, 16, resp.data(), kSmallBuf, true, kNoSerialTimeout);
  return resp[10] == 0xC7 && IsRespStatusIn(resp.data(), 0x00, 0xF2);
}

bool EnterBootMode() { return PingReader() && RequestBootMode(); }

bool QueryReader(BYTE cmd, BYTE sub, BYTE* pData, int* pnLen, int* pbNewVersion) {
  std::array<BYTE, kSmallBuf> req{};
  std::array<BYTE, kSmallBuf> resp{};
  const DWORD reqLen = BuildFrame(req.data(), kSmallBuf, cmd, sub, nullptr, 0, CrcOrder::HighFirst);
  Exchange(req.data(), reqLen, resp.data(), kSmallBuf, false, 500);
  if (!IsRespOk(resp.data(), cmd)) return false;
  if (!pnLen) return true;
  *pnLen = CopyRxData(resp.data(), kSmallBuf, pData, *pnLen);
  if (pbNewVersion) *pbNewVersion = IsNewVersionText(pData, *pnLen) ? 1 : 0;
  return true;
}

bool GetBLVersion(BYTE* pData, int* pnLen) { return QueryReader(0xC7, 0x01, pData, pnLen, nullptr); }

bool GetBLVersionAlt(BYTE* pData, int* pnLen, int* pbNewVersion) {
  return QueryReader(0xC7, 0x10, pData, pnLen, pbNewVersion);
}

bool GetVersionAnyMode(BYTE* pData, int* pnLen, int* pbNewVersion, BYTE* pbInBootMode) {
  if (QueryReader(0x29, 0x04, pData, pnLen, pbNewVersion)) {
    if (pbInBootMode) *pbInBootMode = 0;
    return true;
  }
  if (IsUsbHid()) PumpWait(300, FALSE);
  if (QueryReader(0xC7, 0x10, pData, pnLen, pbNewVersion)) {
    if (pbInBootMode) *pbInBootMode = 1;
    return true;
  }
  if (IsUsbHid()) PumpWait(300, FALSE);
  if (QueryReader(0xC7, 0x01, pData, pnLen, pbNewVersion)) {
    if (pbInBootMode) *pbInBootMode = 1;
    return true;
  }
  return false;
}

bool EraseFlash() {
  std::array<BYTE, kSmallBuf> req{};
  const BYTE zero = 0x00;
  const DWORD reqLen = BuildFrame(req.data(), kSmallBuf, 0xC7, 0x02, &zero, 1, CrcOrder::HighFirst);
  std::array<BYTE, kSmallBuf> resp{};
  Exchange(req.data(), reqLen, resp.data(), kSmallBuf, true, kNoSerialTimeout);
  return IsRespOk(resp.data(), 0xC7);
}

bool ProgramFlashBlock(const BYTE* pReqData, DWORD dwReqDataLen, BYTE* pResp, DWORD* pdwRespLen) {
  if (!pReqData) dwReqDataLen = 0;
  // More data than the request buffer holds, or no room for the answer's
  // command and status bytes: a caller's mistake, refused before anything
  // reaches the reader (a block programmed without a judged answer would
  // leave the flash in a state nobody knows).
  if (dwReqDataLen > kMaxRequestData) return false;
  if (!pResp || !pdwRespLen || *pdwRespLen < 12) return false;
  std::vector<BYTE> req(kLargeBuf, 0);
  const DWORD reqLen = BuildFrame(req.data(), kLargeBuf, 0xC7, 0x03, pReqData, static_cast<WORD>(dwReqDataLen),
                                  CrcOrder::HighFirst);
  std::memset(pResp, 0, *pdwRespLen);
  *pdwRespLen = Exchange(req.data(), reqLen, pResp, *pdwRespLen, true, kNoSerialTimeout);
  return IsRespOk(pResp, 0xC7);
}

bool ProgramFlash(const BYTE* pImage, int nSize, PFN_PROGRESS pfnProgress) {
  if (nSize <= 0) return true;
  if (!pImage) return false;
  int offset = 0;
  DWORD address = 0;
  int lastPercent = -1;
  // Progress counts blocks of 2048 bytes; a body shorter than one block is
  // one whole block, so the division is never by zero.
  float blocks = static_cast<float>(nSize) / 2048.0f;
  if (blocks < 1.0f) blocks = 1.0f;
  std::vector<BYTE> data(kFlashBlockBytes + 4);
  char text[96];
  while (offset < nSize) {
    const int blockLen = nSize - offset < kFlashBlockBytes ? nSize - offset : kFlashBlockBytes;
    data[0] = static_cast<BYTE>(address >> 24);
    data[1] = static_cast<BYTE>(address >> 16);
    data[2] = static_cast<BYTE>(address >> 8);
    data[3] = static_cast<BYTE>(address);
    std::memcpy(data.data() + 4, pImage + offset, static_cast<size_t>(blockLen));
    BYTE resp[128] = {};
    DWORD respLen = sizeof resp;
    if (!ProgramFlashBlock(data.data(), static_cast<DWORD>(blockLen) + 4, resp, &respLen)) {
      if (pfnProgress) {
        std::snprintf(text, sizeof text, "[Failed] Address=%08X, Block # (0-based) = %d/%d",
                      static_cast<unsigned>(offset), offset / 2048, nSize / 2048);
        pfnProgress(text, 100);
      }
      return false;
    }
    if (pfnProgress) {
      float p = (static_cast<float>(offset) * 100.0f / 2048.0f + 1.0f) / blocks;
      int percent = static_cast<int>(p);
      if (percent > 99) percent = 99;
      if (percent > lastPercent) {
        std::snprintf(text, sizeof text, "[Programming] Address=%08X, %d%% Done", static_cast<unsigned>(offset),
                      percent);
        lastPercent = percent;
        pfnProgress(text, percent);
      }
    }
    offset += blockLen;
    address += static_cast<DWORD>(blockLen - 16);
  }
  return true;
}

bool VerifyFlash(const BYTE* pTrailer256) {
  if (!pTrailer256) return false;
  BYTE data[260] = {0x00, 0x03, 0xFF, 0xF0};
  std::memcpy(data + 4, pTrailer256, 256);
  std::vector<BYTE> req(kLargeBuf, 0);
  const DWORD reqLen = BuildFrame(req.data(), kLargeBuf, 0xC7, 0x04, data, sizeof data, CrcOrder::HighFirst);
  std::vector<BYTE> resp(kLargeBuf, 0);
  Exchange(req.data(), reqLen, resp.data(), kLargeBuf, true, kNoSerialTimeout);
  return IsRespOk(resp.data(), 0xC7);
}

bool ResetBootloader() {
  std::vector<BYTE> req(kLargeBuf, 0);
  const DWORD reqLen = BuildFrame(req.data(), kLargeBuf, 0xC7, 0x05, nullptr, 0, CrcOrder::HighFirst);
  std::vector<BYTE> resp(kLargeBuf, 0);
  Exchange(req.data(), reqLen, resp.data(), kLargeBuf, true, kNoSerialTimeout);
  return IsRespOk(resp.data(), 0xC7);
}

bool GetFwVersion(BYTE* pData, int* pnLen) {
  std::array<BYTE, kSmallBuf> req{};
  const DWORD reqLen = BuildFrame(req.data(), kSmallBuf, 0x29, 0x00, nullptr, 0, CrcOrder::LowFirst);
  std::array<BYTE, kSmallBuf> resp{};
  Exchange(req.data(), reqLen, resp.data(), kSmallBuf, true, kNoSerialTimeout);
  if (!IsRespOk(resp.data(), 0x29)) return false;
  if (pnLen) *pnLen = CopyRxData(resp.data(), kSmallBuf, pData, *pnLen);
  return true;
}

bool ResetDefaultF0() { return SimpleCommand(kResetF0Frame.bytes, 0x04, kSmallBuf); }

bool ResetDefault0A(bool bIgnoreReply) {
  const bool ok = SimpleCommand(kReset0AFrame.bytes, 0x04, kSmallBuf);
  return bIgnoreReply || ok;
}

DWORD RawTransceive(const BYTE* pReq, DWORD dwReqLen, BYTE* pResp, DWORD* pdwRespLen) {
  if (!pdwRespLen) return 0;
  if (!pReq || !pResp) {
    *pdwRespLen = 0;
    return 0;
  }
  TransceiveThrough(g_pfnTransceivePlain, pReq, dwReqLen, pResp, pdwRespLen);
  return *pdwRespLen;
}

BYTE HidGetTaggedReports() { return g_HidDevice.GetTaggedReports(); }

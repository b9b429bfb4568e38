// Arbitrary bytes as a received frame: the frame checks must read nothing
// outside the bytes they are given, copy nothing outside the destination,
// and agree with each other and with the frame builder.
//
// Input: [capacity lo] [capacity hi] [command] [bytes...]
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "link/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const DWORD capIn = static_cast<DWORD>(data[0] | (data[1] << 8));
  const BYTE cmd = data[2];
  data += 3;
  size -= 3;

  // Exactly the bytes received, on the heap: one byte more is a sanitizer report.
  const DWORD n = static_cast<DWORD>(size);
  std::unique_ptr<BYTE[]> buf(new BYTE[n ? n : 1]);
  if (n) std::memcpy(buf.get(), data, n);
  const BYTE* p = buf.get();

  (void)IsFrameHeader(p, n);
  const int v = CheckRxFrame(p, n);
  if (v == 0 || v < -3) __builtin_trap();
  if (v > 0) {
    // A frame length is never more than what was buffered, and its CRC fits
    // in one of the two byte orders.
    if (static_cast<DWORD>(v) > n || v < 16) __builtin_trap();
    const DWORD t = static_cast<DWORD>(v) - 2;
    const WORD crc = CalcCrc16(p, t);
    const bool hiFirst = p[t] == (crc >> 8) && p[t + 1] == (crc & 0xFF);
    const bool loFirst = p[t] == (crc & 0xFF) && p[t + 1] == (crc >> 8);
    if (!hiFirst && !loFirst) __builtin_trap();
    if (CalcCrc16Hi(p, t) != (crc >> 8)) __builtin_trap();

    // The data comes out whole, and the builder makes the same frame again.
    std::unique_ptr<BYTE[]> dest(new BYTE[static_cast<DWORD>(v)]);
    const int d = GetRxData(p, dest.get(), static_cast<DWORD>(v));
    if (d != v - 16) __builtin_trap();
    if (IsFrameHeader(p, n)) {
      const std::vector<BYTE> dataBytes(dest.get(), dest.get() + d);
      const std::vector<BYTE> again =
          MakeFrame(p[10], p[11], dataBytes, hiFirst ? CrcOrder::HighFirst : CrcOrder::LowFirst);
      if (again.size() != static_cast<std::size_t>(v) || std::memcmp(again.data(), p, again.size()) != 0)
        __builtin_trap();
    }
  }

  // GetRxData: the capacity is the destination's size and bounds the frame,
  // which must itself lie within the bytes received (callers hand it their
  // response buffer and at most its size).
  if (n >= 14) {
    const DWORD cap = capIn % (n + 1);
    std::unique_ptr<BYTE[]> dest(new BYTE[cap ? cap : 1]);
    std::memset(dest.get(), 0xEE, cap ? cap : 1);
    const int d = GetRxData(p, dest.get(), cap);
    if (d != -2 && (d < 0 || static_cast<DWORD>(d) + 14 > cap)) __builtin_trap();
    if (d > 0 && dest[d] != 0) __builtin_trap();
    if (GetRxData(nullptr, dest.get(), cap) != -1) __builtin_trap();
  }

  // The answer checks read the command and status bytes of the response
  // buffer, which always holds at least 13 bytes.
  if (n >= 13) {
    const bool ok = IsRespOk(p, cmd);
    const BYTE status = GetRespStatus(p);
    // Accepted only when every status place says so: offset 11, and in a V3
    // answer offset 12 too.
    if (ok != (p[10] == cmd && p[11] == 0 && status == 0)) __builtin_trap();
    if (status != (p[8] == '3' ? p[12] : p[11])) __builtin_trap();
    (void)GetRespCode(p);
  }
  return 0;
}

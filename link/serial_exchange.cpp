// The serial exchange: write one request frame, find the response in the
// byte stream by its V2 header, gather it and check its length and CRC,
// within one deadline and at most kMaxErrors failed steps.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "link/frame.h"
#include "platform/clock.h"
#include "platform/stop.h"
#include "transport/rs232_port.h"

namespace {

// Length of the longest tail of buf[0, n) (at most a header long) that
// could be the start of a frame header whose rest is still to come.
DWORD HeaderPrefixTail(const BYTE* buf, DWORD n) {
  for (DWORD k = std::min<DWORD>(n, kFrameHeaderLen); k > 0; --k)
    if (std::memcmp(buf + n - k, g_pszFrameHeader, k) == 0) return k;
  return 0;
}

}  // namespace

void CRs232Port::SendRecvFrame(const BYTE* pReq, DWORD dwReqLen, BYTE* pResp, DWORD* pdwRespLen, DWORD dwTimeout,
                               PFN_WAIT pfnWait) {
  if (!pdwRespLen) return;
  if (!IsOpen() || (!pReq && dwReqLen) || (!pResp && *pdwRespLen)) {
    *pdwRespLen = 0;
    return;
  }
  const DWORD cap = std::min<DWORD>(*pdwRespLen, kMaxResponse);
  // 64-bit milliseconds: the deadline is compared as elapsed time and never
  // wraps, unlike a 32-bit tick count.
  const std::uint64_t deadline = plat::NowMs() + dwTimeout;

  enum class Phase { kSending, kSeeking, kCollecting } phase = Phase::kSending;
  DWORD n = 0;
  int errors = 0;
  BYTE seek[kSeekBufferSize];

  auto wait = [pfnWait](DWORD ms) {
    if (pfnWait) pfnWait(ms, FALSE);
  };
  auto endPass = [&]() {
    if (errors > 0) wait(200);
    wait(100);
  };

  for (;;) {
    // A stop request ends the exchange like the deadline does; without this
    // test a reader that sends nothing would hold the loop until the deadline.
    if (plat::NowMs() >= deadline || errors >= kMaxErrors || plat::Stop().Requested()) break;

    switch (phase) {
      case Phase::kSending: {
        const DWORD w = Write(pReq + n, dwReqLen - n);
        n += w;
        if (w == 0) {
          ++errors;
          endPass();
          break;
        }
        if (n < dwReqLen) {
          endPass();
          break;
        }
        n = 0;
        phase = Phase::kSeeking;
        wait(100);
        endPass();
        break;
      }

      case Phase::kSeeking: {
        const int r = Read(seek + n, kSeekBufferSize - n);
        if (r < 0) {
          ++errors;
          endPass();
          break;
        }
        n += static_cast<DWORD>(r);
        if (n <= kFrameHeaderLen) break;  // too little to search: read again at once
        DWORD i = 0;
        bool found = false;
        for (; i + kFrameHeaderLen + 1 <= n; ++i) {
          if (IsFrameHeader(seek + i, n - i)) {
            found = true;
            break;
          }
        }
        if (found) {
          const DWORD m = std::min<DWORD>(n - i, cap);
          if (m) std::memmove(pResp, seek + i, m);
          n = m;
          phase = Phase::kCollecting;
          errors = 0;
          wait(100);
          break;
        }
        // No header: drop the noise, but keep a tail that may be the start of
        // a header split across reads, so the frame after it is not lost.
        const DWORD keep = HeaderPrefixTail(seek, n);
        std::memmove(seek, seek + n - keep, keep);
        n = keep;
        endPass();
        break;
      }

      case Phase::kCollecting: {
        const int r = Read(pResp + n, cap - n);
        if (r < 0) {
          ++errors;
          endPass();
          break;
        }
        n += static_cast<DWORD>(r);
        const int v = CheckRxFrame(pResp, n);
        if (v > 0) {
          *pdwRespLen = static_cast<DWORD>(v);
          wait(100);
          return;
        }
        ++errors;
        endPass();
        break;
      }
    }
  }
  // Deadline, too many errors or a stop: no frame. Bytes already moved into
  // pResp stay there.
  *pdwRespLen = 0;
}

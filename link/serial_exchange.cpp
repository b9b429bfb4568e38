// The serial exchange: write one request frame, find the response in the
// byte stream by its V2 header, gather it and check its length and CRC,
// within one deadline and at most kMaxErrors failed steps.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "link/frame.h"
#include "link/trace.h"
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

constexpr trace::Link kLink = trace::Link::Rs232;

const char* FrameCheckText(int nCheck) {
  return nCheck == -3 ? "CRC wrong" : nCheck == -2 ? "CRC missing" : "frame not complete";
}

}  // namespace

void CRs232Port::SendRecvFrame(const BYTE* pReq, DWORD dwReqLen, BYTE* pResp, DWORD* pdwRespLen, DWORD dwTimeout,
                               PFN_WAIT pfnWait) {
  if (!pdwRespLen) return;
  if (!IsOpen() || (!pReq && dwReqLen) || (!pResp && *pdwRespLen)) {
    trace::NoAnswerBecause(IsOpen() ? "no buffer" : "link closed");
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
  int emptyReads = 0;  // reads in a row that brought nothing (each its read time-out long)
  BYTE seek[kSeekBufferSize];

  auto wait = [pfnWait](DWORD ms, const char* pszWhy) {
    trace::WaitBecause(pszWhy);
    if (pfnWait) pfnWait(ms, FALSE);
  };
  auto endPass = [&]() {
    if (errors > 0) wait(200, "after a failed step");
    wait(100, "end of a pass");
  };
  auto traceEmptyReads = [&]() {
    if (emptyReads > 0) TRACE_EVENT(kLink, "%d read%s without a byte", emptyReads, emptyReads == 1 ? "" : "s");
    emptyReads = 0;
  };
  auto traceReadFailed = [&]() {
    TRACE_EVENT(kLink, "read failed (%s, code %ld: %s), failed step %d of %d",
                plat::SerialErrorKindName(m_lastError.kind), m_lastError.sysCode, m_lastError.sysMessage.c_str(),
                errors, kMaxErrors);
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
          TRACE_EVENT(kLink, "write failed (%s, code %ld: %s) with %u of %u bytes out, failed step %d of %d",
                      plat::SerialErrorKindName(m_lastError.kind), m_lastError.sysCode,
                      m_lastError.sysMessage.c_str(), n, dwReqLen, errors, kMaxErrors);
          endPass();
          break;
        }
        if (n < dwReqLen) {
          TRACE_EVENT(kLink, "write took %u bytes, %u of %u out", w, n, dwReqLen);
          endPass();
          break;
        }
        n = 0;
        phase = Phase::kSeeking;
        wait(100, "request written");
        endPass();
        break;
      }

      case Phase::kSeeking: {
        const int r = Read(seek + n, kSeekBufferSize - n);
        if (r < 0) {
          ++errors;
          traceEmptyReads();
          traceReadFailed();
          endPass();
          break;
        }
        if (r == 0) {
          ++emptyReads;
        } else {
          traceEmptyReads();
          TRACE_EVENT(kLink, "read %d byte%s", r, r == 1 ? "" : "s");
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
          if (i > 0) trace::Bytes(kLink, "noise skipped", seek, i);
          const DWORD m = std::min<DWORD>(n - i, cap);
          if (m) std::memmove(pResp, seek + i, m);
          n = m;
          phase = Phase::kCollecting;
          errors = 0;
          wait(100, "frame header found");
          break;
        }
        // No header: drop the noise, but keep a tail that may be the start of
        // a header split across reads, so the frame after it is not lost.
        const DWORD keep = HeaderPrefixTail(seek, n);
        trace::Bytes(kLink, "noise skipped", seek, n - keep);
        std::memmove(seek, seek + n - keep, keep);
        n = keep;
        endPass();
        break;
      }

      case Phase::kCollecting: {
        const int r = Read(pResp + n, cap - n);
        if (r < 0) {
          ++errors;
          traceReadFailed();
          endPass();
          break;
        }
        if (r > 0) TRACE_EVENT(kLink, "read %d byte%s", r, r == 1 ? "" : "s");
        n += static_cast<DWORD>(r);
        const int v = CheckRxFrame(pResp, n);
        if (v > 0) {
          *pdwRespLen = static_cast<DWORD>(v);
          wait(100, "answer received");
          return;
        }
        ++errors;
        TRACE_EVENT(kLink, "%s with %u bytes in, failed step %d of %d", FrameCheckText(v), n, errors, kMaxErrors);
        endPass();
        break;
      }
    }
  }
  // Deadline, too many errors or a stop: no frame. Bytes already moved into
  // pResp stay there.
  if (trace::On()) {
    traceEmptyReads();
    trace::NoAnswerBecause(plat::Stop().Requested()  ? "stop"
                           : errors >= kMaxErrors ? "too many failed steps"
                                                  : "time-out");
  }
  *pdwRespLen = 0;
}

// The report exchange of the USB HID transport: one request frame cut into
// reports, one response frame put together from reports, in the format the
// device's report mode asks for.
//
//   raw      64-byte output reports, the frame's bytes as they come
//   counted  65-byte reports in and out: ID 0, count byte (bit 7: more
//            follow), up to 63 payload bytes
//   tagged   64-byte reports in and out: segment tag (1 whole, 2 first,
//            3 middle, 4 last), up to 63 payload bytes
//   feature  feature reports: ID 0, FeatureReportByteLength - 1 payload bytes
//
// Whatever the device sends, nothing is written past the response capacity,
// nothing is read past a report, and every read ends within its time budget
// or on a stop request.
#include <algorithm>
#include <cstring>
#include <vector>

#include "link/trace.h"
#include "platform/clock.h"
#include "platform/pump.h"
#include "platform/stop.h"
#include "transport/hid_device.h"

namespace {

constexpr DWORD kTaggedReportLen = 64;
constexpr DWORD kCountedReportLen = 65;
constexpr DWORD kSegmentPayload = 63;
constexpr std::uint64_t kRawWriteWaitMs = 100;
constexpr std::uint64_t kCountedWriteWaitMs = 1000;
constexpr std::uint64_t kCountedMissPauseMs = 50;
constexpr int kCountedMaxMisses = 5;
constexpr std::uint64_t kFeaturePauseMs = 5;
constexpr std::uint64_t kFeatureTailMs = 25;
constexpr DWORD kMaxTaggedGathered = 4096;
// Reports a tagged read looks at for one frame, taken or thrown away: twice
// what the largest frame it accepts (4096 bytes, 66 reports) needs. A device
// that streams reports without ever finishing a frame is let go after that.
constexpr unsigned kMaxTaggedReports = 2 * ((kMaxTaggedGathered + kSegmentPayload - 1) / kSegmentPayload);
// With a callback, a polling pass blocks at most plat::kPumpSliceMs before
// the callback (the window thread's event pump) runs again.
using plat::kPumpSliceMs;

void ResetEvent(CHidEvent* e) {
  if (e) e->bSignalled = false;
}
void SignalEvent(CHidEvent* e) {
  if (e) e->bSignalled = true;
}

constexpr trace::Link kLink = trace::Link::Usb;

// How a report transfer ended, in the trace's words.
const char* IoText(plat::HidIo r) {
  switch (r) {
    case plat::HidIo::Ok: return "ok";
    case plat::HidIo::Timeout: return "time-out";
    case plat::HidIo::Retry: return "interrupted";
    case plat::HidIo::EndOfFile: return "end of file";
    case plat::HidIo::Gone: return "device gone";
    case plat::HidIo::Error: return "error";
    case plat::HidIo::Stopped: return "stop";
  }
  return "error";
}

const char* Plural(DWORD n) { return n == 1 ? "" : "s"; }

// Pauses between reports; false when a stop request cut the pause short.
bool Pause(std::uint64_t ms) { return plat::Clock().SleepUntil(plat::NowMs() + ms); }

// End of one polling pass of a timed transfer.
std::uint64_t PassEnd(std::uint64_t deadline, PFN_EXCHANGE_CALLBACK pfnCallback) {
  if (!pfnCallback) return deadline;
  return std::min(deadline, plat::NowMs() + kPumpSliceMs);
}

}  // namespace

void CHidDevice::SetLayout(bool bV3) {
  m_nHdrBase = m_nReportMode == 1 ? 10 : 11;
  m_nStatusIdx = m_nHdrBase + (bV3 ? 2 : 1);
  m_nLenHiIdx = m_nHdrBase + (bV3 ? 3 : 2);
  m_nLenLoIdx = m_nHdrBase + (bV3 ? 4 : 3);
  m_nFrameOverhead = bV3 ? 17 : 16;
}

void CHidDevice::SetV2Layout() { SetLayout(false); }
void CHidDevice::SetV3Layout() { SetLayout(true); }

DWORD CHidDevice::SendAndGetResponseUSBHID(const BYTE* pSendData, DWORD dwSendDataSize, BYTE* pResponseData,
                                           DWORD dwResponseSize, DWORD dwTimeout, PFN_EXCHANGE_CALLBACK pfnCallback) {
  if (!pSendData || !pResponseData || dwSendDataSize == 0) {
    trace::NoAnswerBecause("no buffer");
    return 0;
  }
  if (!m_hDevice) {
    trace::NoAnswerBecause("link closed");
    return 0;
  }
  // A run being stopped sends nothing more.
  if (plat::Stop().Requested()) {
    trace::NoAnswerBecause("stop");
    return 0;
  }

  bool bWritten;
  if (m_nReportMode == 1) {
    const DWORD L = m_caps.FeatureReportByteLength;
    const DWORD n = L > 1 ? (dwSendDataSize + L - 2) / (L - 1) : 0;
    TRACE_EVENT(kLink, "out: %u feature report%s of %u bytes, %llu ms apart, %llu ms after the last", n, Plural(n), L,
                static_cast<unsigned long long>(kFeaturePauseMs), static_cast<unsigned long long>(kFeatureTailMs));
    bWritten = WriteFeatureReports(pSendData, dwSendDataSize, pfnCallback) > 0;
  } else if (m_caps.OutputReportByteLength == kCountedReportLen) {
    const DWORD n = (dwSendDataSize + kSegmentPayload - 1) / kSegmentPayload;
    TRACE_EVENT(kLink, "out: %u counted output report%s of %u bytes", n, Plural(n), kCountedReportLen);
    bWritten = WriteCountedReports(pSendData, dwSendDataSize) > 0;
  } else if (m_bTaggedReports) {
    const DWORD n = (dwSendDataSize + kSegmentPayload - 1) / kSegmentPayload;
    TRACE_EVENT(kLink, "out: %u tagged output report%s of %u bytes", n, Plural(n), kTaggedReportLen);
    // A request cut short is no request: waiting for its answer would only
    // hold the exchange for the whole read time-out.
    bWritten = WriteTaggedReports(pSendData, dwSendDataSize, dwTimeout, pfnCallback) >= dwSendDataSize;
  } else {
    const DWORD n = (dwSendDataSize + kTaggedReportLen - 1) / kTaggedReportLen;
    TRACE_EVENT(kLink, "out: %u raw output report%s of %u bytes", n, Plural(n),
                static_cast<DWORD>(m_caps.OutputReportByteLength));
    bWritten = WriteRawReports(pSendData, dwSendDataSize) > 0;
  }
  if (!bWritten) {
    if (trace::On()) trace::NoAnswerBecause(plat::Stop().Requested() ? "stop" : "request not sent");
    return 0;
  }

  // Mark the status byte and the one after it (by the layout of the last
  // frame seen) so that a response that never comes fails every check.
  const DWORD dwStatus = m_nFrameOverhead == 17 ? 12 : 11;
  for (DWORD i = dwStatus; i < dwStatus + 2 && i < dwResponseSize; ++i) pResponseData[i] = 0xFF;

  if (m_nReportMode == 1) {
    const int n = ReadFeatureFrame(pResponseData, dwResponseSize, dwTimeout, pfnCallback);
    return n > 0 ? static_cast<DWORD>(n) : 0;
  }
  if (m_caps.InputReportByteLength == kCountedReportLen) {
    // The wait for each counted report is the capacity taken as milliseconds.
    return ReadCountedReports(pResponseData, dwResponseSize, dwResponseSize);
  }
  DWORD dwSize = dwResponseSize;
  ReadTaggedFrame(pResponseData, &dwSize, dwTimeout, pfnCallback);
  return dwSize;
}

int CHidDevice::WriteRawReports(const BYTE* pFrame, DWORD dwLen) {
  const DWORD dwOut = m_caps.OutputReportByteLength;
  const DWORD nReports = (dwLen + kTaggedReportLen - 1) / kTaggedReportLen;
  // A device with longer output reports gets the rest of each report as zeros.
  std::vector<BYTE> report(std::max<DWORD>(dwOut, kTaggedReportLen));
  for (DWORD i = 0; i < nReports; ++i) {
    if (!m_hDevice) return 0;
    std::fill(report.begin(), report.end(), 0);
    const DWORD off = i * kTaggedReportLen;
    std::memcpy(report.data(), pFrame + off, std::min(kTaggedReportLen, dwLen - off));
    m_ov.Offset = m_ov.OffsetHigh = 0;
    m_ov.hEvent = m_hIoEvent.get();
    size_t written = 0;
    const plat::HidIo r = m_hDevice->WriteReport(report.data(), dwOut, &written, plat::NowMs() + kRawWriteWaitMs);
    // Not out within the wait, or stopped: give up. Any other failure is
    // passed over and the next report follows.
    if (r == plat::HidIo::Timeout || r == plat::HidIo::Stopped) {
      TRACE_EVENT(kLink, "output report %u of %u not taken (%s), request given up", i + 1, nReports, IoText(r));
      return 0;
    }
    if (r == plat::HidIo::Ok) {
      ResetEvent(m_hIoEvent.get());
    } else {
      TRACE_EVENT(kLink, "output report %u of %u failed (%s), passed over", i + 1, nReports, IoText(r));
    }
  }
  return 1;
}

int CHidDevice::WriteCountedReports(const BYTE* pFrame, DWORD dwLen) {
  const DWORD nReports = (dwLen + kSegmentPayload - 1) / kSegmentPayload;
  BYTE report[kCountedReportLen];
  for (DWORD i = 0; i < nReports; ++i) {
    if (!m_hDevice) return 0;
    std::memset(report, 0, sizeof report);
    const DWORD off = i * kSegmentPayload;
    const DWORD n = std::min(kSegmentPayload, dwLen - off);
    report[1] = static_cast<BYTE>(i + 1 < nReports ? 0x80 | kSegmentPayload : n);
    std::memcpy(report + 2, pFrame + off, n);
    m_ov.Offset = m_ov.OffsetHigh = 0;
    m_ov.hEvent = m_hIoEvent.get();
    size_t written = 0;
    const plat::HidIo r =
        m_hDevice->WriteReport(report, kCountedReportLen, &written, plat::NowMs() + kCountedWriteWaitMs);
    if (r == plat::HidIo::Stopped) return 0;
    if (r != plat::HidIo::Ok) {
      // A device that does not take a report is given up: only the handle
      // goes; identity, mode and events stay until the next Open.
      TRACE_EVENT(kLink, "output report %u of %u not taken (%s), device handle closed", i + 1, nReports, IoText(r));
      m_hDevice.reset();
      return 0;
    }
    ResetEvent(m_hIoEvent.get());
  }
  return 1;
}

DWORD CHidDevice::WriteTaggedReports(const BYTE* pFrame, DWORD dwLen, DWORD dwTimeout,
                                     PFN_EXCHANGE_CALLBACK pfnCallback) {
  const DWORD nReports = (dwLen + kSegmentPayload - 1) / kSegmentPayload;
  BYTE report[kTaggedReportLen];
  BYTE tag = nReports == 1 ? 1 : 2;
  DWORD sent = 0;
  for (DWORD i = 0; i < nReports; ++i) {
    std::memset(report, 0, sizeof report);
    report[0] = tag;
    const DWORD n = std::min(kSegmentPayload, dwLen - sent);
    std::memcpy(report + 1, pFrame + sent, n);
    if (WriteReportTimed(report, kTaggedReportLen, dwTimeout, pfnCallback) < kTaggedReportLen) {
      TRACE_EVENT(kLink, "output report %u of %u not taken, request given up", i + 1, nReports);
      return sent;
    }
    sent += n;
    tag = nReports - i - 1 > 1 ? 3 : 4;
  }
  return sent;
}

// Win32 conditions and ours: a pass that ends without the report written
// (Timeout) is the pending write polled again; Retry (EINTR, EAGAIN, ENOMEM,
// ENOBUFS) is the aborted or out-of-memory write issued again; everything
// else fails the transfer.
DWORD CHidDevice::WriteReportTimed(const BYTE* pReport, DWORD dwLen, DWORD dwTimeout,
                                   PFN_EXCHANGE_CALLBACK pfnCallback) {
  if (dwLen != kTaggedReportLen) return 0;
  m_ov = CHidOverlapped{};
  m_ov.hEvent = m_hWriteEvent.get();
  ResetEvent(m_hWriteEvent.get());
  if (!m_hDevice) return 0;

  const std::uint64_t deadline = plat::NowMs() + dwTimeout;
  const char* pszEnd = "time-out";  // why the report did not go out, for the trace
  for (;;) {
    if (pfnCallback && pfnCallback() != 0) {
      pszEnd = "ended by the event callback";
      break;
    }
    if (plat::Stop().Requested()) {
      pszEnd = "stop";
      break;
    }
    size_t written = 0;
    const plat::HidIo r = m_hDevice->WriteReport(pReport, dwLen, &written, PassEnd(deadline, pfnCallback));
    bool bEnd = false;
    if (r == plat::HidIo::Ok) {
      m_ov.Offset += static_cast<DWORD>(written);
      if (m_ov.Offset >= kTaggedReportLen) {
        SignalEvent(m_hWriteEvent.get());
        bEnd = true;
      }
      // Fewer bytes taken: the whole report goes again on the next pass.
    } else if (r != plat::HidIo::Timeout && r != plat::HidIo::Retry) {
      pszEnd = IoText(r);
      bEnd = true;
    }
    if (plat::RemainingMs(deadline) <= 1) break;
    if (bEnd) break;
  }
  if (m_ov.Offset < kTaggedReportLen) {
    TRACE_EVENT(kLink, "output report of %u bytes not taken (%s)", dwLen, pszEnd);
  }
  return m_ov.Offset;
}

DWORD CHidDevice::WriteFeatureReports(const BYTE* pFrame, DWORD dwLen, PFN_EXCHANGE_CALLBACK pfnCallback) {
  const DWORD L = m_caps.FeatureReportByteLength;
  // A feature report must carry at least one frame byte after its ID byte.
  if (L < 2 || !m_hDevice) return 0;
  std::vector<BYTE> report(L);
  for (DWORD off = 0; off < dwLen; off += L - 1) {
    std::fill(report.begin(), report.end(), 0);
    std::memcpy(report.data() + 1, pFrame + off, std::min(L - 1, dwLen - off));
    m_hDevice->SetFeature(report.data(), L);  // the device's answer tells nothing here
    if (!Pause(kFeaturePauseMs)) return 0;
    if (pfnCallback) pfnCallback();
  }
  if (!Pause(kFeatureTailMs)) return 0;
  return dwLen;
}

DWORD CHidDevice::ReadCountedReports(BYTE* pResp, DWORD dwCap, DWORD dwWaitMs) {
  DWORD gathered = 0;
  int misses = 0;
  const DWORD dwIn = std::max<DWORD>(m_caps.InputReportByteLength, 2);
  std::vector<BYTE> report(dwIn);
  DWORD full = 0, empty = 0;  // reads with and without payload, for the trace
  auto end = [&](const char* pszEnd) {
    if (empty == 0) {
      TRACE_EVENT(kLink, "in: %u counted input report%s of %u bytes: %s", full, Plural(full), dwIn, pszEnd);
    } else {
      TRACE_EVENT(kLink,
                  "in: %u counted input report%s of %u bytes, %u read%s without payload "
                  "(%llu ms pause after each): %s",
                  full, Plural(full), dwIn, empty, Plural(empty),
                  static_cast<unsigned long long>(kCountedMissPauseMs), pszEnd);
    }
    if (gathered == 0) trace::NoAnswerBecause(pszEnd);
    return gathered;
  };
  for (;;) {
    if (plat::Stop().Requested()) return end("stop");
    if (!m_hDevice) return end("link closed");
    ResetEvent(m_hIoEvent.get());
    m_ov.Offset = m_ov.OffsetHigh = 0;
    m_ov.hEvent = m_hIoEvent.get();
    size_t got = 0;
    const plat::HidIo r = m_hDevice->ReadReport(report.data(), dwIn, &got, plat::NowMs() + dwWaitMs);
    if (r == plat::HidIo::Stopped) return end("stop");
    // A report without payload counts as a miss like silence does, so every
    // report that keeps the read going brings at least one byte and the read
    // ends at the capacity at the latest.
    const DWORD count = (r == plat::HidIo::Ok && got >= 2) ? report[1] : 0;
    DWORD n = count & 0x7F;
    if (n != 0) {
      SignalEvent(m_hIoEvent.get());
      // Never more than the report holds, never more than the capacity left.
      n = std::min<DWORD>({n, kSegmentPayload, static_cast<DWORD>(got) - 2});
      const DWORD take = std::min(n, dwCap - gathered);
      std::memcpy(pResp + gathered, report.data() + 2, take);
      gathered += take;
      misses = 0;
      ++full;
      if (!(count & 0x80)) return end("frame complete");
      // More announced but no room left: the frame is longer than the
      // caller can take; what fits is returned.
      if (gathered >= dwCap) return end("capacity full");
      continue;
    }
    ++empty;
    if (++misses >= kCountedMaxMisses) return end("time-out");
    if (!Pause(kCountedMissPauseMs)) return end("stop");
  }
}

void CHidDevice::ReadTaggedFrame(BYTE* pResp, DWORD* pdwSize, DWORD dwTimeout, PFN_EXCHANGE_CALLBACK pfnCallback) {
  DWORD capLeft = *pdwSize;
  *pdwSize = 0;
  BYTE prevTag = 0;
  DWORD gathered = 0;
  BYTE report[kTaggedReportLen];
  DWORD taken = 0, passed = 0;  // reports in, for the trace
  auto traceIn = [&](const char* pszEnd) {
    if (passed == 0) {
      TRACE_EVENT(kLink, "in: %u tagged input report%s of %u bytes: %s", taken, Plural(taken), kTaggedReportLen,
                  pszEnd);
    } else {
      TRACE_EVENT(kLink, "in: %u tagged input report%s of %u bytes taken, %u passed over: %s", taken, Plural(taken),
                  kTaggedReportLen, passed, pszEnd);
    }
  };
  for (unsigned nReports = 0; nReports < kMaxTaggedReports; ++nReports) {
    DWORD len = sizeof report;
    if (!ReadReportTimed(report, &len, dwTimeout, pfnCallback) || len < kTaggedReportLen) {
      traceIn("no whole report");
      return;
    }

    const BYTE tag = report[0];
    // First reports only before anything was taken, later ones only right
    // after a first or middle report; unknown tags are taken (and give nothing).
    const bool bTake = (tag == 1 || tag == 2)   ? prevTag == 0
                       : (tag == 3 || tag == 4) ? prevTag == 2 || prevTag == 3
                                                : true;
    if (!bTake) {
      ++passed;
      continue;
    }
    ++taken;

    prevTag = tag;
    DWORD n = capLeft;
    // A frame that cannot be taken whole ends the read without a response.
    if (!TakeTaggedPayload(report, pResp + gathered, &n)) {
      traceIn("frame cannot be taken whole");
      trace::NoAnswerBecause("frame does not fit");
      return;
    }
    gathered += n;
    capLeft -= n;
    if (tag == 1 || tag == 4) {
      *pdwSize = gathered;
      traceIn("frame complete");
      return;
    }
    if (gathered >= kMaxTaggedGathered) {
      traceIn("frame too long");
      trace::NoAnswerBecause("frame too long");
      return;
    }
  }
  traceIn("too many reports without a whole frame");
  trace::NoAnswerBecause("no whole frame");
}

bool CHidDevice::TakeTaggedPayload(const BYTE* pReport, BYTE* pDest, DWORD* pdwCount) {
  const DWORD capLeft = *pdwCount;
  *pdwCount = 0;
  const BYTE tag = pReport[0];
  if (tag == 1 || tag == 2) {
    SetLayout(pReport[m_nVerIdx] == '3');
    const DWORD frameLen = 256u * pReport[m_nLenHiIdx] + pReport[m_nLenLoIdx] + m_nFrameOverhead;
    if (frameLen > capLeft) return false;
    if (tag == 1) {
      // A single report holds 63 frame bytes; a "whole frame" announcing
      // more is not one.
      if (frameLen > kSegmentPayload) return false;
      std::memcpy(pDest, pReport + 1, frameLen);
      *pdwCount = frameLen;
      return true;
    }
    if (capLeft < kSegmentPayload) return false;
    std::memcpy(pDest, pReport + 1, kSegmentPayload);
    *pdwCount = kSegmentPayload;
    m_dwFrameRemain = frameLen > kSegmentPayload ? frameLen - kSegmentPayload : 0;
    return true;
  }
  if (tag == 3) {
    if (capLeft < kSegmentPayload) return false;
    std::memcpy(pDest, pReport + 1, kSegmentPayload);
    *pdwCount = kSegmentPayload;
    if (m_dwFrameRemain >= kSegmentPayload) m_dwFrameRemain -= kSegmentPayload;
    return true;
  }
  if (tag == 4) {
    // The last report cannot carry more than 63 bytes: frame cut short.
    if (m_dwFrameRemain > kSegmentPayload || m_dwFrameRemain > capLeft) return false;
    std::memcpy(pDest, pReport + 1, m_dwFrameRemain);
    *pdwCount = m_dwFrameRemain;
    return true;
  }
  return true;
}

// Win32 conditions and ours for reads: a pass that ends without a report
// (Timeout) is the pending read polled again; there is no read left
// outstanding between passes, so the cancel-and-reissue after eleven polls
// needs no counterpart; Retry is the aborted read issued anew; EndOfFile is
// end of file; Gone, Error and Stopped fail the transfer.
int CHidDevice::ReadReportTimed(BYTE* pReport, DWORD* pdwLen, DWORD dwTimeout, PFN_EXCHANGE_CALLBACK pfnCallback) {
  m_ov = CHidOverlapped{};
  m_ov.hEvent = m_hIoEvent.get();
  ResetEvent(m_hIoEvent.get());
  const DWORD dwLen = std::min<DWORD>(m_caps.InputReportByteLength, *pdwLen);
  int result = 0;
  if (!m_hDevice || !pReport || dwLen == 0) {
    *pdwLen = 0;
    return 0;
  }

  const std::uint64_t deadline = plat::NowMs() + dwTimeout;
  const char* pszEnd = "time-out";  // why no report came, for the trace
  for (;;) {
    if (pfnCallback && pfnCallback() != 0) {
      pszEnd = "ended by the event callback";
      break;
    }
    if (plat::Stop().Requested()) {
      pszEnd = "stop";
      break;
    }
    size_t got = 0;
    const plat::HidIo r = m_hDevice->ReadReport(pReport, dwLen, &got, PassEnd(deadline, pfnCallback));
    bool bEnd = false;
    if (r == plat::HidIo::Ok) {
      // Each read fills the buffer from its start; the count only says
      // whether a whole report has come.
      m_ov.Offset += static_cast<DWORD>(got);
      if (m_ov.Offset >= dwLen) {
        SignalEvent(m_hIoEvent.get());
        result = 1;
        bEnd = true;
      }
    } else if (r != plat::HidIo::Timeout && r != plat::HidIo::Retry) {
      pszEnd = IoText(r);
      bEnd = true;
    }
    // The time check before the end test: a report that came in the pass
    // that used up the time still counts.
    if (plat::RemainingMs(deadline) <= 1) break;
    if (bEnd) break;
  }
  if (!result) {
    TRACE_EVENT(kLink, "no input report of %u bytes (%s)", dwLen, pszEnd);
    trace::NoAnswerBecause(pszEnd);
  }
  *pdwLen = std::min(m_ov.Offset, dwLen);
  return result;
}

int CHidDevice::ReadFeatureFrame(BYTE* pResp, DWORD dwCap, DWORD dwTimeout, PFN_EXCHANGE_CALLBACK pfnCallback) {
  const DWORD L = m_caps.FeatureReportByteLength;
  if (L < 2 || !pResp || dwCap == 0) return 0;
  std::memset(pResp, 0, dwCap);
  // Header bytes outside the capacity read as zero.
  auto at = [&](int i) -> BYTE { return i >= 0 && static_cast<DWORD>(i) < dwCap ? pResp[i] : 0; };
  auto layoutFromFrame = [&] { SetLayout(at(8) == '3'); };

  std::vector<BYTE> report(L);
  DWORD received = 0;
  DWORD pos = 0;
  bool bHeader = false;
  int nRxPkgLen = 0;
  DWORD nReports = 0;  // for the trace
  for (;;) {
    // No time-out of its own: the loop ends by the announced length or the
    // capacity, and a stop request ends it too.
    if (plat::Stop().Requested()) break;
    ++nReports;
    std::fill(report.begin(), report.end(), 0);
    if (m_hDevice) m_hDevice->GetFeature(report.data(), L);  // stale or zero bytes count as read, as ever
    if (pfnCallback) pfnCallback();
    std::memcpy(pResp + pos, report.data() + 1, std::min(L - 1, dwCap - pos));
    received += L - 1;

    if (!bHeader && received >= static_cast<DWORD>(m_nHdrBase) + 4) bHeader = true;
    bool bDone = false;
    if (bHeader) {
      layoutFromFrame();
      nRxPkgLen = 256 * at(m_nLenHiIdx) + at(m_nLenLoIdx) + m_nFrameOverhead;
      bDone = received >= static_cast<DWORD>(nRxPkgLen);
    }
    pos += L - 1;
    if (pos >= dwCap || bDone) break;
  }
  layoutFromFrame();
  // Only a frame that arrived whole and fits the buffer is a response: a
  // frame announced longer than the capacity, or one cut off by a stop, is not.
  const bool bWhole = bHeader && received >= static_cast<DWORD>(nRxPkgLen) && static_cast<DWORD>(nRxPkgLen) <= dwCap;
  if (trace::On()) {
    const char* pszEnd = bWhole                                            ? "frame complete"
                         : plat::Stop().Requested()                        ? "stop"
                         : bHeader && static_cast<DWORD>(nRxPkgLen) > dwCap ? "frame longer than the capacity"
                                                                             : "no whole frame";
    TRACE_EVENT(kLink, "in: %u feature report%s of %u bytes, frame announced %d bytes: %s", nReports, Plural(nReports),
                L, bHeader ? nRxPkgLen : 0, pszEnd);
    if (!bWhole) trace::NoAnswerBecause(pszEnd);
  }
  return bWhole ? nRxPkgLen : 0;
}

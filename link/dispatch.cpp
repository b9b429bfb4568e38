#include "link/dispatch.h"

#include "link/commands.h"
#include "link/trace.h"
#include "platform/clock.h"
#include "platform/pump.h"
#include "platform/stop.h"
#include "transport/hid_device.h"
#include "transport/rs232_port.h"

namespace {
// A ping that fails at once (device closed) is tried again after this long,
// instead of back to back, so a pinging wait never spins.
constexpr std::uint64_t kPingRetryMs = 50;

// The end of every exchange of this thread; none by default.
thread_local std::uint64_t t_nExchangeDeadline = UINT64_MAX;

trace::Link LinkOf(int nInterface) { return nInterface == kInterfaceRs232 ? trace::Link::Rs232 : trace::Link::Usb; }

// How a wait ended, where the trace would not show it otherwise: cut short by
// a stop request, or (pinging) over without an answer.
void TraceWaitEnd(bool bPing) {
  if (!trace::On()) return;
  if (plat::Stop().Requested()) {
    TRACE_EVENT(LinkOf(g_nInterface), "wait ended by a stop request");
  } else if (bPing) {
    TRACE_EVENT(LinkOf(g_nInterface), "wait over, no ping answered");
  }
}
}  // namespace

ScopedExchangeDeadline::ScopedExchangeDeadline(std::uint64_t nDeadlineMs) : m_nPrevious(t_nExchangeDeadline) {
  if (nDeadlineMs < t_nExchangeDeadline) t_nExchangeDeadline = nDeadlineMs;
}

ScopedExchangeDeadline::~ScopedExchangeDeadline() { t_nExchangeDeadline = m_nPrevious; }

DWORD ExchangeTimeoutMs() {
  if (t_nExchangeDeadline == UINT64_MAX) return kTransceiveTimeoutMs;
  const std::uint64_t nLeft = plat::RemainingMs(t_nExchangeDeadline);
  return nLeft < kTransceiveTimeoutMs ? static_cast<DWORD>(nLeft) : kTransceiveTimeoutMs;
}

void SerialTransceive(const BYTE* pReq, DWORD dwReqLen, BYTE* pResp, DWORD* pdwRespLen) {
  g_Rs232Port.SendRecvFrame(pReq, dwReqLen, pResp, pdwRespLen, ExchangeTimeoutMs(), PumpWait);
}

void HidTransceivePumped(const BYTE* pReq, DWORD dwReqLen, BYTE* pResp, DWORD* pdwRespLen) {
  *pdwRespLen = g_HidDevice.SendAndGetResponseUSBHID(pReq, dwReqLen, pResp, *pdwRespLen, ExchangeTimeoutMs(),
                                                     PumpOneMessage);
}

void HidTransceive(const BYTE* pReq, DWORD dwReqLen, BYTE* pResp, DWORD* pdwRespLen) {
  *pdwRespLen = g_HidDevice.SendAndGetResponseUSBHID(pReq, dwReqLen, pResp, *pdwRespLen, ExchangeTimeoutMs(), nullptr);
}

PFN_TRANSCEIVE const g_pfnTransceive[2] = {SerialTransceive, HidTransceivePumped};
PFN_TRANSCEIVE const g_pfnTransceivePlain[2] = {SerialTransceive, HidTransceive};

void TransceiveThrough(PFN_TRANSCEIVE const table[2], const BYTE* pReq, DWORD dwReqLen, BYTE* pResp,
                       DWORD* pdwRespLen) {
  const int sel = g_nInterface;
  if (sel != 0 && sel != 1) {
    *pdwRespLen = 0;
    return;
  }
  const trace::Link link = LinkOf(sel);
  trace::Request(link, pReq, dwReqLen);
  table[sel](pReq, dwReqLen, pResp, pdwRespLen);
  trace::Answer(link, pResp, *pdwRespLen);
}

int PumpOneMessage() {
  plat::ThreadPump().DispatchOne();
  return 0;
}

void PumpWait(DWORD dwMs, BOOL bPing) {
  if (dwMs == 0) return;
  trace::Wait(dwMs, bPing);
  const std::uint64_t end = plat::NowMs() + dwMs;
  if (!bPing) {
    plat::ThreadPump().WaitUntil(end);
    TraceWaitEnd(false);
    return;
  }
  while (plat::NowMs() < end && !plat::Stop().Requested()) {
    plat::ThreadPump().DispatchOne();
    const std::uint64_t sent = plat::NowMs();
    if (PingReader()) return;
    // Keep the events flowing between failed pings without spinning.
    std::uint64_t next = sent + kPingRetryMs;
    if (next > end) next = end;
    if (plat::NowMs() < next) plat::ThreadPump().WaitUntil(next);
  }
  TraceWaitEnd(true);
}

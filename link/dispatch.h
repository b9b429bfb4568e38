// Transceive dispatch: one exchange (request out, response back) goes to the
// serial exchange or to the USB HID report exchange, by the interface
// selector read at the moment of the exchange. Also the tool's waits.
#pragma once
#include <cstdint>

#include "link/interface_select.h"
#include "platform/types.h"

// One exchange: request, its length, response buffer, and the response
// capacity on the way in / the received frame length on the way out (0 = none).
typedef void (*PFN_TRANSCEIVE)(const BYTE* pReq, DWORD dwReqLen, BYTE* pResp, DWORD* pdwRespLen);

// Every exchange of the link gets this long.
constexpr DWORD kTransceiveTimeoutMs = 65000;

// Ends every exchange of the calling thread by an absolute time on the
// process clock, for as long as the object lives: a look for a reader that
// may still be restarting (readerctl --wait) must not wait for a ping's
// answer for the link's whole time-out. Nested ones keep the earlier end.
class ScopedExchangeDeadline {
 public:
  explicit ScopedExchangeDeadline(std::uint64_t nDeadlineMs);
  ~ScopedExchangeDeadline();
  ScopedExchangeDeadline(const ScopedExchangeDeadline&) = delete;
  ScopedExchangeDeadline& operator=(const ScopedExchangeDeadline&) = delete;

 private:
  std::uint64_t m_nPrevious;
};
// The time an exchange that starts now gets: kTransceiveTimeoutMs, or what is
// left before the calling thread's ScopedExchangeDeadline.
DWORD ExchangeTimeoutMs();

void SerialTransceive(const BYTE* pReq, DWORD dwReqLen, BYTE* pResp, DWORD* pdwRespLen);
void HidTransceivePumped(const BYTE* pReq, DWORD dwReqLen, BYTE* pResp, DWORD* pdwRespLen);
void HidTransceive(const BYTE* pReq, DWORD dwReqLen, BYTE* pResp, DWORD* pdwRespLen);

// Indexed by g_nInterface: the pumping table (HID exchanges dispatch the
// thread's events while they wait) and the plain one.
extern PFN_TRANSCEIVE const g_pfnTransceive[2];
extern PFN_TRANSCEIVE const g_pfnTransceivePlain[2];

// Runs the entry of `table` for the selected interface. An out-of-range
// selector is treated as "no response".
void TransceiveThrough(PFN_TRANSCEIVE const table[2], const BYTE* pReq, DWORD dwReqLen, BYTE* pResp,
                       DWORD* pdwRespLen);

// Dispatches at most one pending event of the calling thread; always 0, so
// the HID transfers that take it as their callback go on.
int PumpOneMessage();

// Waits dwMs while the calling thread's events flow. With bPing, pings the
// reader until one ping is answered, and returns at that answer. Ends early
// on a stop request.
void PumpWait(DWORD dwMs, BOOL bPing);

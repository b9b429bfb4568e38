// Serial lines on Windows: "\\.\COMn" opened exclusively (share mode 0) and
// overlapped, one OVERLAPPED with its own manual-reset event per direction.
// The driver applies the time-outs record itself (SetCommTimeouts); the wait
// for a transfer also watches the stop event and the deadline that the
// shared read plan computes, so a stop or a driver that overstays its
// time-out ends the transfer with CancelIoEx. A transfer never outlives the
// call that started it, so no read or write is ever left pending.
#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "platform/clock.h"
#include "platform/com_port.h"
#include "platform/pump.h"
#include "platform/serial.h"
#include "platform/stop.h"
#include "platform/win32/win32_text.h"
#include "platform/win32/win32_wait.h"

namespace plat {
namespace {

using win32::IoWait;
using win32::kNoDeadline;

SerialError MakeError(SerialErrorKind kind, DWORD dwCode) {
  return {kind, static_cast<long>(dwCode), dwCode ? win32::SystemMessage(dwCode) : std::string()};
}

// Rates the Windows serial drivers name (CBR_*) and the higher ones common
// USB adapters set exactly. Whether a given port takes one is checked by
// reading the rate back after setting it.
constexpr DWORD kStandardRates[] = {110,   300,   600,    1200,   2400,   4800,   9600,   14400,  19200,
                                    38400, 56000, 57600,  115200, 128000, 230400, 256000, 460800, 921600};

void ToDcb(const SerialDcb& s, DCB* d) {
  d->BaudRate = s.BaudRate;
  d->fBinary = 1;  // Windows supports no other mode
  d->fParity = (s.Flags & kDcbParity) != 0;
  d->fOutxCtsFlow = (s.Flags & kDcbOutxCtsFlow) != 0;
  d->fOutxDsrFlow = (s.Flags & kDcbOutxDsrFlow) != 0;
  d->fDtrControl = DtrControl(s);
  d->fDsrSensitivity = (s.Flags & kDcbDsrSensitivity) != 0;
  d->fTXContinueOnXoff = (s.Flags & kDcbTxContinueOnXoff) != 0;
  d->fOutX = (s.Flags & kDcbOutX) != 0;
  d->fInX = (s.Flags & kDcbInX) != 0;
  d->fErrorChar = (s.Flags & kDcbErrorChar) != 0;
  d->fNull = (s.Flags & kDcbNull) != 0;
  d->fRtsControl = RtsControl(s);
  d->fAbortOnError = (s.Flags & kDcbAbortOnError) != 0;
  d->ByteSize = s.ByteSize;
  d->Parity = s.Parity;
  d->StopBits = s.StopBits;
}

SerialDcb FromDcb(const DCB& d) {
  SerialDcb s;
  s.BaudRate = d.BaudRate;
  DWORD f = 0;
  if (d.fBinary) f |= kDcbBinary;
  if (d.fParity) f |= kDcbParity;
  if (d.fOutxCtsFlow) f |= kDcbOutxCtsFlow;
  if (d.fOutxDsrFlow) f |= kDcbOutxDsrFlow;
  f |= static_cast<DWORD>(d.fDtrControl) << kDcbDtrControlShift;
  if (d.fDsrSensitivity) f |= kDcbDsrSensitivity;
  if (d.fTXContinueOnXoff) f |= kDcbTxContinueOnXoff;
  if (d.fOutX) f |= kDcbOutX;
  if (d.fInX) f |= kDcbInX;
  if (d.fErrorChar) f |= kDcbErrorChar;
  if (d.fNull) f |= kDcbNull;
  f |= static_cast<DWORD>(d.fRtsControl) << kDcbRtsControlShift;
  if (d.fAbortOnError) f |= kDcbAbortOnError;
  s.Flags = f;
  s.ByteSize = d.ByteSize;
  s.Parity = d.Parity;
  s.StopBits = d.StopBits;
  return s;
}

COMMTIMEOUTS ToCommTimeouts(const SerialTimeouts& t) {
  COMMTIMEOUTS c{};
  c.ReadIntervalTimeout = t.ReadIntervalTimeout;
  c.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
  c.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
  c.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
  c.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
  return c;
}

class Win32SerialLine final : public ISerialLine {
 public:
  Win32SerialLine(HANDLE hComm, HANDLE hReadEvent, HANDLE hWriteEvent) : m_h(hComm) {
    m_ovRead.hEvent = hReadEvent;
    m_ovWrite.hEvent = hWriteEvent;
  }
  ~Win32SerialLine() override { Close(); }
  Win32SerialLine(const Win32SerialLine&) = delete;
  Win32SerialLine& operator=(const Win32SerialLine&) = delete;

  bool GetState(SerialDcb* pDcb) override {
    if (!IsOpen() || !pDcb) return Fail(SerialErrorKind::kInvalidArgument, ERROR_INVALID_PARAMETER);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(m_h, &dcb)) return FailLast();
    *pDcb = FromDcb(dcb);
    return Ok();
  }

  bool SetState(const SerialDcb& s) override {
    if (!IsOpen()) return Fail(SerialErrorKind::kInvalidArgument, ERROR_INVALID_HANDLE);
    if (s.ByteSize < 5 || s.ByteSize > 8) return Fail(SerialErrorKind::kInvalidArgument, ERROR_INVALID_PARAMETER);
    if (!IsStandardBaud(s.BaudRate) || s.Parity > kParitySpace || s.StopBits > kStopBitsTwo)
      return Fail(SerialErrorKind::kUnsupported, ERROR_INVALID_PARAMETER);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(m_h, &dcb)) return FailLast();
    ToDcb(s, &dcb);
    if (!SetCommState(m_h, &dcb)) {
      const DWORD e = GetLastError();
      return Fail(e == ERROR_INVALID_PARAMETER ? SerialErrorKind::kUnsupported : SerialErrorKind::kSystem, e);
    }
    // Some drivers take a rate they cannot make as the nearest one they can,
    // and say nothing: the rate and framing read back must be what was asked.
    DCB now{};
    now.DCBlength = sizeof now;
    if (!GetCommState(m_h, &now)) return FailLast();
    if (now.BaudRate != s.BaudRate || now.ByteSize != s.ByteSize || now.Parity != s.Parity ||
        now.StopBits != s.StopBits)
      return Fail(SerialErrorKind::kUnsupported, ERROR_INVALID_PARAMETER);
    return Ok();
  }

  bool SetQueues(DWORD dwIn, DWORD dwOut) override {
    if (!IsOpen()) return Fail(SerialErrorKind::kInvalidArgument, ERROR_INVALID_HANDLE);
    if (!SetupComm(m_h, dwIn, dwOut)) return FailLast();
    return Ok();
  }

  bool GetTimeouts(SerialTimeouts* pTimeouts) override {
    if (!IsOpen() || !pTimeouts) return Fail(SerialErrorKind::kInvalidArgument, ERROR_INVALID_PARAMETER);
    *pTimeouts = m_timeouts;
    return Ok();
  }

  bool SetTimeouts(const SerialTimeouts& timeouts) override {
    if (!IsOpen()) return Fail(SerialErrorKind::kInvalidArgument, ERROR_INVALID_HANDLE);
    COMMTIMEOUTS c = ToCommTimeouts(timeouts);
    if (!SetCommTimeouts(m_h, &c)) return FailLast();
    m_timeouts = timeouts;
    return Ok();
  }

  bool Purge(DWORD dwFlags) override {
    if (!IsOpen()) return Fail(SerialErrorKind::kInvalidArgument, ERROR_INVALID_HANDLE);
    // The kPurge* bits are the PURGE_* bits of PurgeComm.
    if (dwFlags && !PurgeComm(m_h, dwFlags)) return FailLast();
    return Ok();
  }

  bool Read(BYTE* pBuf, DWORD dwMax, DWORD* pdwRead) override {
    if (pdwRead) *pdwRead = 0;
    if (!IsOpen() || !pdwRead || (!pBuf && dwMax))
      return Fail(SerialErrorKind::kInvalidArgument, ERROR_INVALID_PARAMETER);
    if (dwMax == 0) return Ok();
    if (Stop().Requested()) return Fail(SerialErrorKind::kStopped, ERROR_OPERATION_ABORTED);
    const SerialReadPlan plan = PlanSerialRead(m_timeouts, dwMax);
    // "At once" is a deadline of now: a driver that leaves such a read
    // pending (Wine does) has it cancelled with what was queued.
    const std::uint64_t deadline = plan.bImmediate  ? NowMs()
                                   : plan.bHasTotal ? NowMs() + plan.totalMs
                                                    : kNoDeadline;
    ResetEvent(m_ovRead.hEvent);
    if (!ReadFile(m_h, pBuf, dwMax, nullptr, &m_ovRead)) {
      const DWORD e = GetLastError();
      // A read ended at once by its time-out (Wine says so with ERROR_TIMEOUT).
      if (e == ERROR_TIMEOUT) return Ok();
      if (e != ERROR_IO_PENDING) return Fail(SerialErrorKind::kSystem, e);
    }
    return Finish(&m_ovRead, deadline, pdwRead);
  }

  bool Write(const BYTE* pBuf, DWORD dwLen, DWORD* pdwWritten) override {
    if (pdwWritten) *pdwWritten = 0;
    if (!IsOpen() || !pdwWritten || (!pBuf && dwLen))
      return Fail(SerialErrorKind::kInvalidArgument, ERROR_INVALID_PARAMETER);
    if (dwLen == 0) return Ok();
    if (Stop().Requested()) return Fail(SerialErrorKind::kStopped, ERROR_OPERATION_ABORTED);
    std::uint64_t limit = 0;
    const std::uint64_t deadline = SerialWriteLimit(m_timeouts, dwLen, &limit) ? NowMs() + limit : kNoDeadline;
    ResetEvent(m_ovWrite.hEvent);
    if (!WriteFile(m_h, pBuf, dwLen, nullptr, &m_ovWrite)) {
      const DWORD e = GetLastError();
      if (e == ERROR_TIMEOUT) return TimedOutWrite();
      if (e != ERROR_IO_PENDING) return Fail(SerialErrorKind::kSystem, e);
    }
    if (!Finish(&m_ovWrite, deadline, pdwWritten)) return false;
    // Cut short by the write time-out: the shorter count is the result.
    if (*pdwWritten < dwLen) return TimedOutWrite();
    return Ok();
  }

  void Close() override {
    if (!IsOpen()) return;
    // Transfers end before their calls return; this only guards against a
    // driver still holding one.
    CancelIoEx(m_h, nullptr);
    CloseHandle(m_h);
    m_h = INVALID_HANDLE_VALUE;
    CloseHandle(m_ovRead.hEvent);
    CloseHandle(m_ovWrite.hEvent);
    m_ovRead.hEvent = m_ovWrite.hEvent = nullptr;
  }

  SerialError LastError() const override { return m_lastError; }

 private:
  bool IsOpen() const { return m_h != INVALID_HANDLE_VALUE; }
  bool Ok() {
    m_lastError = {};
    return true;
  }
  bool Fail(SerialErrorKind kind, DWORD dwCode) {
    m_lastError = MakeError(kind, dwCode);
    return false;
  }
  bool FailLast() { return Fail(SerialErrorKind::kSystem, GetLastError()); }
  bool TimedOutWrite() {
    m_lastError = MakeError(SerialErrorKind::kTimeout, ERROR_TIMEOUT);
    return true;
  }

  // Waits for the transfer on pOv to end, by itself (the driver's time-outs
  // included), by the deadline, or by a stop; *pdwDone is the byte count in
  // every case. On a thread with an event pump the wait blocks at most
  // kPumpSliceMs at a time and dispatches that thread's events in between,
  // so a window keeps painting through the time-outs; the deadline stays.
  bool Finish(OVERLAPPED* pOv, std::uint64_t deadline, DWORD* pdwDone) {
    const bool bPump = ThreadPumpInstalled();
    for (;;) {
      const std::uint64_t until = bPump ? std::min(deadline, NowMs() + kPumpSliceMs) : deadline;
      DWORD dwWaitError = 0;
      const IoWait w = win32::WaitForEvent(pOv->hEvent, until, &dwWaitError);
      if (w == IoWait::Ready) break;
      if (w == IoWait::Timeout && NowMs() < deadline) {
        ThreadPump().DispatchOne();
        continue;
      }
      win32::CancelAndCollect(m_h, pOv, pdwDone);
      switch (w) {
        case IoWait::Stopped: return Fail(SerialErrorKind::kStopped, ERROR_OPERATION_ABORTED);
        case IoWait::Error: return Fail(SerialErrorKind::kSystem, dwWaitError);
        default: return Ok();  // ended by its time-out, with what moved
      }
    }
    DWORD n = 0;
    const BOOL bDone = GetOverlappedResult(m_h, pOv, &n, FALSE);
    *pdwDone = n;
    if (!bDone) {
      const DWORD e = GetLastError();
      // Windows completes a timed-out read with success and the bytes that
      // came; Wine fails it with ERROR_TIMEOUT. Both are a time-out.
      if (e != ERROR_TIMEOUT) return Fail(SerialErrorKind::kSystem, e);
    }
    return Ok();
  }

  HANDLE m_h;
  OVERLAPPED m_ovRead{};
  OVERLAPPED m_ovWrite{};
  SerialTimeouts m_timeouts;
  SerialError m_lastError;
};

}  // namespace

bool IsStandardBaud(DWORD dwBaud) {
  return std::find(std::begin(kStandardRates), std::end(kStandardRates), dwBaud) != std::end(kStandardRates);
}

std::unique_ptr<ISerialLine> OpenSystemSerialLine(const char* pszDevice, SerialError* pErr) {
  SerialError ignored;
  SerialError& err = pErr ? *pErr : ignored;
  const int nPort = ParseComName(pszDevice);
  if (!nPort) {
    err = MakeError(SerialErrorKind::kInvalidArgument, ERROR_INVALID_NAME);
    return nullptr;
  }
  // Share mode 0: no other program may have the port while we do; a second
  // open fails with ERROR_ACCESS_DENIED.
  HANDLE h = CreateFileW(win32::Widen(ComPortPath(nPort)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    err = MakeError(SerialErrorKind::kSystem, GetLastError());
    return nullptr;
  }
  HANDLE hRead = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE hWrite = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto fail = [&](DWORD e) {
    if (hRead) CloseHandle(hRead);
    if (hWrite) CloseHandle(hWrite);
    CloseHandle(h);
    err = MakeError(SerialErrorKind::kSystem, e);
    return nullptr;
  };
  if (!hRead || !hWrite) return fail(GetLastError());
  // Raw bytes: no flow control, no character replacement, no stop on a line
  // error. The rate and framing are left for the caller to set; the modem
  // control lines are left alone.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return fail(GetLastError());
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDsrSensitivity = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fAbortOnError = 0;
  if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE)
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) dcb.fDtrControl = DTR_CONTROL_ENABLE;
  if (!SetCommState(h, &dcb)) return fail(GetLastError());
  // The line's own time-outs record starts all zero (a read waits for all
  // it asked); the driver's must agree with it.
  COMMTIMEOUTS none{};
  if (!SetCommTimeouts(h, &none)) return fail(GetLastError());
  err = {};
  return std::make_unique<Win32SerialLine>(h, hRead, hWrite);
}

}  // namespace plat

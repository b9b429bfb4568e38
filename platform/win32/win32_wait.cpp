#include "platform/win32/win32_wait.h"

#include "platform/clock.h"
#include "platform/stop.h"

namespace plat::win32 {

HANDLE StopEvent() {
  const NativeWaitHandle h = Stop().NativeHandle();
  return h == kNoWaitHandle ? nullptr : reinterpret_cast<HANDLE>(h);
}

IoWait WaitForEvent(HANDLE hEvent, std::uint64_t deadlineMs, DWORD* pdwError) {
  HANDLE handles[2] = {hEvent, StopEvent()};
  const DWORD nHandles = handles[1] ? 2 : 1;
  for (;;) {
    if (Stop().Requested()) return IoWait::Stopped;
    DWORD dwMs = INFINITE;
    if (deadlineMs != kNoDeadline) {
      const std::uint64_t left = RemainingMs(deadlineMs);
      // Long waits wake now and then to re-read the clock.
      dwMs = static_cast<DWORD>(left > 60000 ? 60000 : left);
    }
    const DWORD r = WaitForMultipleObjects(nHandles, handles, FALSE, dwMs);
    if (r == WAIT_OBJECT_0) return IoWait::Ready;
    if (r == WAIT_OBJECT_0 + 1) return IoWait::Stopped;
    if (r == WAIT_TIMEOUT) {
      if (deadlineMs != kNoDeadline && RemainingMs(deadlineMs) == 0) return IoWait::Timeout;
      continue;
    }
    if (pdwError) *pdwError = GetLastError();
    return IoWait::Error;
  }
}

void CancelAndCollect(HANDLE hFile, OVERLAPPED* pOv, DWORD* pdwDone) {
  DWORD n = 0;
  CancelIoEx(hFile, pOv);
  // Waits for the cancel to finish: the buffer belongs to the driver until then.
  GetOverlappedResult(hFile, pOv, &n, TRUE);
  if (pdwDone) *pdwDone = n;
}

}  // namespace plat::win32

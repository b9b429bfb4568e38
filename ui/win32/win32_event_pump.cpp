#include "ui/win32/win32_event_pump.h"

#include <windows.h>

#include "platform/clock.h"
#include "platform/stop.h"

namespace {

// The dialog a message belongs to, for IsDialogMessageW: its top-level
// window when that is a dialog.
HWND DialogOf(HWND hWnd) {
  if (!hWnd) return nullptr;
  const HWND hRoot = GetAncestor(hWnd, GA_ROOT);
  if (!hRoot) return nullptr;
  wchar_t szClass[16] = L"";
  GetClassNameW(hRoot, szClass, static_cast<int>(std::size(szClass)));
  return wcscmp(szClass, L"#32770") == 0 ? hRoot : nullptr;
}

// Dispatches one message taken off the queue; false for WM_QUIT, which is
// posted again so that the loop that owns it sees it.
bool Dispatch(MSG& msg) {
  if (msg.message == WM_QUIT) {
    PostQuitMessage(static_cast<int>(msg.wParam));
    return false;
  }
  const HWND hDialog = DialogOf(msg.hwnd);
  if (hDialog && IsDialogMessageW(hDialog, &msg)) return true;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
  return true;
}

}  // namespace

void Win32EventPump::DispatchOne() {
  MSG msg;
  if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) Dispatch(msg);
}

bool Win32EventPump::DispatchPending() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (!Dispatch(msg)) return false;
    if (plat::Stop().Requested()) break;
  }
  return true;
}

void Win32EventPump::WaitUntil(std::uint64_t nDeadlineMs) {
  ++m_nDepth;
  const plat::NativeWaitHandle nStop = plat::Stop().NativeHandle();
  HANDLE hStop = nStop == plat::kNoWaitHandle ? nullptr : reinterpret_cast<HANDLE>(nStop);
  const DWORD nHandles = hStop ? 1 : 0;
  while (!plat::Stop().Requested()) {
    const std::uint64_t nLeftMs = plat::RemainingMs(nDeadlineMs);
    if (nLeftMs == 0) break;
    const DWORD nWaitMs = nLeftMs >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(nLeftMs);
    // MWMO_INPUTAVAILABLE: messages already in the queue (seen but not taken
    // by an earlier peek) wake the wait too.
    const DWORD nResult =
        MsgWaitForMultipleObjectsEx(nHandles, hStop ? &hStop : nullptr, nWaitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (nResult == WAIT_OBJECT_0 + nHandles) {
      if (!DispatchPending()) break;
    } else if (nHandles && nResult == WAIT_OBJECT_0) {
      break;  // the stop
    } else if (nResult == WAIT_TIMEOUT) {
      // The system's timer ended a little early, or the project clock is
      // not the real one: the rest is the clock's to wait (it wakes on a
      // stop).
      if (plat::RemainingMs(nDeadlineMs) > 0) plat::Clock().SleepUntil(nDeadlineMs);
    } else {
      // The wait itself failed: wait the rest on the clock rather than spin.
      plat::Clock().SleepUntil(nDeadlineMs);
      break;
    }
  }
  --m_nDepth;
}

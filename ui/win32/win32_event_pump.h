// The window thread's event pump (plat::IEventPump) on the Win32 message
// queue.
//
// The procedures that run on the window's thread ("Reset Default", the
// connect step) wait through plat::ThreadPump(). With this pump installed,
// such a wait sleeps in MsgWaitForMultipleObjectsEx on the stop event until
// its deadline, waking for every message to dispatch it, so the window keeps
// painting, its timer keeps ticking and calls from a worker (posted to the
// window) are served. A stop request ends every wait in progress at once.
//
// Keyboard messages of a dialog go through IsDialogMessageW, so Tab, Enter
// and Esc work in the window during a wait as they do in its own loop.
//
// Re-entrancy: a wait dispatches messages, so any handler may run inside it.
// The window logic disables the run controls before it waits.
#pragma once
#include <cstdint>

#include "platform/pump.h"

class Win32EventPump final : public plat::IEventPump {
 public:
  // Dispatches at most one pending message; never blocks.
  void DispatchOne() override;
  // Dispatches messages until plat::Clock().NowMs() >= nDeadlineMs or a stop
  // is requested.
  void WaitUntil(std::uint64_t nDeadlineMs) override;

  // Number of waits in progress on the window thread (nested).
  int WaitDepth() const { return m_nDepth; }

 private:
  // False when WM_QUIT came: it is posted again for the loop that owns it.
  bool DispatchPending();
  int m_nDepth = 0;
};

// The Windows wake-up and wait of the console pump: an auto-reset event of
// the pump's own (any number of Wake() calls before the pump looks leave it
// signalled once, and the wait that sees it resets it), and
// WaitForMultipleObjects on it and on the stop signal's event.
#include "cli/console_pump.h"

#include <windows.h>

#include <cstdint>

#include "platform/clock.h"
#include "platform/stop.h"

namespace {

HANDLE Event(plat::NativeWaitHandle h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

ConsolePump::ConsolePump() : m_owner(std::this_thread::get_id()) {
  if (const HANDLE h = CreateEventW(nullptr, FALSE, FALSE, nullptr)) m_wake = reinterpret_cast<plat::NativeWaitHandle>(h);
}

ConsolePump::~ConsolePump() {
  if (m_wake != plat::kNoWaitHandle) CloseHandle(Event(m_wake));
}

void ConsolePump::Wake() {
  if (m_wake != plat::kNoWaitHandle) SetEvent(Event(m_wake));
}

void ConsolePump::DrainWake() {
  if (m_wake != plat::kNoWaitHandle) ResetEvent(Event(m_wake));
}

void ConsolePump::Block(std::uint64_t nUntilMs, bool bWatchStop) {
  const std::uint64_t nLeft = plat::RemainingMs(nUntilMs);
  if (nLeft == 0) return;
  HANDLE handles[2];
  DWORD n = 0;
  if (m_wake != plat::kNoWaitHandle) handles[n++] = Event(m_wake);
  // The stop signal's handle is an event that stays signalled while a stop
  // is pending.
  const plat::NativeWaitHandle stop = plat::Stop().NativeHandle();
  if (bWatchStop && stop != plat::kNoWaitHandle) handles[n++] = Event(stop);
  const DWORD dwTimeout = nLeft > 60000 ? 60000 : static_cast<DWORD>(nLeft);
  if (n == 0) {
    Sleep(dwTimeout);  // nothing to wait on: the next timer or the deadline only
    return;
  }
  // A signalled wake event is reset by this wait itself.
  WaitForMultipleObjects(n, handles, FALSE, dwTimeout);
}
